// BDT patches: the difference data of BINDIFF, DBBDIFF, PE1DIFF and PE2DIFF entries.
// The new file is a sequence of runs of new bytes and runs copied from the old file.
//
// Layout (little-endian):
//   0    3     "BDT"
//   3    2     version, 1
//   5    1     4
//   6    4     PatchOldSize: size of the old file the patch was made from
//   10   4     PatchNewSize: size of the file the patch produces
//   14   4     RecCount
//   18   12*R  records: i32 Seek, u32 InsLen, u32 CopyLen
//   ...        literal data: the InsLen bytes of every record in record order, then the
//              tail
// A record first takes InsLen bytes from the literal data, then moves the old-file
// position by Seek and copies CopyLen bytes from there. When the records' lengths add
// up to less than PatchNewSize, the remaining bytes are the tail: the next bytes of the
// literal data, which end the new file. Magic, version, the fixed byte and
// PatchOldSize are not relied on: the old file is verified against the part record.
//
// A patch is read and checked whole before a byte of output is written (ReadPatch);
// applying a checked patch (ApplyPatch) cannot read or write outside the three views.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>


namespace bdt {

inline constexpr size_t kHeaderSize = 18;
inline constexpr size_t kRecordSize = 12;
// No length of a record may reach 2^31.
inline constexpr uint32_t kLengthLimit = 0x80000000u;

struct TPatchRecord {
  int32_t Seek = 0;
  uint32_t InsLen = 0;
  uint32_t CopyLen = 0;
};

enum class PatchStatus {
  Ok,
  ShortHeader,           // fewer than 18 bytes
  TableBeyondPatch,      // RecCount records do not fit after the header
  LengthTooLarge,        // an InsLen or CopyLen of 2^31 or more
  LengthsBeyondNewSize,  // the records' lengths add up to more than PatchNewSize
  CopyOutsideOld,        // a copy starts before the old file or ends after it
  LiteralsTooShort,      // the literal data ends before the records and the tail are served
  NewSizeMismatch,       // PatchNewSize is not the size the package entry promises
};
// The protocol text of a status (CP1251).
const char* PatchStatusText(PatchStatus status);

// A patch as checked by ReadPatch, ready to apply.
struct TPatchPlan {
  uint32_t NewSize = 0;
  size_t LiteralStart = 0;
  // The patch's records, followed by the tail record {0, tail, 0} when there is a tail.
  std::vector<TPatchRecord> Records;
  // The 1-based number of the record that broke a rule; 0 for the header or the tail.
  size_t FailedRecord = 0;
};

// Reads and checks the whole patch against an old file of `oldSize` bytes. Literal
// data beyond what the records and the tail take is allowed and never read. On any
// status but Ok the plan must not be applied.
PatchStatus ReadPatch(std::span<const uint8_t> patch, uint64_t oldSize, TPatchPlan& plan);

// Builds the new file into `out` (plan.NewSize bytes) from a plan that ReadPatch
// accepted for this patch and an old file of the size it was checked against.
void ApplyPatch(const TPatchPlan& plan, std::span<const uint8_t> oldFile,
                std::span<const uint8_t> patch, uint8_t* out);

// The same in pieces, for an output that is not held whole: each Next() call
// builds the next `n` bytes of the new file. Together the calls may ask for no
// more than plan.NewSize bytes. The plan, the old file and the patch must outlive
// the cursor.
class TPatchCursor {
 public:
  TPatchCursor(const TPatchPlan& plan, std::span<const uint8_t> oldFile,
               std::span<const uint8_t> patch)
      : plan_(plan), old_(oldFile.data()), lit_(patch.data() + plan.LiteralStart) {}
  void Next(uint8_t* out, size_t n);

 private:
  const TPatchPlan& plan_;
  const uint8_t* old_;
  const uint8_t* lit_;  // the next literal byte
  size_t index_ = 0;    // the record being served
  uint32_t done_ = 0;   // of its InsLen + CopyLen bytes, how many are made
  bool seeked_ = false; // whether its Seek has moved the old position
  // The old position as an offset: a Seek may lead outside the file between
  // copies, where a pointer must not go.
  int64_t pos_ = 0;
};

// Both steps in memory; `out` is left empty unless the result is Ok.
PatchStatus PatchBytes(std::span<const uint8_t> oldFile, std::span<const uint8_t> patch,
                       std::vector<uint8_t>& out);

}  // namespace bdt
