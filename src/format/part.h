// The catalogue entry of a package as the installer keeps it in memory.
#pragma once

#include <cstdint>
#include <string>

namespace pkg {

enum EntryKind : uint8_t {
  kBinDiff = 0,
  kDbbDiff = 1,
  kPe1Diff = 2,
  kPe2Diff = 3,
  kCfgDiff = 4,
  kAddRepl = 5,
  kAddRepM = 6,
  kSection = 7,
  // The extended difference of a plain file: a BDX patch (bdx_patch.h) applied to
  // the saved copy, as BINDIFF applies a BDT patch. Packages carry it only where it
  // is smaller than every older kind, and each package carries the installer that
  // reads it.
  kExtDiff = 8,
};

// Kinds whose payload is a patch of an existing file.
inline bool IsDifferenceKind(uint8_t kind) { return kind <= kPe2Diff || kind == kExtDiff; }
// Kinds the engine applies to a file (it backs the file up first).
inline bool IsFileKind(uint8_t kind) {
  return (kind <= kAddRepM && kind != kCfgDiff) || kind == kExtDiff;
}

// The part record: twelve little-endian u32 slots, 48 bytes in the package.
struct TPartRecord {
  uint32_t OldSize = 0;
  uint32_t OldSum = 0;
  uint32_t PrepSize = 0;
  uint32_t PrepSum = 0;
  uint32_t DiffSize = 0;
  uint32_t DiffSum = 0;   // ADDREPM: the variant number
  uint32_t MidSize = 0;
  uint32_t MidSum = 0;
  uint32_t NewSize = 0;
  uint32_t NewSum = 0;
  uint32_t EntryLen = 0;
  uint32_t EntrySum = 0;
};
constexpr size_t kPartRecordSize = 48;

struct TPartNfo : TPartRecord {
  uint32_t Pos = 0;   // file offset of the entry's kind byte
  uint8_t Kind = 0;
  std::string Name;   // empty for SECTION
};

// Whether an entry is applied to an installation of `edition` (byte 120 of its
// configuration: 0 the first edition, anything else the second). Several whole
// builds of one executable travel as ADDREPM entries whose variant number (DiffSum)
// is the edition + 1; PE1DIFF is the first edition's difference, PE2DIFF the
// second's. A SECTION applies to none; every other entry to every edition.
inline bool EntryAppliesToEdition(uint8_t kind, uint32_t diffSum, uint32_t edition) {
  switch (kind) {
    case kAddRepM: return edition + 1 == diffSum;
    case kPe1Diff: return edition == 0;
    case kPe2Diff: return edition != 0;
    case kSection: return false;
    default: return true;
  }
}

}  // namespace pkg
