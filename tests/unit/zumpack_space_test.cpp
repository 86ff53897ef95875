// What a package states about itself: the peak of the installer's temporary folder
// and the growth of the installation, worked out from the engine's steps for the
// installed edition.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "pack/builder.h"

namespace {

constexpr uint64_t kC = 4096;  // one cluster

pkg::TPlannedEntry Entry(uint8_t kind, const std::string& name, uint32_t newSize,
                         uint32_t diffSize = 0, uint32_t variant = 0) {
  pkg::TPlannedEntry e;
  e.Kind = kind;
  e.Name = name;
  e.Record.NewSize = newSize;
  e.Record.DiffSize = diffSize;
  e.Record.DiffSum = variant;
  if (kind == pkg::kDbbDiff) e.Record.PrepSize = e.Record.MidSize = newSize;
  return e;
}
pkg::TPlannedEntry Section() { return pkg::TPlannedEntry(); }

// A file of n clusters as the folder counts it: its clusters and one of the file
// system's.
uint64_t F(uint64_t clusters) { return (clusters + 1) * kC; }

}  // namespace

TEST(TempSpace, FollowsTheEngineEntryByEntry) {
  const std::map<std::string, uint64_t> installed = {
      {"BASE\\STD1", 10 * kC}, {"DOC\\A.TXT", 2 * kC}, {"EXE\\ZUM.EXE", 5 * kC}};
  const uint64_t cfg = 1411;
  struct Case {
    const char* what;
    std::vector<pkg::TPlannedEntry> entries;
    int edition;
    uint64_t expected;
  };
  // Counted in clusters: the temporary folder 1, each folder made in it 1, each
  // file its clusters + 1. The configuration's backup (1411 bytes) is 2, with its
  // folders BAK<n> and BAK<n>\CFG when they are new.
  const Case cases[] = {
      {"a new file: unpacked, then moved into place",
       {Section(), Entry(pkg::kAddRepl, "Doc\\new.txt", 3 * kC)}, 0,
       // root 1 + WRK, WRK\DOC 2 + the work file 4; at the end 3 + BAK1, BAK1\CFG 2 + 2
       7 * kC},
      {"a changed file: the patch and the backup, then the backup stays",
       {Section(), Entry(pkg::kBinDiff, "Doc\\a.txt", 2 * kC, kC)}, 0,
       // 1 + 2 + patch 2 + BAK1, BAK1\DOC 2 + backup 3 = 10; patch gone 8; + BAK1\CFG 1 + 2
       11 * kC},
      {"a base file: patch, backup and plain old file at once; the plain new file stays",
       {Section(), Entry(pkg::kDbbDiff, "Base\\std1", 10 * kC, kC)}, 0,
       // 1 + 2 + patch 2 + 2 + backup 11 + plain old 11 = 29; then 16 + plain new 11 = 27; + 3
       30 * kC},
      {"the executable: the installed build moved aside beside the patch",
       {Section(), Entry(pkg::kPe1Diff, "Exe\\zum.exe", 5 * kC, kC)}, 0,
       // 1 + 2 + patch 2 + 2 + backup 6 + the moved build 6 = 19
       19 * kC},
      {"the other edition's executable is passed over: its patch stays",
       {Section(), Entry(pkg::kPe2Diff, "Exe\\zum.exe", 5 * kC, kC)}, 0,
       // 1 + 2 + patch 2 + 2 + backup 6 = 13; + 3
       16 * kC},
      {"two builds under one name: one backup, the skipped one's work file replaced",
       {Section(), Entry(pkg::kAddRepM, "Exe\\zum.exe", 7 * kC, 0, 2),
        Entry(pkg::kAddRepM, "Exe\\zum.exe", 6 * kC, 0, 1)},
       0,
       // 1 + 2 + variant 2 8 + 2 + backup 6 = 19; variant 1 in its place 18, moved 11; + 3
       19 * kC},
      {"entries before the first SECTION are passed over",
       {Entry(pkg::kAddRepl, "Doc\\new.txt", 100 * kC), Section()}, 0,
       // only the configuration's backup: 1 + 2 + 2
       5 * kC},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(pkg::TempSpacePeak(c.entries, c.edition, installed, cfg), c.expected);
  }
}

TEST(TempSpace, TheSameNameInTwoBlocksIsBackedUpTwice) {
  const std::map<std::string, uint64_t> installed = {{"DOC\\A.TXT", 8 * kC}};
  const std::vector<pkg::TPlannedEntry> one = {Section(), Entry(pkg::kBinDiff, "Doc\\a.txt", 8 * kC, kC)};
  std::vector<pkg::TPlannedEntry> two = one;
  two.push_back(Section());
  two.push_back(Entry(pkg::kBinDiff, "Doc\\a.txt", 8 * kC, kC));
  // The second block keeps a backup of its own (BAK2, BAK2\DOC and the file).
  EXPECT_EQ(pkg::TempSpacePeak(two, 0, installed, 1411) - pkg::TempSpacePeak(one, 0, installed, 1411),
            2 * kC + F(8));
}

TEST(Growth, CountsWhatAppliesToTheEditionAndMayBeNegative) {
  const std::map<std::string, uint64_t> installed = {{"DOC\\A.TXT", 1000}, {"EXE\\ZUM.EXE", 5000}};
  const std::vector<pkg::TPlannedEntry> entries = {
      Section(),
      Entry(pkg::kAddRepl, "Doc\\new.txt", 300),    // +300
      Entry(pkg::kBinDiff, "Doc\\a.txt", 400, 10),  // -600
      Entry(pkg::kAddRepM, "Exe\\zum.exe", 5100, 0, 1),
      Entry(pkg::kAddRepM, "Exe\\zum.exe", 7000, 0, 2),
  };
  EXPECT_EQ(pkg::InstallGrowth(entries, 0, installed, 1411), 300 - 600 + 100);
  EXPECT_EQ(pkg::InstallGrowth(entries, 1, installed, 1411), 300 - 600 + 2000);
  EXPECT_EQ(pkg::InstallGrowth(entries, 5, installed, 1411), 300 - 600);
  // A longer configuration file is written back at the record's size.
  EXPECT_EQ(pkg::InstallGrowth(entries, 5, installed, 1500), 300 - 600 - 89);
}
