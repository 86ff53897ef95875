// Writing BDX patches (layout in format/bdx_patch.h): the bytes of a patch from
// records and streams as given, and the extended difference made from the exact
// copies a BDT patch found.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "format/bdx_patch.h"
#include "pack/bdt_diff.h"

namespace bdx {

struct TBdxRecord {
  uint8_t Tag = kInsert;
  int32_t Seek = 0;  // COPY and COVER
  uint32_t Len = 0;
};

// Where version 3 ends a stretch: at a run of this many zero difference bytes or
// more. Shorter runs stay among the given bytes, where the periodic patterns of
// tables (a changed field every 8 or 24 bytes) compress as repeats; the
// alternative, every run of zeros (1), leaves fewer bytes to compress and wins
// where the changes are scattered. Per patch, the quicker compression of the two
// decides (Restretched).
inline constexpr uint32_t kZerosFrom = 32;

// Header, records and streams exactly as given, in the layout of `version` (1, 2
// or 3), checked against nothing: a patch may be made to break any rule on
// purpose. `diff` is the whole difference sequence; version 3 writes it as
// stretches that end at runs of `zerosFrom` zeros or more.
std::vector<uint8_t> WriteBdx(uint32_t oldSize, uint32_t newSize,
                              std::span<const TBdxRecord> records,
                              std::span<const uint8_t> diff, std::span<const uint8_t> literals,
                              uint8_t version = kVersion3, uint32_t zerosFrom = kZerosFrom);

// A version 3 patch with its difference sequence laid out again as stretches that
// end at runs of `zerosFrom` zeros or more; empty when `patch` is not a version 3
// patch that reads against an old file of its OldSize.
std::vector<uint8_t> Restretched(std::span<const uint8_t> patch, uint32_t zerosFrom);

// A varint of the length and seek streams.
void AppendVarint(std::vector<uint8_t>& out, uint32_t v);

// The extended difference of `oldFile` and `newFile`, grown from the exact copies
// of `bdtPatch`, a BDT patch that turns the one into the other. Around each copy
// the stretches of new bytes are covered from the old file wherever most of their
// bytes agree with it: forwards from the end of a copy, backwards from the start
// of the next one, and a stretch between two copies that the old file holds at
// the same distance is covered whole when it is short or mostly equal. Runs that
// follow one another in both files become one cover, apart from long exact copies,
// which stay copies that the patcher need not scan for references. False,
// with `error`, when `bdtPatch` does not apply to `oldFile` or does not make
// `newFile`.
bool MakeBdx(std::span<const uint8_t> oldFile, std::span<const uint8_t> newFile,
             std::span<const uint8_t> bdtPatch, std::vector<uint8_t>& out, std::string& error);

// The old file with the references and addresses of each stretch of `map`
// re-aimed as a REFCOVER and an ADDRCOVER of that stretch would re-aim them.
std::vector<uint8_t> Projected(std::span<const uint8_t> oldFile, const TOldMap& map);

// The matcher's tuning for the later passes of an extended difference (below):
// only long resumptions and long matches, since covers bridge what lies between.
// On the benchmark's executables (postgres, mariadbd, grubx64, bytes): {16, 32}
// 330,316, 943,265, 34,436; {16, 24} 349,544, 951,505, 38,292; {24, 32} 330,146,
// 941,284, 39,264; {20, 32} 330,126, -, 35,223; {8, 32} 331,966, -, 38,932;
// {16, 40} 334,041, -, 38,042; {32, 48} 391,641, 1,065,857, -; the code tuning
// {4, 16} 447,039, 1,275,874, - (two passes).
inline constexpr bdt::TMatchTuning kCoverTuning = {16, 32};

// The copies and inserts of `bdtPatch`, a BDT patch checked against an old file of
// `oldSize` bytes, as a BDX patch: the same new file, with the record numbers as
// varints in streams of their own, which compress better than BDT's fixed-size
// records between the literal bytes (the 200 MB record pair: 0.67 MB against 0.69).
// False, with `error`, when the patch does not read.
bool Recoded(std::span<const uint8_t> bdtPatch, uint64_t oldSize, std::vector<uint8_t>& out,
             std::string& error);

// A run of new bytes is taken for code, and made a CODE run, when at least this
// share (in percent) of the references the scan finds in it point inside the new
// file: those of code mostly do, bytes of data that only look like instructions
// point anywhere. (The benchmark's postgres: 384,165 bytes at 60%, 387,748 at 90%,
// 388,173 making every run a CODE run, 422,380 with none.)
inline constexpr uint32_t kCodeShare = 60;

// A version 3 patch with each INSERT run that is taken for code made a CODE run;
// empty when `patch` is not a version 3 patch that reads against an old file of
// its OldSize.
std::vector<uint8_t> WithCodeRuns(std::span<const uint8_t> patch);

// Whether covers are worth growing for `newFile`: not for a large text file (the
// one tuning bdt::TuningsFor gives it is the text tuning), where the copy-only
// patch has been the smaller one (a 200 MB record file: 0.86 MB against 0.89 to
// 0.97 MB) and a second matching pass costs seconds; its extended difference is
// the copy-only patch Recoded.
bool WorthExtending(std::span<const uint8_t> newFile);

// The most matching passes an extended difference makes. On the benchmark's
// executables each pass after the first makes a smaller patch than the one before
// until the third (quick compressions of postgres: 524,918, 424,695, 411,734, then
// 420,448 bytes; mariadbd 1,599,107, 1,113,655, 1,039,899, then 1,063,696).
inline constexpr int kPasses = 3;

// The extended difference of `newFile` against `oldFile`, in passes. The first
// grows covers (MakeBdx) from the copies of `bdtPatch`, the BDT patch of the two
// files. Each later one matches the new file again, with kCoverTuning, against
// the old file projected by where the best patch so far moved each old byte
// (Projected), and grows covers on that; the passes go on while each makes a patch
// that a quick compression finds smaller than the one before, kPasses at most.
// The best patch is kept, its difference laid out in the stretches, and its new
// bytes in the runs (WithCodeRuns or not), that a quick compression finds
// smaller. Where no later pass made a smaller patch, covers grown from a
// kCoverTuning match against the old file itself are tried as well. The first
// pass starts from the BDT patch's copies rather than from a matching of its own:
// its map of where the old bytes went is denser, which makes a better projection
// (two passes, tuning {16, 24}: postgres 362,263 bytes against 384,484 from a
// match of its own, mariadbd 1,018,000 against 1,081,087), and the builder saves
// a walk over the new file (mariadbd: 4.4 s of 23.9).
bool MakeExtendedDifference(std::span<const uint8_t> oldFile, std::span<const uint8_t> newFile,
                            std::span<const uint8_t> bdtPatch, std::vector<uint8_t>& out,
                            std::string& error);

}  // namespace bdx
