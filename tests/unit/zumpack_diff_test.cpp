// The difference generator: the suffix sorting it stands on, and patches that
// rebuild the new file exactly, with long copies where the files agree.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "pack/bdt_diff.h"
#include "pack/bdt_writer.h"
#include "format/checksum.h"
#include "format/patch.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The suffix array by plain comparison sorting.
std::vector<int32_t> NaiveSuffixArray(const std::vector<uint32_t>& s) {
  std::vector<int32_t> sa(s.size());
  for (size_t i = 0; i < sa.size(); ++i) sa[i] = static_cast<int32_t>(i);
  std::sort(sa.begin(), sa.end(), [&](int32_t a, int32_t b) {
    return std::lexicographical_compare(s.begin() + a, s.end(), s.begin() + b, s.end());
  });
  return sa;
}

// Stride 0: in two stages, whatever the old file's size.
bdt::TDiff Diff(const Bytes& oldFile, const Bytes& newFile, uint32_t stride) {
  bdt::DiffOptions o;
  o.stride = stride;
  if (stride == 0) o.twoStageFrom = 1;
  bdt::TOldIndex index;
  bdt::TDiff d;
  std::string error;
  EXPECT_TRUE(index.Build(oldFile, o, error)) << error;
  EXPECT_EQ(index.Stride(), oldFile.size() < bdt::TBlockTable::kBlock && stride == 0 ? 1 : stride);
  EXPECT_TRUE(index.Diff(newFile, d, error)) << error;
  return d;
}

// Applies the diff as the installer would and returns the result.
Bytes Apply(const Bytes& oldFile, const bdt::TDiff& d) {
  const Bytes patch = bdt::WritePatch(d.OldSize, d.NewSize, d.Records, d.Literals);
  Bytes out;
  const bdt::PatchStatus st = bdt::PatchBytes(oldFile, patch, out);
  EXPECT_EQ(st, bdt::PatchStatus::Ok);
  return out;
}

Bytes Random(std::mt19937& rng, size_t n, int alphabet = 256) {
  Bytes b(n);
  for (uint8_t& x : b) x = static_cast<uint8_t>(rng() % alphabet);
  return b;
}

}  // namespace

TEST(SuffixSort, MatchesComparisonSortingOnRepetitiveAndRandomStrings) {
  const uint32_t seed = std::random_device()();
  std::mt19937 rng(seed);
  // Small alphabets make the long repeats and deep recursion that break sorters.
  for (int round = 0; round < 300; ++round) {
    const size_t n = 1 + rng() % 200;
    const uint32_t alphabet = 1 + rng() % (round % 3 == 0 ? 2 : 300);
    std::vector<uint32_t> s(n + 1);
    for (size_t i = 0; i < n; ++i) s[i] = 1 + rng() % alphabet;
    if (round % 5 == 0)  // a periodic string
      for (size_t i = 3; i < n; ++i) s[i] = s[i % 3];
    s[n] = 0;
    std::vector<int32_t> sa(n + 1);
    bdt::SuffixSort(s.data(), sa.data(), static_cast<int32_t>(n + 1), alphabet);
    ASSERT_EQ(sa, NaiveSuffixArray(s)) << "seed " << seed << ", round " << round;
  }
}

TEST(BdtDiff, RebuildsTheNewFileForEveryKindOfEditAndStride) {
  const uint32_t seed = std::random_device()();
  std::mt19937 rng(seed);
  for (int round = 0; round < 60; ++round) {
    // Text-like data with repeats, edited in place, cut and inserted into.
    const Bytes oldFile = Random(rng, rng() % 6000, 1 + rng() % 20);
    Bytes newFile = oldFile;
    for (int edit = 0; edit < 6 && !newFile.empty(); ++edit) {
      const size_t at = rng() % newFile.size();
      switch (rng() % 4) {
        case 0: newFile[at] ^= 0x55; break;
        case 1: newFile.erase(newFile.begin() + at, newFile.begin() + std::min(newFile.size(), at + rng() % 300)); break;
        case 2: {
          const Bytes ins = Random(rng, rng() % 100);
          newFile.insert(newFile.begin() + at, ins.begin(), ins.end());
          break;
        }
        default: {  // a stretch moved from elsewhere
          const size_t from = rng() % newFile.size(), len = std::min<size_t>(newFile.size() - from, 200);
          const Bytes moved(newFile.begin() + from, newFile.begin() + from + len);
          newFile.insert(newFile.begin() + at, moved.begin(), moved.end());
        }
      }
    }
    for (uint32_t stride : {0u, 1u, 2u, 4u, 8u}) {
      const bdt::TDiff d = Diff(oldFile, newFile, stride);
      ASSERT_EQ(Apply(oldFile, d), newFile) << "seed " << seed << ", round " << round << ", stride " << stride;
    }
  }
}

TEST(BdtDiff, EdgeFiles) {
  std::mt19937 rng(7);
  const Bytes some = Random(rng, 5000);
  struct Case {
    const char* what;
    Bytes oldFile, newFile;
    size_t maxRecords, maxLiterals;
  };
  const Case cases[] = {
      {"identical", some, some, 1, 0},
      {"no old file", {}, some, 0, some.size()},
      {"nothing in common", Random(rng, 3000), some, 1, some.size()},
      {"a one-byte new file", some, Bytes{some[100]}, 0, 1},
      {"the new file is the old one twice", some, [&] {
         Bytes b = some;
         b.insert(b.end(), some.begin(), some.end());
         return b;
       }(), 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (uint32_t stride : {0u, 1u, 4u}) {
      SCOPED_TRACE(stride);
      const bdt::TDiff d = Diff(c.oldFile, c.newFile, stride);
      if (!c.oldFile.empty()) {
        EXPECT_EQ(Apply(c.oldFile, d), c.newFile);
      }
      EXPECT_LE(d.Records.size(), c.maxRecords);
      EXPECT_LE(d.Literals.size(), c.maxLiterals);
      EXPECT_EQ(d.NewSize, c.newFile.size());
    }
  }
}

// Each edit costs a few records and only its own new bytes, whatever the stride
// and in two stages, and a block found at an unsampled offset is copied whole.
// The file is large enough that with stride 1 searches start from the long heads.
TEST(BdtDiff, EditsCostOnlyTheirOwnBytes) {
  std::mt19937 rng(11);
  const Bytes oldFile = Random(rng, bdt::kLongHeadsFrom + 1000);
  Bytes newFile = oldFile;
  const Bytes inserted = Random(rng, 50);
  newFile.insert(newFile.begin() + 150001, inserted.begin(), inserted.end());  // insertion
  newFile.erase(newFile.begin() + 100003, newFile.begin() + 100503);          // deletion
  for (size_t i = 50007; i < 50017; ++i) newFile[i] ^= 0xA5;                  // change in place
  // A block moved to the front from an odd offset.
  newFile.insert(newFile.begin(), oldFile.begin() + 77777, oldFile.begin() + 77777 + 3000);
  for (uint32_t stride : {0u, 1u, 2u, 4u, 8u}) {
    SCOPED_TRACE(stride);
    const bdt::TDiff d = Diff(oldFile, newFile, stride);
    ASSERT_EQ(Apply(oldFile, d), newFile);
    EXPECT_LE(d.Records.size(), 6u);
    EXPECT_LE(d.Literals.size(), 50u + 10u + 2 * stride);
    EXPECT_GE(d.CopiedBytes, newFile.size() - 60 - 2 * stride);
  }
}

// In two stages only the old bytes that no long run of the new file takes are
// suffix-sorted: a few edits in a large file sort little more than what was cut
// out, and a new file with nothing in common sorts the whole old file.
TEST(BdtDiff, TwoStagesSortOnlyWhatNoLongRunTakes) {
  std::mt19937 rng(5);
  const Bytes oldFile = Random(rng, 4u << 20, 64);
  Bytes newFile = oldFile;
  newFile.erase(newFile.begin() + 3'000'000, newFile.begin() + 3'002'000);  // 2000 cut out
  for (size_t at = 100'000; at < 2'900'000; at += 100'000) {
    for (size_t k = 0; k < 8; ++k) newFile[at + k] ^= 0x80;  // changed in place
    const Bytes ins = Random(rng, 40);
    newFile.insert(newFile.begin() + at + 5000, ins.begin(), ins.end());
  }
  const bdt::TDiff d = Diff(oldFile, newFile, 0);
  ASSERT_EQ(Apply(oldFile, d), newFile);
  EXPECT_GE(d.SortedBytes, 2000u - 16);  // less a chance equal byte at its edges
  EXPECT_LE(d.SortedBytes, 2000u + 2 * bdt::TBlockTable::kBlock);
  EXPECT_LE(d.Literals.size(), 28u * (8 + 40) + 64);

  const Bytes unrelated = Random(rng, 100'000, 64);
  const bdt::TDiff u = Diff(oldFile, unrelated, 0);
  ASSERT_EQ(Apply(oldFile, u), unrelated);
  EXPECT_EQ(u.SortedBytes, oldFile.size());
}

// The rolling hash of the block table is the hash of the block it has rolled to.
TEST(BlockTable, RollingHashEqualsTheHashAtEveryOffset) {
  std::mt19937 rng(3);
  const Bytes b = Random(rng, 2000);
  constexpr size_t B = bdt::TBlockTable::kBlock;
  uint64_t h = bdt::TBlockTable::Hash(b.data());
  for (size_t i = 1; i + B <= b.size(); ++i) {
    h = bdt::TBlockTable::Roll(h, b[i - 1], b[i + B - 1]);
    ASSERT_EQ(h, bdt::TBlockTable::Hash(b.data() + i)) << i;
  }
}

// In two stages the tunings are judged on a slice of the new file and the winner
// diffs it whole: the patch kept is one of the whole file.
TEST(BdtDiff, TwoStagePatchPayloadIsOfTheWholeFile) {
  std::mt19937 rng(13);
  const Bytes oldFile = Random(rng, 600'000, 20);
  Bytes newFile = oldFile;
  for (size_t at = 1000; at + 400 < newFile.size(); at += 37'000) {
    const Bytes ins = Random(rng, 30, 20);
    newFile.insert(newFile.begin() + at, ins.begin(), ins.end());
    newFile.erase(newFile.begin() + at + 200, newFile.begin() + at + 260);
  }
  bdt::DiffOptions o;
  o.twoStageFrom = 1;
  bdt::TOldIndex index;
  std::string error;
  ASSERT_TRUE(index.Build(oldFile, o, error)) << error;
  ASSERT_TRUE(index.TwoStage());
  payload::EncodeOptions e;
  e.preset = 1;
  Bytes patch, framed;
  ASSERT_TRUE(bdt::SmallestPatchPayload(std::move(index), newFile, e, patch, framed, error)) << error;
  Bytes rebuilt;
  ASSERT_EQ(bdt::PatchBytes(oldFile, patch, rebuilt), bdt::PatchStatus::Ok);
  EXPECT_EQ(rebuilt, newFile);
  EXPECT_LT(framed.size(), 8000u);  // the edits' bytes and records, not the file
}

TEST(BdtDiff, StrideFollowsTheMemoryBudget) {
  bdt::DiffOptions o;
  o.indexBudget = 12u << 20;
  EXPECT_EQ(bdt::ChooseStride(1u << 20, o), 1u);
  EXPECT_EQ(bdt::ChooseStride(2u << 20, o), 2u);
  EXPECT_EQ(bdt::ChooseStride(4u << 20, o), 4u);
  EXPECT_EQ(bdt::ChooseStride(64u << 20, o), 8u);  // the sparsest there is
  o.stride = 2;
  EXPECT_EQ(bdt::ChooseStride(64u << 20, o), 2u);
}

// A large file is diffed only with the tuning its kind needs; a small or mixed one
// with every tuning, the smallest result kept.
TEST(BdtDiff, TuningsFollowTheKindOfALargeFile) {
  const std::vector<size_t> all = {bdt::kCodeTuning, bdt::kTextTuning};
  std::mt19937 rng(7);
  const size_t large = bdt::kTryAllBelow;
  // Records of text with Cyrillic names (CP1251) and line breaks.
  Bytes text;
  const std::string line = "00012345;\xCF\xE5\xF2\xF0\xEE\xE2 \xC8.;12.03.2024;1520.50\r\n";
  while (text.size() < large) text.insert(text.end(), line.begin(), line.end());
  // Machine code: mostly low bytes and zeros, some ASCII strings in it.
  Bytes code = Random(rng, large, 32);
  for (size_t k = 0; k + 16 < code.size(); k += 64) std::copy_n("kernel32.dll\0\0\0", 16, code.begin() + k);
  Bytes mixed = text;
  std::copy_n(code.begin(), mixed.size() / 4, mixed.begin());
  const struct {
    const char* what;
    Bytes file;
    std::vector<size_t> tunings;
  } cases[] = {
      {"large text", text, {bdt::kTextTuning}},
      {"large code", code, {bdt::kCodeTuning}},
      {"large, one quarter code", mixed, all},
      {"small text", Bytes(text.begin(), text.begin() + large - 1), all},
      {"small code", Bytes(code.begin(), code.begin() + 4096), all},
      {"empty", Bytes(), all},
  };
  for (const auto& c : cases) EXPECT_EQ(bdt::TuningsFor(c.file), c.tunings) << c.what;
}

// The patches the builder makes for the kinds the installer has always known must
// stay the same bytes (`zumpack build --compatible`), down to which of several
// equally long matches a copy takes. A text of few words, so that searches meet
// ties, large enough for the long head table, edited here and there; the sizes and
// sums below are those of the patches the builder has always made of it. A change
// that moves one changes the packages.
TEST(BdtDiff, PatchesStayTheBytesTheyHaveAlwaysBeen) {
  std::mt19937 rng(2024);
  std::vector<Bytes> words(64);
  for (Bytes& w : words) w = Random(rng, 3 + rng() % 38);
  auto text = [&](size_t n) {
    Bytes b;
    while (b.size() < n) {
      const Bytes& w = words[rng() % words.size()];
      b.insert(b.end(), w.begin(), w.end());
    }
    b.resize(n);
    return b;
  };
  const Bytes oldFile = text(bdt::kLongHeadsFrom + (300u << 10));
  Bytes newFile;
  for (size_t at = 0; at < oldFile.size();) {
    const size_t keep = std::min<size_t>(oldFile.size() - at, 2000 + rng() % 20000);
    newFile.insert(newFile.end(), oldFile.begin() + at, oldFile.begin() + at + keep);
    at += keep;
    const Bytes other = text(rng() % 200);
    newFile.insert(newFile.end(), other.begin(), other.end());
    at += rng() % 3 == 0 ? rng() % 300 : 0;  // cut out
  }
  struct Case {
    uint32_t stride;  // 0: two stages
    size_t tuning;
    uint32_t size, sum;
  };
  const Case cases[] = {
      {1, bdt::kCodeTuning, 5254, 0x9E4E30A3}, {1, bdt::kTextTuning, 6037, 0xF2B3DE54},
      {2, bdt::kCodeTuning, 6165, 0xF1246642}, {0, bdt::kCodeTuning, 6505, 0xFFA1E436},
      {0, bdt::kTextTuning, 6574, 0xA5507082},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "stride " << c.stride << ", tuning " << c.tuning);
    bdt::DiffOptions o;
    o.stride = c.stride;
    if (c.stride == 0) o.twoStageFrom = 1;
    bdt::TOldIndex index;
    bdt::TDiff d;
    std::string error;
    ASSERT_TRUE(index.Build(oldFile, o, error)) << error;
    ASSERT_TRUE(index.Diff(newFile, d, error, bdt::kTunings[c.tuning], false)) << error;
    const Bytes patch = bdt::WritePatch(d.OldSize, d.NewSize, d.Records, d.Literals);
    Bytes rebuilt;
    ASSERT_EQ(bdt::PatchBytes(oldFile, patch, rebuilt), bdt::PatchStatus::Ok);
    ASSERT_EQ(rebuilt, newFile);
    EXPECT_EQ(patch.size(), c.size);
    EXPECT_EQ(pkg::AddSum(patch), c.sum);
  }
}
