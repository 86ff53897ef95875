// An update package (3.0.7 to 3.1.0) run by the real driver on a sample
// installation: the dialog makes a copy, the copy is updated and gets its desktop
// shortcut, and the installation it came from stays as it was; a run killed while
// copying or while updating the copy is rolled back at the next start.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>

#include "installer/form1.h"
#include "pack/payload_encode.h"
#include "base/cp1251.h"
#include "format/checksum.h"
#include "pack/package_writer.h"
#include "sample/sample.h"
#include "support/installer_run.h"
#include "support/test_support.h"
#include "support/tree.h"
#include "frontends/scripted/scripted.h"

#ifndef ZUM_STANDIN_PATH
#error "ZUM_STANDIN_PATH (the built stand-in product) is not defined"
#endif

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// Every file and folder under a host folder, by relative name (a folder's with a
// trailing '/'), a file as its size and checksum.
using zt::Digest;
using zt::Tree;
Tree Snapshot(const std::string& hostFolder) { return zt::Snapshot(hostFolder, {.digests = true}); }

// The tree without the items whose names begin with one of `prefixes`.
Tree Without(Tree tree, std::initializer_list<std::string> prefixes) {
  for (auto it = tree.begin(); it != tree.end();) {
    bool drop = false;
    for (const std::string& p : prefixes) drop = drop || it->first.rfind(p, 0) == 0;
    it = drop ? tree.erase(it) : std::next(it);
  }
  return tree;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The scripted front end of a run that is to die: it ends the process at the
// first protocol line that `dieAt` accepts, without running any cleanup.
class DyingToolkit : public ui::ScriptedToolkit {
 public:
  std::function<bool(const std::string&)> dieAt;
  void ProtAdd(const std::string& line) override {
    ui::ScriptedToolkit::ProtAdd(line);
    if (dieAt && dieAt(line)) _exit(42);
  }
};

const char kCopyName[] = "ZUM5_310";

class CopyModeScenario : public ::testing::Test {
 protected:
  void SetUp() override {
    install = dir.Dos() + "srv\\zum\\";
    installHost = dir.Host() + "srv/zum";
    copies = dir.Dos() + "copies\\";
    copy = copies + kCopyName + "\\";
    copyHost = dir.Host() + "copies/" + kCopyName;
    std::string error;
    ASSERT_TRUE(sample::MakeSampleInstallation(install, {}, error)) << error;
    // The single-instance mutex is named after the installer's file name.
    updater = install + "update-" + fs::path(dir.Host()).parent_path().filename().string() +
              ".exe";
    WriteInstaller();
    fs::create_directories(dir.Host() + "disk");
    before = Snapshot(installHost);
  }

  // The stand-in product as the stub; a data block that replaces Exe\zum.hlp and
  // adds a document.
  void WriteInstaller() {
    pkg::PackageWriter w;
    std::string error;
    std::string stub = "Z:" + std::string(ZUM_STANDIN_PATH);
    for (char& c : stub)
      if (c == '/') c = '\\';
    ASSERT_TRUE(w.LoadStub(stub, pkg::PackageWriter::StubFit::TruncateToImage, error)) << error;
    w.AddSection();
    std::string oldHelp;
    ASSERT_TRUE(zt::ReadAll(install + "Exe\\zum.hlp", oldHelp));
    for (const auto& [name, bytes] : {std::pair{std::string("Exe\\zum.hlp"), newHelp},
                                      std::pair{std::string("Doc\\Новое.txt"), newDoc}}) {
      pkg::TPartRecord slots;
      slots.OldSize = name == "Exe\\zum.hlp" ? static_cast<uint32_t>(oldHelp.size()) : 0;
      slots.NewSize = static_cast<uint32_t>(bytes.size());
      slots.NewSum = pkg::AddSum(bytes);
      Bytes payload;
      ASSERT_TRUE(payload::EncodePayload(bytes, {}, payload, error)) << error;
      ASSERT_TRUE(w.AddFile(pkg::kAddRepl, name, 0, payload, slots, error)) << error;
    }
    pkg::PackageWriter::TTail tail;
    tail.VerFrom = "3.0.7";
    tail.VerTo = "3.1.0";
    tail.TmpSpaceNeed = 100000;
    tail.BuildStamps = {0x55685DBC};
    ASSERT_TRUE(w.WriteFile(updater, tail, error)) << error;
  }

  // One start of the installer, as far as it goes.
  void RunInstaller(ui::ScriptedToolkit& t, bool& ok) {
    zt::TRun run = zt::RunInstaller(t, updater);
    ok = run.ok;
    lines = std::move(run.lines);
    copyDir = run.copyDir;
  }

  int Count(const std::string& line) const {
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
  }

  const Bytes newHelp = Text(std::string(3000, 'h') + "новая справка");
  const Bytes newDoc = Text("Новое в версии 3.1.0\r\n");
  ui::ScriptedToolkit tk;
  zt::TempDir dir;
  // The desktop, and a disk of its own for the disk scan (the root is not scanned).
  zt::ScopedEnv home{"HOME", dir.Host() + "home"};
  zt::ScopedEnv drives{"ZUM_DRIVES", "Y=" + dir.Host() + "disk"};
  zt::ScopedEnv types{"ZUM_DRIVE_TYPES", "Z=remote"};
  std::string install, installHost, copies, copy, copyHost, updater;
  Tree before;
  std::vector<std::string> lines;
  std::string copyDir;
};

const std::string kProtocolFile = cp1251::ToUtf8("Протокол_zum_3.1.0.txt");

}  // namespace

TEST_F(CopyModeScenario, UpdatePackageUpdatesACopyAndLeavesTheInstallation) {
  tk.dialogCommands = {"folder " + copies, "next"};
  tk.answers = {true, false};  // 3011: go on; 3009: do not start the product
  bool ok = false;
  RunInstaller(tk, ok);
  ASSERT_TRUE(ok) << ::testing::PrintToString(lines);
  EXPECT_EQ(tk.BoxIds(), (std::vector<int>{3011, 3009}));
  EXPECT_TRUE(tk.dialogErrors.empty());
  EXPECT_EQ(copyDir, copy);
  EXPECT_EQ(Count(" Выбор варианта обновления"), 2);
  EXPECT_EQ(Count(" Создание ярлыка"), 1);

  // The installation: as it was, with the run's protocol beside it.
  const Tree after = Snapshot(installHost);
  EXPECT_EQ(Without(after, {kProtocolFile}), before);
  EXPECT_EQ(after.count(kProtocolFile), 1u);

  // The copy: the installation's folders, updated and stamped; nothing from the
  // installation's own folder.
  const Tree copied = Snapshot(copyHost);
  Tree expected = Without(before, {"update-", "Exe/zum.hlp", "Cfg/CFG.ZUM"});
  for (auto it = expected.begin(); it != expected.end();)
    it = it->first.find('/') == std::string::npos  // a file right in the folder
             ? expected.erase(it)
             : std::next(it);
  EXPECT_EQ(Without(copied, {"Exe/zum.hlp", "Cfg/CFG.ZUM", cp1251::ToUtf8("Doc/Новое.txt")}),
            expected);
  EXPECT_EQ(copied.at("Exe/zum.hlp"), Digest(std::string(newHelp.begin(), newHelp.end())));
  EXPECT_EQ(copied.at(cp1251::ToUtf8("Doc/Новое.txt")),
            Digest(std::string(newDoc.begin(), newDoc.end())));
  std::string config;
  ASSERT_TRUE(zt::ReadAll(copy + "Cfg\\CFG.ZUM", config));
  EXPECT_EQ(config.substr(38, 6), std::string("3.1.0\0", 6));
  ASSERT_TRUE(zt::ReadAll(install + "Cfg\\CFG.ZUM", config));
  EXPECT_EQ(config.substr(38, 6), std::string("3.0.7\0", 6));

  // The shortcut on the desktop starts the copy.
  std::string link;
  ASSERT_TRUE(zt::ReadAll(dir.Dos() + "home\\Desktop\\" + kCopyName + ".LNK", link));
  const std::string target = copy + "EXE\\zum.exe";
  EXPECT_NE(link.find(target + std::string(1, '\0')), std::string::npos);
}

// Killed while copying the installation, and again while updating the copy: the
// installation never changes, and after Yes to 3001 the copy and the temporary
// folder are gone.
TEST_F(CopyModeScenario, RunKilledWhileCopyingOrUpdatingIsRolledBack) {
  struct Point {
    const char* what;
    std::function<bool(const std::string&)> dieAt;
    bool tempMade;  // the temporary folder was made before the run died
  };
  int copied = 0;
  const Point points[] = {
      {"during the copy",
       [&](const std::string& line) {
         return line.rfind("Копирование файла " + install, 0) == 0 && ++copied == 10;
       },
       false},
      {"during the update of the copy",
       [](const std::string& line) { return line == " ...Обновление Doc\\Новое.txt"; }, true},
  };
  for (const Point& point : points) {
    SCOPED_TRACE(point.what);
    copied = 0;
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      DyingToolkit t;
      t.dieAt = point.dieAt;
      t.dialogCommands = {"folder " + copies, "next"};
      t.answers = {true};
      bool ok = false;
      RunInstaller(t, ok);
      _exit(1);  // the run was to die before its end
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 42) << "the run did not reach the point";
    ASSERT_TRUE(fs::exists(copyHost));

    // Nothing of the installation changed; beside it are the journal and, once the
    // update ran, the temporary folder.
    const Tree killed = Snapshot(installHost);
    EXPECT_EQ(Without(killed, {"zum_3.1.0.txt", "ZUMUPDTA.TMP", kProtocolFile}), before);
    EXPECT_EQ(killed.count("zum_3.1.0.txt"), 1u);
    EXPECT_EQ(killed.count("ZUMUPDTA.TMP/"), point.tempMade ? 1u : 0u);

    ui::ScriptedToolkit t;
    t.answers = {true, false};  // 3001: roll back; 3003: do not go on
    bool ok = false;
    RunInstaller(t, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(t.BoxIds(), (std::vector<int>{3001, 3003}));
    EXPECT_EQ(t.dialogShown, 0);
    EXPECT_EQ(Without(Snapshot(installHost), {kProtocolFile}), before);
    EXPECT_FALSE(fs::exists(copyHost));
    EXPECT_TRUE(fs::is_empty(dir.Host() + "copies"));
  }
}
