// Difference entries in real runs of the driver: a correction package with a
// DBBDIFF, a BINDIFF, an EXTDIFF, a PE1DIFF and a PE2DIFF updates a sample
// installation; runs killed inside the appliers are rolled back byte for byte at
// the next start.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "installer/form1.h"
#include "format/protocol_record.h"
#include "format/basefile.h"
#include "pack/bdt_writer.h"
#include "pack/bdx_writer.h"
#include "format/patch.h"
#include "installer/patch_file.h"
#include "pack/payload_encode.h"
#include "format/stamp.h"
#include "base/cp1251.h"
#include "format/checksum.h"
#include "pack/package_writer.h"
#include "product/product.h"
#include "sample/sample.h"
#include "support/installer_run.h"
#include "support/test_support.h"
#include "support/tree.h"
#include "frontends/scripted/scripted.h"
#include "base/bytes.h"
#include "base/test_point.h"

#ifndef ZUM_STANDIN_PATH
#error "ZUM_STANDIN_PATH (the built stand-in product) is not defined"
#endif

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Tree = std::map<std::string, std::string>;

// Every file (with its bytes) and folder under a host folder, without the
// protocol files the runs leave.
Tree Snapshot(const std::string& hostFolder) {
  return zt::Snapshot(hostFolder, {.leaveOutProtocols = true});
}

std::string S(const Bytes& b) { return std::string(b.begin(), b.end()); }
Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Base file 1 in its plain form, changed as a new release of the data would be:
// the text of every 40th record rewritten in place and a record added at the end.
Bytes NewPlainBase(Bytes plain) {
  size_t p = le::Get32(plain, 8);
  for (int n = 0; p + 7 <= plain.size(); ++n) {
    const size_t len = plain[p + 5] | (plain[p + 6] << 8);
    if (n % 40 == 0)
      for (size_t i = 0; i < len; i += 3) plain[p + 7 + i] ^= 0x20;
    p += 7 + len;
  }
  const std::string text = "Новый документ редакции 3.0.7.1";
  const size_t at = plain.size();
  plain.insert(plain.end(), 7, 0);
  plain[at + 4] = 1;
  plain[at + 5] = static_cast<uint8_t>(text.size());
  plain.insert(plain.end(), text.begin(), text.end());
  const uint32_t size = static_cast<uint32_t>(plain.size());
  for (int i = 0; i < 4; ++i) plain[i] = static_cast<uint8_t>(size >> (8 * i));
  return plain;
}

class DifferenceScenario : public ::testing::Test {
 protected:
  static constexpr uint32_t kBaseSize = 3u << 20;  // several buffers of the converter

  void SetUp() override {
    install = dir.Dos() + "zum\\";
    installHost = dir.Host() + "zum";
    sample::SampleOptions options;
    options.baseSize = kBaseSize;
    std::string error;
    ASSERT_TRUE(sample::MakeSampleInstallation(install, options, error)) << error;
    // The single-instance mutex is named after the installer's file name: a name of
    // its own keeps tests that run at the same time apart.
    updater = install + "update-" + fs::path(dir.Host()).parent_path().filename().string() + ".exe";
    MakeNewFiles();
    WriteInstaller();
    before = Snapshot(installHost);
  }
  void TearDown() override {
    testpoint::g_hook = nullptr;
  }

  Bytes Installed(const std::string& name) {
    std::string s;
    EXPECT_TRUE(zt::ReadAll(install + name, s)) << name;
    return B(s);
  }

  void MakeNewFiles() {
    const uint32_t key = product::kBaseKeys[0];
    oldBase = Installed("Base\\std1");
    plainOld = oldBase;
    ASSERT_EQ(UnscrambleBase(plainOld, key, product::kBaseM1, product::kBaseM2), BaseStatus::Ok);
    plainNew = NewPlainBase(plainOld);
    newBase = plainNew;
    ASSERT_EQ(ScrambleBase(newBase, key, product::kBaseM1, product::kBaseM2), BaseStatus::Ok);

    oldData = Installed("Rus\\Data\\data.dat");
    newData = oldData;
    const std::string added = "41;99999;1.1\r\n";
    newData.insert(newData.begin() + static_cast<long>(newData.size() / 2), added.begin(), added.end());

    // The help file: a counter changed in every 50-byte block, and a paragraph added.
    oldHelp = Installed("Exe\\zum.hlp");
    newHelp = oldHelp;
    for (size_t i = 7; i < newHelp.size(); i += 50) newHelp[i] = static_cast<uint8_t>(newHelp[i] + 3);
    const std::string paragraph = "Новый раздел справки.\r\n";
    newHelp.insert(newHelp.begin() + 1000, paragraph.begin(), paragraph.end());

    oldExe = Installed("Exe\\zum.exe");
    newExe = oldExe;
    for (size_t i = 0x400; i < newExe.size(); i += 997) newExe[i] ^= 0x11;
    newExe.insert(newExe.end(), 1500, 0x90);
  }

  void AddEntry(pkg::PackageWriter& w, uint8_t kind, const std::string& name, const Bytes& patch,
                const Bytes& old, const Bytes& prep, const Bytes& mid, const Bytes& now) {
    Bytes payload;
    std::string error;
    ASSERT_TRUE(payload::EncodePayload(patch, {}, payload, error)) << error;
    pkg::TPartRecord r;
    r.OldSize = static_cast<uint32_t>(old.size());
    r.OldSum = pkg::AddSum(old);
    r.PrepSize = static_cast<uint32_t>(prep.size());
    r.PrepSum = pkg::AddSum(prep);
    r.DiffSize = static_cast<uint32_t>(patch.size());
    r.DiffSum = pkg::AddSum(patch);
    r.MidSize = static_cast<uint32_t>(mid.size());
    r.MidSum = pkg::AddSum(mid);
    r.NewSize = static_cast<uint32_t>(now.size());
    r.NewSum = pkg::AddSum(now);
    ASSERT_TRUE(w.AddFile(kind, name, 0, payload, r, error)) << error;
  }

  // The stand-in product as the stub; a correction package 3.0.7 to 3.0.7.1.
  void WriteInstaller() {
    pkg::PackageWriter w;
    std::string error;
    std::string stub = "Z:" + std::string(ZUM_STANDIN_PATH);
    for (char& c : stub)
      if (c == '/') c = '\\';
    ASSERT_TRUE(w.LoadStub(stub, pkg::PackageWriter::StubFit::TruncateToImage, error)) << error;
    w.AddSection();
    Bytes patch;
    ASSERT_TRUE(bdt::MakeDiff(plainOld, plainNew, patch));
    AddEntry(w, pkg::kDbbDiff, "Base\\std1", patch, oldBase, plainOld, plainNew, newBase);
    ASSERT_TRUE(bdt::MakeDiff(oldData, newData, patch));
    AddEntry(w, pkg::kBinDiff, "Rus\\Data\\data.dat", patch, oldData, {}, {}, newData);
    Bytes extended;
    ASSERT_TRUE(bdt::MakeDiff(oldHelp, newHelp, patch));
    ASSERT_TRUE(bdx::MakeBdx(oldHelp, newHelp, patch, extended, error)) << error;
    AddEntry(w, pkg::kExtDiff, "Exe\\zum.hlp", extended, oldHelp, {}, {}, newHelp);
    // The second edition's build: passed over on this first-edition installation
    // (its patch would not even fit).
    const Bytes other = bdt::WritePatch(1, 5, std::vector<bdt::TPatchRecord>{{1000000, 0, 5}}, {});
    AddEntry(w, pkg::kPe2Diff, "Exe\\zum.exe", other, oldExe, {}, {}, B("other"));
    ASSERT_TRUE(bdt::MakeDiff(oldExe, newExe, patch));
    AddEntry(w, pkg::kPe1Diff, "Exe\\zum.exe", patch, oldExe, {}, {}, newExe);
    pkg::PackageWriter::TTail tail;
    tail.VerFrom = "3.0.7";
    tail.VerTo = "3.0.7.1";
    tail.BuildStamps = {0x55685DBC};
    tail.TmpSpaceNeed = 32u << 20;
    tail.Growth = 1u << 20;
    ASSERT_TRUE(w.WriteFile(updater, tail, error)) << error;
  }

  // One start of the installer with the scripted front end.
  bool RunInstaller(ui::ScriptedToolkit& t, std::vector<std::string>* lines = nullptr) {
    zt::TRun run = zt::RunInstaller(t, updater);
    if (lines) *lines = std::move(run.lines);
    return run.ok;
  }

  // A run in a child process that ends itself (exit code 42) when `stop` says so at
  // a test point; returns the child's exit code.
  int KilledRun(const std::function<bool(const char* point)>& stop) {
    const pid_t child = fork();
    if (child == 0) {
      testpoint::g_hook = [&stop](const char* point) {
        if (stop(point)) _exit(42);
      };
      ui::ScriptedToolkit t;
      RunInstaller(t);
      _exit(1);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // The next start answers Yes to the rollback (3001) and No to going on (3003).
  void RecoverAndCompare() {
    ui::ScriptedToolkit t;
    t.answers = {true, false};
    std::vector<std::string> lines;
    EXPECT_TRUE(RunInstaller(t, &lines));
    EXPECT_EQ(t.BoxIds(), (std::vector<int>{3001, 3003}));
    EXPECT_NE(std::find(lines.begin(), lines.end(), " Восстановление завершено успешно"), lines.end());
    const Tree after = Snapshot(installHost);
    EXPECT_EQ(after.size(), before.size());
    for (const auto& [name, bytes] : before) {
      auto it = after.find(name);
      if (it == after.end()) {
        ADD_FAILURE() << name << " is missing";
      } else {
        EXPECT_TRUE(it->second == bytes) << name << " differs";
      }
    }
    for (const auto& [name, bytes] : after)
      if (!before.count(name)) ADD_FAILURE() << name << " was left behind";
  }

  ui::ScriptedToolkit tk;
  zt::TempDir dir;
  std::string install, installHost, updater;
  Bytes oldBase, plainOld, plainNew, newBase, oldData, newData, oldHelp, newHelp, oldExe, newExe;
  Tree before;
};

// Lines of the protocol that open with the phrase of `kind`.
std::vector<std::string> OfKind(const std::vector<std::string>& lines, int kind) {
  std::vector<std::string> out;
  const std::string prefix = prot::MakeLine(kind, "");
  for (const std::string& l : lines)
    if (l.rfind(prefix, 0) == 0) out.push_back(l.substr(prefix.size()));
  return out;
}

}  // namespace

TEST_F(DifferenceScenario, CorrectionPackageOfDifferencesUpdatesTheInstallation) {
  ui::ScriptedToolkit t;
  std::vector<std::string> lines;
  ASSERT_TRUE(RunInstaller(t, &lines)) << ::testing::PrintToString(lines);
  EXPECT_EQ(t.BoxIds(), std::vector<int>{3009});  // only the offer to start the product

  Tree expected = before;
  expected["Base/std1"] = S(newBase);
  expected["Rus/Data/data.dat"] = S(newData);
  expected["Exe/zum.hlp"] = S(newHelp);
  expected["Exe/zum.exe"] = S(newExe);
  Bytes config = B(expected["Cfg/CFG.ZUM"]);
  ASSERT_TRUE(StampConfigBuffer(config, "3.0.7.1"));
  expected["Cfg/CFG.ZUM"] = S(config);
  const Tree after = Snapshot(installHost);
  EXPECT_EQ(after.size(), expected.size());
  for (const auto& [name, bytes] : expected) {
    auto it = after.find(name);
    ASSERT_NE(it, after.end()) << name;
    EXPECT_TRUE(it->second == bytes) << name << " differs";
  }

  // Every step is in the protocol: the base file unscrambled, patched and scrambled
  // again, the data file and the executable patched, each result checked.
  const std::string temp = install + "ZUMUPDTA.TMP\\";
  const std::string ok = " ...ОК ";
  EXPECT_EQ(OfKind(lines, 18), (std::vector<std::string>{temp + "WRK\\Base\\std1~" + ok}));
  EXPECT_EQ(OfKind(lines, 19), (std::vector<std::string>{install + "Base\\std1"}));
  EXPECT_EQ(OfKind(lines, 22),
            (std::vector<std::string>{install + "Base\\std1" + ok,
                                      install + "Rus\\Data\\data.dat" + ok,
                                      install + "Exe\\zum.hlp" + ok,
                                      install + "Exe\\zum.exe" + ok}));
  EXPECT_EQ(OfKind(lines, 13),
            (std::vector<std::string>{install + "Base\\std1 в " + temp + "WRK\\Base\\std1" + ok,
                                      install + "Exe\\zum.exe в " + temp + "WRK\\Exe\\zum.exe~" + ok}));
  for (const std::string& l : OfKind(lines, 21)) EXPECT_NE(l.find(ok), std::string::npos) << l;
  EXPECT_TRUE(OfKind(lines, 26).empty());
}

// Killed after the installed base file was replaced by the plain patched file.
TEST_F(DifferenceScenario, KilledWithThePlainPatchedBaseFileInPlaceIsRecovered) {
  ASSERT_EQ(KilledRun([](const char* p) { return std::strcmp(p, "dbb-patched") == 0; }), 42);
  EXPECT_TRUE(Installed("Base\\std1") == plainNew);
  RecoverAndCompare();
}

// Killed halfway through scrambling the patched file into the target.
TEST_F(DifferenceScenario, KilledWhileTheBaseFileIsScrambledIsRecovered) {
  bool patched = false;
  int steps = 0;
  ASSERT_EQ(KilledRun([&](const char* p) {
              if (std::strcmp(p, "dbb-patched") == 0) patched = true;
              return patched && std::strcmp(p, "rekey-step") == 0 && ++steps == 50;
            }),
            42);
  const Bytes partial = Installed("Base\\std1");
  EXPECT_GT(partial.size(), 1u << 20);  // some of it was written
  EXPECT_LT(partial.size(), newBase.size());
  EXPECT_TRUE(std::equal(partial.begin(), partial.end(), newBase.begin()));
  RecoverAndCompare();
}

// Killed after the executable was moved aside, before it was rebuilt.
TEST_F(DifferenceScenario, KilledWithTheExecutableMovedAsideIsRecovered) {
  ASSERT_EQ(KilledRun([](const char* p) { return std::strcmp(p, "pe-moved") == 0; }), 42);
  EXPECT_FALSE(os::FileExists(install + "Exe\\zum.exe"));
  EXPECT_TRUE(os::FileExists(install + "ZUMUPDTA.TMP\\WRK\\Exe\\zum.exe~"));
  // The entries before it were applied.
  EXPECT_TRUE(Installed("Base\\std1") == newBase);
  EXPECT_TRUE(Installed("Rus\\Data\\data.dat") == newData);
  RecoverAndCompare();
}
