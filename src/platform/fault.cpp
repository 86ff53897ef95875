// The fault layer (see fault.h). Its own log is written with the C library, never
// through the platform layer, so that logging counts nothing and injects nothing.
#include "platform/fault.h"

#include <cstdio>
#include <cstdlib>
#include <limits>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace os::fault {

namespace {

struct Config {
  bool active = false;
  uint64_t killAt = 0;        // 0: never
  uint64_t failAt = 0;        // 0: never
  bool failOnward = false;    // every operation from failAt on
  Inject failWith = Inject::None;
  std::string logPath;
  uint64_t freeCap = std::numeric_limits<uint64_t>::max();
  bool noSleep = false;
};

struct State {
  Config config;
  uint64_t count = 0;
  std::FILE* log = nullptr;
  bool loaded = false;
};

State& S() {
  static State state;
  return state;
}

bool ParseNumber(const std::string& text, uint64_t& out) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  out = v;
  return true;
}

bool ParseError(const std::string& text, Inject& out) {
  if (text == "diskfull") out = Inject::DiskFull;
  else if (text == "io") out = Inject::Io;
  else if (text == "access") out = Inject::Access;
  else if (text == "sharing") out = Inject::Sharing;
  else return false;
  return true;
}

bool Parse(const std::string& text, Config& out) {
  Config c;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    const std::string item = text.substr(pos, comma - pos);
    pos = comma + 1;
    if (item.empty()) continue;
    if (item.rfind("kill@", 0) == 0) {
      if (!ParseNumber(item.substr(5), c.killAt) || c.killAt == 0) return false;
    } else if (item.rfind("fail@", 0) == 0) {
      const size_t colon = item.find(':');
      if (colon == std::string::npos) return false;
      std::string at = item.substr(5, colon - 5);
      if (!at.empty() && at.back() == '+') {
        c.failOnward = true;
        at.pop_back();
      }
      if (!ParseNumber(at, c.failAt) || c.failAt == 0) return false;
      if (!ParseError(item.substr(colon + 1), c.failWith)) return false;
    } else if (item.rfind("log=", 0) == 0) {
      c.logPath = item.substr(4);
      if (c.logPath.empty()) return false;
    } else if (item == "nosleep") {
      c.noSleep = true;
    } else if (item.rfind("free=", 0) == 0) {
      if (!ParseNumber(item.substr(5), c.freeCap)) return false;
    } else {
      return false;
    }
  }
  c.active = !text.empty();
  out = c;
  return true;
}

void Apply(State& s, const Config& c) {
  if (s.log) std::fclose(s.log);
  s.log = nullptr;
  s.config = c;
  s.count = 0;
  if (!c.logPath.empty()) s.log = std::fopen(c.logPath.c_str(), "ab");
}

State& Loaded() {
  State& s = S();
  if (!s.loaded) {
    s.loaded = true;
    const char* text = std::getenv("ZUM_FAULT");
    Config c;
    if (text && *text) {
      if (!Parse(text, c)) {
        // A test that asked for faults must not silently run without them.
        std::fprintf(stderr, "ZUM_FAULT: cannot parse \"%s\"\n", text);
        std::abort();
      }
      Apply(s, c);
    }
  }
  return s;
}

[[noreturn]] void KillNow() {
#ifdef _WIN32
  ::TerminateProcess(::GetCurrentProcess(), kKillExitCode);
#endif
  _exit(kKillExitCode);
}

void Log(State& s, Op op, const std::string& path, const std::string& path2, const void* data,
         size_t size) {
  if (!s.log) return;
  std::string line = std::to_string(s.count) + "\t" + OpName(op) + "\t" + path + "\t" + path2 +
                     "\t" + std::to_string(size) + "\t";
  if (data && size <= kLogDataLimit) {
    static const char kHex[] = "0123456789abcdef";
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
      line += kHex[p[i] >> 4];
      line += kHex[p[i] & 15];
    }
  }
  line += "\n";
  std::fwrite(line.data(), 1, line.size(), s.log);
  // Into the system at once: a kill right after must not lose the line.
  std::fflush(s.log);
}

}  // namespace

const char* OpName(Op op) {
  switch (op) {
    case Op::Create: return "create";
    case Op::Write: return "write";
    case Op::Truncate: return "truncate";
    case Op::Flush: return "flush";
    case Op::MapCreate: return "mapcreate";
    case Op::MapFlush: return "mapflush";
    case Op::Move: return "move";
    case Op::Delete: return "delete";
    case Op::MakeDir: return "mkdir";
    case Op::RemoveDir: return "rmdir";
    case Op::SetAttr: return "setattr";
    case Op::Link: return "link";
  }
  return "?";
}

Inject Before(Op op, const std::string& path, const std::string& path2, const void* data,
              size_t size) {
  State& s = Loaded();
  if (!s.config.active) return Inject::None;
  ++s.count;
  const Config& c = s.config;
  if (c.killAt == s.count) KillNow();
  Log(s, op, path, path2, data, size);
  if (c.failAt != 0 && (s.count == c.failAt || (c.failOnward && s.count > c.failAt)))
    return c.failWith;
  return Inject::None;
}

namespace {
thread_local int t_changeDepth = 0;
}  // namespace

Guard::Guard(Op op, const std::string& path, const std::string& path2, const void* data,
             size_t size, bool counted)
    : counted_(counted) {
  if (!counted_) return;
  ++t_changeDepth;
  inject_ = Before(op, path, path2, data, size);
}

Guard::~Guard() {
  if (counted_) --t_changeDepth;
}

bool InChange() { return t_changeDepth > 0; }

bool Active() { return Loaded().config.active; }

bool Configure(const std::string& text) {
  State& s = Loaded();
  Config c;
  if (!Parse(text, c)) return false;
  Apply(s, c);
  return true;
}

uint64_t Count() { return Loaded().count; }

bool NoSleep() { return Loaded().config.noSleep; }

void CapFreeSpace(uint64_t& freeBytes) {
  const State& s = Loaded();
  if (s.config.active && freeBytes > s.config.freeCap) freeBytes = s.config.freeCap;
}

}  // namespace os::fault
