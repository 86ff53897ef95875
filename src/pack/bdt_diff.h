// The difference generator behind the package builder: finds long exact matches
// of a new file in an old one through a suffix array of the old file and writes
// them as BDT copy records (layout in patch.h), the bytes in between becoming
// literal data.
//
// The suffix array is built with SA-IS (linear time). A large old file is indexed
// sparsely: only the suffixes at every `stride`-th position are sorted (the old
// file read as a string of stride-byte symbols), which divides the index's memory
// by the stride. A match that starts at an unsampled position is found from the
// first sampled position inside it and grown backwards, so with stride s every
// common run of at least s + 1 bytes can still be found.
//
// Matching walks the new file once. At each position the old bytes right after the
// last copy (shifted by the literal bytes since) are tried first: that is where an
// edit in place resumes, and such a copy costs the least. Otherwise the suffix array
// gives the longest match anywhere in the old file, and among equally long ones the
// one closest to that expected place.
//
// A large old file is matched in two stages, so that the memory follows the
// changed part of the file rather than the file. Its index is a block table
// (block_table.h), a few bytes per 32 old bytes. Diffing a new file first walks it
// through the table and grows every long run it finds both ways; the old bytes
// that no such run took are then gathered and suffix-sorted as above (only they),
// and the walk described above finds its matches in both: the long runs anywhere
// through the table, the shorter ones in the leftover old bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "format/patch.h"
#include "pack/block_table.h"
#include "pack/payload_encode.h"

namespace bdt {

enum class DiffPhase { Sorting, Matching };

inline constexpr size_t kLongHeadsFrom = size_t{1} << 20;
inline constexpr unsigned kLongHeadBits = 22;

struct DiffOptions {
  // Bytes the index may take while it is built (about 12 bytes per sorted
  // suffix at worst); the stride is the smallest power of two up to 8 that keeps
  // within it. 0 means the default.
  uint64_t indexBudget = 0;
  // 0: chosen from indexBudget; otherwise 1, 2, 4 or 8.
  uint32_t stride = 0;
  // Called now and then with the phase, the work done and the work in all
  // (sorting reports its steps, matching the new bytes walked).
  std::function<void(DiffPhase phase, uint64_t done, uint64_t total)> progress;
  // Called every kPassStep bytes or so of the long passes over the files: the old
  // file's block table (Sorting, `done` its old bytes entered) and each walk over
  // the whole new file (Matching, `done` its new bytes walked). The pass reads the
  // file it walks in order, the old file anywhere; whatever of their memory the
  // caller lets go meanwhile it gets back when read again (the pages of a mapped
  // file). Called from one thread only: the walks that report progress.
  std::function<void(DiffPhase phase, uint64_t done)> passed;
  // Old files of at least this many bytes (up to TBlockTable::kMaxOld, about
  // 1 GiB) are matched in two stages. 0 means kTwoStageFrom.
  uint64_t twoStageFrom = 0;
  // From this many indexed suffixes on, searches start from the first
  // kLongHeadBits bits rather than the first two bytes (a 16 MiB table).
  size_t longHeadsFrom = kLongHeadsFrom;
};

inline constexpr uint64_t kTwoStageFrom = 32ull << 20;
inline constexpr uint64_t kPassStep = 4ull << 20;

inline constexpr uint64_t kDefaultIndexBudget = 768ull << 20;
// The first `bytes` bytes of p (zeros past `avail`) as a number.
uint32_t HeadKey(const uint8_t* p, size_t avail, unsigned bytes);

// The stride DiffOptions gives for an old file of `oldSize` bytes.
uint32_t ChooseStride(uint64_t oldSize, const DiffOptions& options);

// A patch as records and literal data (the tail included), ready for WritePatch.
struct TDiff {
  uint32_t OldSize = 0;
  uint32_t NewSize = 0;
  std::vector<TPatchRecord> Records;
  std::vector<uint8_t> Literals;
  uint64_t CopiedBytes = 0;  // new bytes taken from the old file
  uint64_t SortedBytes = 0;  // old bytes whose suffixes were sorted for it
};

// How readily the matcher takes a copy, in new bytes: a copy that resumes where
// the old file was expected, and a copy from anywhere else. What pays depends on
// how well the bytes left as literal data compress: little for machine code, so
// short copies pay; a lot for text, where a short copy from elsewhere costs more
// than the text it saves.
struct TMatchTuning {
  uint32_t MinResume = 4;
  uint32_t MinMatch = 16;
};
// The tunings the smallest patch is chosen from: for code-like and for text-like
// data.
inline constexpr TMatchTuning kTunings[] = {{4, 16}, {8, 32}};
inline constexpr size_t kCodeTuning = 0, kTextTuning = 1;

// Two stages: a run of the old bytes that no long run of the new file took, where
// it lies in the sorted text and in the old file.
struct TLeftoverPiece {
  uint32_t At;
  uint32_t Old;
};
struct TLeftover;

// The old file's index. Build it first, then diff any number of new files against
// the same old file; the old bytes must stay in place meanwhile. Building before
// the new file is read keeps the peak memory down.
class TOldIndex {
 public:
  // False, with `error`, for an old file of 2 GiB or more or when memory runs out.
  bool Build(std::span<const uint8_t> oldFile, const DiffOptions& options, std::string& error);
  // 1, 2, 4 or 8 for a suffix array of the whole old file; 0 for two stages.
  uint32_t Stride() const { return blocks_.Empty() ? stride_ : 0; }
  bool TwoStage() const { return !blocks_.Empty(); }
  // False, with `error`, for a new file of 2 GiB or more. Safe to call from several
  // threads at once; progress is reported when `report` is set.
  bool Diff(std::span<const uint8_t> newFile, TDiff& out, std::string& error,
            const TMatchTuning& tuning = TMatchTuning(), bool report = true) const;
  // Two stages: the leftover of `newFile`, made once for diffs with any tuning.
  bool Prepare(std::span<const uint8_t> newFile, TLeftover& leftover, std::string& error) const;
  // Diff with the leftover that Prepare made for `newFile` or for a longer file
  // that begins with it.
  bool Diff(std::span<const uint8_t> newFile, const TLeftover& leftover, TDiff& out,
            std::string& error, const TMatchTuning& tuning, bool report) const;

 private:
  std::span<const uint8_t> old_;
  std::vector<uint32_t> sa_;     // old positions of the sampled suffixes, sorted
  std::vector<uint32_t> heads_;  // where each start of headBits_ bits begins in sa_
  unsigned headBits_ = 16;
  uint32_t stride_ = 1;
  TBlockTable blocks_;  // two stages: the whole index
  DiffOptions options_;

  // The walk over the new file, with `sorted` the index of the suffix array (this
  // one, or in two stages that of the leftover, whose positions `pieces` turns
  // into positions of the old file).
  void Walk(std::span<const uint8_t> newFile, const TOldIndex& sorted,
            const std::vector<TLeftoverPiece>* pieces, TDiff& out, const TMatchTuning& tuning,
            bool report) const;
};

// The old bytes that no long run of a new file takes, gathered into one text and
// suffix-sorted.
struct TLeftover {
  std::vector<uint8_t> Text;
  std::vector<TLeftoverPiece> Pieces;
  TOldIndex Index;
};

// The tunings (indices into kTunings) worth trying on `newFile`. A small file, or
// one that is neither clearly text nor clearly binary, is tried with all of them;
// a large one only with the tuning its kind needs: the text tuning when at least
// kTextShare of its bytes are printable, the code tuning when at most kBinaryShare
// are. Diffing and compressing a large file twice costs more than the tuning that
// loses could ever save. A file of kSampledFrom bytes or more is judged by
// kSamples stretches of kSampleBytes spread over it, so that it need not be read
// whole (nor held in memory whole when it is mapped).
inline constexpr size_t kTryAllBelow = 4u << 20;
inline constexpr double kTextShare = 0.85, kBinaryShare = 0.60;
inline constexpr size_t kSampledFrom = kTwoStageFrom, kSamples = 256, kSampleBytes = 16u << 10;
std::vector<size_t> TuningsFor(std::span<const uint8_t> newFile);

// The patch with every tuning of TuningsFor (side by side when there are cores for
// it), each compressed quickly to see which is smallest; that one is compressed as
// an entry payload with `encode` and kept with the patch it was made from. With one
// tuning, its patch is compressed once. Progress is reported for the first
// tuning's matching and for the final compression. In two stages the tunings are
// judged on a slice from the middle of the file and only the winner diffs it
// whole.
// The index is taken over and let go of once the patch is chosen: the final
// compression, which takes about nine bytes per byte of the patch at the highest
// levels, then does not meet it in memory.
bool SmallestPatchPayload(TOldIndex index, std::span<const uint8_t> newFile,
                          const payload::EncodeOptions& encode, std::vector<uint8_t>& patch,
                          std::vector<uint8_t>& framed, std::string& error);

// Index, diff and WritePatch in one call.
bool MakeBdtPatch(std::span<const uint8_t> oldFile, std::span<const uint8_t> newFile,
                  const DiffOptions& options, std::vector<uint8_t>& patch, std::string& error);

// SA-IS: the suffix array of s[0..n), where s[n-1] is 0 and occurs nowhere else
// and every symbol is at most `maxSymbol`. `sa` receives n entries (the first is
// n - 1). Used for the index; exposed for its tests.
void SuffixSort(const uint32_t* s, int32_t* sa, int32_t n, uint32_t maxSymbol);

}  // namespace bdt
