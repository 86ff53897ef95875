// The additive checksum: in memory, fed in pieces, and over streams and files with
// the progress bar's four steps.
#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "format/checksum.h"
#include "files/checksum_file.h"
#include "support/test_support.h"
#include "frontends/scripted/scripted.h"
#include "unit/package_fixture.h"

namespace {

using pkgtest::TBytes;

// The definition, byte by byte: complete little-endian words from the start of
// the range, then each remaining byte.
uint32_t NaiveSum(const uint8_t* p, size_t n) {
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 4 <= n; i += 4)
    sum += uint32_t{p[i]} | uint32_t{p[i + 1]} << 8 | uint32_t{p[i + 2]} << 16 |
           uint32_t{p[i + 3]} << 24;
  for (; i < n; ++i) sum += p[i];
  return sum;
}

TEST(AddSum, Vectors) {
  const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(pkg::AddSum(bytes, 0), 0u);
  EXPECT_EQ(pkg::AddSum(bytes, 4), 0x04030201u);
  EXPECT_EQ(pkg::AddSum(bytes, 5), 0x04030201u + 5);          // one word, one byte
  EXPECT_EQ(pkg::AddSum(bytes + 1, 4), 0x05040302u);          // words count from the range
  EXPECT_EQ(pkg::AddSum(bytes + 5, 4) + pkg::AddSum(bytes + 5, 4), 0xFFFFFFFEu);  // wraps
  EXPECT_EQ(pkg::AddSum(bytes + 4, 3), 0x05u + 0xFF + 0xFF);  // bytes, not a short word
}

TEST(AddSum, AnyChunkingGivesTheDefinition) {
  std::mt19937 rng(20240531);
  for (int round = 0; round < 200; ++round) {
    const size_t n = round < 100 ? static_cast<size_t>(round) : rng() % 5000 + (round % 7) * 1021;
    TBytes data = pkgtest::Payload(n, static_cast<uint32_t>(round));
    const uint32_t expected = NaiveSum(data.data(), n);
    SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(n) + " bytes");
    EXPECT_EQ(pkg::AddSum(data), expected);

    pkg::TChecksum c;
    size_t pos = 0;
    while (pos < n) {
      // Mostly short pieces that cut words, sometimes long ones, sometimes none.
      size_t piece = rng() % 4 == 0 ? rng() % 1500 : rng() % 7;
      if (piece > n - pos) piece = n - pos;
      c.Update(data.data() + pos, piece);
      pos += piece;
    }
    EXPECT_EQ(c.Final(), expected);
  }
}

// Records every progress display, so the four steps can be seen.
class ProgressLog : public ui::ScriptedToolkit {
 public:
  std::vector<std::pair<uint32_t, uint32_t>> shown;
  void SetProgress(uint32_t position, uint32_t max) override { shown.emplace_back(position, max); }
};

class SumFileTest : public ::testing::Test {
 protected:
  std::string Make(const std::string& name, const TBytes& bytes) {
    const std::string path = dir.Dos() + name;
    EXPECT_TRUE(pkgtest::WriteBytes(path, bytes));
    return path;
  }
  zt::TempDir dir;
};

TEST_F(SumFileTest, WholeFilesOfAnyLengthWithFourProgressSteps) {
  // Lengths around the 1,024-byte blocks and across the reader's large buffer.
  for (size_t n : {size_t{0}, size_t{3}, size_t{5}, size_t{1024}, size_t{1027}, size_t{2050},
                   (size_t{1} << 20) + 1031}) {
    SCOPED_TRACE(n);
    TBytes data = pkgtest::Payload(n, static_cast<uint32_t>(n));
    const std::string path = Make("f" + std::to_string(n), data);
    ProgressLog view;
    TProgressBar bar(&view);
    uint32_t sum = 1, size = 1;
    ASSERT_TRUE(pkg::SumFile(path, sum, size, &bar));
    EXPECT_EQ(size, n);
    EXPECT_EQ(sum, NaiveSum(data.data(), n));
    ASSERT_GE(view.shown.size(), 4u);
    const std::vector<std::pair<uint32_t, uint32_t>> steps(view.shown.end() - 4, view.shown.end());
    EXPECT_EQ(steps, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 4}, {1, 4}, {2, 4}, {4, 4}}));
  }
}

TEST_F(SumFileTest, RangesCountWordsFromTheirOwnStart) {
  TBytes data = pkgtest::Payload(3000, 7);
  const std::string path = Make("range", data);
  struct Case { uint32_t start, length; } cases[] = {{0, 3000}, {3, 10}, {1, 1025}, {2999, 1}, {3000, 0}, {5, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.start) + "+" + std::to_string(c.length));
    uint32_t sum = 0;
    ASSERT_TRUE(pkg::SumFileRange(path, c.start, c.length, nullptr, sum));
    EXPECT_EQ(sum, NaiveSum(data.data() + c.start, c.length));
  }
  uint32_t sum = 0;
  EXPECT_FALSE(pkg::SumFileRange(path, 2990, 11, nullptr, sum));   // past the end
  EXPECT_FALSE(pkg::SumFileRange(path, 3001, 0, nullptr, sum));
  EXPECT_FALSE(pkg::SumFileRange(dir.Dos() + "missing", 0, 0, nullptr, sum));
  uint32_t size = 0;
  EXPECT_FALSE(pkg::SumFile(dir.Dos() + "missing", sum, size, nullptr));
}

TEST_F(SumFileTest, StreamLeavesOutTheEnd) {
  TBytes data = pkgtest::Payload(1500, 9);
  const std::string path = Make("stream", data);
  os::File f;
  ASSERT_TRUE(f.Open(path, os::kRead, os::kShareAll, os::Disposition::OpenExisting));
  uint32_t sum = 0;
  ASSERT_TRUE(pkg::SumStream(f, sum, 2, 8, nullptr));
  EXPECT_EQ(sum, NaiveSum(data.data() + 2, 1490));
  EXPECT_FALSE(pkg::SumStream(f, sum, 1000, 501, nullptr));
}

}  // namespace

// The seal check over a byte source: a sealed package, each trailer field broken,
// a source shorter than a trailer, and the progress it reports.
TEST(Seal, ReadSealFindsEachBrokenField) {
  pkg::TBytes sealed = {'M', 'Z', 1, 2, 3, 4, 5, 6, 7};
  ASSERT_TRUE(pkg::SealPackage(sealed));
  struct Case {
    const char* what;
    size_t flip;  // byte to flip, or SIZE_MAX
    bool lengthOk, sumOk;
  };
  const Case cases[] = {
      {"sealed", SIZE_MAX, true, true},
      {"a byte of the package", 3, true, false},
      {"the stored length", sealed.size() - 8, false, false},
      {"the stored checksum", sealed.size() - 4, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    pkg::TBytes b = sealed;
    if (c.flip != SIZE_MAX) b[c.flip] ^= 0x40;
    pkg::TSpanSource src(b);
    pkg::TSeal seal;
    uint64_t lastDone = 0, lastTotal = 0;
    ASSERT_TRUE(pkg::ReadSeal(src, seal, [&](uint64_t done, uint64_t total) {
      lastDone = done;
      lastTotal = total;
    }));
    EXPECT_EQ(seal.LengthOk, c.lengthOk);
    EXPECT_EQ(seal.SumOk, c.sumOk);
    EXPECT_EQ(pkg::IsSealedPackage(b), c.sumOk);
    EXPECT_EQ(lastDone, b.size() - 8);
    EXPECT_EQ(lastTotal, b.size() - 8);
  }
  const pkg::TBytes tiny = {1, 2, 3};
  pkg::TSpanSource src(tiny);
  pkg::TSeal seal;
  EXPECT_TRUE(pkg::ReadSeal(src, seal));
  EXPECT_FALSE(seal.LengthOk || seal.SumOk);
}
