// The start-up checks against real folders, the stand-in product and a second
// installer, with the scripted front end; and the sample installation they use.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "installer/form1.h"
#include "installer/messages.h"
#include "format/basefile.h"
#include "base/cp1251.h"
#include "pack/package_writer.h"
#include "platform/fault.h"
#include "product/product.h"
#include "sample/sample.h"
#include "support/test_support.h"
#include "support/tree.h"
#include "frontends/scripted/scripted.h"

#ifndef ZUM_STANDIN_PATH
#error "ZUM_STANDIN_PATH (the built stand-in product) is not defined"
#endif

extern char** environ;

namespace {

namespace fs = std::filesystem;

const std::string kAttempt =
    " Программа ZUM либо еще одно обновление обнаружены в памяти. Ожидаем 1 секунду. Попытка ";

// A program run as a child process, its standard output read through a pipe.
class Child {
 public:
  ~Child() { Kill(); }

  bool Start(const std::string& program, const std::vector<std::string>& args) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
      close(fds[0]);
      pid_ = -1;
      return false;
    }
    out_ = fds[0];
    return true;
  }

  // The next line of output ("" at its end: the child ended without writing).
  std::string ReadLine() {
    std::string line;
    char c;
    while (out_ >= 0 && read(out_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }

  // Ends the child and waits until it is gone (and its mutexes with it).
  void Kill() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    if (out_ >= 0) close(out_);
    out_ = -1;
  }

  // Waits for the child's own end; its exit code, or -1.
  int Wait() {
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    form.FormCreate();
    form.VerTo = "3.0.8";
    form.SleepFn = [this](unsigned ms) {
      pauses.push_back(ms);
      if (onPause) onPause(ms);
    };
  }

  std::string Host(const std::string& rel) const { return dir.Host() + rel; }
  void MakeFolder(const std::string& rel) { fs::create_directories(Host(rel)); }
  void MakeFile(const std::string& rel) {
    fs::create_directories(fs::path(Host(rel)).parent_path());
    ASSERT_TRUE(zt::WriteAll(dir.Dos() + Dos(rel), "x"));
  }
  static std::string Dos(std::string rel) {
    for (char& c : rel)
      if (c == '/') c = '\\';
    return rel;
  }

  // A sample installation in `rel` whose Exe\zum.exe is the stand-in product.
  void MakeInstallationWithStandIn(const std::string& rel) {
    std::string error;
    ASSERT_TRUE(sample::MakeSampleInstallation(dir.Dos() + Dos(rel), {}, error)) << error;
    const fs::path exe = Host(rel) + "Exe/zum.exe";
    fs::copy_file(ZUM_STANDIN_PATH, exe, fs::copy_options::overwrite_existing);
    fs::permissions(exe, fs::perms::owner_all);
  }

  // Starts the stand-in product of the installation in `rel` and waits until it
  // holds its mutex; returns the name it holds.
  std::string StartProduct(Child& product, const std::string& rel) {
    EXPECT_TRUE(product.Start(Host(rel) + "Exe/zum.exe", {}));
    const std::string line = product.ReadLine();
    EXPECT_EQ(line.rfind("holding ", 0), 0u) << line;
    return line.size() > 8 ? cp1251::FromUtf8(line.substr(8)) : std::string();
  }

  std::vector<std::string> AttemptLines() const {
    std::vector<std::string> out;
    for (const std::string& l : form.ProtLines())
      if (l.rfind(kAttempt, 0) == 0) out.push_back(l.substr(kAttempt.size()));
    return out;
  }

  ui::ScriptedToolkit tk;
  TForm1 form{&tk};
  zt::TempDir dir;
  std::vector<unsigned> pauses;
  std::function<void(unsigned)> onPause;
};

// The mutex name an installer and the product both derive from the product's path.
std::string ExpectedMutexName(const std::string& exePath) {
  std::string name = exePath;
  for (char& c : name) c = c == '\\' ? '_' : cp1251::ToUpper(c);
  return name;
}

std::vector<unsigned> AttemptPauses(int attempts) {
  std::vector<unsigned> p = {300, 300};
  p.insert(p.end(), attempts, 1000);
  return p;
}

}  // namespace

// ---- the installation folder ------------------------------------------------------

TEST_F(StartupTest, InitDataFindsTheInstallationFromItsFolderOrItsExeFolder) {
  MakeFolder("zum/Exe");
  MakeFolder("exec/ZUM/EXE");
  MakeFolder("other");
  const std::string root = dir.Dos() + "zum\\";
  struct Case {
    std::string updater;
    std::string installDir;  // "" when the installation is not found
  };
  const Case cases[] = {
      {root + "update.exe", root},
      {root + "Exe\\update.exe", root},
      {root + "EXE\\update.exe", root},
      {dir.Dos() + "exec\\ZUM\\EXE\\update.exe", ""},  // "exec" comes first
      {dir.Dos() + "other\\update.exe", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.updater);
    ui::ScriptedToolkit t;
    TForm1 f(&t);
    f.FormCreate();
    f.VerTo = "5.1.12";
    f.ExePathOverride = c.updater;
    const bool found = f.InitData();
    EXPECT_EQ(found, !c.installDir.empty());
    const std::string updaterDir = c.updater.substr(0, c.updater.find_last_of('\\') + 1);
    const std::string installDir = found ? c.installDir : updaterDir;
    EXPECT_EQ(f.InstallDir, installDir);
    // The journal file is named in every case.
    EXPECT_EQ(f.JournalFile, installDir + "zum_5.1.12.txt");
    if (found) {
      ASSERT_EQ(f.ProtLines().size(), 1u);
      EXPECT_EQ(f.ProtLines()[0], " Предположительно. Папка исходной ZUM: " + installDir);
    } else {
      EXPECT_TRUE(f.ProtLines().empty());
    }
    EXPECT_TRUE(t.boxes.empty());
  }
}

// ---- a second installer -------------------------------------------------------------

TEST_F(StartupTest, CheckSingleRefusesASecondInstallerOfTheSameName) {
  Child first;  // stands for the installer already running
  ASSERT_TRUE(first.Start(ZUM_STANDIN_PATH, {"--mutex", "ZUMUPDATEPROC_update.exe"}));
  ASSERT_EQ(first.ReadLine(), "holding ZUMUPDATEPROC_update.exe");

  form.ExePathOverride = dir.Dos() + "update.exe";
  EXPECT_FALSE(form.CheckSingle());
  ASSERT_EQ(form.ProtLines().size(), 1u);
  EXPECT_EQ(form.ProtLines()[0], "Ошибка № 5005");
  ASSERT_EQ(tk.boxes.size(), 1u);
  EXPECT_EQ(tk.boxes[0].msgId, 5005);
  EXPECT_EQ(tk.boxes[0].style, ui::BoxStyle::Error);
  EXPECT_EQ(tk.boxes[0].text, DropMarks(LoadCatalogueText(5005)) + NumberSuffix(5005));

  // An installer of another file name is not affected.
  {
    TForm1 other(&tk);
    other.ExePathOverride = dir.Dos() + "update2.exe";
    EXPECT_TRUE(other.CheckSingle());
  }

  // Once the first has ended, the name is free, and the new holder keeps it.
  first.Kill();
  TForm1 again(&tk);
  again.ExePathOverride = dir.Dos() + "update.exe";
  EXPECT_TRUE(again.CheckSingle());
  Child late;
  ASSERT_TRUE(late.Start(ZUM_STANDIN_PATH, {"--mutex", "ZUMUPDATEPROC_update.exe"}));
  EXPECT_EQ(late.ReadLine(), "already held ZUMUPDATEPROC_update.exe");
  EXPECT_EQ(late.Wait(), 2);
}

// ---- the product executable -----------------------------------------------------------

TEST_F(StartupTest, FindProductExeNamesTheMutexFromTheNamesOnDisk) {
  std::string error;
  ASSERT_TRUE(sample::MakeSampleInstallation(dir.Dos() + "zum", {}, error)) << error;
  form.InstallDir = dir.Dos() + "zum\\";
  form.Say("...проверка наличия ZUM.EXE");
  EXPECT_TRUE(form.FindProductExe(false, false));
  EXPECT_EQ(form.InstallMutexName, ExpectedMutexName(form.InstallDir + "Exe\\zum.exe"));
  EXPECT_EQ(form.InstallMutexName.substr(form.InstallMutexName.size() - 12), "_EXE_ZUM.EXE");
  EXPECT_EQ(form.CopyMutexName, "");
  EXPECT_EQ(form.ProtLines(), std::vector<std::string>{" ...проверка наличия ZUM.EXE ...ОК "});
  EXPECT_TRUE(tk.boxes.empty());
}

TEST_F(StartupTest, FindProductExeFailsWithoutExeFolderOrExecutable) {
  MakeFile("direct/zum.exe");      // the executable, but no exe folder
  MakeFolder("noexe/EXE");         // the folder, but no executable
  MakeFile("noexe/EXE/zum.bak");
  struct Case {
    const char* folder;
    bool quiet;
  };
  for (const Case& c : {Case{"direct\\", false}, Case{"noexe\\", false}, Case{"noexe\\", true}}) {
    SCOPED_TRACE(std::string(c.folder) + (c.quiet ? " quiet" : ""));
    ui::ScriptedToolkit t;
    TForm1 f(&t);
    f.InstallDir = dir.Dos() + c.folder;
    f.Say("x");
    EXPECT_FALSE(f.FindProductExe(false, c.quiet));
    EXPECT_EQ(f.InstallMutexName, "");
    if (c.quiet) {
      EXPECT_EQ(f.ProtLines(), std::vector<std::string>{" x ...Были ошибки "});
      EXPECT_TRUE(t.boxes.empty());
    } else {
      EXPECT_EQ(f.ProtLines(), (std::vector<std::string>{" x", "Ошибка № 5009 ...Были ошибки "}));
      ASSERT_EQ(t.BoxIds(), std::vector<int>{5009});
      EXPECT_EQ(t.boxes[0].text, DropMarks(LoadCatalogueText(5009)) + NumberSuffix(5009));
    }
  }
}

TEST_F(StartupTest, FindProductExeForACopy) {
  // No copy folder: nothing to check, not even a protocol mark.
  form.CopyDir = dir.Dos() + "copy\\";
  EXPECT_TRUE(form.FindProductExe(true, false));
  EXPECT_TRUE(form.ProtLines().empty());

  // A copy folder without the product: the check fails without message 5009.
  MakeFolder("copy");
  EXPECT_FALSE(form.FindProductExe(true, false));
  EXPECT_EQ(form.ProtLines(), std::vector<std::string>{" Поиск исполняемого файла ZUM ...Были ошибки "});
  EXPECT_TRUE(tk.boxes.empty());

  // With the product, spelled in capitals on disk.
  MakeFile("copy/EXE/ZUM.EXE");
  EXPECT_TRUE(form.FindProductExe(true, false));
  EXPECT_EQ(form.ProtLines().back(), " Поиск исполняемого файла ZUM ...ОК ");
  EXPECT_EQ(form.CopyMutexName, ExpectedMutexName(form.CopyDir + "EXE\\ZUM.EXE"));
  EXPECT_EQ(form.InstallMutexName, "");
}

// ---- the running product ----------------------------------------------------------------

// The stand-in computes its mutex from its own path; the installer from what it
// found in the installation. They must meet.
TEST_F(StartupTest, ProductAndInstallerAgreeOnTheMutexName) {
  MakeInstallationWithStandIn("zum/");
  form.InstallDir = dir.Dos() + "zum\\";
  ASSERT_TRUE(form.FindProductExe(false, false));
  Child product;
  EXPECT_EQ(StartProduct(product, "zum/"), form.InstallMutexName);
}

TEST_F(StartupTest, WaitProductGivesUpWhenTheUserStopsWaiting) {
  MakeInstallationWithStandIn("zum/");
  form.InstallDir = dir.Dos() + "zum\\";
  form.ExePathOverride = dir.Dos() + "zum\\update.exe";
  ASSERT_TRUE(form.FindProductExe(false, false));
  Child product;
  StartProduct(product, "zum/");

  tk.answers = {false};
  EXPECT_TRUE(form.WaitProduct(false));
  EXPECT_EQ(AttemptLines(), (std::vector<std::string>{"1 из 10", "2 из 10", "3 из 10", "4 из 10",
                                                      "5 из 10", "6 из 10", "7 из 10", "8 из 10",
                                                      "9 из 10", "10 из 10"}));
  EXPECT_EQ(pauses, AttemptPauses(10));
  EXPECT_EQ(form.ProtLines().back(), "Ошибка № 5007");
  ASSERT_EQ(tk.BoxIds(), (std::vector<int>{3007, 5007}));
  const std::string updater = form.ExePathOverride;
  const std::string v[] = {updater};
  EXPECT_EQ(tk.boxes[0].text, DropMarks(ComposeMsg(3007, v, 1, true)));
  EXPECT_EQ(tk.boxes[0].style, ui::BoxStyle::Question);
  EXPECT_NE(tk.boxes[0].text.find(updater), std::string::npos);
  EXPECT_EQ(tk.boxes[1].text, DropMarks(ComposeMsg(5007, v, 1, false)));
  EXPECT_FALSE(form.InstallMutex.IsHeld());
}

TEST_F(StartupTest, WaitProductWaitsAgainOnYesAndPassesWhenTheProductEnds) {
  MakeInstallationWithStandIn("zum/");
  form.InstallDir = dir.Dos() + "zum\\";
  ASSERT_TRUE(form.FindProductExe(false, false));
  Child product;
  StartProduct(product, "zum/");

  // The user answers Yes, and the product ends while the question is open.
  tk.answers = {true};
  tk.onBox = [&](const ui::RecordedBox& box) {
    if (box.msgId == 3007) product.Kill();
  };
  EXPECT_FALSE(form.WaitProduct(false));
  EXPECT_EQ(AttemptLines().size(), 10u);
  EXPECT_EQ(tk.BoxIds(), std::vector<int>{3007});
  std::vector<unsigned> expected = AttemptPauses(10);
  expected.insert(expected.end(), {300, 300});  // the second pass succeeds at once
  EXPECT_EQ(pauses, expected);

  // The installer now holds the product's mutex: the product cannot start its own.
  EXPECT_TRUE(form.InstallMutex.IsHeld());
  Child second;
  ASSERT_TRUE(second.Start(Host("zum/") + "Exe/zum.exe", {}));
  EXPECT_EQ(second.ReadLine().rfind("already held ", 0), 0u);
  EXPECT_EQ(second.Wait(), 2);
}

TEST_F(StartupTest, WaitProductPassesWithoutAQuestionWhenTheProductEndsDuringTheWait) {
  MakeInstallationWithStandIn("zum/");
  form.InstallDir = dir.Dos() + "zum\\";
  ASSERT_TRUE(form.FindProductExe(false, false));
  Child product;
  StartProduct(product, "zum/");

  int seconds = 0;
  onPause = [&](unsigned ms) {
    if (ms == 1000 && ++seconds == 3) product.Kill();
  };
  EXPECT_FALSE(form.WaitProduct(false));
  EXPECT_EQ(AttemptLines(), (std::vector<std::string>{"1 из 10", "2 из 10", "3 из 10"}));
  EXPECT_EQ(pauses, AttemptPauses(3));
  EXPECT_TRUE(tk.boxes.empty());
  EXPECT_TRUE(form.InstallMutex.IsHeld());
  // A held mutex is kept: the next check passes at once.
  EXPECT_TRUE(form.TryHoldProduct(false));
}

TEST_F(StartupTest, WaitProductWithoutARunningProductPassesAtTheFirstAttempt) {
  MakeInstallationWithStandIn("zum/");
  form.InstallDir = dir.Dos() + "zum\\";
  ASSERT_TRUE(form.FindProductExe(false, false));
  EXPECT_FALSE(form.WaitProduct(false));
  EXPECT_TRUE(AttemptLines().empty());
  EXPECT_EQ(pauses, AttemptPauses(0));
  EXPECT_EQ(form.ProtLines().size(), 1u);  // only FindProductExe's mark
}

// ---- the whole start-up stage -----------------------------------------------------------

namespace {
// An installer file: the stand-in's executable as the stub, with a package of one
// SECTION from 3.0.7 to 3.0.8 appended.
void WriteInstaller(const std::string& dosPath) {
  pkg::PackageWriter w;
  std::string error;
  // The default drive map: Z: is the root.
  std::string stub = "Z:" + std::string(ZUM_STANDIN_PATH);
  for (char& c : stub)
    if (c == '/') c = '\\';
  ASSERT_TRUE(w.LoadStub(stub, pkg::PackageWriter::StubFit::TruncateToImage, error))
      << error;
  w.AddSection();
  pkg::PackageWriter::TTail tail;
  tail.VerFrom = "3.0.7";
  tail.VerTo = "3.0.8";
  tail.BuildStamps = {0x55685DBC};
  ASSERT_TRUE(w.WriteFile(dosPath, tail, error)) << error;
}
}  // namespace

TEST_F(StartupTest, StartUpLocatesTheInstallationFromItsExeFolder) {
  std::string error;
  ASSERT_TRUE(sample::MakeSampleInstallation(dir.Dos() + "zum", {}, error)) << error;
  const std::string updater = dir.Dos() + "zum\\Exe\\update.exe";
  WriteInstaller(updater);
  form.ExePathOverride = updater;
  form.UpdateVariant = VariantCopy;
  ASSERT_TRUE(form.StartUp());
  EXPECT_EQ(form.UpdateVariant, VariantNone);
  EXPECT_EQ(form.InstallDir, dir.Dos() + "zum\\");
  EXPECT_EQ(form.JournalFile, dir.Dos() + "zum\\zum_3.0.8.txt");
  const auto& lines = form.ProtLines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], " Самопроверка");
  EXPECT_EQ(lines[lines.size() - 4], "...ОК ");
  EXPECT_EQ(lines[lines.size() - 3], " Проверка нескольких копий ...ОК ");
  EXPECT_EQ(lines[lines.size() - 2], " Инициализация данных");
  EXPECT_EQ(lines.back(), " Предположительно. Папка исходной ZUM: " + form.InstallDir + " ...ОК ");
  EXPECT_TRUE(tk.boxes.empty());
}

TEST_F(StartupTest, AnInstallerOutsideTheInstallationIsToldWhereToRun) {
  MakeFolder("downloads");
  const std::string updater = dir.Dos() + "downloads\\update.exe";
  WriteInstaller(updater);
  form.ExePathOverride = updater;
  EXPECT_FALSE(form.StartUp());
  const auto& lines = form.ProtLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], " Инициализация данных ...Были ошибки ");
  EXPECT_EQ(lines.back(), "Ошибка № 5015");
  ASSERT_EQ(tk.BoxIds(), std::vector<int>{5015});
  EXPECT_EQ(tk.boxes[0].text, DropMarks(LoadCatalogueText(5015)) + NumberSuffix(5015));
  // The journal name, and so the protocol's, stays beside the installer.
  EXPECT_EQ(form.JournalFile, dir.Dos() + "downloads\\zum_3.0.8.txt");
}

TEST_F(StartupTest, ASecondInstanceIsRefusedAndItsProtocolSavedBesideIt) {
  std::string error;
  ASSERT_TRUE(sample::MakeSampleInstallation(dir.Dos() + "zum", {}, error)) << error;
  const std::string updater = dir.Dos() + "zum\\update.exe";
  WriteInstaller(updater);
  Child first;
  ASSERT_TRUE(first.Start(ZUM_STANDIN_PATH, {"--mutex", "ZUMUPDATEPROC_update.exe"}));
  ASSERT_EQ(first.ReadLine(), "holding ZUMUPDATEPROC_update.exe");

  form.ExePathOverride = updater;
  form.FormActivate();
  EXPECT_FALSE(form.RunOk());
  EXPECT_EQ(tk.BoxIds(), std::vector<int>{5005});
  const std::string protocol = dir.Dos() + "zum\\Протокол.txt";
  EXPECT_EQ(form.ProtocolPath(), protocol);
  std::string saved;
  ASSERT_TRUE(zt::ReadAll(protocol, saved));
  EXPECT_NE(saved.find("\r\n Проверка нескольких копий\r\nОшибка № 5005 ...Были ошибки \r\n"
                       "...Были ошибки \r\n"),
            std::string::npos)
      << cp1251::ToUtf8(saved);
  EXPECT_EQ(saved.find("Инициализация данных"), std::string::npos);
}

// A folder this account may not write in: the run stops before the rollback question
// and before any change, says why in the protocol and in one box, and leaves the
// folder as it was (no protocol file either). Linux offers no start as administrator.
// The refusal is the system's own, injected into the first file operation of the run,
// which is the check's: the tests run as any user, root included.
TEST_F(StartupTest, AFolderThatRefusesWritesStopsTheRunBeforeAnyChange) {
  std::string error;
  ASSERT_TRUE(sample::MakeSampleInstallation(dir.Dos() + "zum", {}, error)) << error;
  const std::string updater = dir.Dos() + "zum\\update.exe";
  WriteInstaller(updater);
  const zt::Tree before = zt::Snapshot(Host("zum"));

  form.ExePathOverride = updater;
  ASSERT_TRUE(os::fault::Configure("fail@1:access"));
  form.FormActivate();
  os::fault::Configure("");

  EXPECT_FALSE(form.RunOk());
  const std::string cause = "Нет права записи в папку " + dir.Dos() + "zum\\: ";
  ASSERT_EQ(tk.boxes.size(), 1u);
  EXPECT_EQ(tk.boxes[0].style, ui::BoxStyle::Error);
  EXPECT_EQ(tk.boxes[0].text.rfind(cause, 0), 0u) << cp1251::ToUtf8(tk.boxes[0].text);
  bool said = false;
  for (const std::string& line : form.ProtLines()) said = said || line.find(cause) != std::string::npos;
  EXPECT_TRUE(said);
  EXPECT_EQ(zt::Diff(before, zt::Snapshot(Host("zum"))), "");
}

// ---- the sample installation -------------------------------------------------------------

namespace {
uint32_t U32(const std::string& b, size_t at) {
  return static_cast<uint8_t>(b[at]) | (static_cast<uint8_t>(b[at + 1]) << 8) |
         (static_cast<uint8_t>(b[at + 2]) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24);
}
uint16_t U16(const std::string& b, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | (static_cast<uint8_t>(b[at + 1]) << 8));
}
}  // namespace

TEST(SampleInstallation, HasTheProductsFoldersAndFiles) {
  zt::TempDir dir;
  sample::SampleOptions options;
  options.version = "3.0.7.2";
  options.stamp = 0x12345678;
  options.edition = 1;
  options.baseSize = 20000;
  std::string error;
  ASSERT_TRUE(sample::MakeSampleInstallation(dir.Dos() + "zum", options, error)) << error;
  const std::string root = dir.Dos() + "zum\\";

  for (const char* folder : product::kInstallFolders)
    EXPECT_TRUE(os::DirectoryExists(root + folder)) << folder;

  std::string cfg;
  ASSERT_TRUE(zt::ReadAll(root + "CFG\\cfg.zum", cfg));  // any letter case finds it
  ASSERT_EQ(cfg.size(), product::kConfigSize);
  EXPECT_EQ(std::string(cfg.c_str() + product::kConfigVersionOffset), "3.0.7.2");
  EXPECT_EQ(std::string(cfg.c_str() + product::kConfigVersionTextOffset), "5 3.0.7.2");
  EXPECT_EQ(cfg[product::kConfigEditionOffset], 1);

  // Exe\zum.exe: a PE image with the link time stamp at e_lfanew + 8, a 224-byte
  // optional header, and section data back to back up to the end of the file.
  std::string exe;
  ASSERT_TRUE(zt::ReadAll(root + "EXE\\ZUM.EXE", exe));
  ASSERT_GE(exe.size(), 0x400u);
  EXPECT_EQ(exe.substr(0, 2), "MZ");
  const uint32_t pe = U32(exe, 60);
  ASSERT_LT(pe + 24u, exe.size());
  EXPECT_EQ(exe.substr(pe, 4), std::string("PE\0\0", 4));
  EXPECT_EQ(U32(exe, pe + 8), 0x12345678u);
  const uint16_t sections = U16(exe, pe + 6);
  EXPECT_EQ(U16(exe, pe + 20), 224);
  uint32_t end = 0;
  for (uint16_t i = 0; i < sections; ++i) {
    const size_t sh = pe + 24 + 224 + 40 * i;
    const uint32_t raw = U32(exe, sh + 20), size = U32(exe, sh + 16);
    if (i > 0) {
      EXPECT_EQ(raw, end) << "section " << i;
    }
    end = raw + size;
  }
  EXPECT_EQ(end, exe.size());

  // The base files unscramble with the product's keys into a sound layout.
  for (int n = 1; n <= 6; ++n) {
    SCOPED_TRACE(n);
    std::string bytes;
    ASSERT_TRUE(zt::ReadAll(root + "Base\\std" + std::to_string(n), bytes));
    ASSERT_EQ(bytes.size(), 20000u);
    std::vector<uint8_t> b(bytes.begin(), bytes.end());
    const int64_t key = BaseKeyFor("std" + std::to_string(n));
    ASSERT_EQ(UnscrambleBase(b, static_cast<uint32_t>(key), product::kBaseM1, product::kBaseM2),
              BaseStatus::Ok);
    EXPECT_EQ(b[0] | (b[1] << 8) | (b[2] << 16) | (b[3] << 24), 20000);
    const uint32_t count = b[4] | (b[5] << 8);
    EXPECT_EQ(b[8] | (b[9] << 8), 8 + 8 * count);  // the records follow the index
    EXPECT_NE(std::vector<uint8_t>(bytes.begin(), bytes.end()), b);
  }

  // Working data, a Cyrillic file name, and the empty Updt folders.
  EXPECT_TRUE(os::FileExists(root + "Rus\\Data\\Справочник.txt"));
  EXPECT_TRUE(os::FileExists(root + "Ukr\\Data\\Довідник.txt"));
  EXPECT_TRUE(os::FileExists(root + "Rus\\AutoSave\\autosave1.sav"));
  std::vector<os::FindEntry> updt;
  ASSERT_TRUE(os::FindFiles(root + "Rus\\Updt\\*", os::kAttrAny, updt));
  EXPECT_TRUE(updt.empty());
}

TEST(SampleInstallation, SameSeedSameBytesOtherSeedOtherBytes) {
  zt::TempDir dir;
  sample::SampleOptions a, b;
  a.baseSize = b.baseSize = 5000;
  b.seed = 2;
  std::string error;
  std::vector<std::string> files;
  ASSERT_TRUE(sample::MakeSampleInstallation(dir.Dos() + "a1", a, error, &files)) << error;
  ASSERT_TRUE(sample::MakeSampleInstallation(dir.Dos() + "a2", a, error)) << error;
  ASSERT_TRUE(sample::MakeSampleInstallation(dir.Dos() + "b", b, error)) << error;
  int differing = 0;
  for (const std::string& rel : files) {
    std::string x, y, z;
    ASSERT_TRUE(zt::ReadAll(dir.Dos() + "a1\\" + rel, x));
    ASSERT_TRUE(zt::ReadAll(dir.Dos() + "a2\\" + rel, y));
    ASSERT_TRUE(zt::ReadAll(dir.Dos() + "b\\" + rel, z));
    EXPECT_EQ(x, y) << rel;
    differing += x != z;
  }
  EXPECT_GT(differing, 20);
}

TEST(SampleInstallation, RefusesOptionsItCannotHonour) {
  zt::TempDir dir;
  std::string error;
  sample::SampleOptions longVersion;
  longVersion.version = std::string(32, '1');
  EXPECT_FALSE(sample::MakeSampleInstallation(dir.Dos() + "v", longVersion, error));
  EXPECT_FALSE(error.empty());

  sample::SampleOptions notPe;
  notPe.productExe = dir.Dos() + "notpe.exe";
  ASSERT_TRUE(zt::WriteAll(notPe.productExe, std::string(200, 'x')));
  error.clear();
  EXPECT_FALSE(sample::MakeSampleInstallation(dir.Dos() + "p", notPe, error));
  EXPECT_NE(error.find("not a PE file"), std::string::npos) << error;
  EXPECT_FALSE(os::DirectoryExists(dir.Dos() + "p"));  // refused before writing

  // A PE file given as the product executable gets the chosen stamp.
  sample::SampleOptions pe;
  pe.productExe = dir.Dos() + "product.exe";
  std::vector<uint8_t> image = sample::MakePeImage(0x11111111, 7);
  ASSERT_TRUE(zt::WriteAll(pe.productExe, std::string(image.begin(), image.end())));
  pe.stamp = 0x22222222;
  ASSERT_TRUE(sample::MakeSampleInstallation(dir.Dos() + "q", pe, error)) << error;
  std::string exe;
  ASSERT_TRUE(zt::ReadAll(dir.Dos() + "q\\Exe\\zum.exe", exe));
  ASSERT_EQ(exe.size(), image.size());
  EXPECT_EQ(U32(exe, U32(exe, 60) + 8), 0x22222222u);
}
