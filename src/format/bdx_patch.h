// BDX patches: the difference data of EXTDIFF entries. Like a BDT patch (patch.h)
// the new file is rebuilt from the old one, but besides runs of new bytes and exact
// copies a BDX patch has covers: runs of the old file to which a byte-wise
// difference is added. Where a file changed by small edits spread over a stretch
// (addresses shifted inside otherwise equal code, a counter in every record), one
// cover carries the stretch, and its difference bytes are mostly zeros and repeat,
// so they compress to almost nothing where the same stretch as new bytes would not.
//
// Layout (little-endian), version 3:
//   0    3     "BDX"
//   3    1     version, 3
//   4    4     OldSize: size of the old file the patch applies to (checked)
//   8    4     NewSize: size of the file the patch produces
//   12   4     TagBytes: length of the tag stream, one byte per record
//   16   4     SeekBytes: length of the seek stream
//   20   4     LenBytes: length of the length stream
//   24   4     GivenBytes: length of the stream of given counts
//   28   4     ZeroBytes: length of the stream of zero counts
//   32   4     DiffBytes: length of the difference stream
//   36   4     LiteralBytes: length of the literal stream
//   40         the tag, seek, length, given, zero, difference and literal streams
//              in this order; the patch ends exactly after the last of them
// A record is its tag, its Seek (all but INSERT) from the seek stream, a varint
// of the zigzag form ((Seek << 1) ^ (Seek >> 31)), and its Len from the length
// stream, a varint. A varint is 1 to 5 bytes, 7 bits each from the lowest, the high
// bit set on every byte but the last; its value must fit in 32 bits.
// The difference bytes of all covers, in the order of their records, are one
// sequence, mostly zeros. Version 3 writes it as stretches: each stretch is Given
// bytes taken from the difference stream, then Zeros zero bytes; its Given is the
// next varint of the given stream and its Zeros the next of the zero stream. The
// stretches make exactly the covers' bytes; both count streams end with the same
// stretch, and the stretches take every byte of the difference stream. Long runs
// of zeros thus cost a varint instead of their length, in the unpacked patch and
// in the work of the decompressor and the patcher alike.
// Version 2 (still read): a 32-byte header without GivenBytes and ZeroBytes; the
// difference stream holds the whole sequence.
// Version 1 (still read): a 24-byte header with RecordBytes, DiffBytes and
// LiteralBytes after NewSize, and one record stream in which each record is its
// tag, then u32 Seek (all but INSERT) and u32 Len; the difference stream holds the
// whole sequence; no REFCOVER or ADDRCOVER.
// Records, each a tag and its fields:
//   1 INSERT  Len                 the next Len bytes of the literal stream
//   2 COPY    Seek, Len           move the old position by Seek, copy Len bytes
//   3 COVER   Seek, Len           move the old position by Seek; Len bytes of the
//                                 old file, each plus (mod 256) the next byte of
//                                 the difference sequence
//   4 REFCOVER Seek, Len          as COVER, but the old bytes have their x86
//                                 references re-aimed first (below)
//   5 ADDRCOVER Seek, Len         as COVER, but the old bytes have their absolute
//                                 addresses re-aimed first (below)
//   6 CODE    Len                 as INSERT, but the x86 references among the
//                                 bytes hold where they point in the new file,
//                                 not the distance to it (below; version 3)
// The old position starts at 0 and moves past every run copied or covered. The
// streams apart compress better than interleaved: tags with tags, the seeks (small
// and signed) with their kind, lengths with lengths, difference bytes (mostly
// zeros) with theirs, new bytes with theirs.
//
// Rules, all checked by ReadBdx before a byte of output is written: every Len is
// 1 to 2^31 - 1; every copy and cover lies inside the old file; the records never
// make more than NewSize bytes and make exactly NewSize in all; they and the
// stretches take every byte of every stream, and no more. A version other than 1,
// 2 or 3 is not damage but a patch this reader does not know.
//
// Re-aimed references. When code moves, the 32-bit relative operands of its calls
// and jumps change wherever the code and its target did not move by the same
// amount, though the instructions are the same: a cover carries each such change
// as four difference bytes that do not repeat. A REFCOVER predicts them. The
// patch's runs from the old file say where each old byte went in the new file
// (the map: runs by old position, each old byte taken by the first run, in that
// order, that holds it). In the old bytes of a REFCOVER run, read from the start,
// these are references when the whole instruction lies in the run and its target
// (the instruction's end plus the signed 32-bit operand) lies in the old file:
// E8 (call) or E9 (jmp) and the operand; 0F 80..8F (conditional jump) and the
// operand; an opcode of the one-byte table in bdx_patch.cpp, a ModRM byte naming
// [rip + disp32] (mod 00, r/m 101) and the operand; 0F, an opcode of the two-byte
// table, such a ModRM and the operand. The scan goes on after each. When the map
// holds the target, its operand is replaced by the distance from the
// instruction's new end to the target's new place (when that fits in 32 bits).
// The difference bytes are then added to these predicted bytes.
//
// In an ADDRCOVER run, every eight old bytes at an old position divisible by 8
// are taken for an absolute address, read as a u64, when they hold kLowestAddress
// or more and less than the old file's size (the tables of pointers and
// relocations of an image loaded where its file offsets are its addresses); when
// the map holds that position, they are replaced by where it went.
//
// In the bytes of a CODE run, read from the start, every instruction the scan
// above finds (whole in the run, whatever its target) has its operand stored as
// the new position it points to: the new file's position of the instruction's end
// plus the distance, modulo 2^32. The patcher subtracts that end again. New code
// calls the same functions from many places; stored so, each call of one of them
// carries the same four bytes, which compress, where the distances all differ.
//
// Bytes that only look like references are re-aimed too: the writer predicts the
// same way, and chooses per cover the prediction that leaves the most difference
// bytes zero, so they cost no more than other difference bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace bdx {

inline constexpr size_t kHeaderSize1 = 24, kHeaderSize2 = 32, kHeaderSize3 = 40;
inline constexpr uint8_t kVersion1 = 1, kVersion2 = 2, kVersion3 = 3;
// Smaller values at aligned places of an ADDRCOVER are taken for numbers, not
// addresses.
inline constexpr uint64_t kLowestAddress = 4096;
inline constexpr uint32_t kLengthLimit = 0x80000000u;

enum RecordTag : uint8_t {
  kInsert = 1,
  kCopy = 2,
  kCover = 3,
  kRefCover = 4,
  kAddrCover = 5,
  kCode = 6,
};
// Whether a run of this tag takes its bytes from the literal stream.
inline bool FromLiterals(uint8_t tag) { return tag == kInsert || tag == kCode; }

enum class BdxStatus {
  Ok,
  ShortHeader,         // shorter than the header of its version
  NotBdx,              // the magic is not "BDX"
  UnknownVersion,      // a version this reader does not know
  OldSizeMismatch,     // OldSize is not the size of the old file given
  StreamsMismatch,     // the header and the streams do not make up the patch
  RecordCut,           // the record stream ends inside a record
  BadNumber,           // a varint longer than 5 bytes or of 2^32 or more
  UnknownRecord,       // a tag this version does not have
  BadLength,           // a Len of 0, or of 2^31 or more
  BeyondNewSize,       // the records make more than NewSize bytes
  OutsideOld,          // a copy or cover starts before the old file or ends after it
  DiffTooShort,        // a cover needs more difference bytes than are left
  LiteralsTooShort,    // an insert needs more literal bytes than are left
  ShortOfNewSize,      // the records end before NewSize bytes are made
  StreamsLeftOver,     // bytes of a stream are left when the records end
  NewSizeMismatch,     // NewSize is not the size the package entry promises
};
// The protocol text of a status (CP1251).
const char* BdxStatusText(BdxStatus status);

// One run of the new file, with its source resolved to an offset.
struct TBdxRun {
  uint8_t Tag = kInsert;
  uint32_t Len = 0;
  uint64_t Old = 0;     // COPY, COVER and REFCOVER: where in the old file
  uint64_t At = 0;      // where in the new file
  uint64_t Stream = 0;  // INSERT and CODE: offset in the patch of its literal bytes
};

// A stretch of the old file and where its bytes went in the new one.
struct TMoved {
  uint64_t Old = 0;
  uint64_t Len = 0;
  uint64_t New = 0;
};

// The map of a patch's runs (see "Re-aimed references"): stretches in order of old
// position, none overlapping. Re-aiming asks it once for every reference and
// address, so it keeps, for every page of 1 KiB of the old file, where that page's
// stretches begin (4 bytes a page): a look-up searches those only. Pages of 1 KiB
// hold a few stretches of an executable's map; with 4 KiB a 26 MB executable's patch
// took 3% longer to apply.
class TOldMap {
 public:
  TOldMap() = default;
  explicit TOldMap(std::vector<TMoved> moved);
  bool Empty() const { return moved_.empty(); }
  std::span<const TMoved> Moved() const { return moved_; }
  // Where old position `old` went; false when no run took it.
  bool Find(uint64_t old, uint64_t& now) const;

 private:
  static constexpr unsigned kPageBits = 10;
  std::vector<TMoved> moved_;
  std::vector<uint32_t> pages_;  // [p]: the first stretch that starts at page p or later
};
TOldMap MapOfRuns(std::span<const TBdxRun> runs);

// Re-aims the references in `out`, which holds the `len` old bytes from `old` of a
// run made at new position `at`, by `map` (MapOfRuns) over an old file `oldFile`.
void AimReferences(const TOldMap& map, std::span<const uint8_t> oldFile,
                   uint64_t old, uint64_t at, uint32_t len, uint8_t* out);
// The same for the absolute addresses of an ADDRCOVER run.
void AimAddresses(const TOldMap& map, std::span<const uint8_t> oldFile,
                  uint64_t old, uint32_t len, uint8_t* out);

// Where re-aiming a REFCOVER run, or restoring a CODE run, in pieces has got to:
// the scan goes on from Next, and an operand that the last piece cut is finished
// in the next.
struct TAimState {
  uint32_t Next = 0;
  bool Pending = false;
  uint32_t Field = 0;
  uint32_t Value = 0;
};
// The same as AimReferences for the window [from, from + n) of the run, into `out`,
// which holds the window's old bytes; the windows of a run are given in order.
void AimReferencesIn(const TOldMap& map, std::span<const uint8_t> oldFile,
                     uint64_t old, uint64_t at, uint32_t len, uint32_t from, uint32_t n,
                     uint8_t* out, TAimState& state);
// The references of a CODE run made at new position `at`: StoredReferences turns
// the `len` new bytes at `bytes` into the run's stored bytes (in place);
// RestoreReferencesIn writes the window [from, from + n) of the new bytes into
// `out`, which holds the window's stored bytes, from `stored`, all of the run's
// stored bytes; the windows of a run are given in order.
void StoredReferences(uint8_t* bytes, uint32_t len, uint64_t at);
void RestoreReferencesIn(const uint8_t* stored, uint32_t len, uint64_t at, uint32_t from,
                         uint32_t n, uint8_t* out, TAimState& state);
// How many references the scan finds in `bytes` (`all`), and how many of them point
// inside a new file of `newSize` bytes, the bytes lying at new position `at`.
uint32_t ReferencesInside(std::span<const uint8_t> bytes, uint64_t at, uint64_t newSize,
                          uint32_t& all);

// The same as AimAddresses for the window [from, from + n) of the run.
void AimAddressesIn(const TOldMap& map, std::span<const uint8_t> oldFile,
                    uint64_t old, uint32_t len, uint32_t from, uint32_t n, uint8_t* out);

// Where the difference sequence of a patch lies: offsets in the patch of its
// streams. A patch of version 1 or 2 has no count streams: its whole sequence is
// given, one stretch of DiffBytes given bytes.
struct TBdxDifference {
  uint64_t Bytes = 0, DiffBytes = 0;
  uint64_t GivenAt = 0, GivenEnd = 0;
  uint64_t ZeroAt = 0, ZeroEnd = 0;
  bool Stretched = false;  // version 3
};

// A patch as checked by ReadBdx, ready to apply.
struct TBdxPlan {
  uint32_t OldSize = 0;
  uint32_t NewSize = 0;
  std::vector<TBdxRun> Runs;
  TBdxDifference Difference;
  TOldMap Map;  // made only when a run is a REFCOVER or an ADDRCOVER
  // The 1-based number of the record that broke a rule; 0 for the header and for
  // what is found when the records end.
  size_t FailedRecord = 0;
};

// Reads and checks the whole patch against an old file of `oldSize` bytes. On any
// status but Ok the plan must not be applied.
BdxStatus ReadBdx(std::span<const uint8_t> patch, uint64_t oldSize, TBdxPlan& plan);

// The difference sequence of a checked patch (plan.Difference), read in order.
class TDifferenceSource {
 public:
  TDifferenceSource(const TBdxDifference& difference, std::span<const uint8_t> patch);
  // Adds the next `n` bytes of the sequence to `out`.
  void AddTo(uint8_t* out, uint32_t n);

 private:
  TBdxDifference d_;
  const uint8_t* patch_;
  // Where the next given byte and counts are, and what is left of the stretch
  // being served.
  uint64_t diffAt_ = 0, givenAt_ = 0, zeroAt_ = 0;
  uint64_t given_ = 0, zeros_ = 0;
};

// Builds the new file into `out` (plan.NewSize bytes) from a plan that ReadBdx
// accepted for this patch and an old file of the size it was checked against.
void ApplyBdx(const TBdxPlan& plan, std::span<const uint8_t> oldFile,
              std::span<const uint8_t> patch, uint8_t* out);

// The same in pieces, for an output that is not held whole: each Next() call
// builds the next `n` bytes of the new file. Together the calls may ask for no
// more than plan.NewSize bytes. The plan, the old file and the patch must outlive
// the cursor.
class TBdxCursor {
 public:
  TBdxCursor(const TBdxPlan& plan, std::span<const uint8_t> oldFile,
             std::span<const uint8_t> patch);
  void Next(uint8_t* out, size_t n);

 private:
  const TBdxPlan& plan_;
  std::span<const uint8_t> old_, patch_;
  size_t index_ = 0;   // the run being served
  uint32_t into_ = 0;  // how many of its bytes are made
  TAimState aim_;      // a REFCOVER run's re-aiming
  TDifferenceSource difference_;
};

// Both steps in memory; `out` is left empty unless the result is Ok.
BdxStatus BdxBytes(std::span<const uint8_t> oldFile, std::span<const uint8_t> patch,
                   std::vector<uint8_t>& out);

// Whether a patch is a BDX patch by its magic (any version).
bool LooksLikeBdx(std::span<const uint8_t> patch);

}  // namespace bdx
