// zumsample: makes a sample ZUM installation in a folder.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sample.h"
#include "../tools_hostpath.h"

namespace {

const char kUsage[] =
    "usage: zumsample OUTDIR [--version 3.0.7] [--stamp 0x55685DBC] [--edition N]\n"
    "                 [--seed N] [--base-size BYTES] [--exe PE-FILE] [--release N]\n"
    "\n"
    "Makes a sample installation of the product in OUTDIR: the product's folders,\n"
    "Exe\\zum.exe (a PE image linked at --stamp, or a copy of --exe with that stamp),\n"
    "Cfg\\CFG.ZUM with --version and --edition (its byte 120), the scrambled base\n"
    "files Base\\std1 to Base\\std6 of --base-size bytes each, and working data under Rus and Ukr.\n"
    "--release N makes the same installation N releases later (changed base records,\n"
    "a rebuilt zum.exe, a new Cfg\\klsstd.zum): the new tree of an update.\n"
    "The same options and --seed give the same bytes.\n";

bool ParseU32(const char* text, uint32_t& out) {
  if (!text || !*text) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 0);
  if (*end != '\0' || errno != 0 || v > 0xFFFFFFFFull || text[0] == '-') return false;
  out = static_cast<uint32_t>(v);
  return true;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "zumsample: %s\n", tools::ToConsole(message).c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  sample::SampleOptions options;
  std::string outDir;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    uint32_t n = 0;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      if (!value) return Fail("--version needs a value");
      options.version = tools::FromConsole(value);
      ++i;
    } else if (arg == "--stamp") {
      if (!ParseU32(value, options.stamp)) return Fail("--stamp needs a 32-bit number");
      ++i;
    } else if (arg == "--edition") {
      if (!ParseU32(value, n) || n > 255) return Fail("--edition must be 0..255");
      options.edition = static_cast<uint8_t>(n);
      ++i;
    } else if (arg == "--release") {
      if (!ParseU32(value, options.release)) return Fail("--release needs a number");
      ++i;
    } else if (arg == "--seed") {
      if (!ParseU32(value, options.seed)) return Fail("--seed needs a 32-bit number");
      ++i;
    } else if (arg == "--base-size") {
      if (!ParseU32(value, options.baseSize)) return Fail("--base-size needs a number of bytes");
      ++i;
    } else if (arg == "--exe") {
      if (!value) return Fail("--exe needs a file");
      std::string error;
      if (!tools::ToDosPath(value, options.productExe, error)) return Fail(error);
      ++i;
    } else if (!arg.empty() && arg[0] == '-') {
      return Fail("unknown option " + arg + " (see --help)");
    } else if (outDir.empty()) {
      std::string error;
      if (!tools::ToDosPath(arg, outDir, error)) return Fail(error);
    } else {
      return Fail("only one OUTDIR may be given");
    }
  }
  if (outDir.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  std::string error;
  std::vector<std::string> written;
  if (!sample::MakeSampleInstallation(outDir, options, error, &written)) return Fail(error);
  std::printf("sample installation %s in %s: %zu files\n",
              tools::ToConsole(options.version).c_str(), tools::ToConsole(outDir).c_str(),
              written.size());
  for (const std::string& rel : written) std::printf("  %s\n", tools::ToConsole(rel).c_str());
  return 0;
}
