// What a catalogue entry makes of the file it names, in memory: the whole file an
// ADDREPL or ADDREPM entry carries, or the old file patched by a difference (a base
// file converted to its plain form first and back to its key after). The installer
// does the same steps on files, each journalled, through the same cores (the patch
// records, the base-file record conversion); this form serves the package builder's
// dry run, the tests and the fuzzer.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "format/basefile.h"
#include "format/bdx_patch.h"
#include "format/part.h"
#include "format/patch.h"

namespace pkg {

enum class TApplyStatus {
  Ok,
  OldFileDiffers,    // the old file is not the one the difference was made from
  NoBaseKey,         // a DBBDIFF whose name gives no base-file key
  OldBaseRefused,    // the old base file does not convert to its plain form
  PatchRefused,      // the patch does not apply to the old file
  NewBaseRefused,    // the patched base file does not convert back to its key
  NewFileDiffers,    // the result is not the file the entry names
};

struct TApplyResult {
  TApplyStatus Status = TApplyStatus::Ok;
  bdt::PatchStatus Patch = bdt::PatchStatus::Ok;  // for PatchRefused of a BDT patch
  bdx::BdxStatus Extended = bdx::BdxStatus::Ok;   // for PatchRefused of a BDX patch
  BaseStatus Base = BaseStatus::Ok;               // for OldBaseRefused and NewBaseRefused
  // Notes that do not stop the entry: a DBBDIFF's plain old or plain new file is not
  // the one its record names (PrepSize/PrepSum, MidSize/MidSum).
  bool PlainOldDiffers = false;
  bool PlainNewDiffers = false;
};

// Applies entry `e` (a whole-file or difference kind) with its unpacked `data` to
// `old` (the installed file; changed in place for a base file, unused for a whole
// file). `out` gets the new file; on any status but Ok what it holds is undefined.
// An executable's difference accepts an old file one byte longer or shorter than
// its record says, as the installer does.
TApplyResult ApplyEntryBytes(const TPartNfo& e, std::vector<uint8_t>& old,
                             std::vector<uint8_t>& data, std::vector<uint8_t>& out);

}  // namespace pkg
