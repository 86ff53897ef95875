// The builder's check that a patch rebuilds the new file, made a piece at a time:
// it must agree with applying the whole patch, also where records and runs cross
// the pieces' edges, and refuse a new file that differs anywhere by one byte.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "format/bdx_patch.h"
#include "format/patch.h"
#include "pack/bdt_diff.h"
#include "pack/bdx_writer.h"
#include "pack/rebuild_check.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Random(size_t n, uint32_t seed) {
  std::mt19937 r(seed);
  Bytes b(n);
  for (uint8_t& c : b) c = static_cast<uint8_t>(r());
  return b;
}

// An old file of 3 MiB, and a new one that runs and copies across several pieces:
// a long stretch moved from the end to the front, more than a piece of new bytes,
// a long stretch from the start with a byte changed every 100 bytes (covers in
// an extended difference), and a short tail.
struct Pair {
  Bytes oldFile, newFile;
  Pair() {
    oldFile = Random(3u << 20, 1);
    const size_t piece = pkg::kRebuildPiece;
    auto append = [&](const uint8_t* p, size_t n) { newFile.insert(newFile.end(), p, p + n); };
    append(oldFile.data() + 2 * piece, piece + 500000);
    const Bytes fresh = Random(piece + 1234, 2);
    append(fresh.data(), fresh.size());
    const size_t edited = newFile.size();
    append(oldFile.data(), piece + piece / 2);
    for (size_t k = edited; k < newFile.size(); k += 100) newFile[k] ^= 0x5A;
    append(fresh.data(), 77);
  }
};

TEST(RebuildCheck, AgreesWithTheWholePatchAndFindsEveryDifference) {
  const Pair p;
  std::vector<uint8_t> bdtPatch, bdxPatch;
  std::string error;
  ASSERT_TRUE(bdt::MakeBdtPatch(p.oldFile, p.newFile, {}, bdtPatch, error)) << error;
  ASSERT_TRUE(bdx::MakeBdx(p.oldFile, p.newFile, bdtPatch, bdxPatch, error)) << error;
  // The fixture exercises what it is meant to: covers, and records longer than a piece.
  bdx::TBdxPlan bdxPlan;
  ASSERT_EQ(bdx::ReadBdx(bdxPatch, p.oldFile.size(), bdxPlan), bdx::BdxStatus::Ok);
  EXPECT_TRUE(std::any_of(bdxPlan.Runs.begin(), bdxPlan.Runs.end(),
                          [](const bdx::TBdxRun& r) { return r.Tag != bdx::kInsert && r.Tag != bdx::kCopy; }));
  bdt::TPatchPlan bdtPlan;
  ASSERT_EQ(bdt::ReadPatch(bdtPatch, p.oldFile.size(), bdtPlan), bdt::PatchStatus::Ok);
  EXPECT_TRUE(std::any_of(bdtPlan.Records.begin(), bdtPlan.Records.end(), [](const auto& r) {
    return r.InsLen > pkg::kRebuildPiece || r.CopyLen > pkg::kRebuildPiece;
  }));

  struct Format {
    const char* name;
    const Bytes& patch;
    bool (*check)(std::span<const uint8_t>, std::span<const uint8_t>, std::span<const uint8_t>,
                  const pkg::TRebuildPassed&);
  };
  const Format formats[] = {{"BDT", bdtPatch, pkg::BdtRebuilds}, {"BDX", bdxPatch, pkg::BdxRebuilds}};
  const size_t n = p.newFile.size(), piece = pkg::kRebuildPiece;
  for (const Format& f : formats) {
    SCOPED_TRACE(f.name);
    std::vector<uint64_t> passed;
    EXPECT_TRUE(f.check(p.oldFile, f.patch, p.newFile, [&](uint64_t done) { passed.push_back(done); }));
    ASSERT_FALSE(passed.empty());
    EXPECT_EQ(passed.back(), n);  // told once the whole file is checked
    EXPECT_TRUE(std::is_sorted(passed.begin(), passed.end()));

    // One byte off anywhere, at the first and last byte and on either side of a
    // piece's edge; and a new file a byte short or a byte long.
    for (size_t at : {size_t{0}, piece - 1, piece, 2 * piece + 7, n - 1}) {
      Bytes wrong = p.newFile;
      wrong[at] ^= 1;
      EXPECT_FALSE(f.check(p.oldFile, f.patch, wrong, {})) << "byte " << at;
    }
    Bytes shorter(p.newFile.begin(), p.newFile.end() - 1), longer = p.newFile;
    longer.push_back(0);
    EXPECT_FALSE(f.check(p.oldFile, f.patch, shorter, {}));
    EXPECT_FALSE(f.check(p.oldFile, f.patch, longer, {}));
    // A patch its reader refuses, and one for another old file.
    Bytes cut(f.patch.begin(), f.patch.end() - 1);
    EXPECT_FALSE(f.check(p.oldFile, cut, p.newFile, {}));
    Bytes otherOld = p.oldFile;
    otherOld[2 * piece + 10] ^= 1;
    EXPECT_FALSE(f.check(otherOld, f.patch, p.newFile, {}));
  }
}

}  // namespace
