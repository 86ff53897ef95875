// Reading a finished update file: its catalogue as the installer lists it, a check
// of everything the installer will rely on, the payloads unpacked to a folder, and a
// dry run of every entry against an installation tree.
//
// Everything is read through bounds-checked sources; a damaged file gives a
// finding, never a read outside it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "format/package_format.h"
#include "format/part.h"

namespace zumpack {

using ProgressFn = std::function<void(const std::string& step, uint64_t done, uint64_t total)>;

struct TEntryInfo : pkg::TPartNfo {
  int Block = 0;       // data block (SECTION count so far)
  int Number = 0;      // number within the block; 0 for SECTION
  std::string Listing; // the installer's listing line
};

struct TPackageInfo {
  uint64_t FileSize = 0;
  uint32_t RealLength = 0;
  uint32_t StoredLength = 0;
  uint32_t StoredSum = 0;
  uint32_t ComputedSum = 0;
  bool TrailerOk = false;   // the stored length is the file's
  bool ChecksumOk = false;  // the package checksum matches
  pkg::TCatalogueHeader Header;
  std::string VerFrom, VerTo, Title;
  bool IsCorrection = false;
  std::vector<uint32_t> Stamps;
  uint64_t RecordsPos = 0, HeaderPos = 0;
  std::vector<TEntryInfo> Entries;
  bool CatalogueOk = false;  // tail, records and entry walk read completely
  std::string Problem;       // why the catalogue could not be read whole
};

// Reads the trailer, checksum and catalogue. False (with `error`) only when the file
// cannot be read at all; a damaged package is described in `info`.
bool ReadPackageFile(const std::string& path, TPackageInfo& info, std::string& error,
                     const ProgressFn& progress = nullptr);

// One finding of a check: an entry index (-1 for the package as a whole), whether
// it is an error, and the text.
struct TFinding {
  int Entry = -1;
  bool Error = true;
  std::string Text;
};

struct TVerifyResult {
  std::vector<TFinding> Findings;
  bool Ok() const;
};

// Checks the trailer, the package checksum, the catalogue, every entry's name,
// checksum and part record, and unpacks every payload, checking its size and
// checksum and, for differences, every record of the patch.
void VerifyPackage(const std::string& path, const TPackageInfo& info, TVerifyResult& result,
                   const ProgressFn& progress = nullptr);

// A dry run against an installation: the version and build checks of the
// installer, then every entry of the installation's edition applied in memory to
// the tree's files (files changed by an earlier entry are kept under `workDir`, a
// DOS folder that is removed afterwards); the tree is only read. `edition` -1
// takes it from the tree's configuration file.
struct TDryRun {
  int Edition = -1;
  uint64_t TempPeak = 0;  // what this installation's run keeps in the temporary folder
  int64_t Growth = 0;     // how much this installation grows
  int Applied = 0, Skipped = 0;
};
void DryRun(const std::string& path, const TPackageInfo& info, const std::string& treeDir,
            const std::string& workDir, int edition, TDryRun& run, TVerifyResult& result,
            const ProgressFn& progress = nullptr);

// Writes each entry's unpacked payload under `outDir` (DOS path) as
// "<block>.<number> <KIND>\<name>", a difference with ".bdt" added; with `raw` the
// payload as stored, too, with ".lzma86" added. `written` receives the paths
// relative to `outDir`.
bool ExtractPackage(const std::string& path, const TPackageInfo& info, const std::string& outDir,
                    bool raw, std::vector<std::string>& written, TVerifyResult& result,
                    const ProgressFn& progress = nullptr);

// The kind's name without the listing's decoration ("BINDIFF", "SECTION", "KIND 9").
std::string KindName(uint8_t kind);

}  // namespace zumpack
