#include "frontends/win32/win32_toolkit.h"

#include <algorithm>
#include <exception>

#include "installer/form1.h"

#include "frontends/win32/browse_folder.h"

#include <commctrl.h>

namespace ui {

const char* const kPanelClassName = "ZumPanel";

namespace {

const char* const kMainClassName = "ZumUpdMainWindow";

// The window: 700 by 316, which with the standard sizing frame leaves a client
// area 692 pixels wide. These and the lengths below are for 96 dots per inch and
// scaled to the screen's setting.
constexpr int kWindowWidth = 700;
constexpr int kWindowHeight = 316;
// Heights of the top and bottom bands, width of the close button.
constexpr int kLabelHeight = 13;
constexpr int kStatusHeight = 20;
constexpr int kProgressHeight = 17;
constexpr int kExitHeight = 24;
constexpr int kCloseWidth = 74;
constexpr int kFontPoints = 8;

// Posted on the first activation: the sequence starts once the window is shown
// and painted, not inside the activation itself.
constexpr UINT kMsgRunSequence = WM_APP + 1;

// A window style bit of the panel class: a raised one-pixel bevel (the status
// panel). The exit panel has none.
constexpr DWORD kPanelRaised = 0x0001;
// Window extra bytes of the panel: its font.
constexpr int kPanelFontSlot = 0;

std::string SystemErrorText(DWORD code) {
  char* buffer = nullptr;
  DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  std::string text = n && buffer ? std::string(buffer, n) : std::string();
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
    text.pop_back();
  if (text.empty()) text = "error " + std::to_string(code);
  return text;
}

// The program's title for the standard exception display: its file name without
// folder and extension.
std::string ApplicationTitle() {
  char path[MAX_PATH] = {};
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string name(path, n < MAX_PATH ? n : 0);
  size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

// The panel: a plain surface that draws its caption centred, optionally inside a
// raised bevel, and passes its children's notifications on to its parent.
LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_SETFONT:
      SetWindowLongPtrA(hwnd, kPanelFontSlot, static_cast<LONG_PTR>(wParam));
      if (LOWORD(lParam)) InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    case WM_GETFONT:
      return GetWindowLongPtrA(hwnd, kPanelFontSlot);
    case WM_SETTEXT: {
      LRESULT result = DefWindowProcA(hwnd, msg, wParam, lParam);
      InvalidateRect(hwnd, nullptr, TRUE);
      return result;
    }
    case WM_SIZE:
      InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT rect;
      GetClientRect(hwnd, &rect);
      if (GetWindowLongA(hwnd, GWL_STYLE) & kPanelRaised) {
        DrawEdge(dc, &rect, BDR_RAISEDINNER, BF_RECT);
        InflateRect(&rect, -1, -1);
      }
      char text[2048];
      int length = GetWindowTextA(hwnd, text, sizeof text);
      if (length > 0) {
        HFONT font = reinterpret_cast<HFONT>(GetWindowLongPtrA(hwnd, kPanelFontSlot));
        HGDIOBJ old = font ? SelectObject(dc, font) : nullptr;
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
        DrawTextA(dc, text, length, &rect,
                  DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_PATH_ELLIPSIS);
        if (old) SelectObject(dc, old);
      }
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_COMMAND:
    case WM_NOTIFY:
      return SendMessageA(GetParent(hwnd), msg, wParam, lParam);
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

// Registers a window class once per module.
bool RegisterOnce(HINSTANCE instance, const char* name, WNDPROC proc, int extraBytes,
                  std::string& error) {
  WNDCLASSEXA wc = {};
  wc.cbSize = sizeof wc;
  if (GetClassInfoExA(instance, name, &wc)) return true;
  wc = {};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = proc;
  wc.cbWndExtra = extraBytes;
  wc.hInstance = instance;
  // The program's own icon when it carries one (the installer does), else the system's.
  wc.hIcon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(1));
  if (!wc.hIcon) wc.hIcon = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
  wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = name;
  if (RegisterClassExA(&wc)) return true;
  error = "RegisterClassEx " + std::string(name) + ": " + SystemErrorText(GetLastError());
  return false;
}

}  // namespace

Win32Toolkit::Win32Toolkit(HINSTANCE instance) : instance_(instance) {}

Win32Toolkit::~Win32Toolkit() {
  destroying_ = true;
  form_ = nullptr;
  if (main_) DestroyWindow(main_);
  if (font_) DeleteObject(font_);
}

bool Win32Toolkit::CreateMainWindow(TForm1* form, std::string& error) {
  if (main_) {
    error = "the main window exists already";
    return false;
  }
  if (!RegisterOnce(instance_, kPanelClassName, PanelProc, sizeof(LONG_PTR), error) ||
      !RegisterOnce(instance_, kMainClassName, MainProc, 0, error))
    return false;

  dpi_ = ScreenDpi();
  if (!font_) font_ = MakeUiFont(kFontPoints, false, dpi_);

  form_ = form;
  activated_ = false;
  quit_ = false;
  const int w = Px(kWindowWidth), h = Px(kWindowHeight);
  const int x = std::max(0, (GetSystemMetrics(SM_CXSCREEN) - w) / 2);
  const int y = std::max(0, (GetSystemMetrics(SM_CYSCREEN) - h) / 2);
  SetLastError(0);
  HWND hwnd = CreateWindowExA(0, kMainClassName, caption_.c_str(),
                              WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, x, y, w, h, nullptr, nullptr,
                              instance_, this);
  if (!hwnd) {
    DWORD code = GetLastError();
    error = "CreateWindowEx: " +
            (code ? SystemErrorText(code) : std::string("the window's controls were not made"));
    form_ = nullptr;
    main_ = nullptr;
    return false;
  }
  created_ = true;
  Layout();
  return true;
}

void Win32Toolkit::ShowMainWindow(int showCmd) {
  if (!main_) return;
  ShowWindow(main_, showCmd);
  UpdateWindow(main_);
}

void Win32Toolkit::Run() {
  MSG msg;
  while (!quit_) {
    BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0) {
      quit_ = true;
      break;
    }
    if (got == -1) break;
    DispatchOne(msg);
  }
}

void Win32Toolkit::DispatchOne(MSG& msg) {
  // Tab moves between the protocol and the close button as in a dialog.
  if (main_ && IsDialogMessageA(main_, &msg)) return;
  TranslateMessage(&msg);
  DispatchMessageA(&msg);
}

void Win32Toolkit::ProcessMessages() {
  MSG msg;
  while (!quit_ && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // Remembered, so that the outer loop ends once the sequence returns.
      quit_ = true;
      break;
    }
    DispatchOne(msg);
  }
}

HWND Win32Toolkit::MsgOwner() const {
  if (!main_) return nullptr;
  HWND active = GetActiveWindow();
  if (active && IsWindow(active)) return active;
  if (IsWindow(main_)) return main_;
  return nullptr;
}

LRESULT CALLBACK Win32Toolkit::MainProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Win32Toolkit* self;
  if (msg == WM_NCCREATE) {
    self = static_cast<Win32Toolkit*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->main_ = hwnd;
  } else {
    self = reinterpret_cast<Win32Toolkit*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  }
  if (!self) return DefWindowProcA(hwnd, msg, wParam, lParam);
  // Nothing thrown by the core may unwind through the system's code.
  try {
    return self->HandleMain(hwnd, msg, wParam, lParam);
  } catch (const std::exception& e) {
    self->ShowException(e.what());
  } catch (...) {
    self->ShowException("");
  }
  return 0;
}

LRESULT Win32Toolkit::HandleMain(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_CREATE:
      CreateControls();
      return label_ && list_ && status_ && progress_ && exitPanel_ && closeButton_ ? 0 : -1;
    case WM_SIZE:
      Layout();
      return 0;
    case WM_SETFOCUS:
      if (list_) SetFocus(list_);
      return 0;
    case WM_ACTIVATE:
      if (LOWORD(wParam) != WA_INACTIVE && !activated_) {
        activated_ = true;
        PostMessageA(hwnd, kMsgRunSequence, 0, 0);
      }
      break;
    case kMsgRunSequence:
      RunSequence();
      return 0;
    case WM_COMMAND:
      if (LOWORD(wParam) == kIdBtnClose && HIWORD(wParam) == BN_CLICKED) {
        if (form_) form_->Btn_CloseClick();
        return 0;
      }
      break;
    case WM_CLOSE:
      // The window stays while the sequence runs.
      if (form_ && !form_->FormClose()) return 0;
      DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      // The loop ends with the window, unless the window never came to be or
      // goes with its toolkit.
      if (created_ && !destroying_) PostQuitMessage(0);
      created_ = false;
      return 0;
    case WM_NCDESTROY:
      SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
      main_ = label_ = list_ = status_ = progress_ = exitPanel_ = closeButton_ = nullptr;
      break;
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

void Win32Toolkit::RunSequence() {
  if (!form_) return;
  // Posted messages come before painting: paint the window before the sequence
  // takes the thread.
  RedrawWindow(main_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  try {
    form_->FormActivate();
    return;
  } catch (const std::exception& e) {
    ShowException(e.what());
  } catch (...) {
    ShowException("");
  }
  // The sequence broke off without reaching its end: let the user leave rather
  // than keep a window that refuses to close.
  if (form_ && !form_->SeqFinished) {
    form_->SeqFinished = true;
    ShowExitPanel();
  }
}

void Win32Toolkit::CreateControls() {
  const DWORD child = WS_CHILD | WS_CLIPSIBLINGS;
  label_ = CreateWindowExA(0, "STATIC", "Протокол", child | WS_VISIBLE | SS_LEFT | SS_NOPREFIX,
                           0, 0, 0, 0, main_, reinterpret_cast<HMENU>(kIdLabel1), instance_,
                           nullptr);
  list_ = CreateWindowExA(WS_EX_CLIENTEDGE, "LISTBOX", "",
                          child | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY |
                              LBS_NOINTEGRALHEIGHT,
                          0, 0, 0, 0, main_, reinterpret_cast<HMENU>(kIdLsBxProt), instance_,
                          nullptr);
  status_ = CreateWindowExA(0, kPanelClassName, statusText_.c_str(),
                            child | kPanelRaised | (statusVisible_ ? WS_VISIBLE : 0), 0, 0, 0,
                            0, main_, reinterpret_cast<HMENU>(kIdPnStatus), instance_, nullptr);
  progress_ = CreateWindowExA(0, PROGRESS_CLASSA, "", child | WS_VISIBLE, 0, 0, 0, 0, main_,
                              reinterpret_cast<HMENU>(kIdPrBar), instance_, nullptr);
  exitPanel_ = CreateWindowExA(WS_EX_CONTROLPARENT, kPanelClassName, "",
                               child | (exitVisible_ ? WS_VISIBLE : 0), 0, 0, 0, 0, main_,
                               reinterpret_cast<HMENU>(kIdPnExit), instance_, nullptr);
  if (exitPanel_)
    closeButton_ = CreateWindowExA(0, "BUTTON", "Выход",
                                   WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, 0,
                                   kCloseWidth, kExitHeight, exitPanel_,
                                   reinterpret_cast<HMENU>(kIdBtnClose), instance_, nullptr);
  for (HWND control : {label_, list_, status_, progress_, exitPanel_, closeButton_})
    if (control) SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);

  if (list_) {
    for (const std::string& line : pendingLines_)
      SendMessageA(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
    pendingLines_.clear();
    if (pendingSelectLast_) ProtSelectLast();
    pendingSelectLast_ = false;
  }
  ApplyProgress();
}

// Top to bottom: Label1, LsBx_Prot taking what is left, then the bottom bands
// stacked upwards from the lower edge: Pn_Exit, PrBar, PnStatus. A hidden band
// takes no room.
void Win32Toolkit::Layout() {
  if (!main_ || !list_) return;
  RECT client;
  GetClientRect(main_, &client);
  const int width = client.right;
  int bottom = client.bottom;
  const int exitHeight = Px(kExitHeight), closeWidth = Px(kCloseWidth);
  const int progressHeight = Px(kProgressHeight), statusHeight = Px(kStatusHeight);
  const int labelHeight = Px(kLabelHeight);

  MoveWindow(exitPanel_, 0, bottom - exitHeight, width, exitHeight, TRUE);
  MoveWindow(closeButton_, width - closeWidth, 0, closeWidth, exitHeight, TRUE);
  if (exitVisible_) bottom -= exitHeight;

  MoveWindow(progress_, 0, bottom - progressHeight, width, progressHeight, TRUE);
  bottom -= progressHeight;

  MoveWindow(status_, 0, bottom - statusHeight, width, statusHeight, TRUE);
  if (statusVisible_) bottom -= statusHeight;

  MoveWindow(label_, 0, 0, width, labelHeight, TRUE);
  MoveWindow(list_, 0, labelHeight, width, std::max(0, bottom - labelHeight), TRUE);
}

void Win32Toolkit::SetCaption(const std::string& caption) {
  caption_ = caption;
  if (main_) SetWindowTextA(main_, caption_.c_str());
}

// The newest line in view; the selection is left as it is.
void Win32Toolkit::ScrollToLast() {
  LRESULT count = SendMessageA(list_, LB_GETCOUNT, 0, 0);
  if (count > 0) SendMessageA(list_, LB_SETTOPINDEX, static_cast<WPARAM>(count - 1), 0);
}

void Win32Toolkit::ProtAdd(const std::string& line) {
  if (!list_) {
    pendingLines_.push_back(line);
    return;
  }
  SendMessageA(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
  ScrollToLast();
  // The sequence holds the thread: show the line now rather than at the next pump.
  UpdateWindow(list_);
}

void Win32Toolkit::ProtReplaceLast(const std::string& line) {
  if (!list_) {
    if (pendingLines_.empty())
      pendingLines_.push_back(line);
    else
      pendingLines_.back() = line;
    return;
  }
  LRESULT count = SendMessageA(list_, LB_GETCOUNT, 0, 0);
  if (count <= 0) {
    ProtAdd(line);
    return;
  }
  const WPARAM last = static_cast<WPARAM>(count - 1);
  const bool wasSelected = SendMessageA(list_, LB_GETCURSEL, 0, 0) == static_cast<LRESULT>(last);
  SendMessageA(list_, WM_SETREDRAW, FALSE, 0);
  SendMessageA(list_, LB_DELETESTRING, last, 0);
  SendMessageA(list_, LB_INSERTSTRING, last, reinterpret_cast<LPARAM>(line.c_str()));
  if (wasSelected) SendMessageA(list_, LB_SETCURSEL, last, 0);
  ScrollToLast();
  SendMessageA(list_, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(list_, nullptr, TRUE);
  UpdateWindow(list_);
}

void Win32Toolkit::ProtSelectLast() {
  if (!list_) {
    pendingSelectLast_ = true;
    return;
  }
  LRESULT count = SendMessageA(list_, LB_GETCOUNT, 0, 0);
  if (count <= 0) return;
  SendMessageA(list_, LB_SETCURSEL, static_cast<WPARAM>(count - 1), 0);
  UpdateWindow(list_);
}

void Win32Toolkit::SetStatusVisible(bool visible) {
  statusVisible_ = visible;
  if (!status_) return;
  ShowWindow(status_, visible ? SW_SHOW : SW_HIDE);
  Layout();
}

void Win32Toolkit::SetStatusText(const std::string& text) {
  statusText_ = text;
  if (!status_) return;
  SetWindowTextA(status_, statusText_.c_str());
  UpdateWindow(status_);
}

void Win32Toolkit::SetProgress(uint32_t position, uint32_t max) {
  progressPos_ = position;
  progressMax_ = max;
  ApplyProgress();
}

void Win32Toolkit::ApplyProgress() {
  if (!progress_) return;
  // The control counts in signed 32-bit numbers: halve both until the range fits.
  uint32_t max = progressMax_;
  uint32_t pos = std::min(progressPos_, progressMax_);
  while (max > 0x7FFFFFFFu) {
    max >>= 1;
    pos >>= 1;
  }
  if (static_cast<int>(max) != shownMax_) {
    SendMessageA(progress_, PBM_SETRANGE32, 0, static_cast<LPARAM>(max));
    shownMax_ = static_cast<int>(max);
  }
  SendMessageA(progress_, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
}

void Win32Toolkit::ShowExitPanel() {
  exitVisible_ = true;
  if (!exitPanel_) return;
  ShowWindow(exitPanel_, SW_SHOW);
  Layout();
}

void Win32Toolkit::CloseMainWindow() {
  if (main_) PostMessageA(main_, WM_CLOSE, 0, 0);
}

bool Win32Toolkit::MessageBox(BoxStyle style, const std::string& text,
                              const std::string& caption, int /*msgId*/) {
  UINT flags = MB_SYSTEMMODAL;
  switch (style) {
    case BoxStyle::Question: flags |= MB_YESNO | MB_ICONQUESTION; break;
    case BoxStyle::Error: flags |= MB_OK | MB_ICONERROR; break;
    case BoxStyle::Information: flags |= MB_OK | MB_ICONINFORMATION; break;
  }
  int answer = MessageBoxA(MsgOwner(), text.c_str(), caption.c_str(), flags);
  return style == BoxStyle::Question && answer == IDYES;
}

void Win32Toolkit::ShowException(const std::string& message) {
  try {
    const std::string title = ApplicationTitle();
    MessageBoxA(MsgOwner(), message.c_str(), title.c_str(), MB_OK | MB_ICONERROR);
  } catch (...) {
    MessageBoxA(MsgOwner(), message.c_str(), nullptr, MB_OK | MB_ICONERROR);
  }
}

std::string Win32Toolkit::BrowseForFolder(const std::string& title) {
  return ShellBrowseForFolder(MsgOwner(), title);
}

}  // namespace ui
