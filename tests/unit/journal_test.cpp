// The rollback journal: command records, their line breaks and texts, and the
// journal writer of the main window on real files.
#include <gtest/gtest.h>

#include "installer/form1.h"
#include "format/protocol_record.h"
#include "format/journal_record.h"
#include "format/checksum.h"
#include "support/test_support.h"
#include "frontends/scripted/scripted.h"

namespace {

const os::LocalTime kTime{2026, 3, 7, 9, 5, 4, 32};
const std::string kZeros20(20, '0');

// ---- records -----------------------------------------------------------------------

TEST(JournalRecord, CommandRecordLayoutAndSeal) {
  const std::string rec = journal::MakeCommand(kTime, 14, "Запуск");
  // marker, time stamp, "*" kind "#", text, then 10 digits of seal
  const std::string body = "> 07.03.26 09:05:04.032*14#Запуск";
  ASSERT_EQ(rec.size(), body.size() + 10);
  EXPECT_EQ(rec.substr(0, body.size()), body);
  char seal[11];
  std::snprintf(seal, sizeof seal, "%010u", static_cast<unsigned>(prot::LineSum(body)));
  EXPECT_EQ(rec.substr(body.size()), seal);
  EXPECT_TRUE(prot::IsSealed(rec));
  EXPECT_EQ(journal::MakeCommand(kTime, 4, "x").substr(23, 3), "*4#");  // no leading zero
}

TEST(JournalRecord, LineBreakRule) {
  const std::string rec = journal::MakeCommand(kTime, 5, "Конец");
  EXPECT_EQ(journal::FrameCommand(rec, 0), rec);
  EXPECT_EQ(journal::FrameCommand(rec, 1), "\r\n" + rec + "\r\n");
}

TEST(JournalRecord, ParseCommand) {
  struct Case {
    const char* record;
    bool ok;
    int kind;
    const char* text;
  };
  const Case cases[] = {
      {"> 07.03.26 09:05:04.032*6#C:\\Z\\a<C:\\T\\BAK1\\a", true, 6, "C:\\Z\\a<C:\\T\\BAK1\\a"},
      {"> 07.03.26 09:05:04.032*14#", true, 14, ""},
      // the first "*" and the first "#" count; later ones belong to the text
      {"> 07.03.26 09:05:04.032*9#z<a#b*c", true, 9, "z<a#b*c"},
      {"> 07.03.26 09:05:04.032*123#x", true, 123, "x"},
      // kind not a number
      {"> 07.03.26 09:05:04.032*#x", false, 0, ""},
      {"> 07.03.26 09:05:04.032*x6#x", false, 0, ""},
      {"> 07.03.26 09:05:04.032* 6#x", false, 0, ""},
      {"> 07.03.26 09:05:04.032*-1#x", false, 0, ""},
      {"> 07.03.26 09:05:04.032*1234567890#x", false, 0, ""},
      {"> 07.03.26 09:05:04.032#6*x", false, 0, ""},  // "#" before "*"
      {"> 07.03.26 09:05:04.032 6#x", false, 0, ""},  // no "*"
      {"> 07.03.26 09:05:04.032*6 x", false, 0, ""},  // no "#"
  };
  for (const Case& c : cases) {
    int kind = -7;
    std::string text = "untouched";
    EXPECT_EQ(journal::ParseCommand(c.record, kind, text), c.ok) << c.record;
    if (c.ok) {
      EXPECT_EQ(kind, c.kind) << c.record;
      EXPECT_EQ(text, c.text) << c.record;
    } else {
      EXPECT_EQ(kind, -7) << c.record;
      EXPECT_EQ(text, "untouched") << c.record;
    }
  }
}

TEST(JournalRecord, SplitLines) {
  using V = std::vector<std::string>;
  EXPECT_EQ(journal::SplitLines(""), V{""});
  EXPECT_EQ(journal::SplitLines("a"), V{"a"});
  // a command record after a protocol record: an empty line, and a final break
  EXPECT_EQ(journal::SplitLines("p\r\n\r\nc\r\n"), (V{"p", "", "c", ""}));
  EXPECT_EQ(journal::SplitLines("a\nb\r\nc"), (V{"a", "b", "c"}));
  // a lone CR is no line break; it stays in the line (and breaks its seal)
  EXPECT_EQ(journal::SplitLines("a\rb\r\n"), (V{"a\rb", ""}));
}

TEST(JournalRecord, RestoreText) {
  const std::string text =
      journal::MakeRestoreText("C:\\ZUM\\EXE\\zum.exe", "C:\\T\\BAK1\\EXE\\zum.exe", 7, 4294967295u);
  EXPECT_EQ(text, "C:\\ZUM\\EXE\\zum.exe<C:\\T\\BAK1\\EXE\\zum.exe00000000074294967295");

  std::string target, backup;
  uint32_t sum = 0, size = 0;
  ASSERT_TRUE(journal::ParseRestoreText(text, target, backup, sum, size));
  EXPECT_EQ(target, "C:\\ZUM\\EXE\\zum.exe");
  EXPECT_EQ(backup, "C:\\T\\BAK1\\EXE\\zum.exe");
  EXPECT_EQ(sum, 7u);
  EXPECT_EQ(size, 4294967295u);

  // Ten digits can say more than 32 bits; the low 32 bits are kept.
  ASSERT_TRUE(journal::ParseRestoreText("a<b" "9999999999" "4294967296", target, backup, sum, size));
  EXPECT_EQ(sum, 1410065407u);
  EXPECT_EQ(size, 0u);

  for (const char* bad : {"", "a<b000000000000000000",  // 19 digits: too short for both
                          "ab" "00000000000000000000",  // no "<"
                          "<b" "00000000000000000000",  // no target
                          "a<" "00000000000000000000",  // no backup
                          "a<b" "0000000000000000000x"}) {
    EXPECT_FALSE(journal::ParseRestoreText(bad, target, backup, sum, size)) << bad;
  }
}

TEST(JournalRecord, DropText) {
  EXPECT_EQ(journal::MakeDropText("C:\\ZUM\\new.dll"), "z<C:\\ZUM\\new.dll" + kZeros20);
  EXPECT_EQ(journal::MakeDropText("C:\\Z\\a", 5, 12), "z<C:\\Z\\a00000000050000000012");

  std::string path;
  ASSERT_TRUE(journal::ParseDropText("z<C:\\Z\\a00000000050000000012", path));
  EXPECT_EQ(path, "C:\\Z\\a");
  ASSERT_TRUE(journal::ParseDropText("z<PA" + kZeros20, path));
  EXPECT_EQ(path, journal::kNoPath);

  for (const std::string& bad : {std::string("z<PA"), "z<" + kZeros20, "zPA" + kZeros20,
                                 "z<PA" + kZeros20.substr(1) + "x"}) {
    EXPECT_FALSE(journal::ParseDropText(bad, path)) << bad;
  }
}

TEST(JournalRecord, ReadVariant) {
  EXPECT_EQ(journal::ReadVariant("1"), 1);
  EXPECT_EQ(journal::ReadVariant("0"), 0);
  EXPECT_EQ(journal::ReadVariant("-1"), -1);
  EXPECT_EQ(journal::ReadVariant("+6"), 6);
  for (const char* bad : {"", "x", "1 ", " 1", "-", "2147483648", "99999999999"})
    EXPECT_EQ(journal::ReadVariant(bad), -1) << bad;
}

// ---- the journal writer --------------------------------------------------------------

class JournalWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    form.JournalFile = dir.Dos() + "zum_5.1.12.1.txt";
    form.JournalMuted = false;
  }

  std::string JournalBytes() {
    std::string bytes;
    EXPECT_TRUE(zt::ReadAll(form.JournalFile, bytes));
    return bytes;
  }
  // The command records of the journal, seals removed, as kind and text.
  std::vector<std::pair<int, std::string>> Commands() {
    std::vector<std::pair<int, std::string>> out;
    for (std::string line : journal::SplitLines(JournalBytes())) {
      if (!journal::IsCommandLine(line)) continue;
      EXPECT_TRUE(prot::IsSealed(line)) << line;
      prot::StripSeal(line);
      int kind = 0;
      std::string text;
      EXPECT_TRUE(journal::ParseCommand(line, kind, text)) << line;
      out.emplace_back(kind, text);
    }
    return out;
  }
  size_t CountLinesStartingWith(const std::string& prefix) const {
    size_t n = 0;
    for (const std::string& line : form.ProtLines()) n += line.rfind(prefix, 0) == 0;
    return n;
  }

  ui::ScriptedToolkit tk;
  zt::TempDir dir;
  TForm1 form{&tk};
};

using Cmds = std::vector<std::pair<int, std::string>>;

TEST_F(JournalWriterTest, CommandRecordsAndTheirLineBreaks) {
  // Without an open journal: the list-box line, false.
  EXPECT_FALSE(form.JournalCmd(journal::kCmdTempDir, "C:\\T\\"));
  EXPECT_EQ(form.ProtLines().back(), "LogCmd 8 C:\\T\\");
  EXPECT_EQ(tk.selected, static_cast<int>(tk.lines.size()) - 1);

  ASSERT_TRUE(form.JournalStream.Open(form.JournalFile, os::kRead | os::kWrite, os::kShareRead,
                                      os::Disposition::CreateAlways));
  form.JournalMuted = true;
  EXPECT_TRUE(form.JournalCmd(journal::kCmdTempDir, "muted"));
  EXPECT_EQ(form.ProtLines().back(), "LogCmd 8 muted");
  form.JournalMuted = false;

  EXPECT_TRUE(form.JournalCmd(journal::kCmdTempDir, "C:\\T\\"));
  EXPECT_TRUE(form.JournalCmd(journal::kCmdVariant, "1"));
  form.Say("line");
  EXPECT_TRUE(form.JournalCmd(static_cast<journal::Command>(14), "x"));
  form.JournalStream.Close();

  const auto lines = journal::SplitLines(JournalBytes());
  // The first command stands alone, later ones have CR LF before and after; a
  // protocol record has it only before
  // (commands as "c", the protocol record as "p"):  c CRLF c CRLF CRLF p CRLF c CRLF
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0].substr(0, 2), "> ");
  EXPECT_EQ(lines[1].substr(0, 2), "> ");
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[3].substr(0, 2), "; ");
  EXPECT_EQ(lines[4].substr(0, 2), "> ");
  EXPECT_EQ(lines[5], "");  // the file ends with CR LF
  EXPECT_EQ(Commands(), (Cmds{{8, "C:\\T\\"}, {2, "1"}, {14, "x"}}));
}

TEST_F(JournalWriterTest, RecordThatCannotBeWrittenIsReported) {
  ASSERT_TRUE(zt::WriteAll(form.JournalFile, ""));
  ASSERT_TRUE(form.JournalStream.Open(form.JournalFile, os::kRead, os::kShareAll,
                                      os::Disposition::OpenExisting));
  EXPECT_FALSE(form.JournalCmd(journal::kCmdRestore, "x"));
  const std::string& last = form.ProtLines().back();
  EXPECT_EQ(last.rfind("!!!Невозможно сохранить протокол!!! ", 0), 0u) << last;
  EXPECT_EQ(last.back(), ' ');
  EXPECT_EQ(form.ProtLines()[form.ProtLines().size() - 2], "LogCmd 6 x");
}

TEST_F(JournalWriterTest, StartAndEnd) {
  EXPECT_FALSE(form.JournalExists());
  EXPECT_FALSE(form.JournalEnd());  // not open

  ASSERT_TRUE(form.JournalStart());
  EXPECT_TRUE(form.JournalExists());
  EXPECT_TRUE(form.JournalStream.IsOpen());
  form.Say("working");
  ASSERT_TRUE(form.JournalEnd());
  EXPECT_FALSE(form.JournalStream.IsOpen());
  EXPECT_FALSE(form.JournalEnd());

  // An existing journal is appended to; a muted start records nothing.
  ASSERT_TRUE(form.JournalStart());
  form.JournalEnd();
  form.JournalMuted = true;
  ASSERT_TRUE(form.JournalStart());
  form.JournalEnd();
  EXPECT_EQ(Commands(), (Cmds{{4, "Запуск"}, {5, "Конец"}, {4, "Запуск"}, {5, "Конец"}}));
  EXPECT_NE(JournalBytes().find(prot::MakeLine(prot::kProtPlain, "working")), std::string::npos);
}

TEST_F(JournalWriterTest, StartFailsWhereTheFileCannotBeMade) {
  form.JournalFile = dir.Dos() + "missing\\zum_1.txt";
  EXPECT_FALSE(form.JournalStart());
  EXPECT_FALSE(form.JournalStream.IsOpen());
  const std::string& last = form.ProtLines().back();
  EXPECT_EQ(last.rfind(prot::KindPrefix(26), 0), 0u) << last;
  EXPECT_EQ(last.back(), ' ');
}

TEST_F(JournalWriterTest, BackupOfAnExistingFile) {
  const std::string source = dir.Dos() + "Cfg\\CFG.ZUM";
  const std::string backup = dir.Dos() + "T\\BAK1\\Cfg\\CFG.ZUM";
  const std::string content = "configuration, version 5.1.11";
  ASSERT_TRUE(os::CreateDir(dir.Dos() + "Cfg"));
  ASSERT_TRUE(zt::WriteAll(source, content));
  ASSERT_TRUE(form.JournalStart());

  ASSERT_TRUE(form.JournalCopy(source, backup, false));
  std::string copy;
  ASSERT_TRUE(zt::ReadAll(backup, copy));
  EXPECT_EQ(copy, content);
  const uint32_t sum = pkg::AddSum(content.data(), content.size());
  EXPECT_EQ(Commands().back(),
            std::make_pair(6, journal::MakeRestoreText(source, backup, sum, content.size())));
  EXPECT_EQ(CountLinesStartingWith(prot::MakeLine(prot::kProtBackupFile, source)), 1u);
  EXPECT_EQ(CountLinesStartingWith(prot::MakeLine(prot::kProtCopyFile, source + " в " + backup) + " ...ОК"), 1u);
  EXPECT_EQ(CountLinesStartingWith(prot::MakeLine(prot::kProtChecksum, backup) + " ...ОК"), 1u);

  // The same backup path again (letter case aside) in this run: nothing is copied
  // and nothing recorded, so the backup keeps the state before the first change.
  const size_t commands = Commands().size();
  ASSERT_TRUE(zt::WriteAll(source, "changed by the first entry"));
  std::string upper = backup;
  upper.replace(upper.find("BAK1"), 4, "bak1");
  EXPECT_TRUE(form.JournalCopy(source, upper, false));
  ASSERT_TRUE(zt::ReadAll(backup, copy));
  EXPECT_EQ(copy, content);
  EXPECT_EQ(Commands().size(), commands);
}

TEST_F(JournalWriterTest, EmptyFileIsSummedTwiceAndRecordedWithZeros) {
  const std::string source = dir.Dos() + "empty.dat";
  const std::string backup = dir.Dos() + "BAK1\\empty.dat";
  ASSERT_TRUE(zt::WriteAll(source, ""));
  ASSERT_TRUE(form.JournalStart());
  ASSERT_TRUE(form.JournalCopy(source, backup, false));
  EXPECT_EQ(CountLinesStartingWith(prot::MakeLine(prot::kProtChecksum, backup)), 2u);
  EXPECT_EQ(Commands().back(), std::make_pair(6, source + "<" + backup + kZeros20));
}

TEST_F(JournalWriterTest, FileTheRunAddsIsNamedForRemoval) {
  const std::string source = dir.Dos() + "new.dll";
  const std::string backup = dir.Dos() + "BAK1\\new.dll";
  ASSERT_TRUE(form.JournalStart());
  const size_t lines = form.ProtLines().size();
  ASSERT_TRUE(form.JournalCopy(source, backup, false));
  EXPECT_EQ(Commands().back(), std::make_pair(9, "z<" + source + kZeros20));
  EXPECT_FALSE(os::FileExists(backup));
  // only the journal's own list-box line, no copy lines
  EXPECT_EQ(form.ProtLines().size(), lines + 1);

  // A folder where the file will go was there before the run: the record names
  // nothing, so the rollback does not remove that folder.
  ASSERT_TRUE(os::CreateDir(dir.Dos() + "dir.dll"));
  ASSERT_TRUE(form.JournalCopy(dir.Dos() + "dir.dll", dir.Dos() + "BAK1\\dir.dll", false));
  EXPECT_EQ(Commands().back(), std::make_pair(9, "z<PA" + kZeros20));
}

TEST_F(JournalWriterTest, ItemsOfACopyAreRecordedAsCreated) {
  const std::string install = dir.Dos() + "ZUM\\";
  const std::string copyDir = dir.Dos() + "ZUM5_5112\\";
  ASSERT_TRUE(os::CreateDir(install));
  ASSERT_TRUE(os::CreateDir(install + "Rus"));
  ASSERT_TRUE(zt::WriteAll(install + "Rus\\a.txt", "abc"));
  ASSERT_TRUE(os::CreateDir(copyDir));
  ASSERT_TRUE(form.JournalStart());

  ASSERT_TRUE(form.JournalCopy(install + "Rus", copyDir + "Rus", true));
  EXPECT_TRUE(os::DirectoryExists(copyDir + "Rus"));
  ASSERT_TRUE(form.JournalCopy(install + "Rus\\a.txt", copyDir + "Rus\\a.txt", true));
  std::string copy;
  ASSERT_TRUE(zt::ReadAll(copyDir + "Rus\\a.txt", copy));
  EXPECT_EQ(copy, "abc");
  EXPECT_EQ(CountLinesStartingWith(prot::MakeLine(prot::kProtBackupFile, "")), 0u);   // no backup lines
  EXPECT_EQ(CountLinesStartingWith(prot::MakeLine(prot::kProtChecksum, "")), 0u);  // nor checksums
  const Cmds cmds = Commands();
  ASSERT_EQ(cmds.size(), 3u);
  EXPECT_EQ(cmds[1], std::make_pair(9, "z<" + copyDir + "Rus" + kZeros20));
  EXPECT_EQ(cmds[2], std::make_pair(9, "z<" + copyDir + "Rus\\a.txt" + kZeros20));
}

TEST_F(JournalWriterTest, FailuresLeaveNoRecordAndStopTheCaller) {
  const std::string source = dir.Dos() + "a.txt";
  ASSERT_TRUE(zt::WriteAll(source, "abc"));
  ASSERT_TRUE(zt::WriteAll(dir.Dos() + "file", "x"));
  ASSERT_TRUE(form.JournalStart());
  const size_t commands = Commands().size();

  // The backup cannot be made (a file stands where its folder should be).
  EXPECT_FALSE(form.JournalCopy(source, dir.Dos() + "file\\BAK1\\a.txt", false));
  EXPECT_EQ(Commands().size(), commands);

  // The backup is made but its record cannot be written: the change it would
  // protect must not be made, so the call fails.
  form.JournalStream.Close();
  ASSERT_TRUE(form.JournalStream.Open(form.JournalFile, os::kRead, os::kShareAll,
                                      os::Disposition::OpenExisting));
  EXPECT_FALSE(form.JournalCopy(source, dir.Dos() + "BAK1\\a.txt", false));
  EXPECT_FALSE(form.JournalCopy(dir.Dos() + "new.txt", dir.Dos() + "BAK1\\new.txt", false));
  form.JournalStream.Close();
  EXPECT_EQ(Commands().size(), commands);
}

}  // namespace
