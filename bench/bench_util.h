// What every benchmark program needs: the data folder, test data made once and
// kept, running a reference tool, timing, medians and the report lines.
//
// Each program takes the data folder (a host path) as its first argument and the
// number of timed runs as an optional second one. Figures go to standard output as
//   <benchmark>: <subject> wall <s> s (<MB/s> MB/s), cpu <s> s (runs: wall/cpu ...)
//   <benchmark>: ratio <ours> / <reference>: wall <x>, cpu <y>
// Wall is elapsed time; cpu is user + system time of this process and of the tools
// it ran, which stays meaningful when other work shares the machine. Ours and the
// reference run in turns, so that changing load falls on both alike.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace bench {

struct Options {
  std::string dataDir;  // host path, ends with '/'
  int runs = 5;
};
// Parses argv; prints the usage and exits on a bad command line.
Options ParseArgs(int argc, char** argv, const char* name);

// The DOS path under which the core sees a host path (Z: is the root).
std::string Dos(const std::string& hostPath);

// Makes `hostPath` with `size` bytes of moderately compressible, record-like data
// unless a file of that size is already there (the data is deterministic).
void EnsureData(const std::string& hostPath, uint64_t size);
uint64_t FileSize(const std::string& hostPath);  // 0 when missing
void Remove(const std::string& hostPath);
// Flushes dirty pages so that one run's writeback does not land in the next run.
void SyncDisks();

// Runs a program (found on PATH) with `args`, standard output to `stdoutPath`
// when not empty; false when it could not start or did not exit with 0.
bool RunTool(const std::vector<std::string>& args, const std::string& stdoutPath = "");

// Starts the installer `dir`/update in `dir` with the terminal front end: `answers`
// (UTF-8, one a line) on its standard input, its standard output and error to
// `outPath`. The process id, or -1 with the reason on stderr.
int StartInstaller(const std::string& dir, const std::string& answers, const std::string& outPath);

// The sample correction package of the installer benchmarks: the sample
// installation 3.0.7 (folder `root`old) and release 3.0.7.1 with the 200 MB file
// `bigData` added as Rus\big.dat, packed by `zumpack` on the installer `zumupd`
// into `root`update. Made once and kept, and made again when the installer is
// newer than it: the installer that runs is the package's stub.
bool EnsureCorrectionPackage(const std::string& root, const std::string& bigData,
                             const std::string& zumupd, const std::string& zumsample,
                             const std::string& zumpack);

struct Sample {
  double wall = 0;  // seconds
  double cpu = 0;   // seconds, user + system, with the tools' own
};

// One subject: `setup` runs untimed before each timed `run`; a false result of
// `run` is reported and ends the program.
struct Subject {
  Subject(std::string n, std::function<void()> s, std::function<bool()> r)
      : name(std::move(n)), setup(std::move(s)), run(std::move(r)) {}
  std::string name;
  std::function<void()> setup;
  std::function<bool()> run;
  std::vector<Sample> samples;
};

Sample Time(const Subject& s);
double Median(std::vector<double> v);

// After one warm-up round, `runs` rounds, each running both subjects, the order
// changing from round to round; the samples land in the subjects.
void MeasurePair(Subject& a, Subject& b, int runs);

void Report(const std::string& bench, const Subject& s, uint64_t bytes);
void Ratio(const std::string& bench, const Subject& ours, const Subject& reference);

}  // namespace bench
