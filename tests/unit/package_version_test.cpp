// The version match against installations made here: Cfg\CFG.ZUM with a version at
// 38, exe\zum.exe as a PE file with a chosen link time stamp.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "installer/form1.h"
#include "installer/version.h"
#include "support/test_support.h"
#include "frontends/scripted/scripted.h"
#include "unit/package_fixture.h"

namespace {

using pkg::TBytes;

const char kHeading[] = " ...ПРОВЕРКА ВЕРСИИ ОБНОВЛЕНИЯ";
const char kMismatch[] = "Обновление не предназначено для данной редакции ZUM. ";
constexpr uint32_t kStamp = 0x55685DBD;   // the second build of the package's list

TBytes Config(const std::string& version) {
  TBytes cfg = pkgtest::Payload(pkg::kConfigSize, 38);
  cfg[36] = '5';                                   // two bytes shown before the version
  cfg[37] = '.';                                   //   on an update-mode mismatch
  std::copy(version.begin(), version.end(), cfg.begin() + 38);
  cfg[38 + version.size()] = 0;
  cfg[120] = 2;                                    // edition
  return cfg;
}

class VersionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(os::CreateDir(install));
    ASSERT_TRUE(os::CreateDir(install + "Cfg"));
    ASSERT_TRUE(os::CreateDir(install + "exe"));
  }

  void Install(const TBytes& cfg, const TBytes& exe) {
    ASSERT_TRUE(pkgtest::WriteBytes(install + "Cfg\\CFG.ZUM", cfg));
    ASSERT_TRUE(pkgtest::WriteBytes(install + "exe\\zum.exe", exe));
  }

  // Reads the package and runs the version match; `lines` are the protocol lines
  // the match wrote.
  bool Check(const pkgtest::TPackage& package) {
    const std::string exe = dir.Dos() + "zumupd.exe";
    EXPECT_TRUE(pkgtest::WriteBytes(exe, package.bytes));
    tk = ui::ScriptedToolkit();
    formPtr = std::make_unique<TForm1>(&tk);
    form().ExePathOverride = exe;
    form().InstallDir = install;
    EXPECT_TRUE(form().ReadPackage());
    const size_t before = form().ProtLines().size();
    const bool ok = form().CheckVersion();
    lines.assign(form().ProtLines().begin() + before, form().ProtLines().end());
    return ok;
  }

  static pkgtest::TPackage Package(const std::string& from, const std::string& to) {
    pkg::PackageWriter::TTail tail = pkgtest::ShippedTail();
    tail.VerFrom = from;
    tail.VerTo = to;
    return pkgtest::BuildPackage(pkgtest::MakePe({0x200}, 1), pkgtest::ShippedEntries(), tail);
  }

  ui::ScriptedToolkit tk;
  zt::TempDir dir;
  const std::string install = dir.Dos() + "zum\\";
  std::unique_ptr<TForm1> formPtr = std::make_unique<TForm1>(&tk);
  TForm1& form() { return *formPtr; }
  std::vector<std::string> lines;
};

TEST_F(VersionTest, CorrectionAcceptsItsVersionWithAnyFourthComponent) {
  for (const char* installed : {"3.0.7", "3.0.7.0", "3.0.7.5"}) {
    SCOPED_TRACE(installed);
    const TBytes cfg = Config(installed);
    Install(cfg, pkgtest::MakePe({0x200}, kStamp));
    ASSERT_TRUE(Check(Package("3.0.7", "3.0.7.1")));
    EXPECT_EQ(lines, std::vector<std::string>{kHeading});
    EXPECT_TRUE(tk.boxes.empty());
    EXPECT_EQ(form().ConfigBuffer, cfg);            // kept whole for the later stages
    EXPECT_EQ(form().ConfigBuffer[pkg::kConfigEditionByte], 2);
    EXPECT_EQ(form().Caption(), "Исправление ZUM-5 (3.0.7.X) -> ZUM-5 (3.0.7.1) ");
    EXPECT_EQ(form().FirstSection, 0);
    EXPECT_EQ(form().SectionNo, 0);
  }
}

TEST_F(VersionTest, CorrectionRefusesAnotherVersion) {
  Install(Config("3.0.8.1"), pkgtest::MakePe({0x200}, kStamp));
  EXPECT_FALSE(Check(Package("3.0.7", "3.0.7.1")));
  EXPECT_EQ(lines, (std::vector<std::string>{kHeading,
                                             std::string(kMismatch) + " У Вас установлена ZUM-3.0.8.X"}));
  ASSERT_EQ(tk.BoxIds(), std::vector<int>{5013});
  EXPECT_EQ(tk.boxes[0].text, "Обновление предназначено для редакции ZUM\nZUM 5 3.0.7.X");
}

TEST_F(VersionTest, UpdateModeShowsTheFullVersions) {
  Install(Config("3.0.6"), pkgtest::MakePe({0x200}, kStamp));
  EXPECT_FALSE(Check(Package("3.0.7", "3.1.0")));
  EXPECT_EQ(lines, (std::vector<std::string>{kHeading,
                                             std::string(kMismatch) + " У Вас установлена ZUM-5.3.0.6"}));
  ASSERT_EQ(tk.BoxIds(), std::vector<int>{5013});
  EXPECT_EQ(tk.boxes[0].text, "Обновление предназначено для редакции ZUM\nZUM 5 3.0.7");
  // The title set here has no blank after its parenthesis.
  EXPECT_EQ(form().Caption(), "Обновление ZUM-5 (3.0.7) -> ZUM-5 (3.1.0)");
  EXPECT_EQ(tk.captions.end()[-2], "Обновление ZUM-5 (3.0.7) -> ZUM-5 (3.1.0) ");
}

TEST_F(VersionTest, UpdateModeAcceptsTheSourceVersion) {
  Install(Config("3.0.7.2"), pkgtest::MakePe({0x200}, 0x55685DBC));
  EXPECT_TRUE(Check(Package("3.0.7", "3.1.0")));
  EXPECT_EQ(lines, std::vector<std::string>{kHeading});
}

TEST_F(VersionTest, ABuildNotAmongTheStampsIsRefusedWithoutAMessage) {
  // The stamp list interleaves stamps with variant numbers; every value counts
  // alike, but a value that is no stamp of the list is refused.
  Install(Config("3.0.7"), pkgtest::MakePe({0x200}, 0x55685DBE));
  EXPECT_FALSE(Check(Package("3.0.7", "3.0.7.1")));
  EXPECT_EQ(lines, (std::vector<std::string>{kHeading, kMismatch}));
  EXPECT_TRUE(tk.boxes.empty());
}

TEST_F(VersionTest, NoBuildStampsAcceptNothing) {
  Install(Config("3.0.7"), pkgtest::MakePe({0x200}, 0));
  pkg::PackageWriter::TTail tail = pkgtest::ShippedTail();
  tail.BuildStamps.clear();
  EXPECT_FALSE(Check(pkgtest::BuildPackage(pkgtest::MakePe({0x200}, 1), pkgtest::ShippedEntries(), tail)));
  EXPECT_EQ(lines, (std::vector<std::string>{kHeading, kMismatch}));
}

TEST_F(VersionTest, FirstSectionIsTheIndexOfTheFirstSectionEntry) {
  Install(Config("3.0.7"), pkgtest::MakePe({0x200}, kStamp));
  auto entries = pkgtest::ShippedEntries();
  std::rotate(entries.begin(), entries.begin() + 1, entries.begin() + 4);  // SECTION fourth
  ASSERT_TRUE(Check(pkgtest::BuildPackage(pkgtest::MakePe({0x200}, 1), entries, pkgtest::ShippedTail())));
  EXPECT_EQ(form().FirstSection, 3);
}

// Each of these ends in a protocol line of kind 26 that names the file, and no box.
TEST_F(VersionTest, UnreadableInstallationFilesFailWithTheReason) {
  struct Case {
    const char* what;
    TBytes cfg, exe;      // empty: the file is missing
    const char* named;    // the file the line names
    bool lockConfig = false;
  };
  const TBytes pe = pkgtest::MakePe({0x200}, kStamp);
  const TBytes config = Config("3.0.7");
  const Case cases[] = {
      {"missing CFG.ZUM", {}, pe, "CFG.ZUM"},
      {"short CFG.ZUM", TBytes(config.begin(), config.begin() + 200), pe, "CFG.ZUM"},
      {"locked CFG.ZUM", Config("3.0.7"), pe, "CFG.ZUM", true},
      {"missing zum.exe", Config("3.0.7"), {}, "zum.exe"},
      {"zum.exe that is not a PE file", Config("3.0.7"), TBytes(600, 'z'), "zum.exe"},
      {"zum.exe cut inside its headers", Config("3.0.7"), TBytes(pe.begin(), pe.begin() + 200), "zum.exe"},
  };
  const pkgtest::TPackage package = Package("3.0.7", "3.0.7.1");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    os::DeleteFile(install + "Cfg\\CFG.ZUM");
    os::DeleteFile(install + "exe\\zum.exe");
    if (!c.cfg.empty()) {
      ASSERT_TRUE(pkgtest::WriteBytes(install + "Cfg\\CFG.ZUM", c.cfg));
    }
    if (!c.exe.empty()) {
      ASSERT_TRUE(pkgtest::WriteBytes(install + "exe\\zum.exe", c.exe));
    }
    os::File holder;  // another reader of CFG.ZUM, open during the check
    if (c.lockConfig) {
      ASSERT_TRUE(holder.Open(install + "Cfg\\CFG.ZUM", os::kRead, os::kShareAll,
                              os::Disposition::OpenExisting));
    }
    ui::ScriptedToolkit view;
    TForm1 f(&view);
    f.ExePathOverride = dir.Dos() + "zumupd.exe";
    ASSERT_TRUE(pkgtest::WriteBytes(f.ExePathOverride, package.bytes));
    f.InstallDir = install;
    ASSERT_TRUE(f.ReadPackage());
    EXPECT_FALSE(f.CheckVersion());
    const std::string& last = f.ProtLines().back();
    EXPECT_EQ(last.rfind("Произошла аварийная ситуация ", 0), 0u) << last;
    EXPECT_NE(last.find(c.named), std::string::npos) << last;
    EXPECT_TRUE(view.boxes.empty());
  }
}

TEST(ConfigText, StopsAtZeroOrTheEnd) {
  const std::vector<uint8_t> cfg = {'a', 'b', 0, 'c', 'd'};
  EXPECT_EQ(pkg::ConfigText(cfg, 0), "ab");
  EXPECT_EQ(pkg::ConfigText(cfg, 3), "cd");
  EXPECT_EQ(pkg::ConfigText(cfg, 9), "");
}

}  // namespace
