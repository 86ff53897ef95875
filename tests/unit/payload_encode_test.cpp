// Payloads made by the project's encoder unpack to the same bytes, with the
// framing the installer's packages carry.
#include <gtest/gtest.h>

#include "files/unpack.h"
#include "format/payload.h"
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
