// The Win32 front end: the installer's main window (the protocol list, the status
// panel, the progress bar and the exit panel), system-modal message boxes, the
// standard exception display and the shell's folder browser.
//
// Texts go to the ANSI ("A") API as they are: CP1251, the ANSI code page of the
// users' machines. Everything runs on the one user-interface thread; the window's
// events call into TForm1, and no C++ exception leaves the window procedure.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "toolkit/toolkit.h"

// Lean (handles.h): the OLE headers declare a VariantCopy that clashes with the
// core's variant codes; the folder browser, which needs them, lives in its own file.
#include "platform/win32/handles.h"
#include "frontends/win32/dpi.h"
// The A/W switch macros of <windows.h> would rename members of our interfaces
// (Toolkit::MessageBox ...) in the files that include this one.
#undef MessageBox

class TForm1;

namespace ui {

// Control ids of the main window's children (GetDlgItem). Btn_Close is a child of
// Pn_Exit, the others of the main window.
enum MainWindowControl : int {
  kIdLabel1 = 101,
  kIdLsBxProt = 102,
  kIdPnStatus = 103,
  kIdPrBar = 104,
  kIdPnExit = 105,
  kIdBtnClose = 106,
};

// The window class of the status and exit panels.
extern const char* const kPanelClassName;

class Win32Toolkit : public Toolkit {
 public:
  explicit Win32Toolkit(HINSTANCE instance = GetModuleHandleA(nullptr));
  ~Win32Toolkit() override;
  Win32Toolkit(const Win32Toolkit&) = delete;
  Win32Toolkit& operator=(const Win32Toolkit&) = delete;

  // Creates the main window with its controls, centred and hidden; its events go to
  // `form` (which must outlive the window). What the core set before (caption,
  // lines, status, progress) is shown at once. On failure returns false with the
  // system's reason in `error`.
  bool CreateMainWindow(TForm1* form, std::string& error);
  void ShowMainWindow(int showCmd);
  // Runs the message loop until the main window has been destroyed.
  void Run();

  HWND MainWindow() const { return main_; }
  // Set once the main window is gone and the loop is to end (WM_QUIT was seen).
  bool QuitSeen() const { return quit_; }
  // The owner of message boxes: none without a main window; otherwise the active
  // window of this thread if there is one, else the main window.
  HWND MsgOwner() const;

  // ---- Toolkit ----
  void SetCaption(const std::string& caption) override;
  void ProtAdd(const std::string& line) override;
  void ProtReplaceLast(const std::string& line) override;
  void ProtSelectLast() override;
  void SetStatusVisible(bool visible) override;
  void SetStatusText(const std::string& text) override;
  void SetProgress(uint32_t position, uint32_t max) override;
  void ShowExitPanel() override;
  void ProcessMessages() override;
  void CloseMainWindow() override;
  bool MessageBox(BoxStyle style, const std::string& text, const std::string& caption,
                  int msgId) override;
  void ShowException(const std::string& message) override;
  std::string BrowseForFolder(const std::string& title) override;
  // The update-variant dialog (selku_dialog.cpp).
  int ShowVariantDialog(TFrm_SelKU& dialog) override;

 private:
  static LRESULT CALLBACK MainProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMain(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  void CreateControls();
  void Layout();
  void RunSequence();
  void DispatchOne(MSG& msg);
  void ApplyProgress();
  void ScrollToLast();

  HINSTANCE instance_;
  TForm1* form_ = nullptr;
  HFONT font_ = nullptr;
  int dpi_ = 96;  // the screen's, when the window was made
  int Px(int pixels) const { return AtDpi(pixels, dpi_); }
  HWND main_ = nullptr;
  HWND label_ = nullptr;
  HWND list_ = nullptr;
  HWND status_ = nullptr;
  HWND progress_ = nullptr;
  HWND exitPanel_ = nullptr;
  HWND closeButton_ = nullptr;
  bool created_ = false;     // CreateWindowEx returned the window
  bool activated_ = false;
  bool quit_ = false;
  bool destroying_ = false;  // our own destructor: no WM_QUIT for the thread

  // What the core has set, kept so that it can be set before the window exists.
  std::string caption_;
  std::vector<std::string> pendingLines_;
  bool pendingSelectLast_ = false;
  bool statusVisible_ = false;
  std::string statusText_;
  bool exitVisible_ = false;
  uint32_t progressPos_ = 0;
  uint32_t progressMax_ = 100;
  int shownMax_ = -1;  // the range the control has, to set it only when it changes
};

}  // namespace ui
