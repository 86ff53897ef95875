// Peak anonymous memory (heap and stacks; not the pages of mapped files) of the
// installer while it applies a correction package with a 200 MB whole file to the
// sample installation. The installer runs as its own process, with the terminal
// front end, and its RssAnon is sampled every millisecond; its time is set against
// `cp` of the same 200 MB file.
//
// The programs come from the same build: zumsample makes the installation, zumpack
// the package (kept in the data folder until the installer changes).
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "base/cp1251.h"

namespace {

const std::string kZumupd = ZUM_BENCH_ZUMUPD;
const std::string kZumsample = ZUM_BENCH_ZUMSAMPLE;
const std::string kZumpack = ZUM_BENCH_ZUMPACK;

bool Run(const std::vector<std::string>& args) {
  if (!bench::RunTool(args, "/dev/null")) {
    std::fprintf(stderr, "update_memory: failed: %s ...\n", args[0].c_str());
    return false;
  }
  return true;
}

long StatusKb(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, n, field) == 0) return std::atol(line.c_str() + n + 1);
  return -1;
}

struct Peak {
  long anonKb = 0;  // largest RssAnon sampled
  long hwmKb = 0;   // VmHWM (all resident pages, mapped files included) at the last sample
  double seconds = 0;
  int status = -1;
};

// Starts the installer in `dir` with `answers` on its standard input and samples
// its memory until it ends.
bool RunInstaller(const std::string& dir, const std::string& answers, Peak& peak) {
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = bench::StartInstaller(dir, answers, "/dev/null");
  if (pid < 0) return false;
  int status = 0;
  for (;;) {
    const long anon = StatusKb(pid, "RssAnon:");
    const long hwm = StatusKb(pid, "VmHWM:");
    if (anon > peak.anonKb) peak.anonKb = anon;
    if (hwm > 0) peak.hwmKb = hwm;
    const pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (w < 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  peak.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  peak.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options opt = bench::ParseArgs(argc, argv, "update_memory_bench");
  constexpr uint64_t kSize = 200ull * 1000 * 1000;
  const std::string big = opt.dataDir + "data_200m.bin";
  bench::EnsureData(big, kSize);

  const std::string root = opt.dataDir + "update_memory/";
  const std::string oldTree = root + "old", package = root + "update";
  if (!bench::EnsureCorrectionPackage(root, big, kZumupd, kZumsample, kZumpack)) return 1;
  std::printf("update_memory: correction package %llu bytes (a 200 MB new file among the "
              "changes), %d runs\n",
              static_cast<unsigned long long>(bench::FileSize(package)), opt.runs);

  std::vector<double> anon, hwm, seconds, cpSeconds;
  const std::string work = root + "run/ZUM";
  for (int r = 0; r <= opt.runs; ++r) {  // run 0 warms the page cache
    if (!Run({"rm", "-rf", root + "run"}) || !Run({"mkdir", "-p", root + "run"}) ||
        !Run({"cp", "-a", oldTree, work}) || !Run({"cp", package, work + "/update"}) || !Run({"chmod", "+x", work + "/update"}))
      return 1;
    bench::SyncDisks();
    Peak p;
    if (!RunInstaller(work, cp1251::ToUtf8("нет\n"), p)) return 1;
    if (p.status != 0) {
      std::fprintf(stderr, "update_memory: the installer ended with status %d\n", p.status);
      return 1;
    }
    if (bench::FileSize(work + "/Rus/big.dat") != kSize) {
      std::fprintf(stderr, "update_memory: the update did not write the big file\n");
      return 1;
    }
    bench::Remove(root + "run/cp.bin");
    bench::SyncDisks();
    const auto t0 = std::chrono::steady_clock::now();
    if (!Run({"cp", big, root + "run/cp.bin"})) return 1;
    bench::SyncDisks();
    const double cp = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (r == 0) continue;
    anon.push_back(static_cast<double>(p.anonKb) / 1024);
    hwm.push_back(static_cast<double>(p.hwmKb) / 1024);
    seconds.push_back(p.seconds);
    cpSeconds.push_back(cp);
  }
  double maxAnon = 0;
  for (double a : anon) maxAnon = a > maxAnon ? a : maxAnon;
  std::printf("update_memory: installer peak RssAnon median %.1f MB, max %.1f MB (goal < 64 MB)\n",
              bench::Median(anon), maxAnon);
  std::printf("update_memory: installer VmHWM (mapped file pages included) median %.1f MB\n",
              bench::Median(hwm));
  std::printf("update_memory: installer wall %.2f s, cp of the 200 MB file + sync %.2f s, "
              "ratio %.2f\n",
              bench::Median(seconds), bench::Median(cpSeconds),
              bench::Median(seconds) / bench::Median(cpSeconds));
  Run({"rm", "-rf", root + "run"});
  return maxAnon < 64 ? 0 : 1;
}
