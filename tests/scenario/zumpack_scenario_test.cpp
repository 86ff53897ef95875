// Update files made by zumpack from sample installations, run by the real driver:
// the installation ends up as the new tree, and the temporary folder never holds
// more than the package's TmpSpaceNeed. Also what zumpack refuses to build, what
// its verify finds, and its command line.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "installer/form1.h"
#include "format/patch.h"
#include "installer/patch_file.h"
#include "format/stamp.h"
#include "base/cp1251.h"
#include "base/test_point.h"
#include "pack/builder.h"
#include "format/package_format.h"
#include "platform/os.h"
#include "sample/sample.h"
#include "support/installer_run.h"
#include "support/test_support.h"
#include "support/tree.h"
#include "frontends/scripted/scripted.h"
#include "zumpack/reading.h"

#ifndef ZUM_STANDIN_PATH
#error "ZUM_STANDIN_PATH (the built stand-in product) is not defined"
#endif
#ifndef ZUM_ZUMPACK_PATH
#error "ZUM_ZUMPACK_PATH (the built zumpack) is not defined"
#endif

namespace {

namespace fs = std::filesystem;
using Tree = std::map<std::string, std::string>;

Tree Snapshot(const std::string& host) { return zt::Snapshot(host, {.leaveOutProtocols = true}); }

std::string Stub() {
  std::string stub = "Z:" + std::string(ZUM_STANDIN_PATH);
  for (char& c : stub)
    if (c == '/') c = '\\';
  return stub;
}

// What the folder holds: the sum of its files' sizes, and what it takes on the disk.
struct Usage {
  uint64_t bytes = 0, allocated = 0;
};
Usage Measure(const std::string& host) {
  Usage u;
  std::error_code ec;
  if (!fs::exists(host, ec)) return u;
  struct stat st;
  if (stat(host.c_str(), &st) == 0) u.allocated += static_cast<uint64_t>(st.st_blocks) * 512;
  for (auto it = fs::recursive_directory_iterator(host, ec); it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (ec) break;
    if (stat(it->path().c_str(), &st) != 0) continue;  // removed meanwhile
    u.allocated += static_cast<uint64_t>(st.st_blocks) * 512;
    if (S_ISREG(st.st_mode)) u.bytes += static_cast<uint64_t>(st.st_size);
  }
  return u;
}

// The scripted front end that looks at the temporary folder at every protocol line
// and every move of the progress bar, and keeps the largest sizes seen.
class WatchingToolkit : public ui::ScriptedToolkit {
 public:
  explicit WatchingToolkit(std::string tempHost) : temp_(std::move(tempHost)) {}
  void ProtAdd(const std::string& line) override {
    ScriptedToolkit::ProtAdd(line);
    Sample();
  }
  void ProtReplaceLast(const std::string& line) override {
    ScriptedToolkit::ProtReplaceLast(line);
    Sample();
  }
  void SetProgress(uint32_t position, uint32_t max) override {
    ScriptedToolkit::SetProgress(position, max);
    Sample();
  }
  void Sample() {
    const Usage u = Measure(temp_);
    peak.bytes = std::max(peak.bytes, u.bytes);
    peak.allocated = std::max(peak.allocated, u.allocated);
    ++samples;
  }
  Usage peak;
  int samples = 0;

 private:
  std::string temp_;
};

WatchingToolkit* g_watching = nullptr;
void SampleAtTestPoint(const char*) {
  if (g_watching) g_watching->Sample();
}

class ZumpackScenario : public ::testing::Test {
 public:
  static constexpr uint32_t kBaseSize = 1u << 20;

  void SetUp() override {
    // The single-instance mutex is named after the installer's file name.
    updaterName = "update-" + fs::path(dir.Host()).parent_path().filename().string() + ".exe";
  }

 public:
  std::string D(const std::string& rel) const { return dir.Dos() + rel; }
  std::string H(const std::string& rel) const {
    std::string h = dir.Host() + rel;
    for (char& c : h)
      if (c == '\\') c = '/';
    return h;
  }

 protected:
  void MakeTree(const std::string& rel, uint32_t release, uint8_t edition, uint32_t stamp,
                const std::string& version) {
    sample::SampleOptions o;
    o.baseSize = kBaseSize;
    o.release = release;
    o.edition = edition;
    o.stamp = stamp;
    o.version = version;
    std::string error;
    ASSERT_TRUE(sample::MakeSampleInstallation(D(rel), o, error)) << error;
  }

  // The new release also adds a file in a new folder, grows one file and shrinks
  // another.
  void ChangeNewTree(const std::string& rel) {
    std::string text;
    ASSERT_TRUE(zt::ReadAll(D(rel + "\\Rus\\Data\\data.dat"), text));
    text.insert(text.size() / 2, "41;99999;1.1\r\n");
    ASSERT_TRUE(zt::WriteAll(D(rel + "\\Rus\\Data\\data.dat"), text));
    ASSERT_TRUE(zt::ReadAll(D(rel + "\\Ukr\\Data\\data.dat"), text));
    ASSERT_TRUE(zt::WriteAll(D(rel + "\\Ukr\\Data\\data.dat"), text.substr(0, text.size() / 3)));
    ASSERT_TRUE(os::CreateDir(D(rel + "\\Doc\\Новое")));
    ASSERT_TRUE(zt::WriteAll(D(rel + "\\Doc\\Новое\\Описание.txt"), "Новое в версии 3.0.7.1\r\n"));
  }

  pkg::TBuildOptions Options(std::vector<std::string> olds, std::vector<std::string> news) {
    pkg::TBuildOptions o;
    for (const std::string& r : olds) o.OldDirs.push_back(D(r));
    for (const std::string& r : news) o.NewDirs.push_back(D(r));
    o.StubPath = Stub();
    o.CutStub = true;
    o.Level = 6;
    return o;
  }

  void Build(const pkg::TBuildOptions& o, const std::string& installRel) {
    std::string error;
    ASSERT_TRUE(pkg::BuildPackage(o, D(installRel + "\\" + updaterName), built, error)) << error;
  }

  // Runs the installer placed in the installation `rel`, watching its temporary folder.
  bool Run(const std::string& rel, WatchingToolkit& tk, std::vector<std::string>& lines) {
    g_watching = &tk;
    testpoint::g_hook = SampleAtTestPoint;
    zt::TRun run = zt::RunInstaller(tk, D(rel + "\\" + updaterName));
    lines = std::move(run.lines);
    const bool ok = run.ok;
    testpoint::g_hook = nullptr;
    g_watching = nullptr;
    return ok;
  }

  // The installation `rel` after the update must be the tree `newRel` with its own
  // configuration file stamped, and the installer file beside it.
  void ExpectUpdatedTo(const std::string& rel, const std::string& newRel) {
    Tree expected = Snapshot(H(newRel));
    const Tree before = Snapshot(H(rel));  // for the configuration file
    (void)before;
    Tree after = Snapshot(H(rel));
    after.erase(updaterName);
    expected.erase("Cfg/CFG.ZUM");
    std::string cfg = after["Cfg/CFG.ZUM"];
    after.erase("Cfg/CFG.ZUM");
    EXPECT_STREQ(cfg.c_str() + 38, built.VerTo.c_str());
    EXPECT_EQ(zt::Diff(expected, after), "");
  }

  // `busy`: bytes the temporary folder must have been seen holding at some point.
  void RunAndCheck(const std::string& rel, const std::string& newRel, uint64_t busy = kBaseSize) {
    const std::string cfgBefore = Snapshot(H(rel))["Cfg/CFG.ZUM"];
    WatchingToolkit tk(H(rel) + "/ZUMUPDTA.TMP");
    std::vector<std::string> lines;
    ASSERT_TRUE(Run(rel, tk, lines)) << ::testing::PrintToString(lines);
    ExpectUpdatedTo(rel, newRel);
    std::vector<uint8_t> stamped(cfgBefore.begin(), cfgBefore.end());
    ASSERT_TRUE(StampConfigBuffer(stamped, built.VerTo));
    EXPECT_EQ(Snapshot(H(rel))["Cfg/CFG.ZUM"], std::string(stamped.begin(), stamped.end()));
    // The folder was seen while the backups and work files were there, and never
    // above what the package states, neither in bytes nor on the disk.
    EXPECT_GT(tk.samples, 100);
    EXPECT_GE(tk.peak.bytes, busy) << "the temporary folder was not seen in use";
    EXPECT_LE(tk.peak.bytes, built.TmpSpaceNeed);
    EXPECT_LE(tk.peak.allocated, built.TmpSpaceNeed);
    std::printf("temporary folder peak %llu bytes (%llu on disk), TmpSpaceNeed %u\n",
                static_cast<unsigned long long>(tk.peak.bytes),
                static_cast<unsigned long long>(tk.peak.allocated), built.TmpSpaceNeed);
  }

  std::vector<uint8_t> Kinds() const {
    std::vector<uint8_t> kinds;
    for (const pkg::TPlannedEntry& e : built.Entries) kinds.push_back(e.Kind);
    return kinds;
  }
  const pkg::TPlannedEntry* Entry(const std::string& name, int edition = -1) const {
    for (const pkg::TPlannedEntry& e : built.Entries)
      if (cp1251::EqualNoCase(e.Name, name) && (edition < 0 || e.Edition == edition)) return &e;
    return nullptr;
  }

  zt::TempDir dir;
  std::string updaterName;
  pkg::TBuildResult built;
};

}  // namespace

TEST_F(ZumpackScenario, CorrectionUpdatesTheInstallationToTheNewTreeWithinItsTemporarySpace) {
  MakeTree("old", 0, 0, 0x55685DBC, "3.0.7");
  MakeTree("new", 1, 0, 0x5A000001, "3.0.7.1");
  ChangeNewTree("new");
  Build(Options({"old"}, {"new"}), "old");

  EXPECT_EQ(built.VerFrom, "3.0.7");
  EXPECT_EQ(built.VerTo, "3.0.7.1");
  EXPECT_EQ(built.Stamps, std::vector<uint32_t>{0x55685DBC});
  ASSERT_FALSE(built.Entries.empty());
  EXPECT_EQ(built.Entries[0].Kind, pkg::kSection);
  // Base files in their plain form, the rest as differences or whole, the new file
  // whole, the executable last; unchanged files and the configuration left out.
  ASSERT_NE(Entry("Base\\std1"), nullptr);
  EXPECT_EQ(Entry("Base\\std1")->Kind, pkg::kDbbDiff);
  EXPECT_EQ(Entry("Rus\\Data\\data.dat")->Kind, pkg::kBinDiff);
  EXPECT_EQ(Entry("Doc\\Новое\\Описание.txt")->Kind, pkg::kAddRepl);
  EXPECT_EQ(Entry("Exe\\zum.exe")->Kind, pkg::kPe1Diff);
  EXPECT_EQ(built.Entries.back().Name, "Exe\\zum.exe");
  EXPECT_EQ(Entry("Cfg\\CFG.ZUM"), nullptr);
  EXPECT_EQ(Entry("Rus\\LBN\\lbn001.lbn"), nullptr);  // not changed by the release
  EXPECT_NE(std::find(built.Unchanged.begin(), built.Unchanged.end(), "Rus\\LBN\\lbn001.lbn"),
            built.Unchanged.end());
  for (const pkg::TPlannedEntry& e : built.Entries) {
    if (e.Kind == pkg::kSection) continue;
    EXPECT_LT(e.PayloadSize, e.Record.NewSize + 64u) << e.Name;
    if (e.Kind == pkg::kDbbDiff) {
      EXPECT_EQ(e.Record.PrepSize, e.Record.OldSize);
      EXPECT_EQ(e.Record.MidSize, e.Record.NewSize);
      EXPECT_LT(e.PayloadSize, e.WholeSize) << e.Name;
    }
  }
  RunAndCheck("old", "new");
}

TEST_F(ZumpackScenario, EachEditionGetsItsOwnBuild) {
  MakeTree("old0", 0, 0, 0x55685DBC, "3.0.7");
  MakeTree("old1", 0, 1, 0x55685DBD, "3.0.7");
  MakeTree("new0", 1, 0, 0x5A000001, "3.0.7.1");
  MakeTree("new1", 1, 1, 0x5A000002, "3.0.7.1");
  for (const char* t : {"new0", "new1"}) ChangeNewTree(t);

  for (pkg::ExeChoice exe : {pkg::ExeChoice::Smaller, pkg::ExeChoice::Whole}) {
    SCOPED_TRACE(exe == pkg::ExeChoice::Whole ? "whole builds" : "differences");
    pkg::TBuildOptions o = Options({"old0", "old1"}, {"new0", "new1"});
    o.Exe = exe;
    Build(o, "old0");
    EXPECT_EQ(built.Stamps, (std::vector<uint32_t>{0x55685DBC, 0x55685DBD}));
    const pkg::TPlannedEntry* first = Entry("Exe\\zum.exe", 0);
    const pkg::TPlannedEntry* second = Entry("Exe\\zum.exe", 1);
    ASSERT_TRUE(first && second);
    if (exe == pkg::ExeChoice::Whole) {
      EXPECT_EQ(first->Kind, pkg::kAddRepM);
      EXPECT_EQ(first->Record.DiffSum, 1u);
      EXPECT_EQ(second->Kind, pkg::kAddRepM);
      EXPECT_EQ(second->Record.DiffSum, 2u);
    } else {
      EXPECT_EQ(first->Kind, pkg::kPe1Diff);
      EXPECT_EQ(second->Kind, pkg::kPe2Diff);
    }
    // The same update file for an installation of each edition.
    for (int e : {0, 1}) {
      SCOPED_TRACE("edition " + std::to_string(e));
      const std::string inst = "inst" + std::to_string(e);
      fs::remove_all(H(inst));
      fs::copy(H("old" + std::to_string(e)), H(inst), fs::copy_options::recursive);
      fs::copy_file(H("old0/" + updaterName), H(inst + "/" + updaterName),
                    fs::copy_options::overwrite_existing);
      RunAndCheck(inst, "new" + std::to_string(e));
    }
  }
}

// Data blocks as asked: none (the installer backs up into BAK0), or a second one
// before a chosen entry (BAK2 from there on); the bound holds for each.
TEST_F(ZumpackScenario, DataBlocksAsAsked) {
  MakeTree("new", 1, 0, 0x5A000001, "3.0.7.1");
  ChangeNewTree("new");
  struct Case {
    const char* what;
    bool sections;
    std::vector<std::string> before;
    size_t sectionCount;
    const char* backupFolder;  // where the entry for Rus\Data\data.dat is backed up
  };
  const Case cases[] = {
      {"no SECTION", false, {}, 0, "BAK0"},
      {"a second block", true, {"Doc\\Новое\\Описание.txt"}, 2, "BAK2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(H("old"));
    MakeTree("old", 0, 0, 0x55685DBC, "3.0.7");
    pkg::TBuildOptions o = Options({"old"}, {"new"});
    o.Sections = c.sections;
    o.BlockBefore = c.before;
    Build(o, "old");
    const std::vector<uint8_t> kinds = Kinds();
    EXPECT_EQ(static_cast<size_t>(std::count(kinds.begin(), kinds.end(), pkg::kSection)),
              c.sectionCount);
    if (!c.before.empty()) {
      auto at = std::find_if(built.Entries.begin(), built.Entries.end(),
                             [&](const pkg::TPlannedEntry& e) { return e.Name == c.before[0]; });
      ASSERT_NE(at, built.Entries.begin());
      EXPECT_EQ((at - 1)->Kind, pkg::kSection);
    }
    const std::string cfgBefore = Snapshot(H("old"))["Cfg/CFG.ZUM"];
    WatchingToolkit tk(H("old") + "/ZUMUPDTA.TMP");
    std::vector<std::string> lines;
    ASSERT_TRUE(Run("old", tk, lines)) << ::testing::PrintToString(lines);
    ExpectUpdatedTo("old", "new");
    EXPECT_LE(tk.peak.bytes, built.TmpSpaceNeed);
    EXPECT_LE(tk.peak.allocated, built.TmpSpaceNeed);
    const std::string backup = std::string("ZUMUPDTA.TMP\\") + c.backupFolder + "\\Rus\\Data\\data.dat";
    bool seen = false;
    for (const std::string& l : lines) seen = seen || l.find(backup) != std::string::npos;
    EXPECT_TRUE(seen) << backup;
  }
}

// A package that only shrinks the installation states growth 0, not a wrapped
// negative number that would make the installer ask for 4 GiB.
// A library whose every address moved: its extended difference is smaller than
// BINDIFF, so the package carries it as EXTDIFF, and the installer appended to the
// package applies it; with Compatible the same library goes as BINDIFF and the
// package holds none of the new kind.
TEST_F(ZumpackScenario, ExtendedDifferenceWhereSmallerAndNeverWhenCompatible) {
  MakeTree("old", 0, 0, 0x55685DBC, "3.0.7");
  MakeTree("new", 1, 0, 0x5A000001, "3.0.7.1");
  std::string oldLib, newLib;
  std::mt19937 rng(17);
  for (int i = 0; i < 40000; ++i) {
    const char ops[] = {'\x8B', '\x05', '\xE8', '\x48', '\x89', '\x0F'};
    for (uint32_t k = 1 + rng() % 4; k > 0; --k) {
      const char op = ops[rng() % 6];
      oldLib += op;
      newLib += op;
    }
    const uint32_t address = 0x401000u + (rng() % 4096) * 8;
    for (int k = 0; k < 4; ++k) {
      oldLib += static_cast<char>(address >> (8 * k));
      newLib += static_cast<char>((address + 0x1230) >> (8 * k));
    }
  }
  ASSERT_TRUE(zt::WriteAll(D("old\\Exe\\engine.dll"), oldLib));
  ASSERT_TRUE(zt::WriteAll(D("new\\Exe\\engine.dll"), newLib));

  Build(Options({"old"}, {"new"}), "old");
  ASSERT_NE(Entry("Exe\\engine.dll"), nullptr);
  EXPECT_EQ(Entry("Exe\\engine.dll")->Kind, pkg::kExtDiff);
  zumpack::TPackageInfo info;
  std::string error;
  ASSERT_TRUE(zumpack::ReadPackageFile(D("old\\" + updaterName), info, error)) << error;
  zumpack::TVerifyResult verified;
  zumpack::VerifyPackage(D("old\\" + updaterName), info, verified);
  EXPECT_TRUE(verified.Ok()) << verified.Findings[0].Text;
  const uint64_t extendedPayload = Entry("Exe\\engine.dll")->PayloadSize;
  RunAndCheck("old", "new");

  MakeTree("again", 0, 0, 0x55685DBC, "3.0.7");
  ASSERT_TRUE(zt::WriteAll(D("again\\Exe\\engine.dll"), oldLib));
  pkg::TBuildOptions o = Options({"again"}, {"new"});
  o.Compatible = true;
  Build(o, "again");
  ASSERT_NE(Entry("Exe\\engine.dll"), nullptr);
  EXPECT_EQ(Entry("Exe\\engine.dll")->Kind, pkg::kBinDiff);
  EXPECT_GT(Entry("Exe\\engine.dll")->PayloadSize, extendedPayload);
  for (uint8_t kind : Kinds()) EXPECT_NE(kind, pkg::kExtDiff);
  RunAndCheck("again", "new");
}

TEST_F(ZumpackScenario, AShrinkingUpdateStatesNoGrowth) {
  MakeTree("old", 0, 0, 0x55685DBC, "3.0.7");
  MakeTree("new", 0, 0, 0x55685DBC, "3.0.7.1");
  std::string text;
  ASSERT_TRUE(zt::ReadAll(D("new\\Rus\\Data\\data.dat"), text));
  ASSERT_TRUE(zt::WriteAll(D("new\\Rus\\Data\\data.dat"), text.substr(0, 100)));
  Build(Options({"old"}, {"new"}), "old");
  EXPECT_EQ(built.Growth, 0u);
  zumpack::TPackageInfo info;
  std::string error;
  ASSERT_TRUE(zumpack::ReadPackageFile(D("old\\" + updaterName), info, error)) << error;
  EXPECT_EQ(info.Header.Growth, 0u);
  RunAndCheck("old", "new", 1000);  // the backup of data.dat
}

TEST_F(ZumpackScenario, RefusesWhatThePackageCannotCarry) {
  MakeTree("old", 0, 0, 0x55685DBC, "3.0.7");
  struct Case {
    const char* what;
    std::function<void(ZumpackScenario&, pkg::TBuildOptions&)> change;
    const char* expected;  // in the error text
  };
  const std::vector<Case> cases = {
      {"an empty file the update would write",
       [](ZumpackScenario& t, pkg::TBuildOptions&) {
         ASSERT_TRUE(zt::WriteAll(t.D("new\\Doc\\empty.txt"), ""));
       },
       "empty"},
      {"a file of 4 GiB",
       [](ZumpackScenario& t, pkg::TBuildOptions&) {
         fs::resize_file(t.H("new/Doc/readme.txt"), 0x100000000ull);  // sparse
       },
       "4 GiB"},
      {"a name the installer refuses (the journal's)",
       [](ZumpackScenario& t, pkg::TBuildOptions&) {
         ASSERT_TRUE(zt::WriteAll(t.D("new\\zum_3.0.7.1.txt"), "x"));
       },
       "cannot be an entry"},
      {"two names that differ only in letter case",
       [](ZumpackScenario& t, pkg::TBuildOptions&) {
         std::ofstream(t.H("new/Doc/README.TXT")) << "x";  // beside Doc/readme.txt
       },
       "letter case"},
      {"a name ending in a dot",
       [](ZumpackScenario& t, pkg::TBuildOptions&) {
         ASSERT_TRUE(zt::WriteAll(t.D("new\\Doc\\name."), "x"));
       },
       "cannot be an entry"},
      {"a target version too long for the configuration",
       [](ZumpackScenario&, pkg::TBuildOptions& o) { o.VerTo = "3.0.7.1.2.3.4.5.6.7.8.9.10.11.12.13"; },
       "target version"},
      {"a target version that is not numbers",
       [](ZumpackScenario&, pkg::TBuildOptions& o) { o.VerTo = "3.0.7-beta"; },
       "target version"},
      {"an old tree the package would not accept",
       [](ZumpackScenario&, pkg::TBuildOptions& o) { o.VerFrom = "3.1.0"; },
       "does not accept"},
      {"new trees that differ beyond the executable",
       [](ZumpackScenario& t, pkg::TBuildOptions& o) {
         fs::copy(t.H("new"), t.H("new2"), fs::copy_options::recursive);
         ASSERT_TRUE(zt::WriteAll(t.D("new2\\Doc\\readme.txt"), "changed"));
         o.OldDirs.push_back(t.D("old1"));
         o.NewDirs.push_back(t.D("new2"));
       },
       "differs between the new trees"},
  };
  sample::SampleOptions one;
  one.baseSize = kBaseSize;
  one.edition = 1;
  one.stamp = 0x55685DBD;
  std::string error;
  ASSERT_TRUE(sample::MakeSampleInstallation(D("old1"), one, error)) << error;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(H("new"));
    fs::remove_all(H("new2"));
    MakeTree("new", 1, 0, 0x5A000001, "3.0.7.1");
    pkg::TBuildOptions o = Options({"old"}, {"new"});
    c.change(*this, o);
    const std::string out = D("out.exe");
    ASSERT_TRUE(zt::WriteAll(out, "an older update"));
    pkg::TBuildResult r;
    EXPECT_FALSE(pkg::BuildPackage(o, out, r, error));
    EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    // Nothing lost: the file that was there stays, no partial file is left.
    std::string kept;
    EXPECT_TRUE(zt::ReadAll(out, kept));
    EXPECT_EQ(kept, "an older update");
    EXPECT_FALSE(fs::exists(H("out.exe.part")));
  }
}

// A seeded loop of damage: verify never crashes, finds every changed byte while the
// package checksum is left stale, and every changed entry byte when it is resealed.
TEST_F(ZumpackScenario, VerifyFindsDamage) {
  MakeTree("old", 0, 0, 0x55685DBC, "3.0.7");
  MakeTree("new", 1, 0, 0x5A000001, "3.0.7.1");
  ChangeNewTree("new");
  Build(Options({"old"}, {"new"}), "old");
  const std::string path = D("old\\" + updaterName);
  std::string good;
  ASSERT_TRUE(zt::ReadAll(path, good));
  zumpack::TPackageInfo info;
  std::string error;
  ASSERT_TRUE(zumpack::ReadPackageFile(path, info, error)) << error;
  {
    zumpack::TVerifyResult clean;
    zumpack::VerifyPackage(path, info, clean);
    ASSERT_TRUE(clean.Ok()) << clean.Findings[0].Text;
  }
  const uint64_t entriesBegin = info.RealLength, entriesEnd = info.RecordsPos;
  const uint32_t seed = std::random_device()();
  std::mt19937 rng(seed);
  for (int round = 0; round < 40; ++round) {
    const bool reseal = round % 2 == 1;
    pkg::TBytes bytes(good.begin(), good.end());
    if (reseal) {
      ASSERT_TRUE(pkg::UnsealPackage(bytes));
    }
    // Unsealed rounds hit anything but the trailer; resealed ones the entries.
    const uint64_t from = reseal ? entriesBegin : 0;
    const uint64_t to = reseal ? entriesEnd : bytes.size() - 8;
    const size_t at = static_cast<size_t>(from + rng() % (to - from));
    bytes[at] ^= static_cast<uint8_t>(1 + rng() % 255);
    if (reseal) {
      ASSERT_TRUE(pkg::SealPackage(bytes));
    }
    ASSERT_TRUE(zt::WriteAll(D("damaged.exe"), std::string(bytes.begin(), bytes.end())));
    zumpack::TPackageInfo d;
    ASSERT_TRUE(zumpack::ReadPackageFile(D("damaged.exe"), d, error)) << error;
    zumpack::TVerifyResult r;
    zumpack::VerifyPackage(D("damaged.exe"), d, r);
    EXPECT_FALSE(r.Ok()) << "seed " << seed << ", round " << round << ": byte " << at
                         << " changed unnoticed";
  }
}

// The dry run finds an installation that is not the update's source, and leaves the
// tree as it was.
TEST_F(ZumpackScenario, DryRunAgainstATreeLeavesItUntouched) {
  MakeTree("old", 0, 0, 0x55685DBC, "3.0.7");
  MakeTree("new", 1, 0, 0x5A000001, "3.0.7.1");
  ChangeNewTree("new");
  Build(Options({"old"}, {"new"}), "old");
  const std::string path = D("old\\" + updaterName);
  zumpack::TPackageInfo info;
  std::string error;
  ASSERT_TRUE(zumpack::ReadPackageFile(path, info, error)) << error;

  const Tree before = Snapshot(H("old"));
  zumpack::TDryRun run;
  zumpack::TVerifyResult ok;
  zumpack::DryRun(path, info, D("old"), D("work"), -1, run, ok);
  EXPECT_TRUE(ok.Ok()) << ok.Findings[0].Text;
  EXPECT_EQ(run.Edition, 0);
  EXPECT_EQ(run.Applied, static_cast<int>(built.Entries.size()) - 1);
  EXPECT_LE(run.TempPeak, built.TmpSpaceNeed);
  EXPECT_EQ(zt::Diff(before, Snapshot(H("old"))), "");
  EXPECT_FALSE(fs::exists(H("work")));

  // One changed byte in a file a difference applies to.
  std::string data;
  ASSERT_TRUE(zt::ReadAll(D("old\\Rus\\Data\\data.dat"), data));
  data[10] ^= 1;
  ASSERT_TRUE(zt::WriteAll(D("old\\Rus\\Data\\data.dat"), data));
  zumpack::TVerifyResult bad;
  zumpack::DryRun(path, info, D("old"), D("work"), -1, run, bad);
  ASSERT_FALSE(bad.Ok());
  bool named = false;
  for (const zumpack::TFinding& f : bad.Findings)
    named = named || (f.Error && f.Entry >= 0 &&
                      info.Entries[static_cast<size_t>(f.Entry)].Name == "Rus\\Data\\data.dat");
  EXPECT_TRUE(named);
}

// ---- the command line -------------------------------------------------------------------

namespace {

struct Ran {
  int status = -1;
  std::string out, err;
};

Ran Zumpack(const std::vector<std::string>& args, const std::string& tmpHost) {
  std::string cmd = ZUM_ZUMPACK_PATH;
  for (const std::string& a : args) {
    std::string q = "'";
    for (char c : a) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    cmd += " " + q + "'";
  }
  cmd += " >'" + tmpHost + "out.txt' 2>'" + tmpHost + "err.txt'";
  Ran r;
  const int rc = std::system(cmd.c_str());
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  std::ifstream o(tmpHost + "out.txt"), e(tmpHost + "err.txt");
  r.out.assign(std::istreambuf_iterator<char>(o), {});
  r.err.assign(std::istreambuf_iterator<char>(e), {});
  return r;
}

}  // namespace

TEST_F(ZumpackScenario, CommandLine) {
  for (const char* sub : {"build", "list", "verify", "extract"}) {
    SCOPED_TRACE(sub);
    const Ran help = Zumpack({sub, "--help"}, dir.Host());
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind(std::string("usage: zumpack ") + sub, 0), 0u) << help.out;
    const Ran wrong = Zumpack({sub, "--no-such-option"}, dir.Host());
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.err.find("--no-such-option"), std::string::npos) << wrong.err;
  }
  EXPECT_EQ(Zumpack({"--help"}, dir.Host()).status, 0);
  EXPECT_EQ(Zumpack({"frobnicate"}, dir.Host()).status, 2);
  EXPECT_EQ(Zumpack({"build", "--new", H("new")}, dir.Host()).status, 2);  // no --old
  // Files that are no update: a text, the stub alone, and the stub followed by
  // bytes that are no package (as an unstripped program's symbol table).
  ASSERT_TRUE(zt::WriteAll(D("text.txt"), "not an update at all"));
  {
    std::ifstream in(ZUM_STANDIN_PATH, std::ios::binary);
    std::string stub(std::istreambuf_iterator<char>(in), {});
    std::mt19937 rng(5);
    for (int k = 0; k < 5000; ++k) stub.push_back(static_cast<char>(rng()));
    ASSERT_TRUE(zt::WriteAll(D("overlay.exe"), stub));
  }
  for (const std::string& notUpdate :
       {H("text.txt"), std::string(ZUM_STANDIN_PATH), H("overlay.exe")}) {
    for (const char* sub : {"list", "verify", "extract"}) {
      SCOPED_TRACE(std::string(sub) + " " + notUpdate);
      std::vector<std::string> args = {sub, notUpdate};
      if (std::strcmp(sub, "extract") == 0) args.insert(args.end(), {"-o", H("none")});
      const Ran r = Zumpack(args, dir.Host());
      EXPECT_EQ(r.status, 1);
      EXPECT_NE(r.err.find("is not an update file"), std::string::npos) << r.err;
      EXPECT_EQ(r.out, "");
    }
  }
  EXPECT_FALSE(fs::exists(H("none")));
  const Ran missing = Zumpack({"list", H("missing.exe")}, dir.Host());
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("cannot open"), std::string::npos) << missing.err;

  MakeTree("old", 0, 0, 0x55685DBC, "3.0.7");
  MakeTree("new", 1, 0, 0x5A000001, "3.0.7.1");
  ChangeNewTree("new");
  const std::string stub = ZUM_STANDIN_PATH;
  const Ran build = Zumpack({"build", "--old", H("old"), "--new", H("new"), "--stub", stub,
                             "--cut-stub", "--level", "5", "-o", H("upd.bin"), "--json"},
                            dir.Host());
  ASSERT_EQ(build.status, 0) << build.err;
  EXPECT_EQ(build.out.front(), '{');
  EXPECT_NE(build.out.find("\"verTo\":\"3.0.7.1\""), std::string::npos) << build.out;
  EXPECT_NE(build.out.find(cp1251::ToUtf8("\"name\":\"Doc\\\\Новое\\\\Описание.txt\"")),
            std::string::npos)
      << build.out;

  const Ran list = Zumpack({"list", H("upd.bin")}, dir.Host());
  EXPECT_EQ(list.status, 0) << list.err;
  // The terminal gets UTF-8.
  for (const char* text : {"1. SECTION №1 (начало нового блока данных)", "1.1. DBBDIFF, файл Base\\std1",
                           "Исправление ZUM-5 (3.0.7.X) -> ZUM-5 (3.0.7.1)"})
    EXPECT_NE(list.out.find(cp1251::ToUtf8(text)), std::string::npos) << list.out;

  const Ran verify = Zumpack({"verify", H("upd.bin"), "--against", H("old"), "--json"}, dir.Host());
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  EXPECT_NE(verify.out.find("\"ok\":true"), std::string::npos) << verify.out;

  // Extracted differences are the patches: applied to the old files they give the
  // new ones.
  const Ran extract = Zumpack({"extract", H("upd.bin"), "-o", H("ex")}, dir.Host());
  ASSERT_EQ(extract.status, 0) << extract.err;
  std::string patch, oldData, newData;
  for (const auto& item : fs::recursive_directory_iterator(H("ex"))) {
    const std::string p = item.path().string();
    if (p.size() > 21 && p.compare(p.size() - 21, 21, "Rus/Data/data.dat.bdt") == 0) {
      EXPECT_NE(p.find(" BINDIFF/"), std::string::npos) << p;
      std::ifstream in(p, std::ios::binary);
      patch.assign(std::istreambuf_iterator<char>(in), {});
    }
  }
  ASSERT_FALSE(patch.empty());
  ASSERT_TRUE(zt::ReadAll(D("old\\Rus\\Data\\data.dat"), oldData));
  ASSERT_TRUE(zt::ReadAll(D("new\\Rus\\Data\\data.dat"), newData));
  std::vector<uint8_t> rebuilt;
  ASSERT_EQ(bdt::PatchBytes(std::vector<uint8_t>(oldData.begin(), oldData.end()),
                            std::vector<uint8_t>(patch.begin(), patch.end()), rebuilt),
            bdt::PatchStatus::Ok);
  EXPECT_EQ(std::string(rebuilt.begin(), rebuilt.end()), newData);

  // A refused build fails with status 1 and writes nothing.
  const Ran refused = Zumpack({"build", "--old", H("old"), "--new", H("new"), "--stub", stub,
                               "--cut-stub", "--to", "3.0.x", "-o", H("no.bin")},
                              dir.Host());
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("target version"), std::string::npos) << refused.err;
  EXPECT_FALSE(fs::exists(H("no.bin")));
}
