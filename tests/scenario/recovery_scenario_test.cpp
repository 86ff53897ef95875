// Recovery of a failed run: a run changes a sample installation through the journal
// and dies; a fresh start of the installer replays the journal it left.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>

#include "installer/form1.h"
#include "format/protocol_record.h"
#include "base/cp1251.h"
#include "format/journal_record.h"
#include "pack/package_writer.h"
#include "sample/sample.h"
#include "support/installer_run.h"
#include "support/test_support.h"
#include "support/tree.h"
#include "frontends/scripted/scripted.h"
#include "base/dos_path.h"

namespace {

namespace fs = std::filesystem;

using zt::Snapshot;
using zt::Tree;


// Makes `folder` (with a trailing backslash) and its missing parents.
void MakeFolders(const std::string& folder) {
  for (size_t pos = 3; (pos = folder.find('\\', pos)) != std::string::npos; ++pos) {
    const std::string part = folder.substr(0, pos);
    if (!os::DirectoryExists(part)) os::CreateDir(part);
  }
}

void Write(const std::string& path, const std::string& bytes) {
  MakeFolders(dos::FolderOf(path));
  ASSERT_TRUE(zt::WriteAll(path, bytes)) << path;
}

std::string Read(const std::string& path) {
  std::string bytes;
  EXPECT_TRUE(zt::ReadAll(path, bytes)) << path;
  return bytes;
}

// A sample installation under `root`: the product's folders and a few files,
// one of them empty.
void MakeInstallation(const std::string& install) {
  Write(install + "EXE\\zum.exe", "MZ product executable, build 1");
  Write(install + "Cfg\\CFG.ZUM", std::string(1411, '\x11'));
  Write(install + "Base\\base1.dbb", std::string(3000, '\xA5'));
  Write(install + "Base\\empty.dbb", "");
  Write(install + "Rus\\Справка.txt", "справка, версия 1");
}

// One run of the installer that changes an installation the way the execution
// engine does (back up through the journal, then change) and then dies: its
// journal stream goes without the closing record.
class FailedRun {
 public:
  FailedRun(const std::string& install, const std::string& temp,
            const std::string& journalName = "zum_5.1.12.1.txt")
      : temp_(temp) {
    form_.InstallDir = install;
    form_.JournalFile = install + journalName;
    form_.JournalMuted = false;
  }
  ~FailedRun() { form_.JournalStream.Close(); }

  TForm1& Form() { return form_; }
  bool Start() { return form_.JournalStart() && form_.JournalCmd(journal::kCmdTempDir, temp_); }
  std::string Backup(const std::string& name, int block) {
    return temp_ + "BAK" + std::to_string(block) + "\\" + name;
  }
  // The entry `name` of data block `block` gets `bytes`: backed up first, and
  // journalled (a file that is new, as created), then changed.
  bool Change(const std::string& name, int block, const std::string& bytes) {
    const std::string target = form_.InstallDir + name;
    if (!form_.JournalCopy(target, Backup(name, block), false)) return false;
    MakeFoldersJournalled(dos::FolderOf(target));
    return zt::WriteAll(target, bytes);
  }
  // As the engine does for a file in a folder that does not exist yet: the topmost
  // missing folder is journalled as created, then the folders are made.
  void MakeFoldersJournalled(const std::string& folder) {
    std::string topmost;
    for (std::string f = folder; f.size() > 3 && !os::DirectoryExists(f);) {
      topmost = f;
      f.pop_back();
      f = dos::FolderOf(f);
    }
    if (topmost.empty()) return;
    form_.JournalCmd(journal::kCmdDrop, journal::MakeDropText(topmost));
    MakeFolders(folder);
  }

 private:
  ui::ScriptedToolkit tk_;
  TForm1 form_{&tk_};
  std::string temp_;
};

class RecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    install = dir.Dos() + "ZUM\\";
    installHost = dir.Host() + "ZUM";
    temp = dir.Dos() + "ZUMUPDT.TMP\\";
    journalFile = install + "zum_5.1.12.1.txt";
    MakeInstallation(install);
    before = Snapshot(installHost);
  }

  // The installer started again after the failed run: it has found the
  // installation and the journal file name, nothing more.
  std::unique_ptr<TForm1> Restart() {
    auto form = std::make_unique<TForm1>(&tk);
    form->FormCreate();
    form->InstallDir = install;
    form->JournalFile = journalFile;
    form->SleepFn = [](unsigned) {};
    return form;
  }

  // Lines of the protocol that open with the phrase of `kind`.
  std::vector<std::string> LinesOfKind(const TForm1& form, int kind) const {
    std::vector<std::string> out;
    const std::string prefix = prot::MakeLine(kind, "");
    for (const std::string& line : form.ProtLines())
      if (line.rfind(prefix, 0) == 0) out.push_back(line.substr(prefix.size()));
    return out;
  }

  // Rewrites the journal's lines through `edit`.
  void EditJournal(const std::function<void(std::vector<std::string>&)>& edit) {
    std::vector<std::string> lines = journal::SplitLines(Read(journalFile));
    edit(lines);
    std::string bytes;
    for (size_t i = 0; i < lines.size(); ++i) bytes += (i ? "\r\n" : "") + lines[i];
    ASSERT_TRUE(zt::WriteAll(journalFile, bytes));
  }

  ui::ScriptedToolkit tk;
  zt::TempDir dir;
  std::string install, installHost, temp, journalFile;
  Tree before;
};

TEST_F(RecoveryTest, ChangedFilesAreRestoredAndAddedOnesRemoved) {
  {
    FailedRun run(install, temp);
    ASSERT_TRUE(run.Start());
    run.Form().Say("...Выполнение обновления");
    ASSERT_TRUE(run.Change("EXE\\zum.exe", 1, "MZ product executable, build 2, longer"));
    ASSERT_TRUE(run.Change("Base\\empty.dbb", 1, "no longer empty"));
    ASSERT_TRUE(run.Change("Rus\\Справка.txt", 1, ""));
    ASSERT_TRUE(run.Change("new.dll", 1, "added by the update"));
    ASSERT_TRUE(run.Change("Ukr\\Forms\\f.frm", 1, "added in new folders"));
    ASSERT_TRUE(run.Change("Cfg\\CFG.ZUM", 1, std::string(1411, '\x22')));
  }
  ASSERT_NE(Snapshot(installHost), before);

  auto form = Restart();
  ASSERT_TRUE(form->Recover());
  EXPECT_EQ(Snapshot(installHost), before);
  EXPECT_FALSE(os::FileExists(journalFile));
  EXPECT_EQ(form->TempDir, temp);
  EXPECT_EQ(form->UpdateVariant, VariantInPlace);

  const auto reading = LinesOfKind(*form, 15);
  ASSERT_EQ(reading.size(), 1u);
  EXPECT_EQ(reading[0].substr(0, journalFile.size()), journalFile);
  // Every command is announced with its record; the start record is the last one.
  const auto replayed = LinesOfKind(*form, 14);
  ASSERT_FALSE(replayed.empty());
  EXPECT_NE(replayed.back().find("*4#Запуск ...ОК "), std::string::npos) << replayed.back();
  EXPECT_EQ(LinesOfKind(*form, 6).size(), 4u);  // four files restored
  for (const std::string& line : form->ProtLines())
    EXPECT_EQ(line.find("Были ошибки"), std::string::npos) << line;
}

TEST_F(RecoveryTest, FileBackedUpInTwoDataBlocksEndsAsBeforeTheUpdate) {
  const std::string name = "Base\\base1.dbb";
  {
    FailedRun run(install, temp);
    ASSERT_TRUE(run.Start());
    ASSERT_TRUE(run.Change(name, 1, "state after data block 1"));
    ASSERT_TRUE(run.Change(name, 2, "state after data block 2"));
    EXPECT_EQ(Read(run.Backup(name, 2)), "state after data block 1");
  }
  auto form = Restart();
  ASSERT_TRUE(form->Recover());
  EXPECT_EQ(Snapshot(installHost), before);
  // BAK2 first, BAK1 last.
  const auto checked = LinesOfKind(*form, 21);
  ASSERT_EQ(checked.size(), 2u);
  EXPECT_EQ(checked[0].substr(0, (temp + "BAK2\\" + name).size()), temp + "BAK2\\" + name);
  EXPECT_EQ(checked[1].substr(0, (temp + "BAK1\\" + name).size()), temp + "BAK1\\" + name);
}

TEST_F(RecoveryTest, TheRollbackEndsAtTheStartOfTheRunOrAtTheFirstLine) {
  for (const bool startBetween : {false, true}) {
    SCOPED_TRACE(startBetween ? "start record between the changes" : "no start record");
    {
      FailedRun run(install, temp);
      run.Form().JournalMuted = true;  // the journal is opened without its start record
      ASSERT_TRUE(run.Form().JournalStart());
      run.Form().JournalMuted = false;
      ASSERT_TRUE(run.Change("EXE\\zum.exe", 1, "changed before"));
      if (startBetween) run.Form().JournalCmd(journal::kCmdStart, journal::StartText());
      ASSERT_TRUE(run.Change("Cfg\\CFG.ZUM", 1, "changed after"));
    }
    auto form = Restart();
    ASSERT_TRUE(form->Recover());
    EXPECT_EQ(Read(install + "Cfg\\CFG.ZUM"), before["Cfg/CFG.ZUM"]);
    EXPECT_EQ(Read(install + "EXE\\zum.exe"),
              startBetween ? "changed before" : before["EXE/zum.exe"]);
    // the next round starts from the installation as it was
    Write(install + "EXE\\zum.exe", before["EXE/zum.exe"]);
    ASSERT_TRUE(fs::remove_all(dir.Host() + "ZUMUPDT.TMP"));
  }
}

TEST_F(RecoveryTest, JournalWithOnlyTheStartRecord) {
  {
    FailedRun run(install, temp);
    ASSERT_TRUE(run.Form().JournalStart());
    run.Form().Say("...проверка наличия ZUM.EXE");
    run.Form().ProtResult(true, false);
  }
  auto form = Restart();
  ASSERT_TRUE(form->Recover());
  const auto replayed = LinesOfKind(*form, 14);
  ASSERT_EQ(replayed.size(), 1u);
  EXPECT_NE(replayed[0].find("*4#Запуск ...ОК "), std::string::npos) << replayed[0];
  EXPECT_FALSE(os::FileExists(journalFile));
}

// Journals that are damaged: nothing at all is replayed, the installation stays as
// the failed run left it and the journal stays for another attempt.
TEST_F(RecoveryTest, DamagedJournalsReplayNothing) {
  struct Case {
    const char* name;
    int kind;  // the protocol line that reports it
    std::function<void(std::vector<std::string>&)> edit;
  };
  auto sealed = [](std::string record) {
    prot::SealLine(record);
    return record;
  };
  const Case cases[] = {
      {"a seal digit of the oldest command record changed", 16,
       [](std::vector<std::string>& lines) {
         for (std::string& line : lines) {
           if (!journal::IsCommandLine(line)) continue;
           line.back() = line.back() == '0' ? '1' : '0';
           break;
         }
       }},
      {"a sealed record whose kind is not a number, newest", 26,
       [&](std::vector<std::string>& lines) {
         lines.push_back("");
         lines.push_back(sealed("> 07.03.26 09:05:04.032*x#z<C:\\"));
       }},
      {"a sealed record whose kind is not a number, in the middle", 26,
       [&](std::vector<std::string>& lines) {
         lines.insert(lines.begin() + 2, sealed("> 07.03.26 09:05:04.032#6*"));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      FailedRun run(install, temp);
      ASSERT_TRUE(run.Start());
      ASSERT_TRUE(run.Change("EXE\\zum.exe", 1, "changed"));
      ASSERT_TRUE(run.Change("new.dll", 1, "added"));
    }
    EditJournal(c.edit);
    const Tree failed = Snapshot(installHost);

    auto form = Restart();
    EXPECT_FALSE(form->Recover());
    EXPECT_EQ(Snapshot(installHost), failed);
    EXPECT_TRUE(LinesOfKind(*form, 14).empty());
    const auto reported = LinesOfKind(*form, c.kind);
    ASSERT_EQ(reported.size(), 1u);
    if (c.kind == 16) {
      EXPECT_EQ(reported[0], journalFile);
    } else {
      EXPECT_NE(reported[0].find("> 07.03.26 09:05:04.032"), std::string::npos) << reported[0];
    }

    ASSERT_TRUE(os::DeleteFile(journalFile));
    Write(install + "EXE\\zum.exe", before["EXE/zum.exe"]);
    ASSERT_TRUE(os::DeleteFile(install + "new.dll"));
  }
}

TEST_F(RecoveryTest, EmptyLinesFinalBreakAndUnsealedProtocolLinesAreRead) {
  {
    FailedRun run(install, temp);
    ASSERT_TRUE(run.Start());
    ASSERT_TRUE(run.Change("EXE\\zum.exe", 1, "changed"));
  }
  EditJournal([](std::vector<std::string>& lines) {
    lines.insert(lines.begin() + 1, "; a protocol line without a seal");
    lines.insert(lines.begin() + 1, "");
    lines.push_back("; 07.03.26 09:05:04.032 cut sho");
    lines.push_back("");
    lines.push_back("");  // the file ends with CR LF
  });
  auto form = Restart();
  ASSERT_TRUE(form->Recover());
  EXPECT_EQ(Snapshot(installHost), before);
  EXPECT_TRUE(LinesOfKind(*form, 16).empty());
}

TEST_F(RecoveryTest, BackupThatNoLongerMatchesStopsTheRollbackThere) {
  std::string badBackup;
  {
    FailedRun run(install, temp);
    ASSERT_TRUE(run.Start());
    ASSERT_TRUE(run.Change("EXE\\zum.exe", 1, "changed first"));
    ASSERT_TRUE(run.Change("Cfg\\CFG.ZUM", 1, "changed second"));
    ASSERT_TRUE(run.Change("Base\\base1.dbb", 1, "changed third"));
    badBackup = run.Backup("Cfg\\CFG.ZUM", 1);
  }
  std::string bytes = Read(badBackup);
  bytes[100] ^= 1;
  ASSERT_TRUE(zt::WriteAll(badBackup, bytes));

  auto form = Restart();
  EXPECT_FALSE(form->Recover());
  // Newer changes are undone up to the bad backup; older ones are not.
  EXPECT_EQ(Read(install + "Base\\base1.dbb"), before["Base/base1.dbb"]);
  EXPECT_EQ(Read(install + "Cfg\\CFG.ZUM"), "changed second");
  EXPECT_EQ(Read(install + "EXE\\zum.exe"), "changed first");
  EXPECT_TRUE(os::FileExists(journalFile));
  EXPECT_EQ(form->ProtLines().back().rfind("...Были ошибки ", 0), 0u) << form->ProtLines().back();
}

TEST_F(RecoveryTest, ProductStillRunningFailsBeforeAnythingIsReplayed) {
  {
    FailedRun run(install, temp);
    ASSERT_TRUE(run.Start());
    ASSERT_TRUE(run.Change("EXE\\zum.exe", 1, "changed"));
  }
  // The product runs from the installation: it holds its mutex.
  ui::ScriptedToolkit productTk;
  TForm1 product(&productTk);
  product.InstallDir = install;
  ASSERT_TRUE(product.FindProductExe(false, true));
  ASSERT_TRUE(product.TryHoldProduct(false));

  auto form = Restart();
  tk.answers = {false};  // 3007: do not wait any longer
  EXPECT_FALSE(form->Recover());
  EXPECT_EQ(tk.BoxIds(), (std::vector<int>{3007, 5007}));
  EXPECT_TRUE(LinesOfKind(*form, 14).empty());
  EXPECT_EQ(Read(install + "EXE\\zum.exe"), "changed");
  EXPECT_TRUE(os::FileExists(journalFile));
}

TEST_F(RecoveryTest, CopyModeWithTheCopyPresentRestoresNothing) {
  const std::string copyDir = dir.Dos() + "ZUM5_5112\\";
  {
    FailedRun run(install, temp);
    TForm1& f = run.Form();
    ASSERT_TRUE(f.JournalStart());
    // the variant dialog: the variant, the copy folder, then the copy item by item
    f.JournalCmd(journal::kCmdVariant, "1");
    f.JournalCmd(journal::kCmdCopyDir, copyDir);
    ASSERT_TRUE(f.JournalCopy(install, copyDir, true));
    for (const char* folder : {"EXE", "Cfg"}) {
      ASSERT_TRUE(f.JournalCopy(install + folder, copyDir + folder, true));
    }
    for (const char* file : {"EXE\\zum.exe", "Cfg\\CFG.ZUM"}) {
      ASSERT_TRUE(f.JournalCopy(install + file, copyDir + file, true));
    }
    f.JournalCmd(journal::kCmdTempDir, temp);
    // the engine then works on the copy
    ASSERT_TRUE(f.JournalCopy(copyDir + "Cfg\\CFG.ZUM", temp + "BAK1\\Cfg\\CFG.ZUM", false));
    ASSERT_TRUE(zt::WriteAll(copyDir + "Cfg\\CFG.ZUM", "stamped copy"));
  }
  auto form = Restart();
  ASSERT_TRUE(form->Recover());
  EXPECT_EQ(form->UpdateVariant, VariantCopy);
  EXPECT_EQ(form->CopyDir, copyDir);
  // The temporary folder is known, so that it can be removed with the copy.
  EXPECT_EQ(form->TempDir, temp);
  EXPECT_TRUE(LinesOfKind(*form, 14).empty());
  EXPECT_EQ(Read(copyDir + "Cfg\\CFG.ZUM"), "stamped copy");
  EXPECT_EQ(Snapshot(installHost), before);
  EXPECT_FALSE(os::FileExists(journalFile));
}

// A run killed at a moment of its work on one file; a second file was finished
// before. The child process runs and is killed; the parent recovers.
TEST_F(RecoveryTest, RunKilledAtAnyPointIsRolledBack) {
  enum Point { AfterBackup, TargetRemoved, TargetHalfWritten, NewFileHalfWritten };
  for (const Point point : {AfterBackup, TargetRemoved, TargetHalfWritten, NewFileHalfWritten}) {
    SCOPED_TRACE(point);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      FailedRun run(install, temp);
      bool ok = run.Start() && run.Change("Cfg\\CFG.ZUM", 1, std::string(1411, '\x33'));
      if (point == NewFileHalfWritten) {
        ok = ok && run.Form().JournalCopy(install + "Base\\base2.dbb",
                                          run.Backup("Base\\base2.dbb", 1), false) &&
             zt::WriteAll(install + "Base\\base2.dbb", std::string(500, 'n'));
      } else {
        const std::string target = install + "Base\\base1.dbb";
        ok = ok && run.Form().JournalCopy(target, run.Backup("Base\\base1.dbb", 1), false);
        if (point == TargetRemoved) ok = ok && os::DeleteFile(target);
        if (point == TargetHalfWritten) ok = ok && zt::WriteAll(target, std::string(1500, 'h'));
      }
      if (!ok) _exit(1);
      raise(SIGKILL);
      _exit(2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the run failed early";
    ASSERT_NE(Snapshot(installHost), before);

    auto form = Restart();
    ASSERT_TRUE(form->Recover());
    EXPECT_EQ(Snapshot(installHost), before);
    EXPECT_FALSE(os::FileExists(journalFile));
    ASSERT_TRUE(fs::remove_all(dir.Host() + "ZUMUPDT.TMP"));
  }
}

// ---- the driver's look for a failed run --------------------------------------------

#ifdef ZUM_STANDIN_PATH
// The installer started in a sample installation that a run of the same package
// (3.0.7 to 3.0.8) left half updated.
class DriverRecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    install = dir.Dos() + "zum\\";
    ASSERT_TRUE(sample::MakeSampleInstallation(install, {}, error)) << error;
    // The single-instance mutex is named after the installer's file name: a name of
    // its own keeps tests that run at the same time apart.
    updater = install + "update-" + fs::path(dir.Host()).parent_path().filename().string() + ".exe";
    WriteInstaller();
    before = Snapshot(dir.Host() + "zum");

    temp = install + "ZUMUPDTA.TMP\\";
    journalFile = install + "zum_3.0.8.txt";
    FailedRun run(install, temp, "zum_3.0.8.txt");
    ASSERT_TRUE(run.Start());
    ASSERT_TRUE(run.Change("Cfg\\CFG.ZUM", 1, "stamped"));
    ASSERT_TRUE(run.Change("Exe\\zum.exe", 1, "replaced"));
    ASSERT_TRUE(run.Change("Rus\\new.txt", 1, "added"));
  }

  // The stand-in product as the stub, a package of one SECTION appended.
  void WriteInstaller() {
    pkg::PackageWriter w;
    std::string error;
    std::string stub = "Z:" + std::string(ZUM_STANDIN_PATH);
    for (char& c : stub)
      if (c == '/') c = '\\';
    ASSERT_TRUE(w.LoadStub(stub, pkg::PackageWriter::StubFit::TruncateToImage, error)) << error;
    w.AddSection();
    pkg::PackageWriter::TTail tail;
    tail.VerFrom = "3.0.7";
    tail.VerTo = "3.0.8";
    tail.BuildStamps = {0x55685DBC};
    ASSERT_TRUE(w.WriteFile(updater, tail, error)) << error;
  }

  // The installation without the installer's own files and the protocol.
  Tree Installation() {
    Tree tree = Snapshot(dir.Host() + "zum");
    for (auto it = tree.begin(); it != tree.end();)
      it = it->first.find(cp1251::ToUtf8("Протокол_")) != std::string::npos ? tree.erase(it)
                                                                            : std::next(it);
    return tree;
  }

  bool HasLine(const TForm1& form, const std::string& line) const {
    for (const std::string& l : form.ProtLines())
      if (l == line) return true;
    return false;
  }

  ui::ScriptedToolkit tk;
  zt::TempDir dir;
  std::string install, updater, temp, journalFile;
  Tree before;
};

TEST_F(DriverRecoveryTest, YesRollsBackAndRemovesTheTemporaryFolder) {
  ASSERT_NE(Installation(), before);
  const auto installer = zt::NewInstaller(tk, updater);
  TForm1& form = *installer;
  tk.answers = {true, false};  // 3001: roll back; 3003: do not go on
  form.FormActivate();

  EXPECT_TRUE(form.RunOk());
  EXPECT_EQ(tk.BoxIds(), (std::vector<int>{3001, 3003}));
  EXPECT_TRUE(form.PrevRunFailed);
  EXPECT_EQ(Installation(), before);  // the journal and ZUMUPDTA.TMP are gone too
  EXPECT_TRUE(HasLine(form, " Есть проблемы. Попытка отката к предыдущему состоянию."));
  EXPECT_TRUE(HasLine(form, " Восстановление завершено успешно"));
  EXPECT_TRUE(HasLine(form, "Отменено пользователем. "));
}

TEST_F(DriverRecoveryTest, NoOrAFailedRollbackLeavesTheJournalForLater) {
  const Tree failed = Installation();
  // Declined, the journal stays and the protocol says how to get out; refused by
  // the recovery (a record's seal broken), the message says it too; with the seal
  // of its first command broken the file is no journal of ours at all: it is named,
  // left alone, and nothing is asked.
  struct Case {
    const char* name;
    bool rollBack;
    int damagedCommand;  // 0: none
    std::vector<int> boxes;
    const char* line;
  };
  const std::string wayOut = "Файл отката прошлого обновления: " + journalFile;
  const std::string notOurs = "Файл " + journalFile + " не является файлом отката";
  for (const Case& c : {Case{"declined", false, 0, {3001, 5003}, wayOut.c_str()},
                        Case{"damaged journal", true, 2, {3001, 5003, 0}, wayOut.c_str()},
                        Case{"not a journal", true, 1, {0}, notOurs.c_str()}}) {
    SCOPED_TRACE(c.name);
    if (c.damagedCommand > 0) {
      std::string bytes = Read(journalFile);
      size_t start = 0;  // the first command stands alone at the file's start
      for (int n = 1; n < c.damagedCommand; ++n) start = bytes.find("\r\n>", start + 1) + 2;
      const size_t seal = std::min(bytes.find("\r\n", start), bytes.size()) - 1;  // its last digit
      bytes[seal] = bytes[seal] == '0' ? '1' : '0';
      ASSERT_TRUE(zt::WriteAll(journalFile, bytes));
    }
    const Tree left = Installation();
    ui::ScriptedToolkit t;
    const auto installer = zt::NewInstaller(t, updater);
    TForm1& form = *installer;
    t.answers = {c.rollBack};
    form.FormActivate();
    EXPECT_FALSE(form.RunOk());
    EXPECT_EQ(t.BoxIds(), c.boxes);
    EXPECT_EQ(HasLine(form, "Ошибка № 5003"), c.boxes.size() > 1);
    bool named = false;
    for (const std::string& line : form.ProtLines()) named = named || line.find(c.line) != std::string::npos;
    EXPECT_TRUE(named) << c.line;
    EXPECT_EQ(Installation(), left);
    EXPECT_TRUE(os::FileExists(journalFile));
    EXPECT_TRUE(os::DirectoryExists(temp));
  }
  EXPECT_NE(failed, before);
}
#endif  // ZUM_STANDIN_PATH

}  // namespace
