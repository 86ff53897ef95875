// Journals the recovery must not trust: a last record torn by a power loss, and
// journals damaged or forged to reach outside the installation. Sentinel files
// beside the installation must come through every recovery unchanged.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>

#include "installer/form1.h"
#include "format/protocol_record.h"
#include "format/journal_record.h"
#include "format/checksum.h"
#include "files/owner_mark.h"
#include "support/test_support.h"
#include "support/tree.h"
#include "frontends/scripted/scripted.h"

namespace {

namespace fs = std::filesystem;

using zt::Snapshot;
using zt::Tree;

const os::LocalTime kT0{2026, 3, 7, 9, 5, 4, 0};

os::LocalTime At(int ms) {
  os::LocalTime t = kT0;
  t.second += ms / 1000;
  t.millisecond = ms % 1000;
  return t;
}

std::string Sum10(const std::string& bytes) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.10u",
                static_cast<unsigned>(pkg::AddSum(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())));
  return buf;
}

// The folder `dir` holds the installation "ZUM\", its temporary folder
// "ZUMUPDT.TMP\", and "outside\" with sentinel files that nothing may touch.
class HostileJournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    install = dir.Dos() + "ZUM\\";
    temp = dir.Dos() + "ZUMUPDT.TMP\\";
    outside = dir.Dos() + "outside\\";
    journalFile = install + "zum_5.1.12.1.txt";
    for (const std::string& f : {install, install + "EXE\\", install + "Cfg\\", temp,
                                 temp + "BAK1\\", temp + "BAK1\\EXE\\", temp + "BAK1\\Cfg\\", temp + "BAK2\\",
                                 temp + "BAK2\\EXE\\", outside})
      ASSERT_TRUE(os::CreateDir(f)) << f;
    Put(install + "EXE\\zum.exe", "changed by the failed run");
    Put(install + "Cfg\\CFG.ZUM", "configuration");
    Put(temp + "BAK1\\EXE\\zum.exe", kOriginal);
    Put(temp + "BAK2\\EXE\\zum.exe", "state after block 1");
    Put(outside + "sentinel.txt", "sentinel");
    Put(temp + "BAK1\\sentinel.txt", "a forged backup");
  }

  void Put(const std::string& path, const std::string& bytes) {
    ASSERT_TRUE(zt::WriteAll(path, bytes)) << path;
  }

  // A command record as JournalCmd frames it into a file that ends at `end`.
  static std::string Framed(int ms, int kind, const std::string& text, uint64_t end = 1) {
    return journal::FrameCommand(journal::MakeCommand(At(ms), kind, text), end);
  }
  // Command 6 for `target` from `backup`, with the backup's real checksum and size.
  std::string Restore(const std::string& target, const std::string& backup) {
    std::string bytes;
    zt::ReadAll(backup, bytes);
    char size[16];
    std::snprintf(size, sizeof size, "%.10u", static_cast<unsigned>(bytes.size()));
    return target + "<" + backup + Sum10(bytes) + size;
  }
  // The start of a run: "Запуск" alone in the empty file, then the temporary folder.
  std::string Head() {
    return Framed(0, journal::kCmdStart, journal::StartText(), 0) +
           Framed(10, journal::kCmdTempDir, temp);
  }

  std::unique_ptr<TForm1> Restart() {
    auto form = std::make_unique<TForm1>(&tk);
    form->FormCreate();
    form->InstallDir = install;
    form->JournalFile = journalFile;
    form->SleepFn = [](unsigned) {};
    return form;
  }

  size_t CountKind(const TForm1& form, int kind) const {
    const std::string prefix = prot::MakeLine(kind, "");
    size_t n = 0;
    for (const std::string& line : form.ProtLines()) n += line.rfind(prefix, 0) == 0;
    return n;
  }

  static constexpr const char* kOriginal = "the product before the run";
  ui::ScriptedToolkit tk;
  zt::TempDir dir;
  std::string install, temp, outside, journalFile;
};

// The last record of the journal cut at every byte: a cut record is a write that
// never completed and is left out; the rest of the journal is replayed. The same
// record complete is replayed; complete but with one seal digit changed, or cut
// while another record follows, it refuses the whole journal.
TEST_F(HostileJournalTest, TornLastRecordIsLeftOutOnlyWhenItIsLast) {
  const std::string head = Head() + Framed(20, journal::kCmdRestore,
                                           Restore(install + "EXE\\zum.exe", temp + "BAK1\\EXE\\zum.exe"));
  // The record the power loss tears: it would restore the configuration from a
  // backup that differs, so its replay would show.
  Put(temp + "BAK1\\Cfg\\CFG.ZUM", "the configuration before");
  const std::string last =
      Framed(30, journal::kCmdRestore, Restore(install + "Cfg\\CFG.ZUM", temp + "BAK1\\Cfg\\CFG.ZUM"));
  ASSERT_EQ(last.substr(0, 3), "\r\n>");
  const std::string recordOnly = last.substr(2, last.size() - 4);

  for (size_t cut = 0; cut <= last.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut) + " of " + std::to_string(last.size()));
    Put(install + "EXE\\zum.exe", "changed by the failed run");
    Put(install + "Cfg\\CFG.ZUM", "configuration");
    Put(journalFile, head + last.substr(0, cut));
    auto form = Restart();
    ASSERT_TRUE(form->Recover()) << ::testing::PrintToString(form->ProtLines());
    std::string exe, cfg;
    zt::ReadAll(install + "EXE\\zum.exe", exe);
    zt::ReadAll(install + "Cfg\\CFG.ZUM", cfg);
    EXPECT_EQ(exe, kOriginal);
    // Replayed when the whole record is there (its seal holds, with or without the
    // line break after it); a cut anywhere inside it, or inside its line break,
    // leaves it out and says so.
    const bool whole = cut == last.size() || cut == last.size() - 2;
    const bool torn = (cut > 2 && cut < last.size() - 2) || cut == last.size() - 1;
    EXPECT_EQ(cfg, whole ? "the configuration before" : "configuration");
    bool said = false;
    for (const std::string& line : form->ProtLines())
      said = said || line.find("не дописана") != std::string::npos;
    EXPECT_EQ(said, torn);
    EXPECT_FALSE(os::FileExists(journalFile));
  }

  // Refused: a complete last record with a seal digit changed; a torn record that
  // is not the last; a last record without its line break but with its seal's
  // digits replaced by letters (a tail that is not a number is no seal here).
  std::string badSeal = recordOnly;
  badSeal.back() = badSeal.back() == '7' ? '8' : '7';
  std::string lettered = recordOnly;
  lettered.replace(lettered.size() - 10, 10, "abcdefghij");
  const std::string refused[] = {
      head + "\r\n" + badSeal + "\r\n",
      head + last.substr(0, last.size() / 2) + Framed(40, journal::kCmdEnd, journal::EndText()),
      head + "\r\n" + lettered.substr(0, lettered.size()) + "\r\n",
  };
  for (const std::string& bytes : refused) {
    SCOPED_TRACE(bytes.substr(head.size()));
    Put(install + "EXE\\zum.exe", "changed by the failed run");
    Put(journalFile, bytes);
    const Tree before = Snapshot(dir.Host());
    auto form = Restart();
    EXPECT_FALSE(form->Recover());
    EXPECT_EQ(CountKind(*form, 16), 1u);
    EXPECT_EQ(CountKind(*form, 14), 0u);  // nothing replayed
    EXPECT_EQ(Snapshot(dir.Host()), before);
  }
}

// A run into a copy changes one thing outside the copy: the desktop shortcut. Its
// rollback puts the desktop back (a shortcut the run made is removed, one it
// replaced is restored) and replays nothing inside the copy, which the driver
// removes whole. The desktop is open to shortcut files right in it, nothing else.
// The desktop after a rollback of a run into a copy: a shortcut is removed only
// when it points into the copy proved by its ownership mark; no desktop file is
// ever written from a backup (one planted in the temporary folder would put any
// target there); nothing else on the desktop is touched.
TEST_F(HostileJournalTest, CopyRollbackRemovesOnlyItsOwnShortcutAndRestoresNone) {
  const std::string home = dir.Host() + "home";
  fs::create_directories(home + "/Desktop/sub");
  zt::ScopedEnv homeEnv("HOME", home);
  zt::ScopedEnv configEnv("XDG_CONFIG_HOME", std::nullopt);
  const std::string desktop = os::ReadDesktopFolder() + "\\";
  const std::string copy = dir.Dos() + "copy\\";
  ASSERT_TRUE(os::CreateDir(copy));
  ASSERT_TRUE(os::CreateDir(copy + "EXE\\"));
  Put(copy + "EXE\\zum.exe", "the copy's product");
  Put(temp + "BAK2\\ZUM5_310.LNK", "a planted shortcut");
  Put(desktop + "ZUM5_310.LNK", "the user's shortcut");
  ASSERT_TRUE(os::CreateShellLink(copy + "EXE\\zum.exe", desktop + "ZUM5_311.LNK", "ZUM5_311.LNK", copy));
  ASSERT_TRUE(os::CreateShellLink(outside + "sentinel.txt", desktop + "ZUM5_313.LNK", "x", outside));
  Put(desktop + "notes.txt", "the user's");
  Put(desktop + "sub\\ZUM5_312.LNK", "the user's");
  const std::string zeros(20, '0');
  const std::string token(32, 'a');
  // The dialog's first choice, given up after message 3011, then the copy made.
  const std::string copyHead = Head() + Framed(20, journal::kCmdVariant, "1") +
                               Framed(25, journal::kCmdCopyDir, dir.Dos() + "given up\\") +
                               Framed(28, journal::kCmdVariant, "1") +
                               Framed(30, journal::kCmdCopyDir, copy) +
                               Framed(35, journal::kCmdOwner, journal::MakeOwnerText(copy, token, true)) +
                               Framed(40, journal::kCmdDrop, "z<" + copy + "EXE\\zum.exe" + zeros);

  for (const char* item : {"notes.txt", "sub\\ZUM5_312.LNK"}) {
    SCOPED_TRACE(item);
    Put(journalFile, copyHead + Framed(50, journal::kCmdDrop, "z<" + desktop + item + zeros));
    const Tree before = Snapshot(dir.Host());
    auto form = Restart();
    EXPECT_FALSE(form->Recover());
    EXPECT_EQ(Snapshot(dir.Host()), before);
  }

  const std::string tail =
      Framed(50, journal::kCmdRestore, Restore(desktop + "ZUM5_310.LNK", temp + "BAK2\\ZUM5_310.LNK")) +
      Framed(60, journal::kCmdDrop, "z<" + desktop + "ZUM5_311.LNK" + zeros) +
      Framed(70, journal::kCmdDrop, "z<" + desktop + "ZUM5_313.LNK" + zeros);
  // Without the mark in the copy nothing on the desktop is the run's.
  {
    Put(journalFile, copyHead + tail);
    const Tree before = Snapshot(home);
    auto form = Restart();
    EXPECT_TRUE(form->Recover()) << ::testing::PrintToString(form->ProtLines());
    EXPECT_EQ(Snapshot(home), before);
    EXPECT_FALSE(form->CopyProved);
  }
  ASSERT_TRUE(WriteOwnerMark(copy, token));
  Put(journalFile, copyHead + tail);
  auto form = Restart();
  EXPECT_TRUE(form->Recover()) << ::testing::PrintToString(form->ProtLines());
  EXPECT_TRUE(form->CopyProved);
  std::string bytes;
  EXPECT_TRUE(zt::ReadAll(desktop + "ZUM5_310.LNK", bytes));
  EXPECT_EQ(bytes, "the user's shortcut");
  EXPECT_FALSE(os::FileExists(desktop + "ZUM5_311.LNK"));
  EXPECT_TRUE(os::FileExists(desktop + "ZUM5_313.LNK"));
  EXPECT_TRUE(os::FileExists(desktop + "notes.txt"));
  EXPECT_TRUE(os::FileExists(copy + "EXE\\zum.exe"));  // left for the driver
  EXPECT_EQ(form->RecordsRefused, 2);
  EXPECT_EQ(form->UpdateVariant, VariantCopy);
  EXPECT_EQ(form->CopyDir, copy);  // the latest choice
}

// Forged journals, each wrong in one way: refused before anything is replayed,
// with the damaged-journal line and the reason; nothing anywhere changes.
TEST_F(HostileJournalTest, ForgedJournalsAreRefusedAndChangeNothing) {
  const std::string exe = install + "EXE\\zum.exe";
  const std::string bak1 = temp + "BAK1\\EXE\\zum.exe";
  const std::string bak2 = temp + "BAK2\\EXE\\zum.exe";
  const std::string sentinel = outside + "sentinel.txt";
  const std::string zeros(20, '0');
  struct Case {
    const char* what;
    const char* reason;  // the reason given; "" for a broken seal (no reason line)
    std::function<std::string()> journal;
  };
  auto withHead = [this](std::function<std::string()> tail) {
    return [this, tail] { return Head() + tail(); };
  };
  auto record = [](int kind, std::string text) {
    return [kind, text] { return Framed(100, kind, text); };
  };
  const Case cases[] = {
      {"a restore whose target is outside", "восстанавливаемый файл вне папки установки",
       withHead([=, this] { return Framed(100, 6, Restore(sentinel, temp + "BAK1\\sentinel.txt")); })},
      {"a restore that climbs out with ..", "восстанавливаемый файл: имя вне папки установки",
       withHead([=, this] {
         return Framed(100, 6, Restore(install + "EXE\\..\\..\\outside\\sentinel.txt",
                                       temp + "BAK1\\sentinel.txt"));
       })},
      {"a restore from a backup outside the temporary folder", "резервная копия вне временной папки",
       withHead([=, this] { return Framed(100, 6, Restore(exe, sentinel)); })},
      {"a restore from the backup of another file", "резервная копия вне временной папки",
       withHead([=, this] { return Framed(100, 6, Restore(install + "Cfg\\CFG.ZUM", bak1)); })},
      {"a backup whose size does not match", "размер резервной копии не совпадает",
       withHead([=, this] {
         std::string text = Restore(exe, bak1);
         text.back() = text.back() == '9' ? '0' : text.back() + 1;
         return Framed(100, 6, text);
       })},
      {"a backup that does not exist", "нет резервной копии",
       withHead([=, this] { return Framed(100, 6, temp.substr(0, 0) + exe + "<" + temp + "BAK3\\EXE\\zum.exe" + zeros); })},
      {"a removal outside", "удаляемый объект вне папки установки", withHead(record(9, "z<" + sentinel + zeros))},
      {"a removal of the folder beside the installation", "удаляемый объект вне папки установки", withHead(record(9, "z<" + outside + zeros))},
      {"a removal of the installation folder", "удаляемый объект вне папки установки", withHead(record(9, "z<" + install + zeros))},
      {"a removal of the journal itself", "имя файла отката", withHead(record(9, "z<" + journalFile + zeros))},
      {"a removal that climbs out with ..", "удаляемый объект: имя вне папки установки",
       withHead(record(9, "z<" + install + "EXE\\..\\..\\outside" + zeros))},
      {"a removal through a device name", "имя устройства", withHead(record(9, "z<" + install + "CON" + zeros))},
      {"a temporary folder at a drive root", "временная папка: папка - корень диска",
       [this] { return Framed(0, 4, journal::StartText(), 0) + Framed(10, 8, "Z:\\"); }},
      {"a temporary folder with a name of its own", "временная папка с чужим именем",
       [this] { return Framed(0, 4, journal::StartText(), 0) + Framed(10, 8, outside); }},
      {"a temporary folder that is the installation", "папка - сама папка установки",
       [this] { return Framed(0, 4, journal::StartText(), 0) + Framed(10, 8, install); }},
      {"a temporary folder in the system folder", "временная папка: системная папка",
       [this] { return Framed(0, 4, journal::StartText(), 0) + Framed(10, 8, "C:\\Windows\\ZUMUPDT.TMP\\"); }},
      {"a copy folder at a drive root", "папка копии: папка - корень диска", withHead(record(1, "Z:\\"))},
      {"a copy folder that is the installation", "папка копии: папка - сама папка установки", withHead(record(1, install))},
      {"a copy folder that holds the installation", "папка содержит папку установки", withHead(record(1, dir.Dos()))},
      {"a copy folder that is a system folder", "папка копии: системная папка", withHead(record(1, "C:\\Program Files\\"))},
      {"a relative copy folder", "папка не задана полным путем", withHead(record(1, "copy\\"))},
      {"a duplicated record", "резервная копия названа дважды",
       withHead([=, this] {
         const std::string r = Framed(100, 6, Restore(exe, bak1));
         return r + r;
       })},
      {"restores of one file out of block order", "порядок записей нарушен",
       withHead([=, this] { return Framed(100, 6, Restore(exe, bak2)) + Framed(110, 6, Restore(exe, bak1)); })},
      {"a record cut short in the middle of the journal", "",
       withHead([=, this] {
         const std::string r = Framed(100, 6, Restore(exe, bak1));
         return r.substr(0, r.size() - 7) + Framed(110, 5, journal::EndText());
       })},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Put(journalFile, c.journal());
    const Tree before = Snapshot(dir.Host());
    auto form = Restart();
    EXPECT_FALSE(form->Recover());
    EXPECT_EQ(Snapshot(dir.Host()), before);
    EXPECT_EQ(CountKind(*form, 16), 1u);
    EXPECT_EQ(CountKind(*form, 14), 0u);
    std::string reason;
    for (const std::string& line : form->ProtLines())
      if (line.find("Файл протокола отвергнут: ") != std::string::npos) reason = line;
    if (*c.reason) {
      EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
    } else {
      EXPECT_EQ(reason, "");
    }
  }

  // The same journal with nothing forged is replayed.
  Put(journalFile, Head() + Framed(100, 6, Restore(exe, bak1)) + Framed(110, 6, Restore(exe, bak2)));
  auto form = Restart();
  EXPECT_TRUE(form->Recover());
  std::string bytes;
  zt::ReadAll(exe, bytes);
  EXPECT_EQ(bytes, kOriginal);  // BAK2 first, BAK1 last
}

}  // namespace
