#include "zumpack/output.h"

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "base/cp1251.h"
#include "platform/os.h"
#include "../tools_hostpath.h"

namespace zumpack {

namespace {
bool StderrIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

size_t Columns() {
  if (const char* c = std::getenv("COLUMNS")) {
    const int n = std::atoi(c);
    if (n >= 40 && n < 1000) return static_cast<size_t>(n);
  }
  return 80;
}

// Characters, not bytes, of a CP1251 text on the terminal.
std::string Fit(const std::string& text, size_t width) {
  if (text.size() <= width) return text;
  return "..." + text.substr(text.size() - (width - 3));
}
}  // namespace

TProgressLine::TProgressLine(bool wanted) : active_(wanted && StderrIsTerminal()) {}

void TProgressLine::Show(const std::string& step, uint64_t done, uint64_t total) {
  if (!active_) return;
  const int percent = total ? static_cast<int>(done * 100 / total) : -1;
  // At most ten redraws a second, but every new step and every full bar at once.
  const uint64_t now = os::TickMs();
  if (step == lastStep_ && percent == lastPercent_) return;
  if (step == lastStep_ && now - lastTick_ < 100 && percent != 100) return;
  lastTick_ = now;
  lastStep_ = step;
  lastPercent_ = percent;

  const size_t width = Columns() - 1;
  std::string line;
  if (total) {
    constexpr size_t kBar = 24;
    const size_t filled = static_cast<size_t>(done * kBar / total);
    char tail[16];
    std::snprintf(tail, sizeof tail, "] %3d%% ", percent);
    line = "[" + std::string(filled, '#') + std::string(kBar - filled, '.') + tail;
  }
  line += Fit(step, width - line.size());
  const size_t chars = line.size();
  if (chars < shown_) line += std::string(shown_ - chars, ' ');
  shown_ = chars;
  std::fprintf(stderr, "\r%s", tools::ToConsole(line).c_str());
  std::fflush(stderr);
}

void TProgressLine::Clear() {
  if (!active_ || shown_ == 0) return;
  std::fprintf(stderr, "\r%s\r", std::string(shown_, ' ').c_str());
  std::fflush(stderr);
  shown_ = 0;
  lastStep_.clear();
  lastPercent_ = -1;
}

void TJson::Value() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!first_.empty()) {
    if (!first_.back()) out_ += ',';
    first_.back() = false;
  }
}

TJson& TJson::BeginObject() {
  Value();
  out_ += '{';
  first_.push_back(true);
  return *this;
}
TJson& TJson::EndObject() {
  out_ += '}';
  first_.pop_back();
  return *this;
}
TJson& TJson::BeginArray() {
  Value();
  out_ += '[';
  first_.push_back(true);
  return *this;
}
TJson& TJson::EndArray() {
  out_ += ']';
  first_.pop_back();
  return *this;
}
TJson& TJson::Key(const std::string& key) {
  String(key);
  out_ += ':';
  afterKey_ = true;
  return *this;
}
TJson& TJson::String(const std::string& cp1251) {
  Value();
  out_ += '"';
  for (unsigned char c : cp1251::ToUtf8(cp1251)) {
    switch (c) {
      case '"': out_ += "\\\""; break;
      case '\\': out_ += "\\\\"; break;
      case '\n': out_ += "\\n"; break;
      case '\r': out_ += "\\r"; break;
      case '\t': out_ += "\\t"; break;
      default:
        if (c < 0x20) {
          char b[8];
          std::snprintf(b, sizeof b, "\\u%04x", c);
          out_ += b;
        } else {
          out_ += static_cast<char>(c);
        }
    }
  }
  out_ += '"';
  return *this;
}
TJson& TJson::Number(uint64_t v) {
  Value();
  out_ += std::to_string(v);
  return *this;
}
TJson& TJson::Signed(int64_t v) {
  Value();
  out_ += std::to_string(v);
  return *this;
}
TJson& TJson::Bool(bool v) {
  Value();
  out_ += v ? "true" : "false";
  return *this;
}
TJson& TJson::Null() {
  Value();
  out_ += "null";
  return *this;
}

}  // namespace zumpack
