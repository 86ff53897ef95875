// A correction package of whole-file entries applied in place, from the start-up
// checks to "Программа выполнена успешно"; and runs killed at chosen points, then
// rolled back at the next start.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "installer/form1.h"
#include "base/cp1251.h"
#include "base/test_point.h"
#include "format/package_format.h"
#include "sample/sample.h"
#include "support/package_builder.h"
#include "support/installer_run.h"
#include "support/test_support.h"
#include "support/tree.h"
#include "frontends/scripted/scripted.h"

namespace {

std::string Pe(uint32_t seed) {
  std::vector<uint8_t> image = sample::MakePeImage(0x55685DBC, seed);
  return std::string(image.begin(), image.end());
}

class CorrectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(sample::MakeSampleInstallation(Install(), {}, error)) << error;
    plan.files = {
        {5, "cfg\\klsstd.zum", std::string(70000, 'k') + "klassifier", 0},
        {5, "Doc\\Новое\\Описание.txt", "a file in a folder the update adds", 0},
        {5, "Base\\std3", std::string(300000, '\x33'), 0},
        {6, "EXE\\zum.exe", Pe(101), 1},
        {6, "EXE\\zum.exe", Pe(202), 2},
    };
    ASSERT_TRUE(zt::MakePackage(Installer(), plan, error)) << error;
    original = zt::Snapshot(dir.Host() + "ZUM");
  }

  std::string Install() const { return dir.Dos() + "ZUM\\"; }
  std::string Installer() const { return Install() + "update.exe"; }

  // One start of the installer with the scripted front end.
  bool Run(ui::ScriptedToolkit& tk) {
    zt::TRun run = zt::RunInstaller(tk, Installer());
    lines = std::move(run.lines);
    return run.ok;
  }

  bool Said(const std::string& line) const {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  // The tree without the protocol files that every start leaves.
  zt::Tree Now() const {
    zt::Tree tree = zt::Snapshot(dir.Host() + "ZUM");
    const std::string prefix = cp1251::ToUtf8("Протокол");
    for (auto it = tree.begin(); it != tree.end();)
      it = it->first.compare(0, prefix.size(), prefix) == 0 ? tree.erase(it) : std::next(it);
    return tree;
  }

  zt::TempDir dir;
  zt::PackagePlan plan;
  zt::Tree original;
  std::vector<std::string> lines;
};

}  // namespace

TEST_F(CorrectionTest, UpdatesInPlaceAndEndsWell) {
  ui::ScriptedToolkit tk;  // 3009 answered No
  ASSERT_TRUE(Run(tk));
  EXPECT_TRUE(Said(" Программа выполнена успешно"));
  EXPECT_TRUE(Said(" ...ОБНОВЛЕНИЕ ВЫПОЛНЯЕТСЯ В РЕЖИМЕ ИСПРАВЛЕНИЯ"));
  EXPECT_EQ(tk.BoxIds(), std::vector<int>{3009});

  const zt::Tree after = Now();
  auto file = [&](const std::string& rel) {
    auto it = after.find(cp1251::ToUtf8(rel));
    return it == after.end() ? std::string("<missing>") : it->second;
  };
  EXPECT_EQ(file("Cfg/klsstd.zum"), plan.files[0].bytes);  // name found without regard to case
  EXPECT_EQ(file("Doc/Новое/Описание.txt"), plan.files[1].bytes);
  EXPECT_EQ(file("Base/std3"), plan.files[2].bytes);
  EXPECT_EQ(file("Exe/zum.exe"), plan.files[3].bytes);  // edition 0 takes variant 1
  const std::string cfg = file("Cfg/CFG.ZUM");
  ASSERT_EQ(cfg.size(), 1411u);
  EXPECT_STREQ(cfg.c_str() + 38, "3.0.7.1");
  // No journal, no temporary folder; the protocol beside the journal's place.
  EXPECT_EQ(after.count("zum_3.0.7.1.txt"), 0u);
  EXPECT_EQ(after.count("ZUMUPDTA.TMP/"), 0u);
  std::string saved;
  EXPECT_TRUE(zt::ReadAll(Install() + "Протокол_zum_3.0.7.1.txt", saved));
  // Everything else is as it was.
  zt::Tree expected = original;
  for (const char* rel : {"Cfg/klsstd.zum", "Base/std3", "Exe/zum.exe", "Cfg/CFG.ZUM"})
    expected.erase(rel);
  zt::Tree rest = after;
  for (const char* rel : {"Cfg/klsstd.zum", "Base/std3", "Exe/zum.exe", "Cfg/CFG.ZUM"})
    rest.erase(rel);
  for (const char* rel : {"Doc/Новое/", "Doc/Новое/Описание.txt"}) rest.erase(cp1251::ToUtf8(rel));
  EXPECT_EQ(zt::Diff(expected, rest), "");
}

TEST_F(CorrectionTest, ACorruptPayloadStopsTheRunAndTheRecoveryRestores) {
  // One byte changed inside the last entry's payload: its entry checksum fails
  // after the earlier entries were applied.
  std::string package;
  ASSERT_TRUE(zt::ReadAll(Installer(), package));
  const size_t at = package.rfind(plan.files[4].name.substr(4));  // "zum.exe" of the last entry
  ASSERT_NE(at, std::string::npos);
  pkg::TBytes bytes(package.begin(), package.end());
  ASSERT_TRUE(pkg::UnsealPackage(bytes));
  bytes[at + 40] ^= 0x55;
  ASSERT_TRUE(pkg::SealPackage(bytes));  // the package as a whole stays intact
  ASSERT_TRUE(zt::WriteAll(Installer(), std::string(bytes.begin(), bytes.end())));
  original = zt::Snapshot(dir.Host() + "ZUM");

  ui::ScriptedToolkit first;
  EXPECT_FALSE(Run(first));
  EXPECT_NE(Now().count("zum_3.0.7.1.txt"), 0u);  // the journal stays

  ui::ScriptedToolkit second;
  second.answers = {true, false};  // 3001 Yes, 3003 No
  EXPECT_TRUE(Run(second));
  EXPECT_EQ(second.BoxIds(), (std::vector<int>{3001, 3003}));
  EXPECT_TRUE(Said(" Восстановление завершено успешно"));
  EXPECT_EQ(zt::Diff(original, Now()), "");
}

// The run ends abruptly (as if killed) at a point; the next start rolls it back.
class KilledRunTest : public CorrectionTest,
                      public ::testing::WithParamInterface<std::pair<const char*, int>> {};

namespace {
const char* g_killPoint = nullptr;
int g_killHit = 0;
void KillAt(const char* point) {
  if (std::strcmp(point, g_killPoint) == 0 && --g_killHit == 0) _exit(77);
}
}  // namespace

TEST_P(KilledRunTest, IsRolledBackByteForByte) {
  const auto [point, hit] = GetParam();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    g_killPoint = point;
    g_killHit = hit;
    testpoint::g_hook = KillAt;
    ui::ScriptedToolkit tk;
    Run(tk);
    _exit(0);  // the point was never reached
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 77) << "the run never reached " << point;
  ASSERT_NE(Now().count("zum_3.0.7.1.txt"), 0u);

  ui::ScriptedToolkit tk;
  tk.answers = {true, false};  // 3001 Yes, 3003 No
  EXPECT_TRUE(Run(tk));
  EXPECT_EQ(zt::Diff(original, Now()), "");
}

INSTANTIATE_TEST_SUITE_P(
    Points, KilledRunTest,
    ::testing::Values(std::make_pair("unpack", 1),      // inside the first unpack
                      std::make_pair("backed-up", 2),   // between a backup and its applier
                      std::make_pair("backed-up", 3),   // before the file in a new folder
                      std::make_pair("unpack", 4),      // inside a later unpack
                      std::make_pair("stamp", 1)),      // the configuration file deleted
    [](const auto& info) {
      return std::string(info.param.first[0] == 'u' ? "Unpack" : info.param.first[0] == 'b' ? "Backup" : "Stamp") +
             std::to_string(info.param.second);
    });

TEST_F(CorrectionTest, ATargetVersionTooLongForTheConfigurationIsRefusedBeforeAnyChange) {
  plan.verTo = "3.0.7." + std::string(30, '1');
  std::string error;
  ASSERT_TRUE(zt::MakePackage(Installer(), plan, error)) << error;
  original = zt::Snapshot(dir.Host() + "ZUM");
  ui::ScriptedToolkit tk;
  EXPECT_FALSE(Run(tk));
  bool said = false;
  for (const std::string& line : lines)
    said |= line.find("не помещается в файл-конфигуратор") != std::string::npos;
  EXPECT_TRUE(said);
  EXPECT_EQ(zt::Diff(original, Now()), "");  // no journal left either
}

// A run that fails before a temporary folder is chosen (the product's executable is
// gone) removes its journal and says so, without a line about cleaning a folder
// that does not exist.
TEST_F(CorrectionTest, AFailureBeforeTheTemporaryFolderLeavesNoCleaningLine) {
  ASSERT_TRUE(os::DeleteFile(Install() + "Exe\\zum.exe"));
  original = zt::Snapshot(dir.Host() + "ZUM");
  ui::ScriptedToolkit tk;
  EXPECT_FALSE(Run(tk));
  EXPECT_TRUE(Said(" Не удалось найти ZUM.EXE"));
  EXPECT_TRUE(Said(" Изменений не было, файл отката удален"));
  EXPECT_FALSE(Said(" Попытка очистки и удаления несуществующей папки"));
  EXPECT_EQ(zt::Diff(original, Now()), "");
}

// The last entry's payload head declares a size other than its file's: the run is
// refused before its first change, and since its journal names no change, the
// journal and the temporary folder go with it; nothing is offered for rollback.
TEST_F(CorrectionTest, APayloadHeadThatCannotMakeItsFileLeavesNothingBehind) {
  plan.files.back().declaredSize = plan.files.back().bytes.size() + 1;
  std::string error;
  ASSERT_TRUE(zt::MakePackage(Installer(), plan, error)) << error;
  original = zt::Snapshot(dir.Host() + "ZUM");
  ui::ScriptedToolkit tk;
  EXPECT_FALSE(Run(tk));
  EXPECT_TRUE(Said(" Изменений не было, файл отката удален"));
  bool said = false;
  for (const std::string& line : lines)
    said |= line.find("Сжатые данные повреждены: EXE\\zum.exe") != std::string::npos;
  EXPECT_TRUE(said) << ::testing::PrintToString(lines);
  EXPECT_EQ(zt::Diff(original, Now()), "");

  ui::ScriptedToolkit again;  // no question 3001 at the next start
  Run(again);
  EXPECT_EQ(std::count(again.BoxIds().begin(), again.BoxIds().end(), 3001), 0);
}

TEST_F(CorrectionTest, AnEntryNameLeavingTheInstallationRefusesThePackageBeforeAnyChange) {
  for (const char* name : {"..\\outside.txt", "Doc\\..\\..\\outside.txt", "CON", "Exe\\zum.exe:x"}) {
    plan.files.push_back({5, name, "hostile", 0});
    std::string error;
    ASSERT_TRUE(zt::MakePackage(Installer(), plan, error)) << error;
    plan.files.pop_back();
    original = zt::Snapshot(dir.Host());
    ui::ScriptedToolkit tk;
    EXPECT_FALSE(Run(tk)) << name;
    bool said = false;
    for (const std::string& line : lines)
      said |= line.find("Недопустимое имя в обновлении: \"" + std::string(name) + "\"") !=
              std::string::npos;
    EXPECT_TRUE(said) << name;
    zt::Tree now = zt::Snapshot(dir.Host());
    const std::string protocol = "ZUM/" + cp1251::ToUtf8("Протокол.txt");
    now.erase(protocol);
    original.erase(protocol);
    EXPECT_EQ(zt::Diff(original, now), "") << name;
  }
}
