// zumstandin: stands in for the running product. It holds the product's mutex, named
// from its own path by the product's rule, for as long as it runs, so that an
// installer sees the product running. Copied into an installation as Exe\zum.exe it
// holds exactly the mutex an installer looks for in that installation.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "../tools_hostpath.h"
#include "platform/os.h"
#include "product/names.h"

namespace {

const char kUsage[] =
    "usage: zumstandin [--seconds N] [--until-file FILE] [--mutex NAME]\n"
    "\n"
    "Holds the product mutex of its own executable (its full path upper-cased, every\n"
    "backslash turned into '_'), or the mutex NAME, and prints \"holding NAME\" once\n"
    "held. Runs until killed, for N seconds, or until FILE exists. Exits with 2 when\n"
    "the mutex is already held by another process, printing \"already held NAME\".\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "zumstandin: %s\n", message.c_str());
  return 3;
}

}  // namespace

int main(int argc, char** argv) {
  long seconds = -1;
  std::string untilFile, name;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--seconds" && hasValue) {
      char* end = nullptr;
      seconds = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || seconds < 0) return Fail("--seconds needs a number");
    } else if (arg == "--until-file" && hasValue) {
      untilFile = argv[++i];
    } else if (arg == "--mutex" && hasValue) {
      name = tools::FromConsole(argv[++i]);
    } else {
      return Fail("bad argument " + arg + " (see --help)");
    }
  }

  if (name.empty()) {
    const std::string self = os::ModulePath();
    if (self.empty()) return Fail("cannot tell the path of this program");
    name = product::ProductMutexName(self);
  }
  os::NamedMutex mutex;
  bool existed = false;
  if (!mutex.Create(name, existed)) return Fail("cannot create the mutex: " + os::LastErrorText());
  if (existed) {
    std::printf("already held %s\n", tools::ToConsole(name).c_str());
    return 2;
  }
  std::printf("holding %s\n", tools::ToConsole(name).c_str());
  std::fflush(stdout);

  const uint64_t start = os::TickMs();
  for (;;) {
    if (!untilFile.empty()) {
      std::error_code ec;
      if (std::filesystem::exists(untilFile, ec)) break;
    }
    if (seconds >= 0 && os::TickMs() - start >= static_cast<uint64_t>(seconds) * 1000) break;
    os::SleepMs(50);
  }
  return 0;
}
