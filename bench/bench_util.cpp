#include "bench_util.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

extern char** environ;

namespace bench {

Options ParseArgs(int argc, char** argv, const char* name) {
  Options o;
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s DATA-FOLDER [RUNS]\n", name);
    std::exit(2);
  }
  o.dataDir = argv[1];
  if (o.dataDir.empty() || o.dataDir.back() != '/') o.dataDir += '/';
  if (argc == 3) o.runs = std::max(1, std::atoi(argv[2]));
  return o;
}

std::string Dos(const std::string& hostPath) {
  std::string dos = "Z:";
  for (char c : hostPath) dos += c == '/' ? '\\' : c;
  return dos;
}

uint64_t FileSize(const std::string& hostPath) {
  struct stat st;
  return stat(hostPath.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

void Remove(const std::string& hostPath) { unlink(hostPath.c_str()); }

void SyncDisks() { sync(); }

void EnsureData(const std::string& hostPath, uint64_t size) {
  if (FileSize(hostPath) == size) return;
  std::printf("making %s (%llu bytes)\n", hostPath.c_str(), static_cast<unsigned long long>(size));
  std::fflush(stdout);
  // Records of a data base: a key, names from a small vocabulary, dates, amounts,
  // a block of codes and now and then a run of noise. It compresses about 3:1.
  static const char* const kNames[] = {"Kyiv", "Odesa", "Lviv", "Kharkiv", "Dnipro",
                                       "Moskva", "Tver", "Kazan", "Omsk", "Perm",
                                       "Tovar", "Usluga", "Rabota", "Material", "Nalog"};
  std::mt19937 engine(12345);
  auto rng = [&engine] { return static_cast<unsigned>(engine()); };
  std::string buf;
  buf.reserve(1 << 22);
  FILE* f = std::fopen(hostPath.c_str(), "wb");
  if (!f) {
    std::perror(hostPath.c_str());
    std::exit(1);
  }
  uint64_t written = 0;
  uint32_t key = 0;
  while (written < size) {
    buf.clear();
    while (buf.size() < (1u << 22) - 512) {
      char line[256];
      const int n = std::snprintf(line, sizeof line, "%08u;%s;%s;%02u.%02u.20%02u;%u.%02u;",
                                  key++, kNames[rng() % 15], kNames[rng() % 15], 1 + rng() % 28,
                                  1 + rng() % 12, rng() % 30, rng() % 100000, rng() % 100);
      buf.append(line, static_cast<size_t>(n));
      for (int i = 0; i < 8; ++i) buf.push_back(static_cast<char>(rng() % 16));
      if (rng() % 4 == 0)
        for (int i = 0; i < 24; ++i) buf.push_back(static_cast<char>(rng()));
      buf += "\r\n";
    }
    const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - written));
    if (std::fwrite(buf.data(), 1, n, f) != n) {
      std::perror(hostPath.c_str());
      std::exit(1);
    }
    written += n;
  }
  std::fclose(f);
}

bool RunTool(const std::vector<std::string>& args, const std::string& stdoutPath) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (!stdoutPath.empty())
    posix_spawn_file_actions_addopen(&fa, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid;
  const int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return false;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool EnsureCorrectionPackage(const std::string& root, const std::string& bigData,
                             const std::string& zumupd, const std::string& zumsample,
                             const std::string& zumpack) {
  const std::string oldTree = root + "old", newTree = root + "new", package = root + "update";
  struct stat made, stub;
  if (stat(package.c_str(), &made) == 0 && stat(zumupd.c_str(), &stub) == 0 &&
      made.st_mtime >= stub.st_mtime)
    return true;
  std::printf("making the sample trees and the package (kept until the installer changes)\n");
  std::fflush(stdout);
  return RunTool({"rm", "-rf", root}) && RunTool({"mkdir", "-p", root}) &&
         RunTool({zumsample, oldTree, "--version", "3.0.7"}, "/dev/null") &&
         RunTool({zumsample, newTree, "--version", "3.0.7.1", "--release", "1"}, "/dev/null") &&
         RunTool({"cp", bigData, newTree + "/Rus/big.dat"}) &&
         RunTool({zumpack, "build", "--old", Dos(oldTree), "--new", Dos(newTree), "--stub",
                  Dos(zumupd), "-o", Dos(package + ".part"), "-q"},
                 "/dev/null") &&
         RunTool({"mv", package + ".part", package});
}

int StartInstaller(const std::string& dir, const std::string& answers, const std::string& outPath) {
  const std::string in = dir + "/../answers.txt";
  if (FILE* f = std::fopen(in.c_str(), "wb")) {
    std::fwrite(answers.data(), 1, answers.size(), f);
    std::fclose(f);
  }
  const std::string exe = dir + "/update";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
  char* argv[] = {const_cast<char*>(exe.c_str()), nullptr};
  pid_t pid;
  const int rc = posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    std::fprintf(stderr, "bench: cannot start %s: %s\n", exe.c_str(), std::strerror(rc));
    return -1;
  }
  return pid;
}

namespace {
double CpuSeconds() {
  double total = 0;
  for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    struct rusage ru;
    getrusage(who, &ru);
    total += static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
             static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  }
  return total;
}
}  // namespace

Sample Time(const Subject& s) {
  if (s.setup) s.setup();
  SyncDisks();
  const double cpu0 = CpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  const bool ok = s.run();
  const auto t1 = std::chrono::steady_clock::now();
  const double cpu1 = CpuSeconds();
  if (!ok) {
    std::fprintf(stderr, "%s failed\n", s.name.c_str());
    std::exit(1);
  }
  return {std::chrono::duration<double>(t1 - t0).count(), cpu1 - cpu0};
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void MeasurePair(Subject& a, Subject& b, int runs) {
  for (int i = 0; i <= runs; ++i) {
    Subject& first = i % 2 ? b : a;
    Subject& second = i % 2 ? a : b;
    const Sample s1 = Time(first);
    const Sample s2 = Time(second);
    if (i == 0) continue;  // the warm-up round fills the caches
    first.samples.push_back(s1);
    second.samples.push_back(s2);
  }
}

namespace {
double MedianOf(const Subject& s, double Sample::*field) {
  std::vector<double> v;
  for (const Sample& x : s.samples) v.push_back(x.*field);
  return Median(v);
}
}  // namespace

void Report(const std::string& bench, const Subject& s, uint64_t bytes) {
  const double wall = MedianOf(s, &Sample::wall);
  const double cpu = MedianOf(s, &Sample::cpu);
  std::printf("%s: %-22s wall %7.3f s (%6.1f MB/s), cpu %7.3f s (runs:", bench.c_str(),
              s.name.c_str(), wall, wall > 0 ? static_cast<double>(bytes) / 1e6 / wall : 0.0, cpu);
  for (const Sample& x : s.samples) std::printf(" %.3f/%.3f", x.wall, x.cpu);
  std::printf(")\n");
  std::fflush(stdout);
}

void Ratio(const std::string& bench, const Subject& ours, const Subject& reference) {
  auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
  std::printf("%s: ratio %s / %s: wall %.2f, cpu %.2f\n", bench.c_str(), ours.name.c_str(),
              reference.name.c_str(),
              ratio(MedianOf(ours, &Sample::wall), MedianOf(reference, &Sample::wall)),
              ratio(MedianOf(ours, &Sample::cpu), MedianOf(reference, &Sample::cpu)));
  std::fflush(stdout);
}

}  // namespace bench
