// The update-variant dialog driven by the scripted front end: the composed path,
// the space check, the checks of "Далее [>>]", the questions, what a cancelled or
// failed dialog leaves behind; the copy list and the copy of the tree.
//
// Hidden items are made by a leading dot, which both platform layers report as
// hidden.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "installer/form1.h"
#include "format/protocol_record.h"
#include "files/folders.h"
#include "installer/selku.h"
#include "base/cp1251.h"
#include "base/dos_path.h"
#include "format/journal_check.h"
#include "format/journal_record.h"
#include "platform/os.h"
#include "support/test_support.h"
#include "frontends/scripted/scripted.h"

namespace {

using C = TSelKUControl;
using Strings = std::vector<std::string>;

const char kName[] = "ZUM5_310";
const char kNotEmpty[] = "Выбранная папка не пуста";

void MakeFile(const std::string& path, const std::string& bytes = "x") {
  std::string made;
  ASSERT_TRUE(MakeFolderPath(path.substr(0, path.rfind('\\') + 1), made)) << path;
  ASSERT_TRUE(zt::WriteAll(path, bytes)) << path;
}

// An installation with working data beside the product's folders, the installer
// and the journal in its folder, and items the copy must leave out.
//   zum\ update.exe zum_3.1.0.txt notes.txt
//        Exe\ zum.exe  Cfg\ CFG.ZUM  Base\ std1  Doc\ (none)
//        Rus\ Data\ data.dat  AutoSave\ a.sav  AutoSaveOld\ o.sav  Stroyka\ s.dat
//             Updt\ (empty)  .cache\ h.dat  .hidden.dat
//        Ukr\ AUTOSAVE\ b.sav
class CopyModeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    src = dir.Dos() + "srv\\zum\\";
    MakeFile(src + "update.exe", "installer");
    MakeFile(src + "zum_3.1.0.txt", "journal");
    MakeFile(src + "notes.txt", "notes");
    MakeFile(src + "Exe\\zum.exe", std::string(300, 'e'));
    MakeFile(src + "Cfg\\CFG.ZUM", std::string(1411, 'c'));
    MakeFile(src + "Base\\std1", std::string(5000, 'b'));
    MakeFile(src + "Rus\\Data\\data.dat", "data");
    MakeFile(src + "Rus\\AutoSave\\a.sav", "autosave");
    MakeFile(src + "Rus\\AutoSaveOld\\o.sav", "old");
    MakeFile(src + "Rus\\Stroyka\\s.dat", "stroyka");
    MakeFile(src + "Rus\\.cache\\h.dat", "hidden");
    MakeFile(src + "Rus\\.hidden.dat", "hidden");
    MakeFile(src + "Ukr\\AUTOSAVE\\b.sav", "autosave 2");
    ASSERT_TRUE(os::CreateDir(src + "Rus\\Updt"));

    d.ExcludedFile = src + "ZUM_3.1.0.TXT";  // letter case differs from the file's
    d.SelfPath = src + "update.exe";
    d.Toolkit = &tk;
    d.OnProtocol = [this](int kind, const std::string& text, bool) {
      protocol.push_back(std::to_string(kind) + " " + text);
    };
    d.OnJournal = [this](int command, const std::string& text) {
      events.push_back("journal " + std::to_string(command) + " " + text);
      return true;
    };
    d.OnChooseFolder = [this](const std::string& title, uint32_t base, uint32_t extra,
                              char letter) {
      events.push_back("browse " + title + " " + std::to_string(base) + " " +
                       std::to_string(extra) + " " + letter);
      return browsed;
    };
  }

  // Runs the dialog with `commands`; the copy callback copies files and makes
  // single folders, as the journalled copy does.
  int Run(const Strings& commands) {
    tk.dialogCommands.assign(commands.begin(), commands.end());
    return d.SelectKind(
        kName, kGrowth, src, kTmp,
        [this](const std::string& from, const std::string& to, bool newItem) {
          events.push_back("copy " + to.substr(to.find(kName) + sizeof kName));
          if (copyFailsAt >= 0 && copies++ == copyFailsAt) return false;
          if (onCopy) onCopy();
          if (!os::FileExists(from)) {
            os::CreateDir(to);
            return true;
          }
          std::string bytes;
          return zt::ReadAll(from, bytes) && zt::WriteAll(to, bytes);
        },
        [this](uint32_t extra, uint32_t need, char& letter) {
          events.push_back("disk " + std::to_string(extra) + " " + std::to_string(need));
          letter = 'Z';
          return room;
        });
  }

  std::vector<std::string> Filtered(const std::string& prefix) const {
    Strings out;
    for (const std::string& e : events)
      if (e.rfind(prefix, 0) == 0) out.push_back(e);
    return out;
  }

  static constexpr uint32_t kGrowth = 1000;
  static constexpr uint32_t kTmp = 2000000;
  ui::ScriptedToolkit tk;
  zt::TempDir dir;
  std::string src;
  TFrm_SelKU d;
  Strings protocol, events;
  std::string browsed;
  bool room = true;
  int copyFailsAt = -1, copies = 0;
  std::function<void()> onCopy;
};

}  // namespace

// ---- the dialog -----------------------------------------------------------------------

TEST_F(CopyModeTest, StartsWithTheParentFolderAndTheProposedNameAndCancelAsks3003) {
  bool checked = false;
  tk.onDialogCommand = [&](TFrm_SelKU& dlg) {
    checked = true;
    EXPECT_TRUE(dlg.Control(C::Form).Visible);
    EXPECT_FALSE(dlg.FormClose());  // the close box does nothing yet
  };
  tk.answers = {true, false};  // 3003: go on with the update (stay); then: stop
  EXPECT_EQ(Run({"cancel", "cancel"}), VariantCancel);
  EXPECT_TRUE(checked);
  EXPECT_EQ(tk.BoxIds(), (std::vector<int>{3003, 3003}));
  EXPECT_NE(tk.boxes[0].text.find("(msgid №3003)"), std::string::npos);

  const std::string parent = dir.Dos() + "srv\\";
  EXPECT_EQ(d.Text(C::Ed_CurRoot), src);
  EXPECT_EQ(d.Text(C::Ed_NewFolder), parent);
  EXPECT_EQ(d.Text(C::Ed_CloneName), kName);
  EXPECT_EQ(d.Text(C::Ed_Label), kName);
  EXPECT_EQ(tk.dialogPaths.front(), parent + kName + "\\");
  EXPECT_FALSE(d.Control(C::Lbl_Hint).Visible);
  EXPECT_TRUE(d.Control(C::Btn_Next).Enabled);
  EXPECT_TRUE(d.FormClose());
  EXPECT_FALSE(d.Control(C::Form).Visible);
  // The list was built once and the scan asked for the copy plus the growth.
  EXPECT_EQ(protocol, (Strings{"0 Построение списка файлов " + src, "0 Подсчет размера",
                               "0 Завершено"}));
  EXPECT_EQ(Filtered("disk"), Strings{"disk 0 " + std::to_string(d.CopySize + kGrowth)});
  EXPECT_TRUE(tk.dialogErrors.empty());
}

// The dialog and the journal check agree on every folder that does not exist yet
// (an existing one the dialog also refuses when it is not empty): a folder the
// dialog takes for the copy is one a later recovery accepts in the journal, and one
// the journal check refuses is refused by the dialog first, so that no failed run
// can leave a journal that every later start refuses.
TEST_F(CopyModeTest, TheDialogAndTheJournalCheckJudgeEveryFolderAlike) {
  zt::ScopedEnv windows("ZUM_WINDOWS_DIR", cp1251::ToUtf8(dir.Dos() + "WINDOWS"));
  ASSERT_TRUE(os::CreateDir(dir.Dos() + "WINDOWS"));
  struct Case {
    std::string folder, name;
  };
  const std::string z = dir.Dos();
  const Case cases[] = {
      {z + "free\\", kName},           {z, kName},
      {"\\\\srv\\share\\", kName},     {"\\\\?\\" + z, kName},
      {z + "CON\\", kName},            {z + "free\\", "CON"},
      {z + "free\\", "nul.txt"},       {z + "free\\", "a."},
      {z + "dir.\\x\\", kName},        {z + "free\\", "a<b"},
      {z + "free\\", "..\\..\\up"},    {z + "srv\\", "zum"},
      {z, "srv"},                       {z + "WINDOWS\\", kName},
      {z + "free\\", std::string(300, 'n')}, {z + "free\\", "Копия ZUM"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder + " | " + c.name);
    tk.dialogMessages.clear();
    tk.boxes.clear();
    tk.answers = {false, false};  // 3011: No, the dialog stays; 3003 at the end: stop
    Run({"folder " + c.folder, "name " + c.name, "next"});
    const bool dialogTakes = tk.dialogMessages.empty();

    const std::string target = dos::WithSlash(dos::WithSlash(c.folder) + c.name);
    std::string record = journal::MakeCommand(os::LocalTime{2026, 1, 1, 0, 0, 0, 0},
                                              journal::kCmdCopyDir, target);
    ASSERT_TRUE(prot::StripSeal(record));
    journal::TJournalFacts facts;
    facts.InstallDir = src;
    facts.JournalName = "zum_3.1.0.txt";
    facts.WindowsDir = os::WindowsDir();
    const bool journalTakes = journal::CheckJournal({record}, facts).Why.empty();
    EXPECT_EQ(dialogTakes, journalTakes) << ::testing::PrintToString(tk.dialogMessages);
    // Whatever the dialog made for a folder it took, the cancel removed again.
    if (dialogTakes) {
      EXPECT_FALSE(os::DirectoryExists(target)) << target;
    }
  }
}

TEST_F(CopyModeTest, FullPathIsComposedFromTheTrimmedFolderAndName) {
  struct Case {
    std::string folder, name, path;
  };
  const Case cases[] = {
      {"Z:\\a", "n", "Z:\\a\\n\\"},
      {" Z:\\a\\\t", "  n ", "Z:\\a\\n\\"},
      {"Z:\\a\\", "n\\", "Z:\\a\\n\\"},
      {"", "n", "n\\"},
      {"Z:\\a\\", "", "Z:\\a\\"},
      {" ", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder + "|" + c.name);
    d.EditChanged(C::Ed_NewFolder, c.folder);
    d.EditChanged(C::Ed_CloneName, c.name);
    EXPECT_EQ(d.Text(C::Ed_FullPath), c.path);
    EXPECT_EQ(d.FullPathText, c.path);
  }
}

// Every refusal of "Далее [>>]" keeps the dialog open and creates nothing.
TEST_F(CopyModeTest, NextRefusesOccupiedFoldersAndEmptyFields) {
  const std::string free = dir.Dos() + "free\\";
  ASSERT_TRUE(os::CreateDir(dir.Dos() + "free"));
  ASSERT_TRUE(os::CreateDir(dir.Dos() + "busy"));
  MakeFile(dir.Dos() + "busy\\ZUM5_310\\letter.doc");
  const std::string field = "Не заполнено поле \n\"";
  struct Case {
    const char* what;
    Strings commands;
    std::string message;
    C focus;
  };
  const Case cases[] = {
      {"the installation itself", {"folder " + dir.Dos() + "srv\\", "name zum"},
       "Эта папка не может быть папкой копии:\n" + src + "\n(папка - сама папка установки)",
       C::Ed_NewFolder},
      {"a network folder", {"folder \\\\srv\\share\\"},
       "Папку для копии нужно указать полным путем, начиная с диска (например, D:\\Programs\\)",
       C::Ed_NewFolder},
      {"a folder holding other files", {"folder " + dir.Dos() + "busy"}, kNotEmpty,
       C::Ed_NewFolder},
      {"a relative folder", {"folder copies\\"},
       "Папку для копии нужно указать полным путем, начиная с диска (например, D:\\Programs\\)",
       C::Ed_NewFolder},
      {"no folder", {"folder  "}, field + "Выберите, куда поместить копию данного ПК ZUM:\"",
       C::Ed_NewFolder},
      {"no name", {"folder " + free, "name"}, field + "Наименование папки обновленного ПК ZUM:\"",
       C::Ed_CloneName},
      {"no name, in a folder that is not empty", {"folder " + dir.Dos() + "busy", "name"},
       field + "Наименование папки обновленного ПК ZUM:\"", C::Ed_CloneName},
      {"no label", {"folder " + free, "label"},
       field + "Наименование для ярлыка на рабочем столе:\"", C::Ed_Label},
      {"a label that leaves the desktop", {"folder " + free, "label ..\\..\\ZUM"},
       "Наименование ярлыка не может содержать символы \\ / : * ? \" < > |", C::Ed_Label},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tk.dialogMessages.clear();
    tk.boxes.clear();
    Strings commands = c.commands;
    commands.push_back("next");
    bool open = false;
    tk.onDialogCommand = [&](TFrm_SelKU& dlg) {
      if (!tk.dialogCommands.empty()) return;  // after "next"
      open = dlg.ModalResult() == 0;
      EXPECT_EQ(dlg.Focused(), c.focus);
    };
    tk.answers = {false};  // 3003 at the end: stop
    EXPECT_EQ(Run(commands), VariantCancel);
    EXPECT_TRUE(open);
    EXPECT_EQ(tk.dialogMessages, Strings{c.message});
    EXPECT_EQ(tk.BoxIds(), std::vector<int>{3003});  // no 3011: nothing was made
    EXPECT_TRUE(Filtered("journal").empty());
  }
  EXPECT_FALSE(os::DirectoryExists(free + kName));
  EXPECT_FALSE(os::DirectoryExists(dir.Dos() + "srv\\copies"));
}

TEST_F(CopyModeTest, FieldsAreTrimmedInPlaceBeforeTheChecks) {
  const std::string folder = dir.Dos() + "copies\\";
  tk.answers = {true};  // 3011
  // Blanks around the texts, as a user might leave them.
  tk.onDialogCommand = [&](TFrm_SelKU& dlg) {
    if (dlg.Text(C::Ed_Label) != "x") return;
    dlg.EditChanged(C::Ed_NewFolder, "  " + folder + " ");
    dlg.EditChanged(C::Ed_CloneName, "\tcopy ");
    dlg.EditChanged(C::Ed_Label, " Копия ZUM  ");
  };
  ASSERT_EQ(Run({"label x", "next"}), VariantCopy);
  EXPECT_EQ(d.Text(C::Ed_NewFolder), folder);
  EXPECT_EQ(d.Text(C::Ed_CloneName), "copy");
  EXPECT_EQ(d.Text(C::Ed_Label), "Копия ZUM");
  EXPECT_EQ(d.TargetDir, folder + "copy\\");
  EXPECT_EQ(d.LinkName, "Копия ZUM");
}

TEST_F(CopyModeTest, NoThenYesTo3011RemakesTheFolderAndCopiesAfterTheJournalRecords) {
  const std::string target = dir.Dos() + "new\\deeper\\" + kName + "\\";
  tk.answers = {false, true};  // 3011: not yet; 3011: ready
  int step = 0;
  tk.onDialogCommand = [&](TFrm_SelKU& dlg) {
    if (++step == 2) {  // after the first "next"
      EXPECT_TRUE(os::DirectoryExists(target));
      EXPECT_EQ(dlg.CreatedDir, dir.Dos() + "new");  // the topmost folder made
      ASSERT_TRUE(zt::WriteAll(dir.Dos() + "new\\marker", "made between the presses"));
    }
  };
  ASSERT_EQ(Run({"folder " + dir.Dos() + "new\\deeper", "next", "next"}), VariantCopy);
  // The second press removed what the first one made before making it again.
  EXPECT_FALSE(os::FileExists(dir.Dos() + "new\\marker"));

  ASSERT_EQ(tk.BoxIds(), (std::vector<int>{3011, 3011}));
  const std::string& text = tk.boxes[0].text;
  EXPECT_NE(text.find("Создана папка:\n" + target + "\n"), std::string::npos);
  EXPECT_NE(text.find("\n\n" + target + "\nи\n" + src + "\n\n"), std::string::npos);
  EXPECT_NE(text.find("(msgid №3011)"), std::string::npos);

  EXPECT_EQ(d.TargetDir, target);
  EXPECT_EQ(d.LinkName, kName);
  EXPECT_EQ(d.CreatedDir, dir.Dos() + "new");  // kept: the copy is made
  // Commands 2 and 1 before the first item is copied.
  ASSERT_GE(events.size(), 5u);
  const auto first = std::find_if(events.begin(), events.end(),
                                  [](const std::string& e) { return e.rfind("journal", 0) == 0; });
  ASSERT_NE(first, events.end());
  EXPECT_EQ(first[0], "journal 2 1");
  EXPECT_EQ(first[1], "journal 1 " + target);
  EXPECT_EQ(first[2].rfind("journal 3 ", 0), 0u);  // the ownership mark's token
  EXPECT_NE(first[2].find("|1|" + target), std::string::npos);
  EXPECT_EQ(first[3].rfind("copy ", 0), 0u);
  std::string bytes;
  ASSERT_TRUE(zt::ReadAll(target + "Base\\std1", bytes));
  EXPECT_EQ(bytes, std::string(5000, 'b'));
}

TEST_F(CopyModeTest, CancelledOrFailedDialogLeavesNoFolderItCreated) {
  ASSERT_TRUE(os::CreateDir(dir.Dos() + "empty"));
  struct Case {
    const char* what;
    Strings commands;
    std::deque<bool> answers;
    int copyFailsAt;
    int result;
    std::string gone, stays;
  };
  const Case cases[] = {
      {"cancelled after No to 3011", {"folder " + dir.Dos() + "a\\b", "next"}, {false, false},
       -1, VariantCancel, dir.Dos() + "a", ""},
      {"the copy failed on its third item", {"folder " + dir.Dos() + "a\\b", "next"}, {true}, 2,
       VariantFailed, dir.Dos() + "a", ""},
      // An existing empty folder is taken, asked about, and not removed.
      {"cancelled in an existing empty folder", {"folder " + dir.Dos(), "name empty", "next"},
       {false, false}, -1, VariantCancel, "", dir.Dos() + "empty"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tk.boxes.clear();
    tk.answers = c.answers;
    copyFailsAt = c.copyFailsAt;
    copies = 0;
    EXPECT_EQ(Run(c.commands), c.result);
    ASSERT_FALSE(tk.boxes.empty());
    EXPECT_EQ(tk.boxes.front().msgId, 3011);
    if (!c.gone.empty()) {
      EXPECT_FALSE(os::DirectoryExists(c.gone)) << c.gone;
    }
    if (!c.stays.empty()) {
      EXPECT_TRUE(os::DirectoryExists(c.stays)) << c.stays;
    }
    EXPECT_TRUE(d.CreatedDir.empty());
  }
}

TEST_F(CopyModeTest, WhileTheCopyRunsTheDialogIsHiddenAndIgnoresClicks) {
  tk.answers = {true};  // 3011
  bool seen = false;
  onCopy = [&] {
    if (seen) return;
    seen = true;
    EXPECT_TRUE(d.Busy);
    EXPECT_FALSE(d.Control(C::Form).Visible);
    d.Btn_CancelClick();
    d.Btn_NextClick();
    d.Btn_SelFolderClick();
    d.CheckBoxClicked(C::ChkBx_CleanCopy, true);
    EXPECT_EQ(d.ModalResult(), 0);
  };
  ASSERT_EQ(Run({"folder " + dir.Dos() + "c", "next"}), VariantCopy);
  EXPECT_TRUE(seen);
  EXPECT_EQ(tk.BoxIds(), std::vector<int>{3011});  // no 3003 from the ignored cancel
  EXPECT_TRUE(Filtered("browse").empty());
  EXPECT_FALSE(d.Checked(C::ChkBx_CleanCopy));
}

TEST_F(CopyModeTest, CheckBoxesReevaluateTheSpaceAndFolderChangesDoNot) {
  tk.answers = {false};  // 3003 at the end
  std::vector<uint64_t> sizes;
  tk.onDialogCommand = [&](TFrm_SelKU& dlg) { sizes.push_back(dlg.CopySize); };
  EXPECT_EQ(Run({"folder " + dir.Dos(), "name other", "noautosave on", "clean on",
                 "noautosave off", "clean off"}),
            VariantCancel);
  ASSERT_EQ(sizes.size(), 6u);
  EXPECT_EQ(Filtered("disk").size(), 5u);  // at start and on each of the four clicks
  EXPECT_EQ(sizes[0], sizes[1]);
  EXPECT_LT(sizes[2], sizes[1]);  // without the AutoSave folders
  EXPECT_LT(sizes[3], sizes[2]);  // the clean copy
  EXPECT_GT(sizes[4], sizes[3]);  // clean, with AutoSave
  EXPECT_EQ(sizes[5], sizes[0]);
}

TEST_F(CopyModeTest, WithoutRoomNextIsDisabledAndCancelClosesAtOnce) {
  room = false;
  bool checked = false;
  tk.onDialogCommand = [&](TFrm_SelKU& dlg) {
    checked = true;
    EXPECT_TRUE(dlg.Control(C::Lbl_Hint).Visible);
    EXPECT_TRUE(dlg.Control(C::Lbl_FreeSpace).Visible);
    EXPECT_FALSE(dlg.Control(C::Btn_Next).Enabled);
  };
  EXPECT_EQ(Run({"next", "cancel"}), VariantCancel);
  EXPECT_TRUE(checked);
  EXPECT_TRUE(tk.boxes.empty());  // neither 3011 nor 3003
  EXPECT_TRUE(Filtered("journal").empty());
  EXPECT_EQ(d.Text(C::Lbl_FreeSpace), "Освободите " + SizeText(d.CopySize + kGrowth + kTmp));
  EXPECT_EQ(d.Text(C::Lbl_FreeSpace), "Освободите 2 Мб");
}

TEST_F(CopyModeTest, BrowseAsksForTheCopyAndPutsTheChosenFolder) {
  browsed = dir.Dos() + "chosen\\";
  tk.answers = {false};
  EXPECT_EQ(Run({"browse", "cancel"}), VariantCancel);
  const uint32_t size = static_cast<uint32_t>(d.CopySize);
  EXPECT_EQ(Filtered("browse"),
            Strings{"browse Выбор пути для создания копии ZUM " + std::to_string(size) + " " +
                    std::to_string(size + kGrowth) + " " + cp1251::ToUpper(src[0])});
  EXPECT_EQ(d.Text(C::Ed_NewFolder), browsed);
  EXPECT_EQ(d.Text(C::Ed_FullPath), browsed + kName + "\\");
  EXPECT_EQ(Filtered("disk").size(), 1u);  // the hints are not re-evaluated
}

TEST(SizeText, WholeUnitsRoundedUpWithStrictThresholds) {
  const std::pair<uint64_t, const char*> cases[] = {
      {0, "0 б"},
      {1024, "1024 б"},
      {1025, "2 Кб"},
      {1048576, "1024 Кб"},
      {1048577, "2 Мб"},
      {1073741825ull, "2 Гб"},
      {3ull << 30, "3 Гб"},
      {(1ull << 40) + 1, "2 Тб"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(SizeText(bytes), text) << bytes;
}

// ---- the copy list --------------------------------------------------------------------

TEST_F(CopyModeTest, CopyListForTheFourCombinationsOfOptions) {
  using Set = std::set<std::string, NoCaseLess>;
  const Strings product = {"Base\\", "Base\\std1", "Cfg\\", "Cfg\\CFG.ZUM", "Exe\\",
                           "Exe\\zum.exe", "Rus\\Data\\", "Rus\\Data\\data.dat",
                           "Rus\\Updt\\"};
  // The product's folders that this installation lacks: a clean copy makes them.
  const Strings missing = {"Doc\\",         "Rus\\LBN\\",    "Rus\\Etalon\\",
                           "Rus\\Frg_Std\\", "Ukr\\LBN\\",    "Ukr\\Data\\",
                           "Ukr\\Etalon\\",  "Ukr\\Frg_Std\\", "Ukr\\Updt\\"};
  const Strings autoSave = {"Rus\\AutoSave\\", "Rus\\AutoSave\\a.sav", "Ukr\\AutoSave\\",
                            "Ukr\\AutoSave\\b.sav"};
  // Working data outside the product's folders; a sibling whose name only begins
  // with AutoSave is not an AutoSave folder.
  const Strings other = {"Rus\\",          "Rus\\AutoSaveOld\\", "Rus\\AutoSaveOld\\o.sav",
                         "Rus\\Stroyka\\", "Rus\\Stroyka\\s.dat", "Ukr\\"};
  auto join = [](std::initializer_list<Strings> parts) {
    Set all;
    for (const Strings& p : parts) all.insert(p.begin(), p.end());
    return all;
  };
  // Compared in capitals: letter case is the file system's business.
  auto upper = [](const auto& items) {
    std::set<std::string> out;
    for (const std::string& i : items) out.insert(cp1251::Upper(i));
    return out;
  };
  struct Case {
    bool clean, noAutoSave;
    Set expected;
  };
  const Case cases[] = {
      {false, false, join({product, autoSave, other})},
      {false, true, join({product, other})},
      {true, false, join({product, missing, autoSave})},
      {true, true, join({product, missing})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.clean) + std::to_string(c.noAutoSave));
    protocol.clear();
    const uint64_t size = d.BuildCopyList(src, c.clean, c.noAutoSave, d.ExcludedFile);
    EXPECT_EQ(upper(d.CopyList), upper(c.expected));
    EXPECT_EQ(d.CopyList.size(), c.expected.size());  // each once
    // Sorted without regard to case: a folder before its content.
    EXPECT_TRUE(std::is_sorted(d.CopyList.begin(), d.CopyList.end(), NoCaseLess()));
    uint64_t expectedSize = 0;
    for (const std::string& item : c.expected) {
      std::string bytes;
      if (item.back() != '\\' && zt::ReadAll(src + item, bytes)) expectedSize += bytes.size();
    }
    EXPECT_EQ(size, expectedSize);
    EXPECT_EQ(protocol.size(), 3u);
  }
}

TEST_F(CopyModeTest, InstallerAndJournalAreLeftOutWhereverTheyLie) {
  MakeFile(src + "Exe\\zumupd.exe", "the installer, started from Exe");
  d.SelfPath = src + "EXE\\ZUMUPD.EXE";
  d.BuildCopyList(src, false, false, d.ExcludedFile);
  for (const std::string& item : d.CopyList) {
    EXPECT_NE(cp1251::Upper(item), "EXE\\ZUMUPD.EXE");
    EXPECT_NE(item.find('\\'), std::string::npos) << item;  // nothing from the top folder
  }
  EXPECT_NE(std::find(d.CopyList.begin(), d.CopyList.end(), "Exe\\zum.exe"), d.CopyList.end());
}

// ---- the copy of the tree ---------------------------------------------------------------

// A clean copy through the journalled copy, which makes a folder one level at a
// time: the empty Rus\Updt and Rus\AutoSave come before any Rus\ entry (there is
// none in a clean copy), and the missing Doc is made empty.
TEST_F(CopyModeTest, CleanCopyThroughTheJournalKeepsEmptyFoldersWhoseParentIsNotListed) {
  ASSERT_TRUE(os::DeleteFile(src + "Rus\\AutoSave\\a.sav"));
  TForm1 form(&tk);
  form.FormCreate();
  form.JournalFile = dir.Dos() + "journal.txt";
  form.JournalMuted = false;
  ASSERT_TRUE(form.JournalStart());

  d.BuildCopyList(src, true, false, d.ExcludedFile);
  const std::string target = dir.Dos() + "copy\\";
  ASSERT_TRUE(os::CreateDir(dir.Dos() + "copy"));
  ASSERT_TRUE(CopyTree(src, target, d.CopyList,
                       [&](const std::string& from, const std::string& to, bool newItem) {
                         return form.JournalCopy(from, to, newItem);
                       }));
  ASSERT_TRUE(form.JournalEnd());
  for (const std::string& item : d.CopyList) {
    SCOPED_TRACE(item);
    if (item.back() == '\\') {
      EXPECT_TRUE(os::DirectoryExists(target + item));
    } else {
      std::string a, b;
      ASSERT_TRUE(zt::ReadAll(src + item, a));
      ASSERT_TRUE(zt::ReadAll(target + item, b));
      EXPECT_EQ(a, b);
    }
  }
  EXPECT_TRUE(os::DirectoryExists(target + "Rus\\AutoSave"));
  EXPECT_TRUE(os::DirectoryExists(target + "Doc"));
  EXPECT_FALSE(os::DirectoryExists(target + "Rus\\Stroyka"));

  // One command 9 per item, naming the item in the copy, and one for each parent
  // folder the copy made for an item whose parent is not listed.
  std::string journalBytes;
  ASSERT_TRUE(zt::ReadAll(form.JournalFile, journalBytes));
  std::set<std::string> dropped;
  for (std::string line : journal::SplitLines(journalBytes)) {
    int kind = 0;
    std::string text, path;
    if (!journal::IsCommandLine(line) || !prot::StripSeal(line) ||
        !journal::ParseCommand(line, kind, text) || kind != journal::kCmdDrop)
      continue;
    ASSERT_TRUE(journal::ParseDropText(text, path)) << text;
    dropped.insert(path.substr(target.size()));
  }
  std::set<std::string> expected(d.CopyList.begin(), d.CopyList.end());
  expected.insert({"Rus\\", "Ukr\\"});
  EXPECT_EQ(dropped, expected);
}

TEST_F(CopyModeTest, CopyTreeStopsAtTheFirstFailureAndAtAFolderThatWasNotMade) {
  d.BuildCopyList(src, true, true, d.ExcludedFile);
  const std::string target = dir.Dos() + "copy\\";
  int calls = 0;
  // A callback that reports success for a folder it did not make.
  EXPECT_FALSE(CopyTree(src, target, d.CopyList,
                        [&](const std::string&, const std::string&, bool) { return ++calls > 0; }));
  EXPECT_EQ(calls, 1);
  calls = 0;
  EXPECT_FALSE(CopyTree(src, target, d.CopyList,
                        [&](const std::string&, const std::string& to, bool) {
                          os::CreateDir(to);
                          return ++calls < 3;
                        }));
  EXPECT_EQ(calls, 3);
}
