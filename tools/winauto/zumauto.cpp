// zumauto: drives a Windows GUI program as a user would, from a small script: starts
// programs, waits for their windows by class and caption, reads list boxes and
// message boxes, fills edits, ticks check boxes and presses buttons, and ends or
// waits for processes. Made for the installer's tests under Wine; it works the same
// on Windows.
//
// Everything it sees is printed as a transcript on standard output (UTF-8); the
// first command that fails stops the script with a message on standard error, a
// list of the windows then on screen, and exit status 1. Programs the script
// started and that still run at its end are ended.
//
// Texts are handled as UTF-16 inside (the "W" API) and as UTF-8 outside, so the
// program itself does not depend on the ANSI code page of the machine.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: zumauto SCRIPT          run the commands of a script file (UTF-8)\n"
    "       zumauto -               read the script from standard input\n"
    "       zumauto -e COMMAND...   run the commands given, one per -e\n"
    "       zumauto --help          this text\n"
    "\n"
    "One command a line; words are separated by blanks, \"double quotes\" group words\n"
    "(\"\" inside quotes is one quote character); a line beginning with # is a comment.\n"
    "Every wait ends with an error after the time set by `timeout` (default 120 s).\n"
    "\n"
    "Patterns (CLASS, CAPTION, TEXT) match the whole text; * stands for any run of\n"
    "characters. In captions of buttons and check boxes the & of the access key is\n"
    "ignored. A CONTROL is a child window of W, at any depth, given as\n"
    "  #ID           its control id, in decimal\n"
    "  label:PATTERN the edit beside the label (to its right, else the nearest below)\n"
    "  PATTERN       a button or check box by caption, or any control by its text\n"
    "\n"
    "Processes (P) and windows (W) get names of your choosing where they are made.\n"
    "\n"
    "  timeout SECONDS              limit of every later wait\n"
    "  cd DIR                       working folder of later starts (default: the\n"
    "                               program's own folder)\n"
    "  start P PROGRAM [ARG...]     start a program\n"
    "  wait-exit P [CODE]           wait for P to end (and check its exit code)\n"
    "  kill P                       end P at once, as the task manager would\n"
    "  wait-process PATH            wait until a process runs from the file PATH\n"
    "  kill-process PATH            end every process running from the file PATH\n"
    "  processes                    print the running processes and their files\n"
    "  wait-window W P CLASS CAPTION    wait for a visible top-level window of P\n"
    "                               (* for any process) and call it W\n"
    "  wait-box W P CAPTION TEXT    wait for a message box of P whose caption and\n"
    "                               message match (its line breaks written \\n);\n"
    "                               print its message and buttons\n"
    "  answer W BUTTON              press a button of the box W and wait until the box\n"
    "                               has gone\n"
    "  click W CONTROL              press a push button (it must be enabled)\n"
    "  check W CONTROL on|off       tick or clear a check box by clicking it\n"
    "  set-text W CONTROL TEXT      replace the text of an edit (as typing would:\n"
    "                               its owner is told of the change)\n"
    "  expect-text W CONTROL TEXT   wait until the control's text matches\n"
    "  expect-state W CONTROL STATE...  wait until the control is enabled|disabled|\n"
    "                               visible|hidden|checked|unchecked\n"
    "  print W CONTROL              print the control's text\n"
    "  lines W CONTROL              print the lines of a list box\n"
    "  wait-line W CONTROL TEXT     wait until a line of a list box matches\n"
    "  wait-gone W                  wait until the window is destroyed or hidden\n"
    "  rect W                       print the window's place: LEFT TOP WIDTH HEIGHT\n"
    "  windows                      print the visible top-level windows\n"
    "  wait-mutex NAME              wait until some process holds the named mutex\n"
    "  signal FILE                  create FILE (to hand over to another program)\n"
    "  wait-file FILE               wait until FILE exists\n"
    "  echo TEXT...                 print the text\n";

// ---- texts ---------------------------------------------------------------------

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

// Line breaks shown as \n, so that one item stays one transcript line.
std::string Show(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) {
    if (c == L'\r') continue;
    if (c == L'\n')
      out += L"\\n";
    else
      out += c;
  }
  return Utf8(out);
}

void Say(const std::string& line) {
  std::string out = line + "\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

std::string SystemError(DWORD code) {
  wchar_t* buffer = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                     FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  std::wstring text = buffer ? buffer : L"";
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
    text.pop_back();
  return Utf8(text) + " (error " + std::to_string(code) + ")";
}

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& message) { throw Failure(message); }

// `*` matches any run of characters; everything else matches itself.
bool Match(const wchar_t* pattern, const wchar_t* text) {
  const wchar_t* star = nullptr;
  const wchar_t* resume = nullptr;
  while (*text) {
    if (*pattern == L'*') {
      star = pattern++;
      resume = text;
    } else if (*pattern == *text) {
      ++pattern;
      ++text;
    } else if (star) {
      pattern = star + 1;
      text = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == L'*') ++pattern;
  return *pattern == 0;
}
bool Match(const std::wstring& pattern, const std::wstring& text) {
  return Match(pattern.c_str(), text.c_str());
}

std::wstring WithoutAccel(const std::wstring& caption) {
  std::wstring out;
  for (size_t i = 0; i < caption.size(); ++i) {
    if (caption[i] == L'&') {
      if (i + 1 < caption.size() && caption[i + 1] == L'&') out += caption[++i];
      continue;
    }
    out += caption[i];
  }
  return out;
}

// ---- windows -------------------------------------------------------------------

// A window's messages are answered only while its thread pumps; the installer's
// thread is busy between its pumps, so every question is asked with a short limit
// and asked again by the waits.
constexpr UINT kAskMs = 400;

std::wstring ClassOf(HWND h) {
  wchar_t name[256] = {};
  GetClassNameW(h, name, 256);
  return name;
}

// The caption as the system keeps it (no message to the window's thread).
std::wstring CaptionOf(HWND h) {
  wchar_t text[1024] = {};
  InternalGetWindowText(h, text, 1024);
  return text;
}

// The text as the control itself gives it (an edit's current contents); false when
// the window's thread did not answer in time.
bool AskText(HWND h, std::wstring& text) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(h, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, kAskMs, &length)) return false;
  std::vector<wchar_t> buffer(length + 2, L'\0');
  DWORD_PTR got = 0;
  if (!SendMessageTimeoutW(h, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                           SMTO_NORMAL, kAskMs, &got))
    return false;
  text.assign(buffer.data(), std::min<size_t>(got, length + 1));
  return true;
}

// The enumeration callback (the system's calling convention, which a lambda cannot
// have in a 32-bit build): collects each window into the vector at `p`.
BOOL CALLBACK CollectWindow(HWND h, LPARAM p) {
  reinterpret_cast<std::vector<HWND>*>(p)->push_back(h);
  return TRUE;
}

std::vector<HWND> Descendants(HWND top) {
  std::vector<HWND> all;
  EnumChildWindows(top, CollectWindow, reinterpret_cast<LPARAM>(&all));
  return all;
}

std::vector<HWND> TopWindows() {
  std::vector<HWND> all;
  EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&all));
  return all;
}

DWORD ProcessOf(HWND h) {
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  return pid;
}

// The message of a message box: its static text control (id 0xFFFF).
constexpr int kBoxTextId = 0xFFFF;
bool IsMessageBox(HWND h) {
  return ClassOf(h) == L"#32770" && GetDlgItem(h, kBoxTextId) != nullptr;
}
bool BoxText(HWND box, std::wstring& text) {
  HWND t = GetDlgItem(box, kBoxTextId);
  if (!t) return false;
  if (AskText(t, text)) return true;
  text = CaptionOf(t);
  return true;
}

bool IsButtonLike(HWND h) { return _wcsicmp(ClassOf(h).c_str(), L"Button") == 0; }

// The file each running process was started from, as a DOS path.
std::vector<std::pair<DWORD, std::wstring>> ProcessImages() {
  std::vector<std::pair<DWORD, std::wstring>> out;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return out;
  PROCESSENTRY32W e = {};
  e.dwSize = sizeof e;
  for (BOOL ok = Process32FirstW(snap, &e); ok; ok = Process32NextW(snap, &e)) {
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, e.th32ProcessID);
    if (!h) continue;
    wchar_t image[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    if (QueryFullProcessImageNameW(h, 0, image, &size)) {
      std::wstring path(image, size);
      if (path.rfind(L"\\??\\", 0) == 0) path.erase(0, 4);
      out.emplace_back(e.th32ProcessID, path);
    }
    CloseHandle(h);
  }
  CloseHandle(snap);
  return out;
}

// ---- the script's state ------------------------------------------------------------

struct Process {
  std::wstring program;
  HANDLE handle = nullptr;
  DWORD pid = 0;
};

class Runner {
 public:
  ~Runner() {
    for (auto& [name, p] : processes_) {
      if (!p.handle) continue;
      if (WaitForSingleObject(p.handle, 0) == WAIT_TIMEOUT) {
        TerminateProcess(p.handle, 1);
        WaitForSingleObject(p.handle, 10000);
        Say("# ended " + name + ", still running at the end of the script");
      }
      CloseHandle(p.handle);
    }
  }

  void Run(const std::vector<std::string>& words);
  void ShowScreen(FILE* out);

 private:
  using Words = std::vector<std::string>;
  template <typename F>
  void WaitFor(const std::string& what, F done);
  DWORD Deadline() const { return GetTickCount() + static_cast<DWORD>(timeoutMs_); }

  Process& ProcessNamed(const std::string& name);
  HWND WindowNamed(const std::string& name);
  HWND FindControl(HWND top, const std::wstring& what, bool buttonsOnly);
  HWND Control(const std::string& window, const std::string& what, bool buttonsOnly = false);
  HWND EditBeside(HWND top, const std::wstring& labelPattern);
  std::vector<std::wstring> ListLines(HWND list, bool& answered);
  void PostClick(HWND button, const std::string& what);
  bool StateHolds(HWND h, const std::string& state, bool& answered);
  void Need(const Words& w, size_t min, size_t max, const char* form);
  // The script commands, one each (the table in Run).
  void CmdTimeout(const Words& w);
  void CmdCd(const Words& w);
  void CmdEcho(const Words& w);
  void CmdStart(const Words& w);
  void CmdWaitExit(const Words& w);
  void CmdKill(const Words& w);
  void CmdProcesses(const Words& w);
  void CmdWaitProcessOrKillProcess(const Words& w);
  void CmdWaitWindowOrWaitBox(const Words& w);
  void CmdAnswerOrClick(const Words& w);
  void CmdCheck(const Words& w);
  void CmdSetText(const Words& w);
  void CmdExpectTextOrPrint(const Words& w);
  void CmdExpectState(const Words& w);
  void CmdLinesOrWaitLine(const Words& w);
  void CmdWaitGone(const Words& w);
  void CmdRect(const Words& w);
  void CmdWindows(const Words& w);
  void CmdWaitMutex(const Words& w);
  void CmdSignal(const Words& w);
  void CmdWaitFile(const Words& w);

  std::map<std::string, Process> processes_;
  std::map<std::string, HWND> windows_;
  std::wstring cd_;
  long timeoutMs_ = 120000;
};

// Polls `done` until it returns true, or fails with `what` when time is up.
template <typename F>
void Runner::WaitFor(const std::string& what, F done) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (done()) return;
    if (static_cast<long>(GetTickCount() - start) >= timeoutMs_)
      Fail("timed out after " + std::to_string(timeoutMs_ / 1000) + " s waiting for " + what);
    Sleep(50);
  }
}

Process& Runner::ProcessNamed(const std::string& name) {
  auto it = processes_.find(name);
  if (it == processes_.end()) Fail("no process named " + name + " was started");
  return it->second;
}

HWND Runner::WindowNamed(const std::string& name) {
  auto it = windows_.find(name);
  if (it == windows_.end()) Fail("no window named " + name + " was found before");
  if (!IsWindow(it->second)) Fail("the window " + name + " is gone");
  return it->second;
}

HWND Runner::EditBeside(HWND top, const std::wstring& labelPattern) {
  std::vector<HWND> all = Descendants(top);
  HWND label = nullptr;
  for (HWND h : all)
    if (_wcsicmp(ClassOf(h).c_str(), L"Static") == 0 && IsWindowVisible(h) &&
        Match(labelPattern, CaptionOf(h))) {
      label = h;
      break;
    }
  if (!label) return nullptr;
  RECT lr;
  GetWindowRect(label, &lr);
  const long labelMid = (lr.top + lr.bottom) / 2;
  HWND beside = nullptr, below = nullptr;
  long besideGap = LONG_MAX, belowGap = LONG_MAX;
  for (HWND h : all) {
    if (_wcsicmp(ClassOf(h).c_str(), L"Edit") != 0 || !IsWindowVisible(h)) continue;
    RECT r;
    GetWindowRect(h, &r);
    if (r.top <= labelMid && labelMid <= r.bottom && r.left >= lr.right - 2) {
      if (r.left - lr.right < besideGap) besideGap = r.left - lr.right, beside = h;
    } else if (r.top >= lr.bottom - 2) {
      if (r.top - lr.bottom < belowGap) belowGap = r.top - lr.bottom, below = h;
    }
  }
  return beside ? beside : below;
}

HWND Runner::FindControl(HWND top, const std::wstring& what, bool buttonsOnly) {
  if (what.size() > 1 && what[0] == L'#') {
    const int id = _wtoi(what.c_str() + 1);
    for (HWND h : Descendants(top))
      if (GetDlgCtrlID(h) == id) return h;
    return nullptr;
  }
  if (what.rfind(L"label:", 0) == 0) return EditBeside(top, what.substr(6));
  // Buttons and check boxes first, by caption without the access key.
  for (HWND h : Descendants(top))
    if (IsButtonLike(h) && Match(what, WithoutAccel(CaptionOf(h)))) return h;
  if (buttonsOnly) return nullptr;
  for (HWND h : Descendants(top))
    if (Match(what, CaptionOf(h))) return h;
  return nullptr;
}

HWND Runner::Control(const std::string& window, const std::string& what, bool buttonsOnly) {
  HWND top = WindowNamed(window);
  HWND h = nullptr;
  // A control may appear a little after its window (made on WM_INITDIALOG), but
  // not much later: a missing one is reported soon.
  const long limit = timeoutMs_;
  timeoutMs_ = std::min(timeoutMs_, 15000L);
  struct Restore {
    long& to;
    long value;
    ~Restore() { to = value; }
  } restore{timeoutMs_, limit};
  WaitFor("control " + what + " in " + window, [&] {
    if (!IsWindow(top)) Fail("the window " + window + " is gone");
    h = FindControl(top, Wide(what), buttonsOnly);
    return h != nullptr;
  });
  return h;
}

std::vector<std::wstring> Runner::ListLines(HWND list, bool& answered) {
  std::vector<std::wstring> lines;
  answered = false;
  DWORD_PTR count = 0;
  if (!SendMessageTimeoutW(list, LB_GETCOUNT, 0, 0, SMTO_NORMAL, kAskMs, &count)) return lines;
  if (static_cast<LRESULT>(count) == LB_ERR) Fail("the control is not a list box");
  for (DWORD_PTR i = 0; i < count; ++i) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(list, LB_GETTEXTLEN, i, 0, SMTO_NORMAL, kAskMs, &length)) return {};
    std::vector<wchar_t> buffer(length + 2, L'\0');
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(buffer.data()),
                             SMTO_NORMAL, kAskMs, &got))
      return {};
    lines.emplace_back(buffer.data());
  }
  answered = true;
  return lines;
}

// A click as the mouse makes it. Posted, not sent: the click may open a modal box,
// and the script goes on while it is open.
void Runner::PostClick(HWND button, const std::string& what) {
  if (!IsWindowVisible(button)) Fail(what + " is not visible");
  if (!IsWindowEnabled(button)) Fail(what + " is disabled");
  if (!PostMessageW(button, BM_CLICK, 0, 0)) Fail("cannot press " + what + ": " + SystemError(GetLastError()));
}

bool Runner::StateHolds(HWND h, const std::string& state, bool& answered) {
  answered = true;
  if (state == "enabled") return IsWindowEnabled(h);
  if (state == "disabled") return !IsWindowEnabled(h);
  if (state == "visible") return IsWindowVisible(h);
  if (state == "hidden") return !IsWindowVisible(h);
  if (state == "checked" || state == "unchecked") {
    DWORD_PTR check = 0;
    if (!SendMessageTimeoutW(h, BM_GETCHECK, 0, 0, SMTO_NORMAL, kAskMs, &check)) {
      answered = false;
      return false;
    }
    return (check == BST_CHECKED) == (state == "checked");
  }
  Fail("unknown state " + state + " (enabled, disabled, visible, hidden, checked, unchecked)");
}

void Runner::ShowScreen(FILE* out) {
  for (HWND h : TopWindows()) {
    if (!IsWindowVisible(h)) continue;
    std::string line = "  window pid " + std::to_string(ProcessOf(h)) + " class \"" +
                       Utf8(ClassOf(h)) + "\" caption \"" + Show(CaptionOf(h)) + "\"";
    std::wstring text;
    if (IsMessageBox(h) && BoxText(h, text)) line += " message \"" + Show(text) + "\"";
    std::fprintf(out, "%s\n", line.c_str());
  }
  std::fflush(out);
}

// Checks the number of a command's arguments.
void Runner::Need(const Words& w, size_t min, size_t max, const char* form) {
  if (w.size() < min + 1 || w.size() > max + 1) Fail(std::string("usage: ") + form);
}

void Runner::Run(const Words& w) {
  using Command = void (Runner::*)(const Words&);
  static const std::map<std::string, Command> kCommands = {
      {"timeout", &Runner::CmdTimeout},
      {"cd", &Runner::CmdCd},
      {"echo", &Runner::CmdEcho},
      {"start", &Runner::CmdStart},
      {"wait-exit", &Runner::CmdWaitExit},
      {"kill", &Runner::CmdKill},
      {"processes", &Runner::CmdProcesses},
      {"wait-process", &Runner::CmdWaitProcessOrKillProcess},
      {"kill-process", &Runner::CmdWaitProcessOrKillProcess},
      {"wait-window", &Runner::CmdWaitWindowOrWaitBox},
      {"wait-box", &Runner::CmdWaitWindowOrWaitBox},
      {"answer", &Runner::CmdAnswerOrClick},
      {"click", &Runner::CmdAnswerOrClick},
      {"check", &Runner::CmdCheck},
      {"set-text", &Runner::CmdSetText},
      {"expect-text", &Runner::CmdExpectTextOrPrint},
      {"print", &Runner::CmdExpectTextOrPrint},
      {"expect-state", &Runner::CmdExpectState},
      {"lines", &Runner::CmdLinesOrWaitLine},
      {"wait-line", &Runner::CmdLinesOrWaitLine},
      {"wait-gone", &Runner::CmdWaitGone},
      {"rect", &Runner::CmdRect},
      {"windows", &Runner::CmdWindows},
      {"wait-mutex", &Runner::CmdWaitMutex},
      {"signal", &Runner::CmdSignal},
      {"wait-file", &Runner::CmdWaitFile},
  };
  const auto it = kCommands.find(w[0]);
  if (it == kCommands.end()) Fail("unknown command " + w[0] + " (see zumauto --help)");
  (this->*it->second)(w);
}

void Runner::CmdTimeout(const Words& w) {
  Need(w, 1, 1, "timeout SECONDS");
  const long s = std::atol(w[1].c_str());
  if (s <= 0) Fail("timeout needs a positive number of seconds");
  timeoutMs_ = s * 1000;
}

void Runner::CmdCd(const Words& w) {
  Need(w, 1, 1, "cd DIR");
  cd_ = Wide(w[1]);
}

void Runner::CmdEcho(const Words& w) {
  std::string text;
  for (size_t i = 1; i < w.size(); ++i) text += (i > 1 ? " " : "") + w[i];
  Say(text);
}

void Runner::CmdStart(const Words& w) {
  if (w.size() < 3) Fail("usage: start P PROGRAM [ARG...]");
  if (processes_.count(w[1])) Fail("a process named " + w[1] + " was started already");
  std::wstring program = Wide(w[2]);
  std::wstring line = L"\"" + program + L"\"";
  for (size_t i = 3; i < w.size(); ++i) line += L" \"" + Wide(w[i]) + L"\"";
  std::wstring dir = cd_;
  if (dir.empty()) {
    const size_t slash = program.find_last_of(L"\\/");
    if (slash != std::wstring::npos) dir = program.substr(0, slash + 1);
  }
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      dir.empty() ? nullptr : dir.c_str(), &si, &pi))
    Fail("cannot start " + w[2] + ": " + SystemError(GetLastError()));
  CloseHandle(pi.hThread);
  processes_[w[1]] = {program, pi.hProcess, pi.dwProcessId};
  Say("started " + w[1] + " pid " + std::to_string(pi.dwProcessId));
}

void Runner::CmdWaitExit(const Words& w) {
  Need(w, 1, 2, "wait-exit P [CODE]");
  Process& p = ProcessNamed(w[1]);
  if (WaitForSingleObject(p.handle, static_cast<DWORD>(timeoutMs_)) != WAIT_OBJECT_0)
    Fail("timed out after " + std::to_string(timeoutMs_ / 1000) + " s waiting for " + w[1] + " to end");
  DWORD code = 0;
  GetExitCodeProcess(p.handle, &code);
  Say(w[1] + " ended with exit code " + std::to_string(code));
  if (w.size() == 3 && code != static_cast<DWORD>(std::atol(w[2].c_str())))
    Fail(w[1] + " ended with exit code " + std::to_string(code) + ", not " + w[2]);
}

void Runner::CmdKill(const Words& w) {
  Need(w, 1, 1, "kill P");
  Process& p = ProcessNamed(w[1]);
  if (WaitForSingleObject(p.handle, 0) != WAIT_TIMEOUT) Fail(w[1] + " has ended already");
  if (!TerminateProcess(p.handle, 9)) Fail("cannot end " + w[1] + ": " + SystemError(GetLastError()));
  if (WaitForSingleObject(p.handle, static_cast<DWORD>(timeoutMs_)) != WAIT_OBJECT_0)
    Fail(w[1] + " did not end");
  Say("killed " + w[1]);
}

void Runner::CmdProcesses(const Words& w) {
  Need(w, 0, 0, "processes");
  for (const auto& [pid, image] : ProcessImages()) Say("  process " + std::to_string(pid) + " " + Utf8(image));
}

void Runner::CmdWaitProcessOrKillProcess(const Words& w) {
  const std::string& cmd = w[0];
  Need(w, 1, 1, cmd == "wait-process" ? "wait-process PATH" : "kill-process PATH");
  const std::wstring path = Wide(w[1]);
  auto running = [&](bool end) {
    int found = 0;
    for (const auto& [pid, image] : ProcessImages()) {
      if (_wcsicmp(image.c_str(), path.c_str()) != 0) continue;
      HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
      if (!h) continue;
      if (WaitForSingleObject(h, 0) == WAIT_TIMEOUT) {
        ++found;
        if (end) {
          TerminateProcess(h, 9);
          WaitForSingleObject(h, 10000);
        }
      }
      CloseHandle(h);
    }
    return found;
  };
  if (cmd == "wait-process") {
    WaitFor("a process running from " + w[1], [&] { return running(false) > 0; });
    Say("running: " + w[1]);
  } else {
    const int n = running(true);
    if (n == 0) Fail("no process runs from " + w[1]);
    Say("ended " + std::to_string(n) + " process(es) running from " + w[1]);
  }
}

void Runner::CmdWaitWindowOrWaitBox(const Words& w) {
  const std::string& cmd = w[0];
  const bool box = cmd == "wait-box";
  Need(w, 4, 4, box ? "wait-box W P CAPTION TEXT" : "wait-window W P CLASS CAPTION");
  DWORD pid = 0;
  if (w[2] != "*") pid = ProcessNamed(w[2]).pid;
  const std::wstring cls = box ? L"#32770" : Wide(w[3]);
  const std::wstring caption = Wide(box ? w[3] : w[4]);
  const std::wstring text = box ? Wide(w[4]) : L"*";
  HWND found = nullptr;
  std::wstring message;
  const std::string what = box ? "a message box \"" + w[3] + "\" saying \"" + w[4] + "\""
                               : "a window of class \"" + w[3] + "\" captioned \"" + w[4] + "\"";
  WaitFor(what + (pid ? " of " + w[2] : std::string()), [&] {
    if (pid && WaitForSingleObject(ProcessNamed(w[2]).handle, 0) != WAIT_TIMEOUT)
      Fail(w[2] + " ended while waiting for " + what);
    for (HWND h : TopWindows()) {
      if (!IsWindowVisible(h) || (pid && ProcessOf(h) != pid)) continue;
      if (!Match(cls, ClassOf(h)) || !Match(caption, CaptionOf(h))) continue;
      if (box && !(IsMessageBox(h) && BoxText(h, message) && Match(text, Wide(Show(message)))))
        continue;
      found = h;
      return true;
    }
    return false;
  });
  windows_[w[1]] = found;
  if (box) {
    std::string buttons;
    for (HWND h : Descendants(found))
      if (IsButtonLike(h) && IsWindowVisible(h)) buttons += " [" + Utf8(WithoutAccel(CaptionOf(h))) + "]";
    Say("box " + w[1] + " \"" + Show(CaptionOf(found)) + "\": " + Show(message) + " |" + buttons);
  } else {
    Say("window " + w[1] + " \"" + Show(CaptionOf(found)) + "\" class " + Utf8(ClassOf(found)));
  }
}

void Runner::CmdAnswerOrClick(const Words& w) {
  const std::string& cmd = w[0];
  Need(w, 2, 2, "click W CONTROL");
  HWND top = WindowNamed(w[1]);
  HWND button = Control(w[1], w[2], true);
  PostClick(button, "button " + w[2] + " of " + w[1]);
  Say("pressed " + w[2] + " in " + w[1]);
  if (cmd == "answer")
    WaitFor(w[1] + " to close after " + w[2], [&] { return !IsWindow(top) || !IsWindowVisible(top); });
}

void Runner::CmdCheck(const Words& w) {
  Need(w, 3, 3, "check W CONTROL on|off");
  if (w[3] != "on" && w[3] != "off") Fail("check wants on or off, not " + w[3]);
  HWND box = Control(w[1], w[2], true);
  const std::string want = w[3] == "on" ? "checked" : "unchecked";
  bool answered = false;
  WaitFor("an answer from check box " + w[2], [&] {
    StateHolds(box, want, answered);
    return answered;
  });
  if (!StateHolds(box, want, answered)) {
    PostClick(box, "check box " + w[2]);
    WaitFor("check box " + w[2] + " to be " + want, [&] { return StateHolds(box, want, answered); });
  }
  Say("check box " + w[2] + " " + want);
}

void Runner::CmdSetText(const Words& w) {
  Need(w, 3, 3, "set-text W CONTROL TEXT");
  HWND edit = Control(w[1], w[2]);
  if (!IsWindowEnabled(edit)) Fail("the control " + w[2] + " is disabled");
  const std::wstring text = Wide(w[3]);
  WaitFor("control " + w[2] + " to take its text", [&] {
    DWORD_PTR r = 0;
    return SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                               SMTO_NORMAL, kAskMs, &r) != 0;
  });
  Say("set " + w[2] + " to \"" + w[3] + "\"");
}

void Runner::CmdExpectTextOrPrint(const Words& w) {
  const std::string& cmd = w[0];
  const bool expect = cmd == "expect-text";
  Need(w, expect ? 3 : 2, expect ? 3 : 2, expect ? "expect-text W CONTROL TEXT" : "print W CONTROL");
  HWND h = Control(w[1], w[2]);
  std::wstring text;
  const std::wstring pattern = expect ? Wide(w[3]) : L"*";
  WaitFor("the text of " + w[2] + " to match \"" + (expect ? w[3] : "*") + "\"" +
              (text.empty() ? "" : " (it is \"" + Show(text) + "\")"),
          [&] { return AskText(h, text) && Match(pattern, text); });
  Say(w[2] + ": \"" + Show(text) + "\"");
}

void Runner::CmdExpectState(const Words& w) {
  if (w.size() < 4) Fail("usage: expect-state W CONTROL STATE...");
  HWND h = Control(w[1], w[2]);
  std::string states;
  for (size_t i = 3; i < w.size(); ++i) {
    bool answered = false;
    WaitFor(w[2] + " to be " + w[i], [&] { return StateHolds(h, w[i], answered); });
    states += " " + w[i];
  }
  Say(w[2] + ":" + states);
}

void Runner::CmdLinesOrWaitLine(const Words& w) {
  const std::string& cmd = w[0];
  const bool wait = cmd == "wait-line";
  Need(w, wait ? 3 : 2, wait ? 3 : 2, wait ? "wait-line W CONTROL TEXT" : "lines W CONTROL");
  HWND list = Control(w[1], w[2]);
  const std::wstring pattern = wait ? Wide(w[3]) : L"";
  std::vector<std::wstring> lines;
  size_t hit = 0;
  WaitFor(wait ? "a line \"" + w[3] + "\" in " + w[2] : "the lines of " + w[2], [&] {
    bool answered = false;
    lines = ListLines(list, answered);
    if (!answered) return false;
    if (!wait) return true;
    for (hit = 0; hit < lines.size(); ++hit)
      if (Match(pattern, lines[hit])) return true;
    return false;
  });
  if (wait) {
    Say("line " + std::to_string(hit + 1) + ": " + Show(lines[hit]));
  } else {
    for (const std::wstring& line : lines) Say("| " + Show(line));
  }
}

void Runner::CmdWaitGone(const Words& w) {
  Need(w, 1, 1, "wait-gone W");
  auto it = windows_.find(w[1]);
  if (it == windows_.end()) Fail("no window named " + w[1] + " was found before");
  HWND h = it->second;
  WaitFor(w[1] + " to go", [&] { return !IsWindow(h) || !IsWindowVisible(h); });
  Say("gone: " + w[1]);
}

void Runner::CmdRect(const Words& w) {
  Need(w, 1, 1, "rect W");
  RECT r;
  if (!GetWindowRect(WindowNamed(w[1]), &r)) Fail("cannot tell where " + w[1] + " is");
  Say("rect " + w[1] + " " + std::to_string(r.left) + " " + std::to_string(r.top) + " " +
      std::to_string(r.right - r.left) + " " + std::to_string(r.bottom - r.top));
}

void Runner::CmdWindows(const Words& w) {
  Need(w, 0, 0, "windows");
  ShowScreen(stdout);
}

void Runner::CmdWaitMutex(const Words& w) {
  Need(w, 1, 1, "wait-mutex NAME");
  const std::wstring name = Wide(w[1]);
  WaitFor("the mutex " + w[1], [&] {
    HANDLE m = OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
    if (!m) return false;
    CloseHandle(m);
    return true;
  });
  Say("mutex held: " + w[1]);
}

void Runner::CmdSignal(const Words& w) {
  Need(w, 1, 1, "signal FILE");
  HANDLE f = CreateFileW(Wide(w[1]).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) Fail("cannot create " + w[1] + ": " + SystemError(GetLastError()));
  CloseHandle(f);
  Say("signalled " + w[1]);
}

void Runner::CmdWaitFile(const Words& w) {
  Need(w, 1, 1, "wait-file FILE");
  const std::wstring path = Wide(w[1]);
  WaitFor("the file " + w[1],
          [&] { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; });
  Say("found " + w[1]);
}

// Splits a script line into words: blanks separate, double quotes group, a doubled
// quote inside quotes is one quote.
bool SplitLine(const std::string& line, std::vector<std::string>& words, std::string& error) {
  words.clear();
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) break;
    std::string word;
    if (line[i] == '"') {
      ++i;
      bool closed = false;
      while (i < line.size()) {
        if (line[i] == '"') {
          if (i + 1 < line.size() && line[i + 1] == '"') {
            word += '"';
            i += 2;
            continue;
          }
          ++i;
          closed = true;
          break;
        }
        word += line[i++];
      }
      if (!closed) {
        error = "a quote is not closed";
        return false;
      }
      if (i < line.size() && line[i] != ' ' && line[i] != '\t') {
        error = "a quoted word must be followed by a blank";
        return false;
      }
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t') word += line[i++];
    }
    words.push_back(word);
  }
  return true;
}

bool ReadAll(HANDLE h, std::string& out) {
  char buffer[4096];
  DWORD got = 0;
  for (;;) {
    if (!ReadFile(h, buffer, sizeof buffer, &got, nullptr)) {
      const DWORD e = GetLastError();
      return e == ERROR_BROKEN_PIPE || e == ERROR_HANDLE_EOF;
    }
    if (got == 0) return true;
    out.append(buffer, got);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  auto usageError = [](const std::string& message) {
    std::fprintf(stderr, "zumauto: %s\n%s", message.c_str(), kUsage);
    return 2;
  };
  if (argc < 2) return usageError("no script given");

  // (line number, text) of every command.
  std::vector<std::pair<int, std::string>> lines;
  const std::wstring first = argv[1];
  if (first == L"--help" || first == L"-h" || first == L"/?") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (first == L"-e") {
    for (int i = 1; i < argc; i += 2) {
      if (std::wstring(argv[i]) != L"-e" || i + 1 >= argc) return usageError("-e wants a command after it");
      lines.emplace_back(static_cast<int>(lines.size()) + 1, Utf8(argv[i + 1]));
    }
  } else {
    if (argc > 2) return usageError("one script only");
    std::string text;
    HANDLE in = first == L"-" ? GetStdHandle(STD_INPUT_HANDLE)
                              : CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, 0, nullptr);
    if (in == INVALID_HANDLE_VALUE || in == nullptr || !ReadAll(in, text)) {
      std::fprintf(stderr, "zumauto: cannot read the script %s: %s\n", Utf8(argv[1]).c_str(),
                   SystemError(GetLastError()).c_str());
      return 2;
    }
    if (first != L"-") CloseHandle(in);
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    int number = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
      size_t end = text.find('\n', pos);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(pos, end - pos);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.emplace_back(++number, line);
      pos = end + 1;
    }
  }

  // Every line is checked for its form before anything runs.
  std::vector<std::pair<int, std::vector<std::string>>> script;
  for (const auto& [number, line] : lines) {
    std::vector<std::string> words;
    std::string error;
    if (!SplitLine(line, words, error)) {
      std::fprintf(stderr, "zumauto: line %d: %s: %s\n", number, error.c_str(), line.c_str());
      return 2;
    }
    if (words.empty() || words[0][0] == '#') continue;
    script.emplace_back(number, std::move(words));
  }

  Runner runner;
  for (const auto& [number, words] : script) {
    std::string shown;
    for (const std::string& word : words) shown += (shown.empty() ? "" : " ") + word;
    Say("> " + shown);
    try {
      runner.Run(words);
    } catch (const Failure& e) {
      std::fprintf(stderr, "zumauto: line %d: %s: %s\nwindows on screen:\n", number, shown.c_str(), e.what());
      runner.ShowScreen(stderr);
      return 1;
    }
  }
  return 0;
}
