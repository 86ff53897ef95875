// The Win32 front end under Wine: the catalogue from the string table, the main
// window's controls, layout and events, and the boxes it shows. Needs a display
// (scripts/wine-run.sh with ZUM_XVFB=1).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer/form1.h"
#include "installer/messages.h"
#include "support/test_support.h"
#include "frontends/win32/win32_toolkit.h"

#include <commctrl.h>

namespace {

struct CatalogueEntry {
  int id;
  const char* text;
};
#define ZUM_MSG(id, text) {id, text},
const CatalogueEntry kCatalogue[] = {
#include "installer/catalogue.inc"
};
#undef ZUM_MSG

std::string ClassOf(HWND hwnd) {
  char name[64] = {};
  GetClassNameA(hwnd, name, sizeof name);
  return name;
}

std::string TextOf(HWND hwnd) {
  char text[256] = {};
  GetWindowTextA(hwnd, text, sizeof text);
  return text;
}

bool HasVisibleStyle(HWND hwnd) { return (GetWindowLongA(hwnd, GWL_STYLE) & WS_VISIBLE) != 0; }

// A child's rectangle in its parent's client coordinates.
RECT RectInParent(HWND child) {
  RECT r;
  GetWindowRect(child, &r);
  MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

std::string ListText(HWND list, int index) {
  LRESULT length = SendMessageA(list, LB_GETTEXTLEN, index, 0);
  if (length == LB_ERR) return "<none>";
  std::string text(static_cast<size_t>(length) + 1, '\0');
  SendMessageA(list, LB_GETTEXT, index, reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(length));
  return text;
}

int ListCount(HWND list) { return static_cast<int>(SendMessageA(list, LB_GETCOUNT, 0, 0)); }

}  // namespace

// ---- the catalogue ----------------------------------------------------------

TEST(CatalogueResource, EveryEntryLoadsAsItsCompiledText) {
  for (const CatalogueEntry& entry : kCatalogue) {
    SCOPED_TRACE(entry.id);
    EXPECT_EQ(LoadCatalogueText(entry.id), entry.text);
  }
}

TEST(CatalogueResource, TextsAreCp1251WithBareLineFeeds) {
  const std::string text = LoadCatalogueText(5009);
  EXPECT_EQ(text, "Не найдена Программа ZUM.\nОбновление завершает работу.");
  ASSERT_EQ(text.size(), 54u);  // one byte per letter, the line feed alone
  EXPECT_EQ(static_cast<unsigned char>(text[0]), 0xCD);  // "Н"
  EXPECT_EQ(text[25], '\n');
  EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST(CatalogueResource, LongTextArrivesWhole) {
  const std::string text = LoadCatalogueText(3011);
  EXPECT_GT(text.size(), 255u);
  EXPECT_EQ(text.size(), 310u);
  EXPECT_EQ(text.substr(text.size() - 10), "программе?");
}

TEST(CatalogueResource, MissingIdGivesEmptyText) {
  for (int id : {0, 1, 1000, 3002, 4242, 65535, -1, 70000}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(LoadCatalogueText(id), "");
  }
}

// ---- the main window ---------------------------------------------------------

namespace {

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    form.FormCreate();
    // Focus moved by a test may activate the window; the sequence is not run
    // here unless a test asks for it.
    form.SeqStarted = true;
    std::string error;
    ASSERT_TRUE(tk.CreateMainWindow(&form, error)) << error;
    main = tk.MainWindow();
    ASSERT_NE(main, nullptr);
  }
  void TearDown() override {
    // A WM_QUIT left by a test must not end the next one's boxes.
    tk.ProcessMessages();
  }

  HWND Child(int id) const { return GetDlgItem(main, id); }
  HWND CloseButton() const { return GetDlgItem(Child(ui::kIdPnExit), ui::kIdBtnClose); }
  int ClientHeight() const {
    RECT r;
    GetClientRect(main, &r);
    return r.bottom;
  }
  int ClientWidth() const {
    RECT r;
    GetClientRect(main, &r);
    return r.right;
  }
  // The bands from the top: Label1, LsBx_Prot, then from the bottom edge upwards
  // Pn_Exit, PrBar, PnStatus, each only where shown.
  void ExpectLayout(bool exitShown, bool statusShown) const {
    const int w = ClientWidth(), h = ClientHeight();
    int bottom = h;
    if (exitShown) {
      RECT exit = RectInParent(Child(ui::kIdPnExit));
      EXPECT_EQ(exit.top, h - 24);
      EXPECT_EQ(exit.bottom, h);
      EXPECT_EQ(exit.left, 0);
      EXPECT_EQ(exit.right, w);
      RECT button = RectInParent(CloseButton());
      EXPECT_EQ(button.left, w - 74);
      EXPECT_EQ(button.right, w);
      EXPECT_EQ(button.top, 0);
      EXPECT_EQ(button.bottom, 24);
      bottom -= 24;
    }
    RECT bar = RectInParent(Child(ui::kIdPrBar));
    EXPECT_EQ(bar.bottom, bottom);
    EXPECT_EQ(bar.top, bottom - 17);
    EXPECT_EQ(bar.right - bar.left, w);
    bottom -= 17;
    if (statusShown) {
      RECT status = RectInParent(Child(ui::kIdPnStatus));
      EXPECT_EQ(status.bottom, bottom);
      EXPECT_EQ(status.top, bottom - 20);
      EXPECT_EQ(status.right - status.left, w);
      bottom -= 20;
    }
    RECT label = RectInParent(Child(ui::kIdLabel1));
    EXPECT_EQ(label.top, 0);
    EXPECT_EQ(label.bottom, 13);
    RECT list = RectInParent(Child(ui::kIdLsBxProt));
    EXPECT_EQ(list.top, 13);
    EXPECT_EQ(list.bottom, bottom);
    EXPECT_EQ(list.left, 0);
    EXPECT_EQ(list.right, w);
  }

  ui::Win32Toolkit tk;
  TForm1 form{&tk};
  HWND main = nullptr;
};

}  // namespace

TEST_F(MainWindowTest, ControlsAndInitialState) {
  struct Expected {
    HWND hwnd;
    const char* name;
    const char* className;
    const char* text;  // nullptr: not checked
    bool visible;
  };
  const Expected controls[] = {
      {Child(ui::kIdLabel1), "Label1", "Static", "Протокол", true},
      {Child(ui::kIdLsBxProt), "LsBx_Prot", "ListBox", nullptr, true},
      {Child(ui::kIdPnStatus), "PnStatus", ui::kPanelClassName, "", false},
      {Child(ui::kIdPrBar), "PrBar", "msctls_progress32", nullptr, true},
      {Child(ui::kIdPnExit), "Pn_Exit", ui::kPanelClassName, nullptr, false},
      {CloseButton(), "Btn_Close", "Button", "Выход", true},
  };
  for (const Expected& c : controls) {
    SCOPED_TRACE(c.name);
    ASSERT_NE(c.hwnd, nullptr);
    EXPECT_EQ(lstrcmpiA(ClassOf(c.hwnd).c_str(), c.className), 0) << ClassOf(c.hwnd);
    if (c.text) {
      EXPECT_EQ(TextOf(c.hwnd), c.text);
    }
    EXPECT_EQ(HasVisibleStyle(c.hwnd), c.visible);
  }
  EXPECT_EQ(ListCount(Child(ui::kIdLsBxProt)), 0);
  EXPECT_EQ(SendMessageA(Child(ui::kIdPrBar), PBM_GETRANGE, FALSE, 0), 100);

  // The caption set by FormCreate before the window existed, then a new one.
  EXPECT_EQ(TextOf(main), "...");
  tk.SetCaption("Обновление ПК ZUM 5.1.12");
  EXPECT_EQ(TextOf(main), "Обновление ПК ZUM 5.1.12");

  // 700 by 316, client area 692 wide, centred on the screen.
  RECT window;
  GetWindowRect(main, &window);
  EXPECT_EQ(window.right - window.left, 700);
  EXPECT_EQ(window.bottom - window.top, 316);
  EXPECT_EQ(ClientWidth(), 692);
  EXPECT_EQ(window.left, (GetSystemMetrics(SM_CXSCREEN) - 700) / 2);
  EXPECT_EQ(window.top, (GetSystemMetrics(SM_CYSCREEN) - 316) / 2);

  // The font of the form on every control.
  HFONT font = reinterpret_cast<HFONT>(SendMessageA(Child(ui::kIdLsBxProt), WM_GETFONT, 0, 0));
  ASSERT_NE(font, nullptr);
  LOGFONTA lf = {};
  GetObjectA(font, sizeof lf, &lf);
  EXPECT_STREQ(lf.lfFaceName, "MS Sans Serif");
  EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageA(CloseButton(), WM_GETFONT, 0, 0)), font);
}

TEST_F(MainWindowTest, BottomBandsStackUpwardsAsTheyAreShown) {
  {
    SCOPED_TRACE("at start");
    ExpectLayout(false, false);
  }
  tk.ShowExitPanel();
  EXPECT_TRUE(HasVisibleStyle(Child(ui::kIdPnExit)));
  {
    SCOPED_TRACE("exit panel");
    ExpectLayout(true, false);
  }
  tk.SetStatusVisible(true);
  tk.SetStatusText("Копирование файла");
  EXPECT_TRUE(HasVisibleStyle(Child(ui::kIdPnStatus)));
  EXPECT_EQ(TextOf(Child(ui::kIdPnStatus)), "Копирование файла");
  {
    SCOPED_TRACE("exit panel and status");
    ExpectLayout(true, true);
  }
  // A resized window lays its bands out again.
  SetWindowPos(main, nullptr, 0, 0, 900, 500, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  {
    SCOPED_TRACE("resized");
    EXPECT_GT(ClientWidth(), 692);
    ExpectLayout(true, true);
  }
  tk.SetStatusVisible(false);
  EXPECT_FALSE(HasVisibleStyle(Child(ui::kIdPnStatus)));
  {
    SCOPED_TRACE("status hidden again");
    ExpectLayout(true, false);
  }
}

TEST_F(MainWindowTest, ProtocolListKeepsTheNewestLine) {
  HWND list = Child(ui::kIdLsBxProt);
  // Replacing on an empty list adds.
  tk.ProtReplaceLast("...Инициализация");
  ASSERT_EQ(ListCount(list), 1);
  tk.ProtAdd("Самопроверка");
  tk.ProtSelectLast();
  EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), 1);

  // The outcome appended to the last line: still one line, still selected.
  tk.ProtReplaceLast("Самопроверка ...Были ошибки");
  ASSERT_EQ(ListCount(list), 2);
  EXPECT_EQ(ListText(list, 0), "...Инициализация");
  EXPECT_EQ(ListText(list, 1), "Самопроверка ...Были ошибки");
  EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), 1);

  // CP1251 bytes come back as they went in ("№" is 0xB9).
  tk.ProtAdd("Ошибка № 5003");
  EXPECT_EQ(ListText(list, 2), "Ошибка № 5003");
  // A plain addition leaves the selection where it was.
  EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), 1);

  // Far more lines than fit: the newest stays in view.
  for (int i = 0; i < 100; ++i) tk.ProtAdd("line " + std::to_string(i));
  tk.ProtSelectLast();
  const int last = ListCount(list) - 1;
  EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), last);
  EXPECT_GT(SendMessageA(list, LB_GETTOPINDEX, 0, 0), 0);
  tk.ProtAdd("the very last");
  RECT item, client;
  SendMessageA(list, LB_GETITEMRECT, last + 1, reinterpret_cast<LPARAM>(&item));
  GetClientRect(list, &client);
  EXPECT_LE(item.bottom, client.bottom);
  EXPECT_GE(item.top, 0);
}

TEST_F(MainWindowTest, ProgressRangeAndPosition) {
  HWND bar = Child(ui::kIdPrBar);
  struct Case {
    uint32_t position, max;
    int shownPosition, shownMax;
  };
  const Case cases[] = {
      {30, 200, 30, 200},
      {0, 0, 0, 0},
      {500, 100, 100, 100},  // past the end: at the end
      // Beyond the control's signed range: both halved until the range fits.
      {3000000000u, 4000000000u, 1500000000, 2000000000},
      {7, 100, 7, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.position) + "/" + std::to_string(c.max));
    tk.SetProgress(c.position, c.max);
    EXPECT_EQ(SendMessageA(bar, PBM_GETRANGE, FALSE, 0), c.shownMax);
    EXPECT_EQ(SendMessageA(bar, PBM_GETRANGE, TRUE, 0), 0);
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), c.shownPosition);
  }
}

TEST_F(MainWindowTest, ClosesOnlyAfterTheSequenceHasEnded) {
  EXPECT_EQ(tk.MsgOwner(), main);

  // While the sequence runs, neither the close box nor Btn_Close closes it.
  SendMessageA(main, WM_CLOSE, 0, 0);
  EXPECT_TRUE(IsWindow(main));
  SendMessageA(CloseButton(), BM_CLICK, 0, 0);
  tk.ProcessMessages();
  EXPECT_TRUE(IsWindow(main));
  EXPECT_FALSE(tk.QuitSeen());

  // Once it has ended, Btn_Close closes the window and ends the message loop.
  form.SeqFinished = true;
  SendMessageA(CloseButton(), BM_CLICK, 0, 0);
  tk.ProcessMessages();
  EXPECT_FALSE(IsWindow(main));
  EXPECT_TRUE(tk.QuitSeen());
  EXPECT_EQ(tk.MainWindow(), nullptr);
  EXPECT_EQ(tk.MsgOwner(), nullptr);
}

TEST(MainWindowBeforeCreation, WhatTheCoreSetEarlierIsShown) {
  ui::Win32Toolkit tk;
  TForm1 form(&tk);
  EXPECT_EQ(tk.MsgOwner(), nullptr);
  tk.SetCaption("...");
  tk.ProtAdd("first");
  tk.ProtAdd("second");
  tk.ProtReplaceLast("second ...ОК");
  tk.ProtSelectLast();
  tk.SetStatusVisible(true);
  tk.SetStatusText("status");
  tk.SetProgress(40, 80);
  tk.ShowExitPanel();

  std::string error;
  ASSERT_TRUE(tk.CreateMainWindow(&form, error)) << error;
  HWND main = tk.MainWindow();
  HWND list = GetDlgItem(main, ui::kIdLsBxProt);
  EXPECT_EQ(TextOf(main), "...");
  ASSERT_EQ(ListCount(list), 2);
  EXPECT_EQ(ListText(list, 1), "second ...ОК");
  EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), 1);
  EXPECT_TRUE(HasVisibleStyle(GetDlgItem(main, ui::kIdPnStatus)));
  EXPECT_EQ(TextOf(GetDlgItem(main, ui::kIdPnStatus)), "status");
  EXPECT_TRUE(HasVisibleStyle(GetDlgItem(main, ui::kIdPnExit)));
  EXPECT_EQ(SendMessageA(GetDlgItem(main, ui::kIdPrBar), PBM_GETPOS, 0, 0), 40);
  EXPECT_EQ(SendMessageA(GetDlgItem(main, ui::kIdPrBar), PBM_GETRANGE, FALSE, 0), 80);
}

// ---- boxes -------------------------------------------------------------------

namespace {

// What a box looked like when it opened; it is then answered with `answer`.
struct SeenBox {
  bool seen = false;
  std::string caption, text;
  HWND owner = nullptr;
  bool topmost = false;
  bool hasYes = false, hasNo = false, hasOk = false;
};
SeenBox g_box;
int g_answer = IDOK;
HHOOK g_hook = nullptr;

// Watches the thread's dialogs: a message box is read as it is initialised and
// answered by a posted button command, so no box waits for a user.
LRESULT CALLBACK AnswerBoxes(int code, WPARAM wParam, LPARAM lParam) {
  const CWPRETSTRUCT* m = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
  if (code == HC_ACTION && m->message == WM_INITDIALOG && ClassOf(m->hwnd) == "#32770") {
    HWND box = m->hwnd;
    g_box.seen = true;
    g_box.caption = TextOf(box);
    char text[1024] = {};
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    g_box.text = text;
    g_box.owner = GetWindow(box, GW_OWNER);
    g_box.topmost = (GetWindowLongA(box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    g_box.hasYes = GetDlgItem(box, IDYES) != nullptr;
    g_box.hasNo = GetDlgItem(box, IDNO) != nullptr;
    g_box.hasOk = GetDlgItem(box, IDOK) != nullptr;
    // A box without Yes and No can only be acknowledged.
    const int answer = g_box.hasYes ? g_answer : IDOK;
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), 0);
  }
  return CallNextHookEx(g_hook, code, wParam, lParam);
}

class BoxTest : public MainWindowTest {
 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    g_box = SeenBox();
    g_hook = SetWindowsHookExA(WH_CALLWNDPROCRET, AnswerBoxes, nullptr, GetCurrentThreadId());
    ASSERT_NE(g_hook, nullptr);
  }
  void TearDown() override {
    if (g_hook) UnhookWindowsHookEx(g_hook);
    g_hook = nullptr;
    MainWindowTest::TearDown();
  }
};

}  // namespace

TEST_F(BoxTest, StylesCaptionsAndAnswers) {
  struct Case {
    ui::BoxStyle style;
    const char* caption;
    int answer;
    bool result;
    bool yesNo;
  };
  const Case cases[] = {
      {ui::BoxStyle::Question, "Внимание!", IDYES, true, true},
      {ui::BoxStyle::Question, "Внимание!", IDNO, false, true},
      {ui::BoxStyle::Error, "Ошибка!", IDOK, false, false},
      {ui::BoxStyle::Information, "Информация.", IDOK, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.caption + std::string(" answered ") + std::to_string(c.answer));
    g_box = SeenBox();
    g_answer = c.answer;
    const std::string text = "Первая строка\nвторая (msgid №3009)";
    EXPECT_EQ(tk.MessageBox(c.style, text, c.caption, 3009), c.result);
    ASSERT_TRUE(g_box.seen);
    EXPECT_EQ(g_box.caption, c.caption);
    EXPECT_EQ(g_box.text, text);
    EXPECT_EQ(g_box.owner, main);
    EXPECT_TRUE(g_box.topmost) << "system-modal";
    EXPECT_EQ(g_box.hasYes, c.yesNo);
    EXPECT_EQ(g_box.hasNo, c.yesNo);
    EXPECT_EQ(g_box.hasOk, !c.yesNo);
  }
}

TEST_F(BoxTest, MessagesByNumberGoThroughTheWindowsBox) {
  g_answer = IDYES;
  EXPECT_TRUE(AskMsg(&tk, 3009, true));
  ASSERT_TRUE(g_box.seen);
  EXPECT_EQ(g_box.caption, "Внимание!");
  EXPECT_EQ(g_box.text, LoadCatalogueText(3009) + "\n(msgid №3009)");
}

TEST_F(BoxTest, ExceptionDisplayShowsTheMessage) {
  g_answer = IDOK;
  tk.ShowException("Невозможно создать файл \"Z:\\x\\Протокол.txt\".");
  ASSERT_TRUE(g_box.seen);
  EXPECT_EQ(g_box.text, "Невозможно создать файл \"Z:\\x\\Протокол.txt\".");
  EXPECT_TRUE(g_box.hasOk);
  EXPECT_FALSE(g_box.hasYes);
  EXPECT_EQ(g_box.owner, main);
  // Titled with the program's name.
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string title = path;
  title = title.substr(title.find_last_of('\\') + 1);
  title = title.substr(0, title.find_last_of('.'));
  EXPECT_EQ(g_box.caption, title);
}

// The first activation runs the whole sequence once, after which the exit panel is
// shown and the window may close.
TEST_F(BoxTest, FirstActivationRunsTheSequenceOnce) {
  zt::TempDir dir;
  form.ExePathOverride = dir.Dos() + "zumupd.exe";  // the protocol goes beside it
  form.SeqStarted = false;
  g_answer = IDNO;

  ShowWindow(main, SW_SHOWNORMAL);
  tk.ProcessMessages();
  EXPECT_TRUE(form.SeqStarted);
  ASSERT_TRUE(form.SeqFinished);
  EXPECT_TRUE(HasVisibleStyle(GetDlgItem(main, ui::kIdPnExit)));
  {
    SCOPED_TRACE("after the run");
    ExpectLayout(true, false);
  }
  HWND list = Child(ui::kIdLsBxProt);
  const int lines = ListCount(list);
  ASSERT_GE(lines, 3);
  EXPECT_EQ(ListText(list, 0), form.ProtLines().front());
  EXPECT_EQ(ListText(list, lines - 2),
            "Техническая информация о проведенных действиях сохранена в: ");
  EXPECT_EQ(ListText(list, lines - 1), form.ProtocolPath());
  EXPECT_NE(GetFileAttributesA(form.ProtocolPath().c_str()), INVALID_FILE_ATTRIBUTES);

  // A further activation does not start it again.
  SendMessageA(main, WM_ACTIVATE, WA_ACTIVE, 0);
  tk.ProcessMessages();
  EXPECT_EQ(ListCount(list), lines);

  SendMessageA(main, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindow(main));
}
