// Bad packages against the installer: each must be refused by the real installer
// process in under a second and 256 MB of peak memory, and leave the installation
// as it was.
//
// The good package is update_memory_bench's correction package (the sample
// installation 3.0.7 -> 3.0.7.1 with a 200 MB new file, Rus\big.dat, among the
// changes), made in the data folder (again whenever the installer is newer) and
// shared with that benchmark. Each bad package is made from it with the package
// library and broken in one place: the tail cut short or followed by garbage,
// single bits of the catalogue and trailer flipped, lengths and counts at their
// limits, two entries sharing bytes, the big entry's payload head and LZMA stream,
// and BDT patches that cannot make their file.
// Where only the one field is meant to be wrong, the entry's checksum in its part
// record and the package's trailer are made to fit again.
//
// Each package goes as `update` into a fresh copy of the old tree, and the installer
// runs there as its own process with the terminal front end: "нет" to every
// question, its protocol to a file beside the tree. The figures are its wall time
// and its peak resident memory (ru_maxrss from wait4: every page it held, mapped
// files included). Afterwards the tree must hold the same names, sizes and contents
// as before the run, the protocol file that every start writes beside the
// installer ("Протокол*") aside.
//
// One kind of damage cannot be seen before its entry is unpacked: an LZMA stream
// cut short, with every length and checksum made to fit. The entries before it are
// applied, the run fails at that entry and keeps its journal; the next start,
// answered Yes to the rollback, must then leave the tree as it was. Those rows are
// reported apart from the goals: finding such a cut takes the decoding of the
// stream up to it, as long as the file is large.
//
// BAD_PACKAGE_ONLY=TEXT runs only the packages whose description holds TEXT;
// BAD_PACKAGE_KEEP=1 keeps the last run's folder (the tree, protocol.txt).
//
// The good package runs first, as the control. The reference is `cksum` of the good
// package, one read of the whole file, which is what the self-check of every start
// costs at least.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "format/payload.h"
#include "pack/payload_encode.h"
#include "bench_util.h"
#include "base/cp1251.h"
#include "format/checksum.h"
#include "format/image.h"
#include "format/catalogue.h"
#include "format/package_format.h"
#include "pack/package_writer.h"
#include "base/bytes.h"


namespace {

using pkg::TBytes;

const std::string kZumupd = ZUM_BENCH_ZUMUPD;
const std::string kZumsample = ZUM_BENCH_ZUMSAMPLE;
const std::string kZumpack = ZUM_BENCH_ZUMPACK;

constexpr double kTimeGoal = 1.0;    // seconds
constexpr double kMemoryGoal = 256;  // MB
constexpr uint64_t kBigSize = 200ull * 1000 * 1000;
constexpr double kMB = 1024.0 * 1024.0;

// Offsets inside a part record (twelve u32 slots).
constexpr uint64_t kEntryLenSlot = 40;
constexpr uint64_t kEntrySumSlot = 44;

bool Run(const std::vector<std::string>& args) {
  if (!bench::RunTool(args, "/dev/null")) {
    std::fprintf(stderr, "bad_package: failed: %s ...\n", args[0].c_str());
    return false;
  }
  return true;
}

double Seconds(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// ---- files --------------------------------------------------------------------------

bool ReadWhole(const std::string& path, TBytes& out) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0;
  if (ok) out.resize(static_cast<size_t>(st.st_size));
  for (size_t done = 0; ok && done < out.size();) {
    const ssize_t n = read(fd, out.data() + done, out.size() - done);
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  close(fd);
  return ok;
}

bool WriteWhole(const std::string& path, std::span<const uint8_t> bytes, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) return false;
  bool ok = true;
  for (size_t done = 0; ok && done < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  return close(fd) == 0 && ok;
}

// Random access to a file without reading it whole.
class TFdSource final : public pkg::TByteSource {
 public:
  explicit TFdSource(const std::string& path) : fd_(open(path.c_str(), O_RDONLY)) {
    struct stat st;
    if (fd_ >= 0 && fstat(fd_, &st) == 0) size_ = static_cast<uint64_t>(st.st_size);
  }
  ~TFdSource() override {
    if (fd_ >= 0) close(fd_);
  }
  TFdSource(const TFdSource&) = delete;
  TFdSource& operator=(const TFdSource&) = delete;

  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t pos, void* buffer, size_t n) override {
    if (pos > size_ || n > size_ - pos) return false;
    auto* p = static_cast<uint8_t*>(buffer);
    for (size_t done = 0; done < n;) {
      const ssize_t got = pread(fd_, p + done, n - done, static_cast<off_t>(pos + done));
      if (got <= 0) return false;
      done += static_cast<size_t>(got);
    }
    return true;
  }

 private:
  int fd_;
  uint64_t size_ = 0;
};

// ---- the good package's layout ------------------------------------------------------

struct TEntry {
  uint64_t pos = 0;  // the kind byte
  uint8_t kind = 0;
  std::string name;  // CP1251; empty for SECTION
  uint32_t tag = 0;
  uint32_t headSize = 0;  // the bytes in front of the payload
  pkg::TPartRecord record;
};

struct TLayout {
  uint64_t size = 0;
  uint32_t real = 0;  // where the package begins
  uint64_t recordsPos = 0, headerPos = 0, verFromPos = 0, stampsPos = 0;
  std::vector<TEntry> entries;
  pkg::PackageWriter::TTail tail;
  size_t big = 0;      // the entry of the 200 MB file: the longest
  size_t binDiff = 0;  // the first BINDIFF entry

  uint64_t Trailer() const { return size - pkg::kTrailerSize; }
  uint64_t RecordPos(size_t i) const { return recordsPos + i * pkg::kPartRecordSize; }
  uint64_t PayloadPos(size_t i) const { return entries[i].pos + entries[i].headSize; }
  uint32_t PayloadSize(size_t i) const { return entries[i].record.EntryLen - entries[i].headSize; }
  std::string Name(size_t i) const { return cp1251::ToUtf8(entries[i].name); }
};

// Walks the package from its trailer backwards as the installer does, reading only
// the catalogue and the entries' heads.
bool ReadLayout(const std::string& path, TLayout& l) {
  TFdSource src(path);
  l.size = src.Size();
  l.real = pkg::RealLength(src);
  if (l.real == 0 || l.size <= l.real + pkg::kTrailerSize) return false;
  pkg::TCatalogue cat;
  pkg::ReadCatalogue(src, l.real, cat);
  if (cat.Step != pkg::TCatalogueStep::Done) return false;
  l.tail.BuildStamps = cat.Stamps;
  l.tail.VerTo = cat.VerTo;
  l.tail.VerFrom = cat.VerFrom;
  l.verFromPos = cat.VerFromPos;
  l.headerPos = cat.HeaderPos;
  l.recordsPos = cat.RecordsPos;
  l.stampsPos = l.Trailer() - 2 - 4 * l.tail.BuildStamps.size();
  l.tail.TmpSpaceNeed = cat.Header.TmpSpaceNeed;
  l.tail.Growth = cat.Header.Growth;

  uint32_t bigLen = 0;
  bool haveBinDiff = false;
  for (const pkg::TCatalogueEntry& c : cat.Entries) {
    TEntry e;
    e.pos = c.Pos;
    e.kind = c.Kind;
    e.name = c.Name;
    e.tag = c.Tag;
    e.headSize = c.HeadSize;
    e.record = c;
    if (e.kind != pkg::kSection && e.record.EntryLen > bigLen) {
      l.big = l.entries.size();
      bigLen = e.record.EntryLen;
    }
    if (e.kind == pkg::kBinDiff && !haveBinDiff) {
      l.binDiff = l.entries.size();
      haveBinDiff = true;
    }
    l.entries.push_back(std::move(e));
  }
  return haveBinDiff && l.entries[l.big].kind == pkg::kAddRepl &&
         l.entries[l.big].record.NewSize == kBigSize;
}

// What a byte of the tail is, for the report.
std::string Region(const TLayout& l, uint64_t at) {
  if (at >= l.Trailer()) return "trailer";
  if (at >= l.stampsPos) return "build stamps";
  if (at >= l.verFromPos) return "version texts";
  if (at >= l.headerPos) return "catalogue header";
  if (at >= l.recordsPos) {
    const uint64_t i = (at - l.recordsPos) / pkg::kPartRecordSize;
    return "part record " + std::to_string(i + 1) + ", slot " +
           std::to_string((at - l.RecordPos(i)) / 4 + 1);
  }
  return "entries";
}

// ---- damage -------------------------------------------------------------------------

void Put64(TBytes& b, uint64_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// The package with `damage` done to it and its trailer made to fit again, so that
// only the damaged field is wrong.
template <typename F>
bool Resealed(TBytes& b, F damage) {
  if (!pkg::UnsealPackage(b)) return false;
  damage(b);
  return pkg::SealPackage(b);
}

// Entry i's checksum in its part record, taken again after its bytes changed.
void FixEntrySum(TBytes& b, const TLayout& l, size_t i) {
  le::Set32(b, l.RecordPos(i) + kEntrySumSlot,
        pkg::AddSum(b.data() + l.entries[i].pos, l.entries[i].record.EntryLen));
}

// One entry of a package written anew.
struct TPart {
  uint8_t kind = pkg::kSection;
  std::string name;
  uint32_t tag = 0;
  std::span<const uint8_t> payload;
  pkg::TPartRecord record;
};

TPart PartOf(const TBytes& good, const TLayout& l, size_t i) {
  const TEntry& e = l.entries[i];
  TPart p{e.kind, e.name, e.tag, {}, e.record};
  if (e.kind != pkg::kSection) p.payload = {good.data() + l.PayloadPos(i), l.PayloadSize(i)};
  return p;
}

// A package made by the project's writer on the good package's stub with the good
// package's tail (versions, build stamps, space needs) and the entries `parts`.
bool Write(const TBytes& good, const TLayout& l, const std::vector<TPart>& parts, TBytes& out) {
  pkg::PackageWriter w;
  std::string error;
  bool ok = w.SetStub(TBytes(good.begin(), good.begin() + l.real),
                      pkg::PackageWriter::StubFit::Refuse, error);
  for (const TPart& p : parts) {
    if (!ok) break;
    if (p.kind == pkg::kSection)
      w.AddSection();
    else
      ok = w.AddFile(p.kind, p.name, p.tag, p.payload, p.record, error);
  }
  TBytes made;
  ok = ok && w.Finish(l.tail, made, error);
  if (!ok) std::fprintf(stderr, "bad_package: the writer refused: %s\n", error.c_str());
  out = std::move(made);
  return ok;
}

// A BDT patch: "BDT", version 1, 4, the old and new sizes, the records (seek,
// insert length, copy length) and the literal data.
TBytes Patch(uint32_t oldSize, uint32_t newSize, std::vector<std::array<uint32_t, 3>> records,
             const std::string& literals) {
  TBytes b = {'B', 'D', 'T', 1, 0, 4};
  le::Append32(b, oldSize);
  le::Append32(b, newSize);
  le::Append32(b, static_cast<uint32_t>(records.size()));
  for (const auto& r : records)
    for (uint32_t v : r) le::Append32(b, v);
  b.insert(b.end(), literals.begin(), literals.end());
  return b;
}

// A package of one data block holding one BINDIFF entry: the good package's first
// one (so the installation holds the old file it applies to, of the size and checksum
// in its record) with `patch` for its payload and `newSize` as the size it makes.
bool BinDiffPackage(TBytes& b, const TLayout& l, const TBytes& patch, uint32_t newSize) {
  std::vector<uint8_t> payload;
  std::string error;
  if (!payload::EncodePayload(patch, {}, payload, error)) {
    std::fprintf(stderr, "bad_package: cannot compress the patch: %s\n", error.c_str());
    return false;
  }
  TPart entry = PartOf(b, l, l.binDiff);
  entry.payload = payload;
  entry.record.NewSize = newSize;
  entry.record.NewSum = 0;
  TBytes out;
  if (!Write(b, l, {TPart{}, entry}, out)) return false;
  b = std::move(out);
  return true;
}

// ---- the tree -----------------------------------------------------------------------

// A file's contents in 64 bits: a multiply-and-shift hash over its 8-byte words.
bool HashFile(const std::string& path, uint64_t& hash) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  std::vector<uint8_t> buf(1 << 20);
  uint64_t h = 0x9E3779B97F4A7C15ull;
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      uint64_t w;
      std::memcpy(&w, buf.data() + i, 8);
      h = (h ^ w) * 0xFF51AFD7ED558CCDull;
      h ^= h >> 32;
    }
    for (; i < n; ++i) h = (h ^ buf[i]) * 0x100000001B3ull;
  }
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  hash = h;
  return ok;
}

// Every name under `dir` (folders end in '/') with its size and contents hash; the
// protocol files the installer writes at the top ("Протокол*") are left out.
using Tree = std::map<std::string, std::string>;

Tree Snapshot(const std::string& dir) {
  namespace fs = std::filesystem;
  const std::string protocol = cp1251::ToUtf8("Протокол");
  Tree tree;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const std::string rel = fs::relative(it->path(), dir, ec).generic_string();
    if (it.depth() == 0 && rel.compare(0, protocol.size(), protocol) == 0) continue;
    if (it->is_directory(ec)) {
      tree[rel + "/"] = "folder";
      continue;
    }
    uint64_t hash = 0;
    const bool read = HashFile(it->path().string(), hash);
    char text[64];
    std::snprintf(text, sizeof text, "%llu bytes, %016llx",
                  static_cast<unsigned long long>(it->file_size(ec)),
                  static_cast<unsigned long long>(hash));
    tree[rel] = read ? text : "unreadable";
  }
  return tree;
}

// The names that differ, one a line. A folder that appeared is one line, with the
// number of names made inside it.
std::string Diff(const Tree& before, const Tree& after) {
  std::string out;
  for (const auto& [name, what] : before) {
    auto it = after.find(name);
    if (it == after.end())
      out += "  missing: " + name + "\n";
    else if (it->second != what)
      out += "  changed: " + name + " (" + what + " -> " + it->second + ")\n";
  }
  for (auto it = after.begin(); it != after.end(); ++it) {
    if (before.count(it->first)) continue;
    const std::string& name = it->first;
    size_t inside = 0;
    if (name.back() == '/')
      while (std::next(it) != after.end() && std::next(it)->first.starts_with(name)) {
        ++it;
        ++inside;
      }
    out += "  added: " + name + " (" + after.at(name) +
           (inside ? ", " + std::to_string(inside) + " names inside" : "") + ")\n";
  }
  return out;
}

// ---- the installer as a process -----------------------------------------------------

// Refused before any change; refused at its entry and rolled back at the next
// start; the good package, which must update.
enum class Expect { Refused, RolledBack, Updated };

struct TCase {
  std::string what;
  Expect expect = Expect::Refused;
  std::function<bool(TBytes&)> make;  // turns the good package into this one
  std::vector<double> seconds, peakMb;
  // What went wrong in any run; the first such run's report, with the end of the
  // installer's output.
  bool accepted = false, crashed = false, changed = false, failed = false;
  std::string fault;
};

struct TPaths {
  std::string root, oldTree, package, run, work;
};

// Makes the case's package from the good one and writes it to `path`. The work is
// done by a child process: a process started from this one reports this one's peak
// resident size as its own (it begins as a copy of it), so this program keeps no
// package in its own memory.
bool MakePackage(const TPaths& p, const TCase& c, const std::string& path) {
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    TBytes b;
    const bool ok = ReadWhole(p.package, b) && c.make(b) && WriteWhole(path, b, 0755);
    std::fflush(stderr);
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct TOutcome {
  double seconds = 0;
  double peakMb = 0;
  int status = -1;      // the exit status, or 128 + the signal
  bool signalled = false;
};

// Starts the installer `dir`/update in `dir` with `answers` on its standard input and
// its standard output and error to `out`, and waits for its end.
bool RunInstaller(const std::string& dir, const std::string& answers, const std::string& out,
                  TOutcome& o) {
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = bench::StartInstaller(dir, answers, out);
  if (pid < 0) return false;
  int status = 0;
  struct rusage ru;
  pid_t w;
  while ((w = wait4(pid, &status, 0, &ru)) < 0 && errno == EINTR) {
  }
  o.seconds = Seconds(t0);
  if (w != pid) return false;
  o.peakMb = static_cast<double>(ru.ru_maxrss) * 1024 / kMB;
  o.signalled = WIFSIGNALED(status);
  o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

// The last lines of the installer's output, indented for the report.
std::string OutputTail(const std::string& path, size_t lines) {
  std::ifstream in(path);
  std::vector<std::string> all;
  for (std::string line; std::getline(in, line);) all.push_back(line);
  std::string out;
  for (size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i)
    out += "  | " + all[i] + "\n";
  return out;
}

// One run of a case on a fresh copy of the old tree. False when the run could not be
// made at all; what the installer did wrong goes to c.fault.
bool RunCase(const TPaths& p, TCase& c) {
  const std::string out = p.run + "/protocol.txt";
  if (!Run({"rm", "-rf", p.run}) || !Run({"mkdir", "-p", p.run}) ||
      !Run({"cp", "-a", p.oldTree, p.work}))
    return false;
  if (!MakePackage(p, c, p.work + "/update")) {
    std::fprintf(stderr, "bad_package: cannot make the package: %s\n", c.what.c_str());
    return false;
  }
  const Tree before = Snapshot(p.work);
  bench::SyncDisks();
  TOutcome o;
  if (!RunInstaller(p.work, cp1251::ToUtf8("нет\nнет\nнет\nнет\nнет\n"), out, o)) return false;
  c.seconds.push_back(o.seconds);
  c.peakMb.push_back(o.peakMb);

  std::string fault;
  if (o.signalled) {
    c.crashed = true;
    fault = "CRASHED (signal " + std::to_string(o.status - 128) + ")";
  } else if (c.expect != Expect::Updated) {
    if (o.status == 0) {
      c.accepted = true;
      fault = "ACCEPTED (exit status 0)";
    }
    if (c.expect == Expect::RolledBack && o.status != 0) {
      // The next start: Yes to the rollback (3001), No to going on (3003).
      TOutcome again;
      if (!RunInstaller(p.work, cp1251::ToUtf8("да\nнет\n"), p.run + "/recovery.txt", again))
        return false;
      if (again.status != 0) {
        c.failed = true;
        fault = "THE ROLLBACK FAILED (exit status " + std::to_string(again.status) +
                "), its output's last lines:\n" + OutputTail(p.run + "/recovery.txt", 12);
      }
    }
    const std::string changes = Diff(before, Snapshot(p.work));
    if (!changes.empty()) {
      c.changed = true;
      fault += (fault.empty() ? "" : "; ") + std::string("CHANGED THE TREE:\n") + changes;
    }
  } else if (o.status != 0) {
    c.failed = true;
    fault = "FAILED (exit status " + std::to_string(o.status) + ")";
  } else if (bench::FileSize(p.work + "/Rus/big.dat") != kBigSize) {
    c.failed = true;
    fault = "FAILED (exit status 0, but Rus/big.dat was not written)";
  }
  if (!fault.empty() && c.fault.empty()) {
    c.fault = fault;
    if (c.fault.back() != '\n') c.fault += '\n';
    c.fault += "  the installer's output, last lines:\n" + OutputTail(out, 12);
  }
  return true;
}

// ---- the cases ----------------------------------------------------------------------

std::string Hex(uint64_t v) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
  return text;
}

std::vector<TCase> BadPackages(const TLayout& l) {
  std::vector<TCase> cases;
  auto add = [&](std::string what, std::function<bool(TBytes&)> make,
                 Expect expect = Expect::Refused) {
    TCase c;
    c.what = std::move(what);
    c.expect = expect;
    c.make = std::move(make);
    cases.push_back(std::move(c));
  };
  const uint64_t tail = l.size - l.recordsPos;  // part records to the end
  const std::string bigName = l.Name(l.big);

  // The tail cut short at 16 points from the first part record to the trailer's
  // last byte, then garbage after an intact trailer.
  for (uint64_t k = 0; k < 16; ++k) {
    const uint64_t cut = l.recordsPos + k * (tail - 1) / 15;
    const uint64_t shortBy = l.size - cut;
    add("tail cut at byte " + std::to_string(cut) + " (" + Region(l, cut) + "; " +
            std::to_string(shortBy) + (shortBy == 1 ? " byte" : " bytes") + " short)",
        [cut](TBytes& b) {
          b.resize(cut);
          return true;
        });
  }
  add("100 bytes of garbage after the trailer", [](TBytes& b) {
    b.insert(b.end(), 100, 0x5A);
    return true;
  });

  // Single bits from the first part record to the trailer's last byte, not sealed again.
  for (uint64_t k = 0; k < 32; ++k) {
    const uint64_t at = l.recordsPos + k * (tail - 1) / 31;
    const int bit = static_cast<int>(k % 8);
    add("bit " + std::to_string(bit) + " of byte " + std::to_string(at) + " flipped (" +
            Region(l, at) + ")",
        [at, bit](TBytes& b) {
          b[at] ^= static_cast<uint8_t>(1u << bit);
          return true;
        });
  }

  // Lengths and counts at their limits: sealed again, except the trailer's own length.
  for (uint32_t v : {0u, 0x80000000u, 0xFFFFFFFFu}) {
    const uint64_t entryLen = l.RecordPos(l.big) + kEntryLenSlot;
    add("EntryLen of " + bigName + " " + Hex(v), [entryLen, v](TBytes& b) {
      return Resealed(b, [&](TBytes& s) { le::Set32(s, entryLen, v); });
    });
    const uint64_t count = l.headerPos;
    add("PartCount " + Hex(v), [count, v](TBytes& b) {
      return Resealed(b, [&](TBytes& s) { le::Set32(s, count, v); });
    });
    add("trailer's file length " + Hex(v), [v](TBytes& b) {
      le::Set32(b, b.size() - pkg::kTrailerSize, v);
      return true;
    });
  }

  // Two entries sharing bytes: one longer by 5, the next shorter by 5, so that the
  // next one begins 5 bytes into its own head and the lengths still add up.
  {
    const size_t first = l.big + 1 < l.entries.size() ? l.big : l.big - 1;
    const uint64_t a = l.RecordPos(first) + kEntryLenSlot, b2 = a + pkg::kPartRecordSize;
    const uint32_t lenA = l.entries[first].record.EntryLen,
                   lenB = l.entries[first + 1].record.EntryLen;
    add("entries " + l.Name(first) + " and " + l.Name(first + 1) + " overlapping by 5 bytes",
        [a, b2, lenA, lenB](TBytes& b) {
          return Resealed(b, [&](TBytes& s) {
            le::Set32(s, a, lenA + 5);
            le::Set32(s, b2, lenB - 5);
          });
        });
  }

  // The big entry's payload head (filter flag, properties byte, u32 dictionary size
  // at 2, u64 unpacked size at 6), its entry checksum made to fit again.
  const uint64_t head = l.PayloadPos(l.big);
  const uint64_t newSize = l.entries[l.big].record.NewSize;
  const std::pair<const char*, uint64_t> sizes[] = {
      {"0", 0},
      {"2^31", 0x80000000u},
      {"2^32 - 1", 0xFFFFFFFFu},
      {"2^32 + its own (>= 4 GiB)", 0x100000000ull + newSize},
  };
  for (const auto& [what, size] : sizes) {
    add(bigName + " payload head: unpacked size " + what, [&l, head, size](TBytes& b) {
      return Resealed(b, [&](TBytes& s) {
        Put64(s, head + 6, size);
        FixEntrySum(s, l, l.big);
      });
    });
  }
  add(bigName + " payload head: LZMA dictionary 4 GiB", [&l, head](TBytes& b) {
    return Resealed(b, [&](TBytes& s) {
      le::Set32(s, head + 2, 0xFFFFFFFFu);
      FixEntrySum(s, l, l.big);
    });
  });

  // The big entry's LZMA stream cut short, written anew by the package writer so
  // that every length and checksum fits the shorter entry: early in the stream, and
  // just before its end, which only decoding the whole stream can find.
  const uint32_t stream = l.PayloadSize(l.big) - static_cast<uint32_t>(payload::kHeaderSize);
  for (uint32_t keep : {64u * 1024, stream - 4096}) {
    add(bigName + " LZMA stream cut to " + std::to_string(keep) + " of " +
            std::to_string(stream) + " bytes",
        [&l, keep](TBytes& b) {
          std::vector<TPart> parts;
          for (size_t i = 0; i < l.entries.size(); ++i) parts.push_back(PartOf(b, l, i));
          parts[l.big].payload = parts[l.big].payload.first(payload::kHeaderSize + keep);
          TBytes out;
          if (!Write(b, l, parts, out)) return false;
          b = std::move(out);
          return true;
        },
        Expect::RolledBack);
  }

  // BDT patches that cannot make their entry's file, in a package of that one entry.
  const std::string diffName = l.Name(l.binDiff);
  const uint32_t oldSize = l.entries[l.binDiff].record.OldSize;
  add(diffName + " BDT patch: seek before the old file", [&l, oldSize](TBytes& b) {
    return BinDiffPackage(b, l, Patch(oldSize, 8, {{0xFFFFFFFFu, 0, 8}}, ""), 8);
  });
  add(diffName + " BDT patch: copy length 2^32 - 1", [&l, oldSize](TBytes& b) {
    return BinDiffPackage(b, l, Patch(oldSize, 8, {{0, 0, 0xFFFFFFFFu}}, ""), 8);
  });
  add(diffName + " BDT patch: output 8 bytes, entry 9", [&l, oldSize](TBytes& b) {
    return BinDiffPackage(b, l, Patch(oldSize, 8, {{0, 8, 0}}, "abcdefgh"), 9);
  });
  return cases;
}

long OwnPeakKb() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options opt = bench::ParseArgs(argc, argv, "bad_package_bench");
  TPaths p;
  p.root = opt.dataDir + "update_memory/";
  p.oldTree = p.root + "old";
  p.package = p.root + "update";
  p.run = opt.dataDir + "bad_package";
  p.work = p.run + "/ZUM";
  bench::EnsureData(opt.dataDir + "data_200m.bin", kBigSize);
  if (!bench::EnsureCorrectionPackage(p.root, opt.dataDir + "data_200m.bin", kZumupd, kZumsample,
                                      kZumpack))
    return 1;

  TLayout l;
  if (!ReadLayout(p.package, l)) {
    std::fprintf(stderr, "bad_package: %s is not the expected package (a 200 MB ADDREPL entry "
                         "and a BINDIFF entry)\n", p.package.c_str());
    return 1;
  }
  std::vector<TCase> cases = BadPackages(l);
  std::printf("bad_package: good package %llu bytes, %zu entries (%s: %u bytes), %zu bad "
              "packages, %d run%s each\n",
              static_cast<unsigned long long>(l.size), l.entries.size(), l.Name(l.big).c_str(),
              l.entries[l.big].record.EntryLen, cases.size(), opt.runs, opt.runs == 1 ? "" : "s");
  std::fflush(stdout);

  // The control: the good package updates a fresh copy; the reference read of the
  // whole package follows each of its runs, with the package in the page cache alike.
  TCase control;
  control.what = "good package (control)";
  control.expect = Expect::Updated;
  control.make = [](TBytes&) { return true; };
  std::vector<double> cksum;
  for (int r = 0; r < opt.runs; ++r) {
    if (!RunCase(p, control)) return 1;
    const auto t0 = std::chrono::steady_clock::now();
    if (!Run({"cksum", p.package})) return 1;
    cksum.push_back(Seconds(t0));
  }
  auto report = [](const TCase& c, const std::string& verb, const std::string& more = "") {
    std::printf("bad_package: %s %s in %.3f s, peak %.1f MB%s\n", c.what.c_str(), verb.c_str(),
                bench::Median(c.seconds), bench::Median(c.peakMb), more.c_str());
    if (!c.fault.empty()) std::printf("bad_package: %s: %s", c.what.c_str(), c.fault.c_str());
    std::fflush(stdout);
  };
  report(control, "updated");
  if (!control.fault.empty()) return 1;
  char controlFigures[96];
  std::snprintf(controlFigures, sizeof controlFigures, " (the good package: %.3f s, %.1f MB)",
                bench::Median(control.seconds), bench::Median(control.peakMb));

  const TCase* slowest = nullptr;
  const TCase* largest = nullptr;
  size_t refused = 0, rolledBack = 0, accepted = 0, crashed = 0, changed = 0, failed = 0;
  const char* only = std::getenv("BAD_PACKAGE_ONLY");
  if (only) {
    std::erase_if(cases, [&](const TCase& c) { return c.what.find(only) == std::string::npos; });
    if (cases.empty()) {
      std::fprintf(stderr, "bad_package: no package matches BAD_PACKAGE_ONLY=%s\n", only);
      return 1;
    }
  }
  for (TCase& c : cases) {
    for (int r = 0; r < opt.runs; ++r)
      if (!RunCase(p, c)) return 1;
    accepted += c.accepted;
    crashed += c.crashed;
    changed += c.changed;
    failed += c.failed;
    if (c.expect == Expect::RolledBack) {
      rolledBack += !c.accepted && !c.crashed && !c.failed && !c.changed;
      report(c, c.crashed ? "CRASHED" : c.accepted ? "ACCEPTED"
                                                   : "refused at its entry, rolled back at the next start,",
             controlFigures);
      continue;
    }
    refused += !c.accepted && !c.crashed;
    report(c, c.crashed ? "CRASHED" : c.accepted ? "ACCEPTED" : "refused");
    if (!slowest || bench::Median(c.seconds) > bench::Median(slowest->seconds)) slowest = &c;
    if (!largest || bench::Median(c.peakMb) > bench::Median(largest->peakMb)) largest = &c;
  }

  bool timeMet = true, memoryMet = true;
  if (slowest) {  // none when BAD_PACKAGE_ONLY picked only rolled-back ones
    const double maxSeconds = bench::Median(slowest->seconds);
    const double maxMb = bench::Median(largest->peakMb);
    timeMet = maxSeconds < kTimeGoal;
    memoryMet = maxMb < kMemoryGoal;
    std::printf("bad_package: slowest refusal before any change %.3f s (%s), goal < 1 s: %s\n",
                maxSeconds, slowest->what.c_str(), timeMet ? "met" : "MISSED");
    std::printf("bad_package: largest peak of a refusal before any change %.1f MB (%s), "
                "goal < 256 MB: %s\n",
                maxMb, largest->what.c_str(), memoryMet ? "met" : "MISSED");
    std::printf("bad_package: reference cksum of the good package (%.1f MB) %.3f s; slowest "
                "refusal / cksum: %.2f\n",
                static_cast<double>(l.size) / kMB, bench::Median(cksum),
                maxSeconds / bench::Median(cksum));
  }
  std::printf("bad_package: %zu packages: %zu refused before any change, %zu refused at their "
              "entry and rolled back; %zu accepted, %zu crashed, %zu changed the tree, %zu "
              "failed to roll back\n",
              cases.size(), refused, rolledBack, accepted, crashed, changed, failed);
  std::printf("bad_package: peaks include this program's own (%.1f MB), which a process "
              "started from it begins with\n",
              static_cast<double>(OwnPeakKb()) / 1024);
  if (!std::getenv("BAD_PACKAGE_KEEP")) Run({"rm", "-rf", p.run});
  return timeMet && memoryMet && accepted + crashed + changed + failed == 0 ? 0 : 1;
}
