#include "frontends/term/term.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "base/cp1251.h"
#include "platform/os.h"

namespace ui {

namespace {

bool IsTerminal(std::FILE* f) {
#ifdef _WIN32
  return _isatty(_fileno(f)) != 0;
#else
  return isatty(fileno(f)) != 0;
#endif
}

}  // namespace

TermToolkit::TermToolkit(std::FILE* in, std::FILE* out, std::FILE* err)
    : in_(in), out_(out), err_(err), inTty_(IsTerminal(in)), errTty_(IsTerminal(err)) {}

TermToolkit::~TermToolkit() { EndLine(); }

void TermToolkit::Print(const std::string& text) {
  std::fputs(cp1251::ToUtf8(text).c_str(), out_);
}

void TermToolkit::EndLine() {
  ClearProgress();
  if (lineOpen_) {
    std::fputc('\n', out_);
    lineOpen_ = false;
  }
  std::fflush(out_);
}

void TermToolkit::SetCaption(const std::string& caption) {
  EndLine();
  Print("== " + caption + " ==\n");
  std::fflush(out_);
}

void TermToolkit::ProtAdd(const std::string& line) {
  EndLine();
  Print(line);
  last_ = line;
  lineOpen_ = true;
  std::fflush(out_);
}

void TermToolkit::ProtReplaceLast(const std::string& line) {
  ClearProgress();
  if (lineOpen_ && line.compare(0, last_.size(), last_) == 0) {
    Print(line.substr(last_.size()));  // the line grew: print what was added
  } else {
    EndLine();
    Print(line);
    lineOpen_ = true;
  }
  last_ = line;
  std::fflush(out_);
}

void TermToolkit::SetStatusVisible(bool) {}
void TermToolkit::SetStatusText(const std::string&) {}

void TermToolkit::SetProgress(uint32_t position, uint32_t max) {
  if (!errTty_ || max == 0) return;
  int percent = static_cast<int>(static_cast<uint64_t>(position) * 100 / max);
  if (percent == lastPercent_) return;
  lastPercent_ = percent;
  const int width = 40;
  int filled = percent * width / 100;
  std::fprintf(err_, "\r[%-*s] %3d%%", width, std::string(filled, '#').c_str(), percent);
  std::fflush(err_);
  progressShown_ = true;
}

void TermToolkit::ClearProgress() {
  if (!progressShown_) return;
  std::fprintf(err_, "\r%*s\r", 48, "");
  std::fflush(err_);
  progressShown_ = false;
  lastPercent_ = -1;
}

void TermToolkit::ShowExitPanel() { EndLine(); }

bool TermToolkit::ReadLine(std::string& line) {
  line.clear();
  char buf[1024];
  bool any = false;
  while (std::fgets(buf, sizeof buf, in_)) {
    any = true;
    line += buf;
    if (!line.empty() && line.back() == '\n') break;
  }
  if (!any) return false;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  line = cp1251::FromUtf8(line);
  return true;
}

bool IsYes(const std::string& answer) {
  std::string a = cp1251::Lower(answer);
  return a == "y" || a == "yes" || a == "д" || a == "да";
}

bool TermToolkit::MessageBox(BoxStyle style, const std::string& text, const std::string& caption,
                             int msgId) {
  EndLine();
  Print("[" + caption + "]\n" + text + "\n");
  if (style == BoxStyle::Question) {
    Print("(да/нет) > ");
    std::fflush(out_);
    std::string answer;
    bool yes = ReadLine(answer) && IsYes(answer);
    if (!inTty_) Print(yes ? "да\n" : "нет\n");
    std::fflush(out_);
    return yes;
  }
  if (inTty_) {
    Print("(Enter) ");
    std::fflush(out_);
    std::string dummy;
    ReadLine(dummy);
  }
  std::fflush(out_);
  return false;
}

void TermToolkit::ShowException(const std::string& message) {
  EndLine();
  std::fputs(cp1251::ToUtf8(message).c_str(), err_);
  std::fputc('\n', err_);
  std::fflush(err_);
}

std::string TermToolkit::BrowseForFolder(const std::string& title) {
  EndLine();
  Print(title + "\nПапка (пустая строка - отмена) > ");
  std::fflush(out_);
  std::string folder;
  if (!ReadLine(folder)) return std::string();
  // A folder typed as a host path is taken as the DOS path the installer sees.
  if (!folder.empty() && folder[0] == '/') folder = os::HostToDosPath(folder);
  return folder;
}

}  // namespace ui
