// The difference generator behind zumpack against bsdiff, xdelta3 and zstd, in one
// run, on pairs of files (ZUMPACK_BENCH_ONLY names some, comma-separated; the
// default is the first four):
//   - record: the 200 MB record file pair of bench/record-data-gen.py (--size-mb
//     200 --seed 1), made once into the data folder;
//   - postgres, mariadbd, grubx64: an executable of two releases of a Debian
//     package, fetched with `apt-get download PACKAGE=VERSION` and unpacked with
//     `dpkg-deb -x` into the data folder (once); a pair whose version is no longer
//     served is skipped with a line saying so;
//   - data: the project's own 200 MB record file pair (2% of the records changed,
//     0.5% inserted and 0.5% deleted);
//   - exe: two builds of the mingw-w64 C++ runtime DLL, or ZUMPACK_BENCH_EXE_OLD
//     and _NEW.
// For each tool: the patch size (ours: the LZMA-compressed entry payload the
// package carries, with EXTDIFF where that is smaller, and with --compatible;
// bsdiff's patch as it ships; xdelta3 -9 -S lzma -B <old size>; zstd -19
// --long=31 --patch-from), the CPU time and peak memory of making it, and the
// wall time and peak memory of applying it (ours: the installer's UnpackPayload
// and PatchFile of the one entry, against `cp` of the new file). Each tool runs in
// a process of its own, forked from this small one, so that its peak memory is its
// own. Making a patch takes minutes for the references on the large pair, so it
// runs once per tool; applying runs RUNS times and the medians are reported. The
// figures of the best public tool on the same pairs come from
// /work/shared/reference/README.md: measured elsewhere, printed beside ours, not
// run here. ZUMPACK_BENCH_WHOLE=1 adds the whole-file comparison of ours alone;
// ZUMPACK_BENCH_OURS=1 runs ours alone; ZUMPACK_BENCH_KEEP=1 applies the patches
// an earlier run made instead of making them (their make figures then read 0).
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
#include "pack/file_bytes.h"
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

// The reference record pair: bench/record-data-gen.py, next to this file.
bool EnsureReferenceRecords(const std::string& dir, std::string& oldPath, std::string& newPath) {
  oldPath = dir + "old.dat";
  newPath = dir + "new.dat";
  if (bench::FileSize(oldPath) > 0 && bench::FileSize(newPath) > 0 && bench::FileSize(dir + "done") > 0)
    return true;
  std::printf("making the record pair (once) in %s\n", dir.c_str());
  std::fflush(stdout);
  if (!bench::RunTool({"python3", ZUM_BENCH_SOURCE_DIR "/record-data-gen.py", "--size-mb", "200",
                       "--seed", "1", "--out", dir}))
    return false;
  return bench::RunTool({"sh", "-c", "echo 200 MB, seed 1 > '" + dir + "done'"});
}

// An executable of two releases of a Debian package.
struct PackagePair {
  const char* name;
  const char* package;
  const char* oldVersion;
  const char* newVersion;
  const char* path;  // inside the package
};
const PackagePair kPackagePairs[] = {
    {"postgres", "postgresql-15", "15.18-0+deb12u1", "15.20-0+deb12u1",
     "usr/lib/postgresql/15/bin/postgres"},
    {"mariadbd", "mariadb-server-core", "1:10.11.18-0+deb12u1", "1:10.11.19-0+deb12u1",
     "usr/sbin/mariadbd"},
    {"grubx64", "grub-efi-amd64-bin", "2.06-13+deb12u1", "2.06-13+deb12u2",
     "usr/lib/grub/x86_64-efi/monolithic/grubx64.efi"},
};

// The file `path` of PACKAGE=VERSION, fetched and unpacked under `dir` once. False
// with `why` when the version cannot be had.
bool FetchFromPackage(const std::string& dir, const char* package, const std::string& version,
                      const char* path, std::string& file, std::string& why) {
  std::string tag = std::string(package) + "_" + version;
  std::replace(tag.begin(), tag.end(), ':', '_');
  const std::string root = dir + tag + "/";
  file = root + "tree/" + path;
  if (bench::FileSize(file) > 0) return true;
  const std::string q = "'" + root + "'";
  const std::string script = "rm -rf " + q + " && mkdir -p " + q + "tree && cd " + q +
                             " && apt-get download -q '" + package + "=" + version +
                             "' >download.log 2>&1 && dpkg-deb -x *.deb tree && rm -f *.deb";
  if (!bench::RunTool({"sh", "-c", script})) {
    why = std::string(package) + "=" + version + " could not be fetched (no longer served?)";
    return false;
  }
  if (bench::FileSize(file) == 0) {
    why = std::string(package) + "=" + version + " has no " + path;
    return false;
  }
  return true;
}

// What the best public tool made of the same pairs, measured elsewhere on the
// 2-core development machine (/work/shared/reference/README.md).
struct ReferenceFigures {
  const char* pair;
  uint64_t patch;
  double makeCpu, makePeakMb, applyWall, applyPeakMb, applyToCp;
};
const ReferenceFigures kReference[] = {
    {"record", 688044, 2.1, 54, 0.25, 6, 4.6},
    {"postgres", 638072, 1.3, 47, 0.084, 12, 7.0},
    {"mariadbd", 1537702, 4.1, 113, 0.154, 15, 9.6},
    {"grubx64", 31642, 0.05, 7, 0.030, 7, 3.8},
};

// ---- running and measuring ------------------------------------------------------------

struct Measured {
  bool ok = false;
  double wall = 0, cpu = 0;  // seconds
  uint64_t peakKb = 0;       // the process's largest resident size
  double peak = 0;           // the same, for medians
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
  m.peak = static_cast<double>(m.peakKb);
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

// Ours, as zumpack builds an entry: both files mapped, the old one indexed before
// the new one is opened, their pages let go of as the passes go on; the patch made
// with each tuning and the smallest LZMA payload kept; the index freed; the
// extended difference grown from it kept instead when its payload is smaller
// (EXTDIFF; not with `compatible`); then compared with the whole new file
// compressed (the difference is written either way).
bool OurDiff(const std::string& oldPath, const std::string& newPath, const std::string& out,
             bool compatible) {
  pkg::TFileBytes oldFile, newFile;
  std::string error;
  if (!oldFile.Map(bench::Dos(oldPath), error)) return false;
  bdt::DiffOptions options;
  options.passed = pkg::ReleasingPasses(oldFile, newFile);
  bdt::TOldIndex index;
  if (!index.Build(oldFile.Bytes(), options, error)) return false;
  oldFile.ReleaseAll();
  if (!newFile.Map(bench::Dos(newPath), error)) return false;
  const std::span<const uint8_t> oldBytes = oldFile.Bytes(), newBytes = newFile.Bytes();
  std::vector<uint8_t> patch, framed;
  payload::EncodeOptions e;
  e.preset = 9;
  if (!bdt::SmallestPatchPayload(std::move(index), newBytes, e, patch, framed, error)) return false;
  if (!compatible) {
    std::vector<uint8_t> extended, extendedFramed;
    bool passed = false;
    if (bdx::WorthExtending(newBytes)
            ? !bdx::MakeExtendedDifference(oldBytes, newBytes, patch, extended, error)
            : !bdx::Recoded(patch, oldBytes.size(), extended, error))
      return false;
    if (!payload::EncodePayloadWithin(extended, e, framed.size() - 1, extendedFramed, passed, error))
      return false;
    if (!passed) framed = std::move(extendedFramed);
  }
  oldFile.ReleaseAll();
  newFile.ReleaseAll();
  pkg::TWholeComparison whole;
  payload::EncodeOptions full = e;
  full.progress = [&](uint64_t done, uint64_t) { newFile.Release(0, done); };
  if (!pkg::CompareWhole(newBytes, framed.size(), full, whole, error)) return false;
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
             const std::string& newPath, int runs) {
  const std::string p = dir + label + "_";
  const std::string out = p + "rebuilt";
  const std::string window = std::to_string(bench::FileSize(oldPath));
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
       [&] {
         return Tool({"xdelta3", "-f", "-e", "-9", "-S", "lzma", "-B", window, "-s", oldPath, newPath,
                      p + "xdelta3.vcdiff"});
       },
       [&] { return Tool({"xdelta3", "-f", "-d", "-B", window, "-s", oldPath, p + "xdelta3.vcdiff", out}); }},
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
  // ZUMPACK_BENCH_OURS=1: ours alone, for quick figures while working on it.
  const bool oursOnly = std::getenv("ZUMPACK_BENCH_OURS") != nullptr;
  if (oursOnly) rows.erase(rows.begin() + 2, rows.end());
  const uint64_t newSize = bench::FileSize(newPath);
  std::printf("%s: %s: %llu -> %llu bytes\n", kName, label.c_str(),
              static_cast<unsigned long long>(bench::FileSize(oldPath)),
              static_cast<unsigned long long>(newSize));
  std::fflush(stdout);
  // ZUMPACK_BENCH_KEEP=1: the patches of an earlier run are applied again, not made.
  const bool keep = std::getenv("ZUMPACK_BENCH_KEEP") != nullptr;
  for (ToolRow& t : rows) {
    if (keep && bench::FileSize(t.patch) > 0) {
      t.made.ok = true;
    } else {
      t.made = t.make();
    }
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
    std::printf("%s: %s %-20s patch %9llu bytes | make cpu %7.2f s wall %7.2f s peak %5llu MB | "
                "apply wall %6.3f s peak %4llu MB\n",
                kName, label.c_str(), t.name.c_str(), static_cast<unsigned long long>(t.size),
                t.made.cpu, t.made.wall, static_cast<unsigned long long>(t.made.peakKb / 1024),
                MedianApply(t, &Measured::wall),
                static_cast<unsigned long long>(MedianApply(t, &Measured::peak) / 1024));
    std::fflush(stdout);
  }
  // cp of the new file: what our narrow apply (unpack and patch one entry) is held
  // against.
  std::vector<double> cpWall;
  for (int r = 0; r < runs; ++r) {
    bench::Remove(out);
    cpWall.push_back(Tool({"cp", newPath, out}).wall);
  }
  bench::Remove(out);
  bench::Remove(p + "work");
  const double cp = bench::Median(cpWall);

  const ToolRow& ours = rows[0];
  if (oursOnly) {
    std::printf("%s: %s narrow apply (unpack and patch one entry) %.3f s, cp of the new file %.3f s: "
                "%.1fx cp\n",
                kName, label.c_str(), MedianApply(ours, &Measured::wall), cp,
                MedianApply(ours, &Measured::wall) / cp);
    std::fflush(stdout);
    return true;
  }
  // Ours against the best of the tools run here, each figure on its own.
  auto best = [&](auto figure) {
    size_t at = 2;
    for (size_t k = 3; k < rows.size(); ++k)
      if (figure(rows[k]) < figure(rows[at])) at = k;
    return std::make_pair(figure(rows[at]), rows[at].name);
  };
  const auto size = best([](const ToolRow& r) { return static_cast<double>(r.size); });
  const auto cpu = best([](const ToolRow& r) { return r.made.cpu; });
  const auto peak = best([](const ToolRow& r) { return static_cast<double>(r.made.peakKb); });
  const auto apply = best([](const ToolRow& r) { return MedianApply(r, &Measured::wall); });
  const auto applyPeak = best([](const ToolRow& r) { return MedianApply(r, &Measured::peak); });
  std::printf("%s: %s ours / best run here: patch %.3f (%s), make cpu %.2f (%s), make peak %.2f (%s), "
              "apply wall %.2f (%s), apply peak %.2f (%s)\n",
              kName, label.c_str(), static_cast<double>(ours.size) / size.first, size.second.c_str(),
              ours.made.cpu / cpu.first, cpu.second.c_str(),
              static_cast<double>(ours.made.peakKb) / peak.first, peak.second.c_str(),
              MedianApply(ours, &Measured::wall) / apply.first, apply.second.c_str(),
              MedianApply(ours, &Measured::peak) / applyPeak.first, applyPeak.second.c_str());
  std::printf("%s: %s narrow apply (unpack and patch one entry) %.3f s, cp of the new file %.3f s: "
              "%.1fx cp\n",
              kName, label.c_str(), MedianApply(ours, &Measured::wall), cp,
              MedianApply(ours, &Measured::wall) / cp);
  for (const ReferenceFigures& ref : kReference) {
    if (label != ref.pair) continue;
    std::printf("%s: %s best public tool, measured elsewhere (reference README), not run here: patch "
                "%llu bytes | make cpu %.2f s peak %.0f MB | apply wall %.3f s peak %.0f MB, %.1fx cp\n",
                kName, label.c_str(), static_cast<unsigned long long>(ref.patch), ref.makeCpu,
                ref.makePeakMb, ref.applyWall, ref.applyPeakMb, ref.applyToCp);
    std::printf("%s: %s ours / those figures: patch %.3f, make cpu %.2f, make peak %.2f, apply "
                "against cp %.2f\n",
                kName, label.c_str(), static_cast<double>(ours.size) / static_cast<double>(ref.patch),
                ours.made.cpu / ref.makeCpu,
                static_cast<double>(ours.made.peakKb) / 1024 / ref.makePeakMb,
                MedianApply(ours, &Measured::wall) / cp / ref.applyToCp);
  }

  if (std::getenv("ZUMPACK_BENCH_WHOLE")) {
    // Of ours, the whole-file comparison alone: encoders that give up against the
    // same comparison with every encoder run to the end.
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
  std::fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options opt = bench::ParseArgs(argc, argv, "zumpack_bench");
  for (const char* tool : {"bsdiff", "bspatch", "xdelta3", "zstd", "python3", "apt-get", "dpkg-deb"}) {
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
  std::vector<std::string> pairs;
  {
    const char* only = std::getenv("ZUMPACK_BENCH_ONLY");
    std::string list = only ? only : "record,postgres,mariadbd,grubx64";
    size_t from = 0;
    while (from <= list.size()) {
      const size_t comma = std::min(list.find(',', from), list.size());
      if (comma > from) pairs.push_back(list.substr(from, comma - from));
      from = comma + 1;
    }
  }
  bool ok = true;
  for (const std::string& pair : pairs) {
    std::string oldPath, newPath;
    if (pair == "record") {
      const std::string sub = dir + "record/";
      mkdir(sub.c_str(), 0755);
      if (!InChild([&] { return EnsureReferenceRecords(sub, oldPath, newPath); }).ok) {
        std::fprintf(stderr, "%s: the record pair could not be made\n", kName);
        ok = false;
        continue;
      }
      EnsureReferenceRecords(sub, oldPath, newPath);
      std::printf("%s: record: bench/record-data-gen.py --size-mb 200 --seed 1\n", kName);
    } else if (pair == "data") {
      oldPath = dir + "records_old.bin";
      newPath = dir + "records_new.bin";
      // Made in a process of its own: this one stays small, since every tool runs
      // in a fork of it and a fork's peak memory counts what it inherits.
      if (!InChild([&] {
            EnsureRecordFiles(oldPath, newPath, dir + "records.txt");
            return true;
          }).ok)
        return 1;
      std::printf("%s: data: %s", kName, ReadText(dir + "records.txt").c_str());
    } else if (pair == "exe") {
      std::string what;
      if (!FindExecutables(oldPath, newPath, what)) {
        std::fprintf(stderr,
                     "%s: no two builds of an executable at %s (the mingw-w64 cross compiler "
                     "has them); set ZUMPACK_BENCH_EXE_OLD and ZUMPACK_BENCH_EXE_NEW\n",
                     kName, what.c_str());
        ok = false;
        continue;
      }
      std::printf("%s: exe: %s\n", kName, what.c_str());
    } else {
      const PackagePair* pp = nullptr;
      for (const PackagePair& c : kPackagePairs)
        if (pair == c.name) pp = &c;
      if (!pp) {
        std::fprintf(stderr, "%s: no pair named %s\n", kName, pair.c_str());
        ok = false;
        continue;
      }
      const std::string debs = dir + "debs/";
      mkdir(debs.c_str(), 0755);
      std::string why;
      if (!FetchFromPackage(debs, pp->package, pp->oldVersion, pp->path, oldPath, why) ||
          !FetchFromPackage(debs, pp->package, pp->newVersion, pp->path, newPath, why)) {
        std::printf("%s: %s: skipped: %s\n", kName, pair.c_str(), why.c_str());
        continue;
      }
      std::printf("%s: %s: %s %s -> %s, %s\n", kName, pair.c_str(), pp->package, pp->oldVersion,
                  pp->newVersion, pp->path);
    }
    std::fflush(stdout);
    ok = Compare(pair, dir, oldPath, newPath, opt.runs) && ok;
  }
  return ok ? 0 : 1;
}
