// The difference generator behind zumpack against bsdiff, xdelta3 and zstd, in one
// run, on two pairs of files:
//   - a 200 MB record-structured data file and its next release, with 2% of the
//     records changed, 0.5% inserted and 0.5% deleted;
//   - two builds of a real executable: ZUMPACK_BENCH_EXE_OLD and _NEW when set,
//     otherwise the mingw-w64 C++ runtime DLL built for the posix and for the
//     win32 thread model (FindExecutables).
// For each tool: the patch size (ours: the LZMA-compressed entry payload the
// package carries, with EXTDIFF where that is smaller and with --compatible; bsdiff's patch as it ships; xdelta3 -9 -S lzma; zstd -19
// --long=31 --patch-from), the time and peak memory of making it, and the time of
// applying it (ours: the installer's UnpackPayload and PatchFile). Each tool runs
// in a process of its own, forked from this small one, so that its peak memory is
// its own. Making a patch
// takes minutes for the references, so it runs once per tool; applying runs RUNS
// times and the medians are reported. ZUMPACK_BENCH_ONLY=data or =exe runs one
// of the two comparisons.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "installer/form1.h"
#include "pack/bdt_diff.h"
#include "pack/builder.h"
#include "pack/bdx_writer.h"
#include "format/bdx_patch.h"
#include "format/patch.h"
#include "installer/patch_file.h"
#include "files/unpack.h"
#include "format/payload.h"
#include "pack/payload_encode.h"
#include "bench_util.h"
#include "frontends/scripted/scripted.h"

namespace {

constexpr uint64_t kDataSize = 200ull * 1000 * 1000;
const char kName[] = "zumpack";

// ---- the data file --------------------------------------------------------------------

struct Rng {
  uint64_t s;
  uint64_t Next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t b) { return static_cast<uint32_t>((Next() >> 32) % b); }
};

const char* const kWords[] = {
    "Kyiv",    "Odesa",    "Lviv",       "Kharkiv", "Dnipro", "Poltava",    "Sumy",
    "Rivne",   "Tovar",    "Usluga",     "Rabota",  "Material", "Nalog",    "Postavka",
    "Oplata",  "Dogovor",  "Akt",        "Schet",   "Nakladnaya", "Sklad",  "Otdel",
    "Filial",  "Kontragent", "Vozvrat",  "Skidka",  "Avans",  "Zarplata",   "Premiya",
    "Otpusk",  "Bolnichnyi"};
constexpr uint32_t kWordCount = sizeof(kWords) / sizeof(kWords[0]);

// One record's data: a key, names, a date, an amount, a few attributes and now
// and then a comment.
std::string RecordData(Rng& r, uint32_t id) {
  char b[256];
  std::string s;
  int n = std::snprintf(b, sizeof b, "%08u;%s %s;%02u.%02u.20%02u;%u.%02u;%s;", id,
                        kWords[r.Below(kWordCount)], kWords[r.Below(kWordCount)], 1 + r.Below(28),
                        1 + r.Below(12), 10 + r.Below(15), r.Below(1000000), r.Below(100),
                        kWords[r.Below(kWordCount)]);
  s.append(b, static_cast<size_t>(n));
  for (uint32_t k = r.Below(4); k > 0; --k) {
    n = std::snprintf(b, sizeof b, "%s=%u;", kWords[r.Below(kWordCount)], r.Below(100000));
    s.append(b, static_cast<size_t>(n));
  }
  for (uint32_t k = r.Below(3) * 20; k > 0; --k) s.push_back("abcdefghijklmnopqrstuvwxyz     "[r.Below(31)]);
  s += "\r\n";
  return s;
}

struct Record {
  uint32_t id;
  std::string data;
};

// Each record: a 7-byte head (u32 key, a type byte, u16 data length) and its data.
bool WriteRecords(const std::string& path, const std::vector<Record>& records) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  std::string buf;
  for (const Record& rec : records) {
    uint8_t head[7];
    std::memcpy(head, &rec.id, 4);
    head[4] = 1;
    const uint16_t len = static_cast<uint16_t>(rec.data.size());
    std::memcpy(head + 5, &len, 2);
    buf.append(reinterpret_cast<const char*>(head), 7);
    buf += rec.data;
    if (buf.size() > (1u << 22)) {
      std::fwrite(buf.data(), 1, buf.size(), f);
      buf.clear();
    }
  }
  std::fwrite(buf.data(), 1, buf.size(), f);
  return std::fclose(f) == 0;
}

void EnsureRecordFiles(const std::string& oldPath, const std::string& newPath,
                       const std::string& donePath) {
  if (bench::FileSize(donePath) > 0 && bench::FileSize(oldPath) > 0 && bench::FileSize(newPath) > 0)
    return;
  std::printf("making the data files (once): %s, %s\n", oldPath.c_str(), newPath.c_str());
  std::fflush(stdout);
  Rng r{42};
  std::vector<Record> old;
  uint64_t total = 0;
  uint32_t id = 0;
  while (total < kDataSize) {
    old.push_back({id, RecordData(r, id)});
    ++id;
    total += old.back().data.size() + 7;
  }
  // The next release: 2% of the records changed (an amount, sometimes a name),
  // 0.5% deleted, 0.5% new ones inserted.
  Rng c{7};
  std::vector<Record> now;
  now.reserve(old.size());
  size_t changed = 0, inserted = 0, deleted = 0;
  for (const Record& rec : old) {
    const uint32_t p = c.Below(10000);
    if (p < 50) {
      ++deleted;
    } else if (p < 250) {
      std::string y = rec.data;
      size_t a = y.find(';');
      a = y.find(';', a + 1);
      a = y.find(';', a + 1);
      const size_t e = y.find(';', a + 1);
      char b[64];
      const int n = std::snprintf(b, sizeof b, "%u.%02u", c.Below(1000000), c.Below(100));
      y.replace(a + 1, e - a - 1, std::string(b, static_cast<size_t>(n)));
      if (c.Below(2)) {
        const size_t q = y.find(' ');
        y.replace(q + 1, y.find(';', q) - q - 1, kWords[c.Below(kWordCount)]);
      }
      now.push_back({rec.id, y});
      ++changed;
    } else {
      now.push_back(rec);
    }
    if (c.Below(10000) < 50) {
      now.push_back({id, RecordData(c, id)});
      ++id;
      ++inserted;
    }
  }
  if (!WriteRecords(oldPath, old) || !WriteRecords(newPath, now)) {
    std::perror("writing the data files");
    std::exit(1);
  }
  FILE* done = std::fopen(donePath.c_str(), "w");
  std::fprintf(done, "%zu records: %zu changed, %zu inserted, %zu deleted\n", old.size(), changed,
               inserted, deleted);
  std::fclose(done);
}

// ---- the executables ------------------------------------------------------------------

std::string ReadText(const std::string& path) {
  std::string s;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char b[4096];
    size_t n;
    while ((n = std::fread(b, 1, sizeof b, f)) > 0) s.append(b, n);
    std::fclose(f);
  }
  return s;
}

// Two genuinely different builds of one real executable that this machine has:
// the C++ runtime DLL of the mingw-w64 cross compiler built for its two thread
// models (posix and win32: the same sources, different code and layout), a PE
// file of about 23 MB. ZUMPACK_BENCH_EXE_OLD and _NEW name another pair.
bool FindExecutables(std::string& oldPath, std::string& newPath, std::string& what) {
  const char* o = std::getenv("ZUMPACK_BENCH_EXE_OLD");
  const char* n = std::getenv("ZUMPACK_BENCH_EXE_NEW");
  if (o && n) {
    oldPath = o;
    newPath = n;
  } else {
    const std::string dir = "/usr/lib/gcc/x86_64-w64-mingw32/12-";
    oldPath = dir + "posix/libstdc++-6.dll";
    newPath = dir + "win32/libstdc++-6.dll";
  }
  what = oldPath + " -> " + newPath;
  return bench::FileSize(oldPath) > 0 && bench::FileSize(newPath) > 0;
}

// ---- running and measuring ------------------------------------------------------------

struct Measured {
  bool ok = false;
  double wall = 0, cpu = 0;  // seconds
  uint64_t peakKb = 0;       // the process's largest resident size
  int exit = -1;             // the child's exit status, -1 when it did not exit
};

// Runs `child` in a process of its own (its exit status its result) and measures it.
Measured InChild(const std::function<bool()>& child) {
  Measured m;
  bench::SyncDisks();
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) _exit(child() ? 0 : 1);
  int status = 0;
  struct rusage ru;
  if (pid < 0 || wait4(pid, &status, 0, &ru) != pid) return m;
  m.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  m.cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
          static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  m.peakKb = static_cast<uint64_t>(ru.ru_maxrss);
  m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (WIFEXITED(status)) m.exit = WEXITSTATUS(status);
  return m;
}

Measured Tool(const std::vector<std::string>& args) {
  return InChild([&] {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execvp(argv[0], argv.data());
    _exit(127);
    return false;
  });
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::vector<uint8_t> b(static_cast<size_t>(bench::FileSize(path)));
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f || (!b.empty() && std::fread(b.data(), 1, b.size(), f) != b.size())) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(1);
  }
  std::fclose(f);
  return b;
}

// Ours, as zumpack builds an entry: the old file indexed before the new one is
// read, the patch made with each tuning and the smallest LZMA payload kept; the
// extended difference grown from it kept instead when its payload is smaller
// (EXTDIFF; not with `compatible`); then compared with the whole new file
// compressed (the difference is written either way).
bool OurDiff(const std::string& oldPath, const std::string& newPath, const std::string& out,
             bool compatible) {
  const std::vector<uint8_t> oldFile = ReadFile(oldPath);
  bdt::TOldIndex index;
  std::string error;
  if (!index.Build(oldFile, {}, error)) return false;
  const std::vector<uint8_t> newFile = ReadFile(newPath);
  std::vector<uint8_t> patch, framed;
  payload::EncodeOptions e;
  e.preset = 9;
  if (!bdt::SmallestPatchPayload(index, newFile, e, patch, framed, error)) return false;
  if (!compatible && bdx::WorthExtending(newFile)) {
    std::vector<uint8_t> extended, extendedFramed;
    bool passed = false;
    if (!bdx::MakeExtendedDifference(index, oldFile, newFile, extended, error)) return false;
    index = bdt::TOldIndex();
    if (!payload::EncodePayloadWithin(extended, e, framed.size() - 1, extendedFramed, passed, error))
      return false;
    if (!passed) framed = std::move(extendedFramed);
  }
  index = bdt::TOldIndex();
  pkg::TWholeComparison whole;
  if (!pkg::CompareWhole(newFile, framed.size(), e, whole, error)) return false;
  FILE* f = std::fopen(out.c_str(), "wb");
  return f && std::fwrite(framed.data(), 1, framed.size(), f) == framed.size() && std::fclose(f) == 0;
}

// The whole-file comparison of zumpack alone, against a difference payload of
// `diffPayload` bytes: with the encoders that give up (pkg::CompareWhole), or as
// it was made before they could, every encoder run to the end (a quick preset-0
// estimate first above pkg::kAlwaysCompareWhole). Exits 0 when the whole file is
// not smaller, 2 when it is.
bool WholeComparison(const std::string& newPath, uint64_t diffPayload, bool stopping,
                     bool& smaller) {
  const std::vector<uint8_t> newFile = ReadFile(newPath);
  payload::EncodeOptions e;
  e.preset = 9;
  std::string error;
  if (stopping) {
    pkg::TWholeComparison c;
    if (!pkg::CompareWhole(newFile, diffPayload, e, c, error)) return false;
    smaller = c.Smaller;
    return true;
  }
  std::vector<uint8_t> out;
  if (newFile.size() > pkg::kAlwaysCompareWhole) {
    payload::EncodeOptions quick = e;
    quick.preset = 0;
    if (!payload::EncodePayload(newFile, quick, out, error)) return false;
    if (out.size() > pkg::kEstimateMargin * diffPayload) {
      smaller = false;
      return true;
    }
  }
  if (!payload::EncodePayload(newFile, e, out, error)) return false;
  smaller = out.size() < diffPayload;
  return true;
}

// Ours, as the installer applies it: the payload unpacked into the work file, then
// PatchFile from the old file, in the format the entry's kind names (here told by
// the patch's magic).
bool OurApply(const std::string& oldPath, const std::string& payloadPath, const std::string& work,
              const std::string& out) {
  if (UnpackPayload(bench::Dos(work), bench::Dos(payloadPath), 0, nullptr) == 0) return false;
  uint8_t magic[3] = {};
  FILE* f = std::fopen(work.c_str(), "rb");
  if (!f || std::fread(magic, 1, 3, f) != 3) return false;
  std::fclose(f);
  ui::ScriptedToolkit tk;
  TForm1 form(&tk);
  const PatchFormat format = bdx::LooksLikeBdx(magic) ? PatchFormat::Bdx : PatchFormat::Bdt;
  return PatchFile(form, bench::Dos(oldPath), bench::Dos(out), bench::Dos(work), format);
}

struct ToolRow {
  ToolRow(std::string n, std::string p, std::function<Measured()> m, std::function<Measured()> a)
      : name(std::move(n)), patch(std::move(p)), make(std::move(m)), apply(std::move(a)) {}
  std::string name;
  std::string patch;
  std::function<Measured()> make;
  std::function<Measured()> apply;
  Measured made;
  std::vector<Measured> applied;
  uint64_t size = 0;
};

double MedianApply(const ToolRow& t, double Measured::*field) {
  std::vector<double> v;
  for (const Measured& m : t.applied) v.push_back(m.*field);
  return bench::Median(v);
}

// Makes and applies every tool's patch of oldPath -> newPath; false when a tool
// failed or a patch does not rebuild the new file.
bool Compare(const std::string& label, const std::string& dir, const std::string& oldPath,
             const std::string& newPath, int runs, bool dataFile) {
  const std::string p = dir + label + "_";
  const std::string out = p + "rebuilt";
  std::vector<ToolRow> rows = {
      {"zumpack", p + "ours.payload",
       [&] { return InChild([&] { return OurDiff(oldPath, newPath, p + "ours.payload", false); }); },
       [&] {
         return InChild([&] { return OurApply(oldPath, p + "ours.payload", p + "work", out); });
       }},
      {"zumpack --compatible", p + "compatible.payload",
       [&] {
         return InChild([&] { return OurDiff(oldPath, newPath, p + "compatible.payload", true); });
       },
       [&] {
         return InChild(
             [&] { return OurApply(oldPath, p + "compatible.payload", p + "work", out); });
       }},
      {"bsdiff", p + "bsdiff.patch", [&] { return Tool({"bsdiff", oldPath, newPath, p + "bsdiff.patch"}); },
       [&] { return Tool({"bspatch", oldPath, out, p + "bsdiff.patch"}); }},
      {"xdelta3 -9 -S lzma", p + "xdelta3.vcdiff",
       [&] { return Tool({"xdelta3", "-f", "-e", "-9", "-S", "lzma", "-s", oldPath, newPath, p + "xdelta3.vcdiff"}); },
       [&] { return Tool({"xdelta3", "-f", "-d", "-s", oldPath, p + "xdelta3.vcdiff", out}); }},
      {"zstd -19 --long=31", p + "zstd.patch",
       [&] {
         return Tool({"zstd", "-q", "-f", "-19", "--long=31", "--patch-from=" + oldPath, newPath, "-o",
                      p + "zstd.patch"});
       },
       [&] {
         return Tool({"zstd", "-q", "-f", "-d", "--long=31", "--patch-from=" + oldPath, p + "zstd.patch",
                      "-o", out});
       }},
  };
  const uint64_t newSize = bench::FileSize(newPath);
  std::printf("%s: %s: %llu -> %llu bytes\n", kName, label.c_str(),
              static_cast<unsigned long long>(bench::FileSize(oldPath)),
              static_cast<unsigned long long>(newSize));
  std::fflush(stdout);
  for (ToolRow& t : rows) {
    t.made = t.make();
    if (!t.made.ok) {
      std::fprintf(stderr, "%s: %s failed to make its patch\n", kName, t.name.c_str());
      return false;
    }
    t.size = bench::FileSize(t.patch);
    for (int r = 0; r < runs; ++r) {
      bench::Remove(out);
      const Measured m = t.apply();
      if (!m.ok || !bench::RunTool({"cmp", "-s", out, newPath})) {
        std::fprintf(stderr, "%s: %s: the patch does not rebuild the new file\n", kName, t.name.c_str());
        return false;
      }
      t.applied.push_back(m);
    }
    std::printf("%s: %s %-20s patch %9llu bytes | make wall %7.2f s cpu %7.2f s peak %6llu MB | "
                "apply wall %6.3f s cpu %6.3f s\n",
                kName, label.c_str(), t.name.c_str(), static_cast<unsigned long long>(t.size),
                t.made.wall, t.made.cpu, static_cast<unsigned long long>(t.made.peakKb / 1024),
                MedianApply(t, &Measured::wall), MedianApply(t, &Measured::cpu));
    std::fflush(stdout);
  }
  bench::Remove(out);
  bench::Remove(p + "work");

  const ToolRow& ours = rows[0];
  // Of ours, the whole-file comparison alone: encoders that give up against the
  // same comparison with every encoder run to the end.
  {
    Measured m[2];
    for (int stopping = 0; stopping < 2; ++stopping) {
      m[stopping] = InChild([&] {
        bool smaller = false;
        if (!WholeComparison(newPath, ours.size, stopping != 0, smaller)) return false;
        if (smaller) _exit(2);
        return true;
      });
      if (m[stopping].exit != 0 && m[stopping].exit != 2) {
        std::fprintf(stderr, "%s: the whole-file comparison failed\n", kName);
        return false;
      }
    }
    std::printf("%s: %s whole-file comparison of ours: encoders that give up cpu %.2f s peak %llu MB, "
                "run to the end cpu %.2f s peak %llu MB; the same choice: %s\n",
                kName, label.c_str(), m[1].cpu, static_cast<unsigned long long>(m[1].peakKb / 1024),
                m[0].cpu, static_cast<unsigned long long>(m[0].peakKb / 1024),
                m[0].exit == m[1].exit ? "yes" : "NO");
  }
  for (size_t k = 1; k < rows.size(); ++k) {
    const ToolRow& ref = rows[k];
    std::printf("%s: %s ratio ours / %s: size %.3f, make wall %.2f cpu %.2f, peak %.2f, apply wall "
                "%.2f cpu %.2f\n",
                kName, label.c_str(), ref.name.c_str(),
                static_cast<double>(ours.size) / static_cast<double>(ref.size),
                ours.made.wall / ref.made.wall, ours.made.cpu / ref.made.cpu,
                static_cast<double>(ours.made.peakKb) / static_cast<double>(ref.made.peakKb),
                MedianApply(ours, &Measured::wall) / MedianApply(ref, &Measured::wall),
                MedianApply(ours, &Measured::cpu) / MedianApply(ref, &Measured::cpu));
  }
  // The goals: the smallest patch of all on the data file, smaller than xdelta3's
  // and zstd's on the executables; made faster than bsdiff and zstd -19; below
  // 1 GB of memory on the data file. Rows: ours, ours compatible, bsdiff, xdelta3,
  // zstd.
  const ToolRow &bsdiff = rows[2], &xdelta3 = rows[3], &zstd = rows[4];
  const bool smallest = dataFile ? std::all_of(rows.begin() + 2, rows.end(),
                                               [&](const ToolRow& r) { return ours.size < r.size; })
                                 : ours.size < xdelta3.size && ours.size < zstd.size;
  const bool faster = ours.made.cpu < bsdiff.made.cpu && ours.made.cpu < zstd.made.cpu &&
                      ours.made.wall < bsdiff.made.wall && ours.made.wall < zstd.made.wall;
  std::printf("%s: %s goal %s: %s\n", kName, label.c_str(),
              dataFile ? "smallest of the four" : "smaller than xdelta3 and zstd",
              smallest ? "met" : "MISSED");
  std::printf("%s: %s goal made faster (wall and cpu) than bsdiff and zstd -19: %s\n", kName, label.c_str(),
              faster ? "met" : "MISSED");
  if (dataFile)
    std::printf("%s: %s goal peak memory below 1 GB: %s (%llu MB)\n", kName, label.c_str(),
                ours.made.peakKb * 1024 < 1000000000ull ? "met" : "MISSED",
                static_cast<unsigned long long>(ours.made.peakKb / 1024));
  std::fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options opt = bench::ParseArgs(argc, argv, "zumpack_bench");
  for (const char* tool : {"bsdiff", "bspatch", "xdelta3", "zstd"}) {
    if (!bench::RunTool({"sh", "-c", std::string("command -v ") + tool + " >/dev/null"})) {
      std::fprintf(stderr, "%s: %s is missing (scripts/setup.sh installs it)\n", kName, tool);
      return 1;
    }
  }
  // Absolute: the installer's side of the run sees the files by DOS paths from the
  // root.
  std::string dir = opt.dataDir + "zumpack/";
  mkdir(dir.c_str(), 0755);
  if (char* real = realpath(dir.c_str(), nullptr)) {
    dir = std::string(real) + "/";
    std::free(real);
  } else {
    std::fprintf(stderr, "%s: cannot use the data folder %s\n", kName, dir.c_str());
    return 1;
  }
  const std::string oldData = dir + "records_old.bin", newData = dir + "records_new.bin";
  // Made in a process of its own: this one stays small, since every tool runs in
  // a fork of it and a fork's peak memory counts what it inherits.
  if (!InChild([&] {
        EnsureRecordFiles(oldData, newData, dir + "records.txt");
        return true;
      }).ok)
    return 1;
  std::printf("%s: data file: %s", kName, ReadText(dir + "records.txt").c_str());

  // ZUMPACK_BENCH_ONLY=data or =exe runs one of the two comparisons.
  const char* only = std::getenv("ZUMPACK_BENCH_ONLY");
  const bool data = !only || std::strcmp(only, "exe") != 0;
  const bool exe = !only || std::strcmp(only, "data") != 0;
  bool ok = !data || Compare("data", dir, oldData, newData, opt.runs, true);
  std::string oldExe, newExe, what;
  if (!exe) {
  } else if (FindExecutables(oldExe, newExe, what)) {
    std::printf("%s: executables: %s\n", kName, what.c_str());
    ok = Compare("exe", dir, oldExe, newExe, opt.runs, false) && ok;
  } else {
    std::fprintf(stderr,
                 "%s: no two builds of an executable at %s (the mingw-w64 cross compiler "
                 "has them); set ZUMPACK_BENCH_EXE_OLD and ZUMPACK_BENCH_EXE_NEW\n",
                 kName, what.c_str());
    ok = false;
  }
  return ok ? 0 : 1;
}
