// What every benchmark program needs: the data folder, test data made once and
// kept, running a reference tool, timing, medians and the report lines.
//
// Each program takes the data folder (a host path) as its first argument and the
// number of timed runs as an optional second one. Figures go to standard output as
//   <benchmark>: <subject> median <seconds> s, <MB/s> MB/s (runs: a b c ...)
//   <benchmark>: ratio <ours>/<reference> = <x>
#pragma once

#include <cstdint>
#include <functional>
#include <string>
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

// Seconds taken by `fn`; a false result is reported and ends the program.
double Time(const std::string& what, const std::function<bool()>& fn);
double Median(std::vector<double> v);

// Runs `setup` (untimed) and then times `fn`, `runs` times, after one warm-up run.
std::vector<double> Measure(const std::string& what, int runs, const std::function<void()>& setup,
                            const std::function<bool()>& fn);

void Report(const std::string& bench, const std::string& subject, const std::vector<double>& times,
            uint64_t bytes);
void Ratio(const std::string& bench, const std::string& ours, const std::vector<double>& oursTimes,
           const std::string& ref, const std::vector<double>& refTimes);

}  // namespace bench
