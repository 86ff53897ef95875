// The package builder: compares the installation trees of a product version with
// those of the next one and makes the update package that turns the one into the
// other, on an installer stub.
//
// Trees. One new tree, and one old tree per edition of the product (the edition is
// byte 120 of the old tree's Cfg\CFG.ZUM); several new trees may be given, one per
// old tree, when the editions' executables differ. Apart from the product
// executable, every new tree must hold the same files.
//
// Entries. A file that is the same in the old and the new tree is left out. A new
// file is ADDREPL. A changed file is BINDIFF, or EXTDIFF where its extended
// difference compresses smaller (not with Compatible), or DBBDIFF for a base file
// (a name ending in a digit under Base, diffed in its plain form), unless the
// whole file compresses smaller, then ADDREPL; also ADDREPL when the old trees disagree about
// the file, since one difference cannot fit them all. The product executable gets
// one entry per edition whose build changes: PE1DIFF (first edition) or PE2DIFF
// (second), or the whole build as an ADDREPM variant (edition byte + 1) when that
// is smaller or two old trees share the second-edition kind. The configuration
// file is never shipped: the installer stamps it after the last entry.
//
// What the package claims about itself is computed from the engine's behaviour
// for every edition: the growth is the largest increase of the installation's
// size (0 when it only shrinks), and TmpSpaceNeed is the peak of what the engine
// keeps in its temporary folder, each file counted in whole 4 KiB clusters plus one
// for the file system's own records of it, and each folder as one cluster.
//
// Refused with an error, nothing written: a file of 4 GiB or more, an empty file
// the update would have to write (the installer cannot unpack 0 bytes), an entry
// name that is not a safe relative path, a target version that does not fit the
// configuration record or is not dot-separated numbers, old trees whose version
// the package would not accept, a package of 4 GiB or more.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "format/part.h"
#include "pack/payload_encode.h"

namespace pkg {

// ---- trees ----------------------------------------------------------------------------

struct TTreeFile {
  std::string Name;  // relative, backslashes, as the file system spells it (CP1251)
  uint64_t Size = 0;
};
struct TTree {
  std::string Dir;                     // DOS path with a trailing backslash
  std::vector<TTreeFile> Files;        // sorted by name without regard to case
  std::vector<std::string> EmptyDirs;  // folders with nothing in them
};
// Lists every file under `dosDir` (hidden and system ones too). False, with
// `error`, when the folder cannot be listed.
bool ScanTree(const std::string& dosDir, TTree& tree, std::string& error);

// Reads a whole file (DOS path); files of 4 GiB or more are refused.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);

// ---- the plan -------------------------------------------------------------------------

struct TPlannedEntry {
  uint8_t Kind = kSection;
  std::string Name;       // empty for SECTION
  TPartRecord Record;     // EntryLen and EntrySum are set when the package is written
  std::vector<uint8_t> Payload;  // released once the package holds it
  uint64_t PayloadSize = 0;
  int Edition = -1;       // the edition an executable entry is for; -1 otherwise
  std::string Why;        // why this kind (for the report)
  uint64_t WholeSize = 0; // the compressed whole file, when it was compared
  bool WholeCut = false;  // its encoder gave up: WholeSize is what it had written by then
};

// Sizes of the installed files (by upper-cased name) of one edition's old tree.
struct TEditionFiles {
  int Edition = 0;
  std::map<std::string, uint64_t> Sizes;
};

// The peak of the temporary folder's contents while the engine runs `entries` on
// an installation of `edition` whose files have the sizes in `installed`. Each file
// counts in whole 4 KiB clusters plus one, each folder as one cluster. `configSize` is the size of the
// installation's Cfg\CFG.ZUM, backed up by the closing stamp.
uint64_t TempSpacePeak(const std::vector<TPlannedEntry>& entries, int edition,
                       const std::map<std::string, uint64_t>& installed, uint64_t configSize);
// How much the installation of `edition` grows: the sum over the entries that apply
// to it of the new size minus the installed size, and the configuration file
// rewritten at its record size. Negative when it shrinks.
int64_t InstallGrowth(const std::vector<TPlannedEntry>& entries, int edition,
                      const std::map<std::string, uint64_t>& installed, uint64_t configSize);
// Whether an entry is applied on an installation of `edition` (edition byte).
bool AppliesToEdition(const TPlannedEntry& entry, int edition);

// ---- the whole file against its difference --------------------------------------------

// Whole files up to this size are always compressed to compare them with their
// difference; above it a quick estimate (preset 0) decides whether that is worth
// the time: the fastest preset rarely gives more than a third more than the
// slowest, so a difference kEstimateMargin times smaller than the estimate is
// kept without the slow comparison.
inline constexpr uint64_t kAlwaysCompareWhole = 32ull << 20;
inline constexpr uint64_t kEstimateMargin = 3;

struct TWholeComparison {
  bool Smaller = false;         // the whole file's payload is smaller than the difference's
  bool Cut = false;             // an encoder gave up: the whole file is not smaller
  std::vector<uint8_t> Whole;   // the whole payload when Smaller; else, if compressed at
                                // `full`, what that encoder wrote (all of it unless Cut)
};
// Whether `bytes` compressed whole with `full` make a payload smaller than
// `diffPayload` bytes. Every encoder stops as soon as its output passes the size
// that decides against the whole file, so a large file that loses costs a
// fraction of its compression.
bool CompareWhole(std::span<const uint8_t> bytes, uint64_t diffPayload,
                  const payload::EncodeOptions& full, TWholeComparison& result,
                  std::string& error);

// ---- building -------------------------------------------------------------------------

enum class ExeChoice { Smaller, Diff, Whole };

struct TBuildOptions {
  std::vector<std::string> OldDirs;  // DOS paths
  std::vector<std::string> NewDirs;  // one, or one per old tree
  std::string StubPath;              // DOS path
  bool CutStub = false;              // cut bytes after the stub's image instead of refusing
  std::string VerFrom;               // empty: the old trees' configured version
  std::string VerTo;                 // empty: the new tree's configured version
  std::vector<uint32_t> Stamps;      // empty: the old trees' executables' link stamps
  uint32_t Level = 9;                // LZMA preset, 0..9
  bool Extreme = false;
  bool Sections = true;                   // a SECTION entry before the first entry
  std::vector<std::string> BlockBefore;   // names that start a further data block
  ExeChoice Exe = ExeChoice::Smaller;
  // Only the kinds installers knew before EXTDIFF; otherwise a changed plain file
  // is EXTDIFF where that is smaller than BINDIFF and the whole file.
  bool Compatible = false;
  uint64_t IndexBudget = 0;               // memory for the difference index; 0: default
  // Progress: a text naming the step, then the work done and the work in all of
  // it; called with done 0 when a step starts.
  std::function<void(const std::string& step, uint64_t done, uint64_t total)> Progress;
};

struct TBuildResult {
  std::vector<TPlannedEntry> Entries;  // in package order, SECTION entries included
  std::string VerFrom, VerTo;
  std::vector<uint32_t> Stamps;
  uint32_t TmpSpaceNeed = 0;
  uint32_t Growth = 0;
  uint64_t PackageSize = 0;
  uint32_t StubSize = 0;
  std::vector<std::string> Notes;      // what the package cannot carry, and why a kind was forced
  std::vector<std::string> Unchanged;  // files left out
};

// Compares the trees and plans every entry (payloads included); writes nothing.
bool PlanPackage(const TBuildOptions& options, TBuildResult& result, std::string& error);
// Plans and writes the package to `outPath` (DOS path). The file is written under a
// temporary name and renamed at the end, so a failure leaves no partial package
// and an existing file at `outPath` stays until the new one is complete.
bool BuildPackage(const TBuildOptions& options, const std::string& outPath,
                  TBuildResult& result, std::string& error);

// A version text the package can carry: dot-separated decimal numbers that fit the
// configuration record's version field.
bool IsVersionText(const std::string& version);

}  // namespace pkg
