// Payloads made by the project's encoder unpack to the same bytes, with the
// framing the installer's packages carry.
#include <gtest/gtest.h>

#include "files/unpack.h"
#include "format/payload.h"
#include "pack/builder.h"
#include "pack/payload_encode.h"
#include "support/test_support.h"

TEST(PayloadEncode, RoundTripsThroughUnpackPayload) {
  zt::TempDir dir;
  std::vector<uint8_t> data(300000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>((i * 7) ^ (i >> 9));
  for (bool x86 : {false, true}) {
    std::vector<uint8_t> framed;
    std::string error;
    payload::EncodeOptions options;
    options.x86 = x86;
    ASSERT_TRUE(payload::EncodePayload(data, options, framed, error)) << error;
    EXPECT_EQ(framed[0], x86 ? 1 : 0);
    EXPECT_EQ(framed[1], 0x5D);
    EXPECT_EQ(framed[2] | framed[3] << 8 | framed[4] << 16 | framed[5] << 24, 0x00800000);
    // Some bytes before the payload, as in a package.
    std::string file(100, 'S');
    file.append(framed.begin(), framed.end());
    ASSERT_TRUE(zt::WriteAll(dir.Dos() + "pkg", file));
    ASSERT_EQ(UnpackPayload(dir.Dos() + "out", dir.Dos() + "pkg", 100, nullptr),
              data.size());
    std::string out;
    ASSERT_TRUE(zt::ReadAll(dir.Dos() + "out", out));
    EXPECT_EQ(std::string(data.begin(), data.end()), out);
  }
  std::vector<uint8_t> framed;
  std::string error;
  EXPECT_FALSE(payload::EncodePayload({}, {}, framed, error));
}

// The encoder that gives up: at or above the payload's size it makes the payload
// itself; below it, it stops, and the bytes written by then are fewer than the
// payload's but already more than the limit. The whole-file comparison built on
// it answers as the full sizes do, right at the edges.
TEST(PayloadEncode, GivesUpOncePastItsLimit) {
  std::vector<uint8_t> data(1u << 20);
  uint32_t x = 1;
  for (uint8_t& b : data) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 23);  // barely compressible
  }
  payload::EncodeOptions options;
  options.preset = 1;
  std::vector<uint8_t> full, out;
  std::string error;
  ASSERT_TRUE(payload::EncodePayload(data, options, full, error)) << error;
  bool passed = true;
  for (uint64_t limit : {uint64_t{full.size()}, uint64_t{full.size()} + 1}) {
    ASSERT_TRUE(payload::EncodePayloadWithin(data, options, limit, out, passed, error));
    EXPECT_FALSE(passed);
    EXPECT_EQ(out, full);
  }
  ASSERT_TRUE(payload::EncodePayloadWithin(data, options, full.size() - 1, out, passed, error));
  EXPECT_TRUE(passed);
  ASSERT_TRUE(payload::EncodePayloadWithin(data, options, 1000, out, passed, error));
  EXPECT_TRUE(passed);
  EXPECT_GT(out.size(), 1000u);
  EXPECT_LT(out.size(), full.size() / 4);

  for (uint64_t diff : {uint64_t{full.size()} - 1, uint64_t{full.size()}, uint64_t{full.size()} + 1}) {
    SCOPED_TRACE(diff);
    pkg::TWholeComparison c;
    ASSERT_TRUE(pkg::CompareWhole(data, diff, options, c, error)) << error;
    EXPECT_EQ(c.Smaller, full.size() < diff);
    if (c.Smaller) EXPECT_EQ(c.Whole, full);
  }
}
