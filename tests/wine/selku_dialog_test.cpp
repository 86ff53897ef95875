// The update-variant dialog's Win32 window under Wine, driven as a user would: its
// controls, captions, colours, tab order and initial states, the refused close box,
// a typed folder, the question of the cancel button, and the hidden window while
// the copy runs. Needs a display (scripts/wine-run.sh with ZUM_XVFB=1).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "installer/form1.h"
#include "installer/selku.h"
#include "support/test_support.h"
#include "frontends/win32/selku_dialog.h"
#include "frontends/win32/win32_toolkit.h"

namespace {

using C = TSelKUControl;

std::string ClassOf(HWND hwnd) {
  char name[64] = {};
  GetClassNameA(hwnd, name, sizeof name);
  return name;
}

// Shown once its dialog is: the dialog itself appears only after WM_INITDIALOG.
bool Shown(HWND hwnd) { return (GetWindowLongA(hwnd, GWL_STYLE) & WS_VISIBLE) != 0; }

std::string TextOf(HWND hwnd) {
  char text[512] = {};
  GetWindowTextA(hwnd, text, sizeof text);
  return text;
}

// What the test does once the dialog is up, and how message boxes are answered.
std::function<void(HWND)> g_onDialog;
int g_answer = IDNO;
std::vector<std::string> g_boxes;  // captions and texts of the boxes seen
HHOOK g_hook = nullptr;

LRESULT CALLBACK Watch(int code, WPARAM wParam, LPARAM lParam) {
  const CWPRETSTRUCT* m = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
  if (code == HC_ACTION && m->message == WM_INITDIALOG && ClassOf(m->hwnd) == "#32770") {
    HWND w = m->hwnd;
    if (TextOf(w) == SelKUControlInfo(C::Form).caption) {
      if (g_onDialog) g_onDialog(w);
    } else {
      char text[2048] = {};
      GetDlgItemTextA(w, 0xFFFF, text, sizeof text);
      g_boxes.push_back(TextOf(w) + "|" + text);
      const int answer = GetDlgItem(w, IDYES) ? g_answer : IDOK;
      PostMessageA(w, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), 0);
    }
  }
  return CallNextHookEx(g_hook, code, wParam, lParam);
}

class SelKUDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    form.FormCreate();
    form.SeqStarted = true;
    std::string error;
    ASSERT_TRUE(tk.CreateMainWindow(&form, error)) << error;
    ShowWindow(tk.MainWindow(), SW_SHOWNORMAL);
    tk.ProcessMessages();
    g_boxes.clear();
    g_onDialog = nullptr;
    g_hook = SetWindowsHookExA(WH_CALLWNDPROCRET, Watch, nullptr, GetCurrentThreadId());
    ASSERT_NE(g_hook, nullptr);

    src = dir.Dos() + "zum\\";
    ASSERT_TRUE(os::CreateDir(dir.Dos() + "zum"));
    ASSERT_TRUE(os::CreateDir(src + "Cfg"));
    ASSERT_TRUE(zt::WriteAll(src + "Cfg\\CFG.ZUM", std::string(1411, 'c')));
    d.Toolkit = &tk;
    d.OnProtocol = [](int, const std::string&, bool) {};
    d.OnJournal = [](int, const std::string&) { return true; };
  }
  void TearDown() override {
    if (g_hook) UnhookWindowsHookEx(g_hook);
    g_hook = nullptr;
    g_onDialog = nullptr;
    tk.ProcessMessages();
  }

  int Run(std::function<bool(const std::string&, const std::string&, bool)> copy = nullptr) {
    if (!copy) copy = [](const std::string&, const std::string&, bool) { return true; };
    return d.SelectKind("ZUM5_310", 1000, src, 2000000, copy,
                        [this](uint32_t, uint32_t, char& letter) {
                          letter = 'C';
                          return room;
                        });
  }

  static HWND Control(HWND dialog, C id) {
    const TSelKUControlInfo& info = SelKUControlInfo(id);
    if (info.parent == C::Form) return GetDlgItem(dialog, ui::SelKUControlId(id));
    return GetDlgItem(Control(dialog, info.parent), ui::SelKUControlId(id));
  }
  static void Click(HWND dialog, C id) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(ui::SelKUControlId(id), BN_CLICKED),
                 reinterpret_cast<LPARAM>(Control(dialog, id)));
  }

  ui::Win32Toolkit tk;
  TForm1 form{&tk};
  zt::TempDir dir;
  std::string src;
  TFrm_SelKU d;
  bool room = true;
};

}  // namespace

TEST_F(SelKUDialogTest, ControlsCaptionsTabOrderAndTheRefusedCloseBox) {
  bool checked = false;
  g_onDialog = [&](HWND w) {
    checked = true;
    RECT client;
    GetClientRect(w, &client);
    EXPECT_EQ(client.right, ui::kSelKUClientWidth);
    EXPECT_EQ(client.bottom, ui::kSelKUClientHeight);
    EXPECT_TRUE(GetWindowLongA(w, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    EXPECT_EQ(GetWindow(w, GW_OWNER), tk.MainWindow());
    EXPECT_FALSE(IsWindowEnabled(tk.MainWindow()));  // modal

    // Every control with its caption or text, in its panel.
    for (int i = 1; i < kSelKUControlCount; ++i) {
      const C id = static_cast<C>(i);
      SCOPED_TRACE(SelKUControlInfo(id).name);
      HWND h = Control(w, id);
      ASSERT_NE(h, nullptr);
      EXPECT_EQ(TextOf(h), d.Text(id));
      EXPECT_EQ(Shown(h), id != C::Lbl_Hint && id != C::Lbl_FreeSpace);
    }
    EXPECT_EQ(TextOf(Control(w, C::Ed_FullPath)), dir.Dos() + "ZUM5_310\\");
    EXPECT_TRUE(GetWindowLongA(Control(w, C::Ed_FullPath), GWL_STYLE) & ES_READONLY);
    EXPECT_TRUE(GetWindowLongA(Control(w, C::Ed_CurRoot), GWL_STYLE) & ES_READONLY);
    EXPECT_EQ(SendMessageA(Control(w, C::ChkBx_CleanCopy), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    RECT panels[3];
    const C ids[] = {C::Panel1, C::Pn_SelFolder, C::Pn_Exit};
    const int heights[] = {109, 199, 30};
    for (int i = 0; i < 3; ++i) {
      GetWindowRect(Control(w, ids[i]), &panels[i]);
      EXPECT_EQ(panels[i].bottom - panels[i].top, heights[i]);
      EXPECT_EQ(ClassOf(Control(w, ids[i])), ui::kSelKUPanelClassName);
    }

    // Tab order inside the folder panel.
    const C tabs[] = {C::Ed_NewFolder, C::Ed_Label, C::Btn_SelFolder, C::Ed_CloneName,
                      C::ChkBx_CleanCopy, C::Ed_FullPath, C::ChkBx_NoAutoSaveFolder};
    EXPECT_EQ(GetFocus(), Control(w, C::Ed_NewFolder));
    for (size_t i = 0; i + 1 < std::size(tabs); ++i)
      EXPECT_EQ(GetNextDlgTabItem(w, Control(w, tabs[i]), FALSE), Control(w, tabs[i + 1]))
          << SelKUControlInfo(tabs[i]).name;

    // The close box and Escape do nothing.
    SendMessageA(w, WM_CLOSE, 0, 0);
    SendMessageA(w, WM_COMMAND, IDCANCEL, 0);
    SendMessageA(w, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(IsWindow(w));
    EXPECT_EQ(d.ModalResult(), 0);

    // A typed folder composes the copy's path.
    SetWindowTextA(Control(w, C::Ed_NewFolder), "D:\\Programs");
    EXPECT_EQ(d.Text(C::Ed_NewFolder), "D:\\Programs");
    EXPECT_EQ(TextOf(Control(w, C::Ed_FullPath)), "D:\\Programs\\ZUM5_310\\");

    Click(w, C::Btn_Cancel);  // 3003 comes, answered No
  };
  g_answer = IDNO;
  EXPECT_EQ(Run(), VariantCancel);
  EXPECT_TRUE(checked);
  ASSERT_EQ(g_boxes.size(), 1u);
  EXPECT_NE(g_boxes[0].find("Продолжить выполнение обновления?"), std::string::npos);
  EXPECT_TRUE(IsWindowEnabled(tk.MainWindow()));
}

TEST_F(SelKUDialogTest, WithoutRoomTheHintsAreRedAndNextIsDisabled) {
  room = false;
  bool checked = false;
  g_onDialog = [&](HWND w) {
    checked = true;
    EXPECT_FALSE(IsWindowEnabled(Control(w, C::Btn_Next)));
    for (C id : {C::Lbl_Hint, C::Lbl_FreeSpace}) {
      HWND h = Control(w, id);
      EXPECT_TRUE(Shown(h));
      HDC dc = CreateCompatibleDC(nullptr);
      SendMessageA(GetParent(h), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                   reinterpret_cast<LPARAM>(h));
      EXPECT_EQ(GetTextColor(dc), RGB(255, 0, 0));
      DeleteDC(dc);
      LOGFONTA font = {};
      GetObjectA(reinterpret_cast<HFONT>(SendMessageA(h, WM_GETFONT, 0, 0)), sizeof font, &font);
      EXPECT_GE(font.lfWeight, FW_BOLD);
    }
    EXPECT_EQ(TextOf(Control(w, C::Lbl_FreeSpace)), "Освободите 2 Мб");
    Click(w, C::Btn_Cancel);  // closes at once
  };
  EXPECT_EQ(Run(), VariantCancel);
  EXPECT_TRUE(checked);
  EXPECT_TRUE(g_boxes.empty());
}

TEST_F(SelKUDialogTest, TheWindowIsHiddenWhileTheCopyRuns) {
  bool copied = false;
  g_onDialog = [&](HWND w) {
    SetWindowTextA(Control(w, C::Ed_NewFolder), dir.Dos().c_str());
    SetWindowTextA(Control(w, C::Ed_CloneName), "copy");
    Click(w, C::Btn_Next);  // 3011 comes, answered Yes
  };
  g_answer = IDYES;
  const int result = Run([&](const std::string&, const std::string& to, bool) {
    if (to.back() == '\\') os::CreateDir(to);
    if (!copied) {
      HWND w = FindWindowA("#32770", SelKUControlInfo(C::Form).caption);
      EXPECT_NE(w, nullptr);
      EXPECT_FALSE(IsWindowVisible(w));
    }
    copied = true;
    return true;
  });
  EXPECT_EQ(result, VariantCopy);
  EXPECT_TRUE(copied);
  EXPECT_EQ(d.TargetDir, dir.Dos() + "copy\\");
  ASSERT_EQ(g_boxes.size(), 1u);
  EXPECT_NE(g_boxes[0].find("(msgid №3011)"), std::string::npos);
}
