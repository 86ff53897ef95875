// RekeyBase unscrambling a 200 MB base file, against cp of the file, in the same
// run; and the memory it takes, which its one buffer fixes whatever the file's size.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "installer/form1.h"
#include "format/basefile.h"
#include "bench_util.h"
#include "product/product.h"
#include "sample/sample.h"
#include "frontends/scripted/scripted.h"

namespace {

constexpr uint32_t kSize = 200u * 1000 * 1000;

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
    std::printf("%s: %s peak memory %.2f MB above the %.1f MB the process held before%s\n",
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

}  // namespace

int main(int argc, char** argv) {
  const bench::Options opt = bench::ParseArgs(argc, argv, "rekey_bench");
  const uint32_t key = product::kBaseKeys[0];
  const std::string base = opt.dataDir + "rekey_std1";
  const std::string outCp = opt.dataDir + "rekey_cp", outOurs = opt.dataDir + "rekey_plain";
  if (bench::FileSize(base) != kSize) {
    std::printf("making %s (%u bytes)\n", base.c_str(), kSize);
    std::fflush(stdout);
    std::vector<uint8_t> b = sample::MakePlainBase(1, kSize, 1);
    if (ScrambleBase(b, key, product::kBaseM1, product::kBaseM2) != BaseStatus::Ok) return 1;
    std::ofstream out(base, std::ios::binary);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    if (!out) return 1;
  }
  std::printf("rekey: a %u-byte base file, %d runs\n", kSize, opt.runs);

  ui::ScriptedToolkit tk;
  TForm1 form(&tk);
  auto unscramble = [&] {
    return form.RekeyBase(bench::Dos(base), bench::Dos(outOurs), 0, key);
  };
  bench::Subject ours{"RekeyBase (unscramble)", [&] { bench::Remove(outOurs); }, unscramble};
  bench::Subject cp{"cp", [&] { bench::Remove(outCp); },
                    [&] { return bench::RunTool({"cp", base, outCp}); }};
  bench::MeasurePair(ours, cp, opt.runs);
  bench::Report("rekey", cp, kSize);
  bench::Report("rekey", ours, kSize);
  bench::Ratio("rekey", ours, cp);
  PeakMemory("rekey", "RekeyBase", unscramble);
  bench::Remove(outCp);
  bench::Remove(outOurs);
  return 0;
}
