#include "pack/rebuild_check.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "format/bdx_patch.h"
#include "format/patch.h"

namespace pkg {

namespace {

// Makes the new file a piece at a time with the applier's cursor and compares
// each piece with `newFile`; a run cut between two pieces (a re-aimed operand
// too) is finished in the next.
template <class Cursor>
bool MatchesInPieces(Cursor& cursor, std::span<const uint8_t> newFile,
                     const TRebuildPassed& passed) {
  std::vector<uint8_t> piece(std::min<uint64_t>(newFile.size(), kRebuildPiece));
  uint64_t nextPassed = kRebuildPassed;
  for (uint64_t done = 0; done < newFile.size();) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size(), newFile.size() - done));
    cursor.Next(piece.data(), n);
    if (std::memcmp(piece.data(), newFile.data() + done, n) != 0) return false;
    done += n;
    if (passed && (done >= nextPassed || done == newFile.size())) {
      passed(done);
      nextPassed = done + kRebuildPassed;
    }
  }
  return true;
}

}  // namespace

bool BdtRebuilds(std::span<const uint8_t> oldFile, std::span<const uint8_t> patch,
                 std::span<const uint8_t> newFile, const TRebuildPassed& passed) {
  bdt::TPatchPlan plan;
  if (bdt::ReadPatch(patch, oldFile.size(), plan) != bdt::PatchStatus::Ok ||
      plan.NewSize != newFile.size())
    return false;
  bdt::TPatchCursor cursor(plan, oldFile, patch);
  return MatchesInPieces(cursor, newFile, passed);
}

bool BdxRebuilds(std::span<const uint8_t> oldFile, std::span<const uint8_t> patch,
                 std::span<const uint8_t> newFile, const TRebuildPassed& passed) {
  bdx::TBdxPlan plan;
  if (bdx::ReadBdx(patch, oldFile.size(), plan) != bdx::BdxStatus::Ok ||
      plan.NewSize != newFile.size())
    return false;
  bdx::TBdxCursor cursor(plan, oldFile, patch);
  return MatchesInPieces(cursor, newFile, passed);
}

}  // namespace pkg
