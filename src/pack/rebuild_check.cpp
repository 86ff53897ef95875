#include "pack/rebuild_check.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "format/bdx_patch.h"
#include "format/patch.h"

namespace pkg {

namespace {

// Collects pieces of the output into plans of at most kRebuildPiece bytes, applies
// each with `apply` and compares it with the new file.
class Pieces {
 public:
  Pieces(std::span<const uint8_t> newFile, const TRebuildPassed& passed)
      : new_(newFile), passed_(passed), buffer_(std::min<uint64_t>(newFile.size(), kRebuildPiece)) {}

  uint32_t Room() const { return static_cast<uint32_t>(buffer_.size() - fill_); }
  // Counts `len` more bytes of the piece; true while they fit in the new file.
  bool Take(uint32_t len) {
    if (len > new_.size() - done_ - fill_) return false;
    fill_ += len;
    return true;
  }
  bool Full() const { return fill_ == buffer_.size(); }
  uint32_t Fill() const { return static_cast<uint32_t>(fill_); }
  // Applies the piece (fill bytes) with `apply(out)` and compares it.
  template <class F>
  bool Check(F&& apply) {
    if (fill_ == 0) return true;
    apply(buffer_.data());
    if (std::memcmp(buffer_.data(), new_.data() + done_, fill_) != 0) return false;
    done_ += fill_;
    fill_ = 0;
    if (passed_ && (done_ >= nextPassed_ || done_ == new_.size())) {
      passed_(done_);
      nextPassed_ = done_ + kRebuildPassed;
    }
    return true;
  }
  bool AllDone() const { return done_ == new_.size() && fill_ == 0; }
  uint64_t Done() const { return done_; }

 private:
  std::span<const uint8_t> new_;
  const TRebuildPassed& passed_;
  std::vector<uint8_t> buffer_;
  uint64_t done_ = 0;
  uint64_t nextPassed_ = kRebuildPassed;
  size_t fill_ = 0;
};

}  // namespace

bool BdtRebuilds(std::span<const uint8_t> oldFile, std::span<const uint8_t> patch,
                 std::span<const uint8_t> newFile, const TRebuildPassed& passed) {
  bdt::TPatchPlan plan;
  if (bdt::ReadPatch(patch, oldFile.size(), plan) != bdt::PatchStatus::Ok ||
      plan.NewSize != newFile.size())
    return false;
  Pieces pieces(newFile, passed);
  // A piece's plan: its records cut to fit, the first one's Seek counted from the
  // start of the old file (where the applier starts), its literal data where the
  // piece's first literal byte is.
  bdt::TPatchPlan piece;
  piece.LiteralStart = plan.LiteralStart;
  int64_t pos = 0;         // the old position in the whole patch
  int64_t piecePos = 0;    // the old position in the piece's plan
  uint64_t literal = plan.LiteralStart;
  auto check = [&] {
    piece.NewSize = pieces.Fill();
    const bool ok = pieces.Check([&](uint8_t* out) { bdt::ApplyPatch(piece, oldFile, patch, out); });
    piece.Records.clear();
    piece.LiteralStart = literal;
    piecePos = 0;
    return ok;
  };
  for (const bdt::TPatchRecord& r : plan.Records) {
    for (uint32_t left = r.InsLen; left > 0;) {
      const uint32_t n = std::min(left, pieces.Room());
      if (!pieces.Take(n)) return false;
      piece.Records.push_back({0, n, 0});
      literal += n;
      left -= n;
      if (pieces.Full() && !check()) return false;
    }
    pos += r.Seek;
    for (uint32_t left = r.CopyLen; left > 0;) {
      const uint32_t n = std::min(left, pieces.Room());
      if (!pieces.Take(n)) return false;
      piece.Records.push_back({static_cast<int32_t>(pos - piecePos), 0, n});
      pos += n;
      piecePos = pos;
      left -= n;
      if (pieces.Full() && !check()) return false;
    }
  }
  return check() && pieces.AllDone();
}

bool BdxRebuilds(std::span<const uint8_t> oldFile, std::span<const uint8_t> patch,
                 std::span<const uint8_t> newFile, const TRebuildPassed& passed) {
  bdx::TBdxPlan plan;
  if (bdx::ReadBdx(patch, oldFile.size(), plan) != bdx::BdxStatus::Ok ||
      plan.NewSize != newFile.size())
    return false;
  // The applier's own cursor makes the pieces: a run cut between two of them (a
  // re-aimed operand too) is finished in the next.
  bdx::TBdxCursor cursor(plan, oldFile, patch);
  Pieces pieces(newFile, passed);
  while (!pieces.AllDone()) {
    const uint32_t n = static_cast<uint32_t>(
        std::min<uint64_t>(pieces.Room(), newFile.size() - pieces.Done()));
    if (!pieces.Take(n) ||
        !pieces.Check([&](uint8_t* out) { cursor.Next(out, n); }))
      return false;
  }
  return true;
}

}  // namespace pkg
