// The update-variant dialog on Windows: a modal dialog made from a template in
// memory, its controls made on WM_INITDIALOG from the dialog's model, the user's
// actions handed to TFrm_SelKU, and the model's changes shown as they come.
//
// The dialog refuses to close until the dialog's logic has set a result (its close
// box, Escape and Enter do nothing); it is hidden while the installation is copied,
// the progress being shown in the main window.
#include "frontends/win32/selku_dialog.h"

#include <exception>
#include <vector>

#include "frontends/win32/win32_toolkit.h"

namespace ui {

const char* const kSelKUPanelClassName = "ZumSelKUPanel";

namespace {

using C = TSelKUControl;
using K = TSelKUKind;

struct Place {
  C id;
  int x, y, w, h;
};

// Panels in the dialog, controls in their panel; client area 752 x 338.
const Place kPlaces[] = {
    {C::Panel1, 0, 0, 752, 109},
    {C::Label2, 8, 2, 736, 13},
    {C::Label1, 8, 16, 736, 18},
    {C::Label6, 8, 38, 736, 13},
    {C::Ed_CurRoot, 8, 54, 736, 21},
    {C::Lbl_Hint, 8, 78, 736, 13},
    {C::Lbl_FreeSpace, 8, 92, 736, 14},
    {C::Pn_SelFolder, 0, 109, 752, 199},
    {C::ChkBx_CleanCopy, 8, 6, 600, 17},
    {C::ChkBx_NoAutoSaveFolder, 8, 25, 600, 17},
    {C::Btn_SelFolder, 8, 47, 75, 23},
    {C::Label3, 90, 52, 654, 13},
    {C::Ed_NewFolder, 8, 75, 736, 21},
    {C::Label5, 8, 105, 392, 13},
    {C::Ed_CloneName, 406, 101, 338, 21},
    {C::Label4, 8, 130, 392, 13},
    {C::Ed_Label, 406, 126, 338, 21},
    {C::Label7, 8, 153, 736, 13},
    {C::Ed_FullPath, 8, 169, 736, 21},
    {C::Pn_Exit, 0, 308, 752, 30},
    {C::Btn_Next, 4, 3, 120, 24},
    {C::Btn_Cancel, 628, 3, 120, 24},
};

const Place* PlaceOf(C id) {
  for (const Place& p : kPlaces)
    if (p.id == id) return &p;
  return nullptr;
}

std::string ProgramTitle() {
  char path[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string name(path, n < MAX_PATH ? n : 0);
  const size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  const size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

// A panel: raised inner and lowered outer bevel; what its controls report goes on
// to the dialog.
LRESULT CALLBACK SelKUPanelProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT rect;
      GetClientRect(hwnd, &rect);
      DrawEdge(dc, &rect, BDR_RAISEDINNER | BDR_SUNKENOUTER, BF_RECT);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
      return SendMessageA(GetParent(hwnd), msg, wParam, lParam);
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

bool RegisterPanelClass(HINSTANCE instance) {
  WNDCLASSEXA wc = {};
  wc.cbSize = sizeof wc;
  if (GetClassInfoExA(instance, kSelKUPanelClassName, &wc)) return true;
  wc = {};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = SelKUPanelProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kSelKUPanelClassName;
  return RegisterClassExA(&wc) != 0;
}

// The dialog's template: a modal tool window with a caption and no controls; the
// controls are made on WM_INITDIALOG. The size is set there, in pixels.
std::vector<WORD> DialogTemplate() {
  std::vector<WORD> t;
  auto put32 = [&](DWORD v) {
    t.push_back(LOWORD(v));
    t.push_back(HIWORD(v));
  };
  put32(DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN);
  put32(WS_EX_TOOLWINDOW | WS_EX_CONTROLPARENT);
  t.push_back(0);  // no controls in the template
  for (int i = 0; i < 4; ++i) t.push_back(0);  // x, y, cx, cy
  t.push_back(0);  // no menu
  t.push_back(0);  // the standard dialog class
  t.push_back(0);  // no title here: it is CP1251, set with SetWindowTextA
  t.push_back(8);  // point size
  for (const char* c = "MS Sans Serif"; *c; ++c) t.push_back(static_cast<WORD>(*c));
  t.push_back(0);
  if (t.size() % 2) t.push_back(0);  // the template ends on a DWORD boundary
  return t;
}

class SelKUWindow : public TSelKUView {
 public:
  SelKUWindow(TFrm_SelKU& dialog, HINSTANCE instance, HWND owner)
      : d_(dialog), instance_(instance), owner_(owner) {}
  ~SelKUWindow() override {
    for (HFONT f : {font_, bold_, title_})
      if (f) DeleteObject(f);
  }

  INT_PTR Run() {
    if (!RegisterPanelClass(instance_)) return -1;
    dpi_ = ScreenDpi();
    font_ = MakeUiFont(8, false, dpi_);
    bold_ = MakeUiFont(8, true, dpi_);
    title_ = MakeUiFont(10, true, dpi_);
    std::vector<WORD> tmpl = DialogTemplate();
    return DialogBoxIndirectParamA(instance_, reinterpret_cast<LPCDLGTEMPLATEA>(tmpl.data()),
                                   owner_, Proc, reinterpret_cast<LPARAM>(this));
  }

  // ---- TSelKUView ----
  void ControlChanged(TSelKUControl control) override {
    if (!hwnd_) return;
    if (control == C::Form) {
      const TSelKUControlState& s = d_.Control(C::Form);
      if (d_.ModalResult() != 0) {
        EndDialog(hwnd_, d_.ModalResult());
        return;
      }
      EnableWindow(hwnd_, s.Enabled);
      ShowWindow(hwnd_, s.Visible ? SW_SHOW : SW_HIDE);
      return;
    }
    Apply(control);
  }
  void FocusControl(TSelKUControl control) override {
    if (HWND h = Handle(control)) SendMessageA(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(h), TRUE);
  }
  void BringToFront() override {
    if (!hwnd_) return;
    // The folder browser gives its owner back; the main window stays disabled while
    // this dialog is up.
    if (owner_) EnableWindow(owner_, FALSE);
    BringWindowToTop(hwnd_);
    SetForegroundWindow(hwnd_);
  }
  void ShowPlainMessage(const std::string& text) override {
    const std::string title = ProgramTitle();
    MessageBoxA(hwnd_, text.c_str(), title.c_str(), MB_OK);
  }

 private:
  static INT_PTR CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    SelKUWindow* self;
    if (msg == WM_INITDIALOG) {
      self = reinterpret_cast<SelKUWindow*>(lParam);
      SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
      self->hwnd_ = hwnd;
    } else {
      self = reinterpret_cast<SelKUWindow*>(GetWindowLongPtrA(hwnd, DWLP_USER));
    }
    if (!self) return FALSE;
    // Nothing thrown by the dialog's logic may unwind through the system's code.
    try {
      return self->OnMessage(hwnd, msg, wParam, lParam);
    } catch (const std::exception& e) {
      MessageBoxA(hwnd, e.what(), ProgramTitle().c_str(), MB_OK | MB_ICONERROR);
    } catch (...) {
      MessageBoxA(hwnd, "", ProgramTitle().c_str(), MB_OK | MB_ICONERROR);
    }
    return TRUE;
  }

  INT_PTR OnMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
      case WM_INITDIALOG:
        SetWindowTextA(hwnd, d_.Text(C::Form).c_str());
        SizeAndCentre();
        CreateControls();
        FocusControl(d_.Focused());
        return FALSE;  // the focus is set
      case WM_COMMAND:
        Command(LOWORD(wParam), HIWORD(wParam));
        return TRUE;
      case WM_CLOSE:
        // The close box does nothing until the dialog has its result.
        if (d_.FormClose()) EndDialog(hwnd, d_.ModalResult());
        return TRUE;
      case WM_CTLCOLORSTATIC: {
        HWND control = reinterpret_cast<HWND>(lParam);
        if (control == Handle(C::Lbl_Hint) || control == Handle(C::Lbl_FreeSpace)) {
          HDC dc = reinterpret_cast<HDC>(wParam);
          SetTextColor(dc, RGB(255, 0, 0));
          SetBkMode(dc, TRANSPARENT);
          return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
        }
        return FALSE;
      }
    }
    return FALSE;
  }

  void Command(int id, int code) {
    const int index = id - kSelKUIdBase;
    if (index <= 0 || index >= kSelKUControlCount) return;  // IDOK, IDCANCEL: Enter, Escape
    const C control = static_cast<C>(index);
    const TSelKUKind kind = SelKUControlInfo(control).kind;
    if (kind == K::Edit && code == EN_CHANGE && !updating_) {
      d_.EditChanged(control, TextOf(Handle(control)));
    } else if (kind == K::CheckBox && code == BN_CLICKED) {
      const bool checked =
          SendMessageA(Handle(control), BM_GETCHECK, 0, 0) == BST_CHECKED;
      d_.CheckBoxClicked(control, checked);
      Apply(control);  // a click the dialog did not take is undone
    } else if (kind == K::Button && code == BN_CLICKED) {
      if (control == C::Btn_Next) d_.Btn_NextClick();
      if (control == C::Btn_Cancel) d_.Btn_CancelClick();
      if (control == C::Btn_SelFolder) d_.Btn_SelFolderClick();
    }
  }

  static std::string TextOf(HWND h) {
    const int n = GetWindowTextLengthA(h);
    std::string text(static_cast<size_t>(n) + 1, '\0');
    text.resize(static_cast<size_t>(GetWindowTextA(h, text.data(), n + 1)));
    return text;
  }

  void SizeAndCentre() {
    RECT r = {0, 0, AtDpi(kSelKUClientWidth, dpi_), AtDpi(kSelKUClientHeight, dpi_)};
    AdjustWindowRectEx(&r, static_cast<DWORD>(GetWindowLongA(hwnd_, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongA(hwnd_, GWL_EXSTYLE)));
    const int w = r.right - r.left, h = r.bottom - r.top;
    RECT around;
    if (!owner_ || !GetWindowRect(owner_, &around))
      around = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    int x = around.left + (around.right - around.left - w) / 2;
    int y = around.top + (around.bottom - around.top - h) / 2;
    if (x < 0) x = 0;
    if (y < 0) y = 0;
    SetWindowPos(hwnd_, nullptr, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
  }

  // Panels first, then each panel's controls in its tab order (the order the
  // windows are made is the order Tab visits them), then its labels.
  void CreateControls() {
    std::vector<C> order;
    for (C panel : {C::Panel1, C::Pn_SelFolder, C::Pn_Exit}) order.push_back(panel);
    for (C panel : {C::Panel1, C::Pn_SelFolder, C::Pn_Exit}) {
      for (int tab = 0; tab < kSelKUControlCount; ++tab)
        for (int i = 1; i < kSelKUControlCount; ++i) {
          const TSelKUControlInfo& info = SelKUControlInfo(static_cast<C>(i));
          if (info.parent == panel && info.kind != K::Panel && info.tabOrder == tab)
            order.push_back(info.id);
        }
      for (int i = 1; i < kSelKUControlCount; ++i) {
        const TSelKUControlInfo& info = SelKUControlInfo(static_cast<C>(i));
        if (info.parent == panel && info.tabOrder < 0) order.push_back(info.id);
      }
    }
    for (C id : order) Create(id);
  }

  void Create(C id) {
    const TSelKUControlInfo& info = SelKUControlInfo(id);
    const TSelKUControlState& s = d_.Control(id);
    const Place* p = PlaceOf(id);
    if (!p) return;
    DWORD style = WS_CHILD | (s.Visible ? WS_VISIBLE : 0) | (s.Enabled ? 0 : WS_DISABLED);
    DWORD ex = 0;
    const char* cls = "STATIC";
    switch (info.kind) {
      case K::Panel:
        cls = kSelKUPanelClassName;
        style |= WS_CLIPSIBLINGS;
        ex = WS_EX_CONTROLPARENT;
        break;
      case K::Label:
        style |= SS_NOPREFIX | (id == C::Label1 || id == C::Lbl_FreeSpace ? SS_CENTER
                                : id == C::Label5 || id == C::Label4      ? SS_RIGHT
                                                                           : SS_LEFT);
        break;
      case K::Edit:
        cls = "EDIT";
        ex = WS_EX_CLIENTEDGE;
        style |= WS_TABSTOP | ES_AUTOHSCROLL |
                 (id == C::Ed_CurRoot || id == C::Ed_FullPath ? ES_READONLY : 0);
        break;
      case K::CheckBox:
        cls = "BUTTON";
        style |= WS_TABSTOP | BS_AUTOCHECKBOX;
        break;
      case K::Button:
        cls = "BUTTON";
        style |= WS_TABSTOP | BS_PUSHBUTTON;
        break;
      case K::Form:
        return;
    }
    HWND parent = info.parent == C::Form ? hwnd_ : Handle(info.parent);
    updating_ = true;
    // The places are laid out for 96 dots per inch, like the fonts' point sizes.
    HWND h = CreateWindowExA(ex, cls, s.Text.c_str(), style, AtDpi(p->x, dpi_), AtDpi(p->y, dpi_),
                             AtDpi(p->w, dpi_), AtDpi(p->h, dpi_), parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(SelKUControlId(id))),
                             instance_, nullptr);
    updating_ = false;
    if (!h) return;
    handles_[static_cast<size_t>(id)] = h;
    HFONT font = id == C::Label1                                    ? title_
                 : id == C::Lbl_Hint || id == C::Lbl_FreeSpace ? bold_
                                                                    : font_;
    SendMessageA(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    if (info.kind == K::CheckBox)
      SendMessageA(h, BM_SETCHECK, s.Checked ? BST_CHECKED : BST_UNCHECKED, 0);
  }

  HWND Handle(C id) const { return handles_[static_cast<size_t>(id)]; }

  // Shows the model's state of a control.
  void Apply(C id) {
    HWND h = Handle(id);
    if (!h) return;
    const TSelKUControlState& s = d_.Control(id);
    if (TextOf(h) != s.Text) {
      updating_ = true;
      SetWindowTextA(h, s.Text.c_str());
      updating_ = false;
    }
    if (SelKUControlInfo(id).kind == K::CheckBox)
      SendMessageA(h, BM_SETCHECK, s.Checked ? BST_CHECKED : BST_UNCHECKED, 0);
    EnableWindow(h, s.Enabled);
    ShowWindow(h, s.Visible ? SW_SHOW : SW_HIDE);
  }

  TFrm_SelKU& d_;
  HINSTANCE instance_;
  HWND owner_;
  HWND hwnd_ = nullptr;
  HFONT font_ = nullptr, bold_ = nullptr, title_ = nullptr;
  int dpi_ = 96;
  HWND handles_[kSelKUControlCount] = {};
  bool updating_ = false;  // our own SetWindowText: no change event for the model
};

}  // namespace

int Win32Toolkit::ShowVariantDialog(TFrm_SelKU& dialog) {
  SelKUWindow window(dialog, instance_, main_);
  dialog.AttachView(&window);
  window.Run();
  dialog.AttachView(nullptr);
  return dialog.ModalResult();
}

}  // namespace ui
