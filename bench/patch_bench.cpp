// PatchFile building a 200 MB file, against cp of the same output and against
// bspatch applying a bsdiff patch of the same change; then a whole DBBDIFF entry of
// a 200 MB base file (backup through the journal, checksums, unscramble, patch,
// scramble, checks) against cp of the file, with its peak memory.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "installer/form1.h"
#include "format/basefile.h"
#include "pack/bdt_writer.h"
#include "format/patch.h"
#include "installer/patch_file.h"
#include "bench_util.h"
#include "format/checksum.h"
#include "product/product.h"
#include "sample/sample.h"
#include "frontends/scripted/scripted.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kSize = 200ull * 1000 * 1000;

Bytes ReadHost(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}
void WriteHost(const std::string& path, const Bytes& b) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

// A new release of the data: in every megabyte 64 bytes rewritten, every tenth
// megabyte 4 KB inserted, every fifteenth 2 KB taken out.
Bytes Changed(const Bytes& old) {
  Bytes now;
  now.reserve(old.size() + (1 << 20));
  const size_t mb = 1 << 20;
  for (size_t c = 0; c * mb < old.size(); ++c) {
    const size_t from = c * mb, to = std::min(old.size(), from + mb);
    size_t start = now.size();
    if (c % 15 == 7 && to - from > 4096) {
      now.insert(now.end(), old.begin() + from, old.begin() + from + 1000);
      now.insert(now.end(), old.begin() + from + 3048, old.begin() + to);
    } else {
      now.insert(now.end(), old.begin() + from, old.begin() + to);
    }
    if (now.size() - start > 600)
      for (size_t i = 0; i < 64; ++i) now[start + 500 + i] = static_cast<uint8_t>('A' + (c + i) % 26);
    if (c % 10 == 3)
      for (size_t i = 0; i < 4096; ++i) now.push_back(static_cast<uint8_t>(c * 31 + i * 7));
  }
  return now;
}

// A base file's plain form changed as a new release would: the text of every 40th
// record rewritten in place, one record added at the end.
Bytes ChangedBase(Bytes plain) {
  auto get32 = [&](size_t at) {
    return plain[at] | (plain[at + 1] << 8) | (plain[at + 2] << 16) |
           (static_cast<uint32_t>(plain[at + 3]) << 24);
  };
  size_t p = get32(8);
  for (int n = 0; p + 7 <= plain.size(); ++n) {
    const size_t len = plain[p + 5] | (plain[p + 6] << 8);
    if (n % 40 == 0)
      for (size_t i = 0; i < len; i += 3) plain[p + 7 + i] ^= 0x20;
    p += 7 + len;
  }
  const std::string text = "a record added by the new release";
  const size_t at = plain.size();
  plain.insert(plain.end(), 7, 0);
  plain[at + 4] = 1;
  plain[at + 5] = static_cast<uint8_t>(text.size());
  plain.insert(plain.end(), text.begin(), text.end());
  const uint32_t size = static_cast<uint32_t>(plain.size());
  for (int i = 0; i < 4; ++i) plain[i] = static_cast<uint8_t>(size >> (8 * i));
  return plain;
}

long StatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, n, field) == 0) return std::atol(line.c_str() + n + 1);
  return -1;
}

// Runs `fn` once in a child process and prints how far its resident memory rose
// above what it held at the start (the peak is reset first).
void PeakMemory(const std::string& bench, const std::string& what, const std::function<bool()>& fn) {
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    { std::ofstream("/proc/self/clear_refs") << "5"; }
    const long base = StatusKb("VmRSS:");
    const bool ok = fn();
    const long peak = StatusKb("VmHWM:");
    std::printf("%s: %s peak memory %.1f MB above the %.1f MB the process held before%s\n",
                bench.c_str(), what.c_str(), (peak - base) / 1024.0, base / 1024.0,
                ok ? "" : " (FAILED)");
    std::fflush(stdout);
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s: %s failed\n", bench.c_str(), what.c_str());
    std::exit(1);
  }
}

bool SameFile(const std::string& a, const std::string& b) {
  return bench::RunTool({"cmp", "-s", a, b});
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options opt = bench::ParseArgs(argc, argv, "patch_bench");
  const std::string& d = opt.dataDir;
  ui::ScriptedToolkit tk;

  // ---- PatchFile ----
  const std::string oldFile = d + "data_200m.bin";
  const std::string newFile = d + "patch_new.bin";
  const std::string bdtPatch = d + "patch_new.bdt";
  const std::string bsPatch = d + "patch_new.bsdiff";
  bench::EnsureData(oldFile, kSize);
  if (bench::FileSize(bdtPatch) == 0 || bench::FileSize(newFile) == 0) {
    std::printf("making %s and its patch\n", newFile.c_str());
    std::fflush(stdout);
    const Bytes old = ReadHost(oldFile);
    const Bytes now = Changed(old);
    Bytes patch;
    if (!bdt::MakeDiff(old, now, patch)) return 1;
    WriteHost(newFile, now);
    WriteHost(bdtPatch, patch);
    bench::Remove(bsPatch);
  }
  if (bench::FileSize(bsPatch) == 0) {
    std::printf("making %s with bsdiff (takes minutes)\n", bsPatch.c_str());
    std::fflush(stdout);
    if (!bench::RunTool({"bsdiff", oldFile, newFile, bsPatch})) {
      std::fprintf(stderr, "bsdiff failed\n");
      return 1;
    }
  }
  const uint64_t outSize = bench::FileSize(newFile);
  std::printf("patch: %llu-byte output, BDT patch %llu bytes, bsdiff patch %llu bytes, %d runs\n",
              static_cast<unsigned long long>(outSize),
              static_cast<unsigned long long>(bench::FileSize(bdtPatch)),
              static_cast<unsigned long long>(bench::FileSize(bsPatch)), opt.runs);

  TForm1 form(&tk);
  const std::string outCp = d + "patch_out_cp.bin", outOurs = d + "patch_out_ours.bin",
                    outBs = d + "patch_out_bspatch.bin";
  auto ours = [&] {
    return bench::Subject{"PatchFile", [&] { bench::Remove(outOurs); }, [&] {
                            return PatchFile(form, bench::Dos(oldFile), bench::Dos(outOurs),
                                             bench::Dos(bdtPatch));
                          }};
  };
  bench::Subject patchVsCp = ours();
  bench::Subject cp{"cp (same output)", [&] { bench::Remove(outCp); },
                    [&] { return bench::RunTool({"cp", newFile, outCp}); }};
  bench::MeasurePair(patchVsCp, cp, opt.runs);
  bench::Subject patchVsBs = ours();
  bench::Subject bspatch{"bspatch", [&] { bench::Remove(outBs); },
                         [&] { return bench::RunTool({"bspatch", oldFile, outBs, bsPatch}); }};
  bench::MeasurePair(patchVsBs, bspatch, opt.runs);
  if (!SameFile(outOurs, newFile) || !SameFile(outBs, newFile)) {
    std::fprintf(stderr, "patch: an output differs from the new file\n");
    return 1;
  }
  bench::Report("patch", cp, outSize);
  bench::Report("patch", patchVsCp, outSize);
  bench::Ratio("patch", patchVsCp, cp);
  bench::Report("patch", bspatch, outSize);
  bench::Report("patch", patchVsBs, outSize);
  bench::Ratio("patch", patchVsBs, bspatch);
  bench::Remove(outCp);
  bench::Remove(outOurs);
  bench::Remove(outBs);

  // ---- a DBBDIFF entry ----
  const uint32_t key = product::kBaseKeys[0];
  const Bytes plainOld = sample::MakePlainBase(1, static_cast<uint32_t>(kSize), 1);
  const Bytes plainNew = ChangedBase(plainOld);
  Bytes oldBase = plainOld, newBase = plainNew;
  ScrambleBase(oldBase, key, product::kBaseM1, product::kBaseM2);
  ScrambleBase(newBase, key, product::kBaseM1, product::kBaseM2);
  pkg::TPartNfo e;
  e.Kind = pkg::kDbbDiff;
  e.Name = "Base\\std1";
  e.OldSize = static_cast<uint32_t>(oldBase.size());
  e.OldSum = pkg::AddSum(oldBase);
  e.PrepSize = static_cast<uint32_t>(plainOld.size());
  e.PrepSum = pkg::AddSum(plainOld);
  e.MidSize = static_cast<uint32_t>(plainNew.size());
  e.MidSum = pkg::AddSum(plainNew);
  e.NewSize = static_cast<uint32_t>(newBase.size());
  e.NewSum = pkg::AddSum(newBase);

  const std::string root = d + "dbbdiff/";
  const std::string oldCopy = root + "std1.old", patchCopy = root + "std1.bdt";
  if (bench::FileSize(oldCopy) != oldBase.size() || bench::FileSize(patchCopy) == 0) {
    std::printf("making %s and its patch\n", oldCopy.c_str());
    std::fflush(stdout);
    fs::create_directories(root);
    Bytes patch;
    if (!bdt::MakeDiff(plainOld, plainNew, patch)) return 1;
    WriteHost(oldCopy, oldBase);
    WriteHost(patchCopy, patch);
  }
  const std::string target = root + "zum/Base/std1";
  const std::string temp = root + "zum/ZUMUPDTA.TMP/";
  const std::string work = temp + "WRK/Base/std1", backup = temp + "BAK1/Base/std1";
  const std::string journal = root + "zum/zum_3.0.7.1.txt", outCp2 = root + "cp.out";
  std::printf("dbbdiff: a %u-byte base file, patch %llu bytes, %d runs\n", e.NewSize,
              static_cast<unsigned long long>(bench::FileSize(patchCopy)), opt.runs);

  std::unique_ptr<TForm1> entryForm;
  // As the engine leaves it before the backup: the installed file, the unpacked
  // patch in the work tree, the journal open.
  auto prepare = [&] {
    entryForm.reset();
    fs::remove_all(root + "zum");
    fs::create_directories(root + "zum/Base");
    fs::create_directories(temp + "WRK/Base");
    fs::create_directories(temp + "BAK1/Base");
    fs::copy_file(oldCopy, target);
    fs::copy_file(patchCopy, work);
    entryForm = std::make_unique<TForm1>(&tk);
    entryForm->JournalFile = bench::Dos(journal);
    entryForm->JournalMuted = false;
    entryForm->JournalStart();
  };
  auto entry = [&] {
    const bool ok = entryForm->JournalCopy(bench::Dos(target), bench::Dos(backup), false) &&
                    entryForm->ApplyDbbDiff(e, bench::Dos(target), bench::Dos(work),
                                            bench::Dos(backup));
    entryForm->JournalEnd();
    return ok;
  };
  bench::Subject dbb{"DBBDIFF entry", prepare, entry};
  bench::Subject cpBase{"cp (the base file)", [&] { bench::Remove(outCp2); },
                        [&] { return bench::RunTool({"cp", oldCopy, outCp2}); }};
  bench::MeasurePair(dbb, cpBase, opt.runs);
  bench::Report("dbbdiff", cpBase, e.NewSize);
  bench::Report("dbbdiff", dbb, e.NewSize);
  bench::Ratio("dbbdiff", dbb, cpBase);
  prepare();
  PeakMemory("dbbdiff", "DBBDIFF entry", entry);
  if (ReadHost(target) != newBase) {
    std::fprintf(stderr, "dbbdiff: the base file is not the new one\n");
    return 1;
  }
  entryForm.reset();
  fs::remove_all(root + "zum");
  bench::Remove(outCp2);
  return 0;
}
