// Little-endian numbers: known answers, and each writer read back by its reader.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "base/bytes.h"

namespace {

TEST(Bytes, KnownAnswers) {
  const uint8_t raw[8] = {0x01, 0x02, 0x03, 0x04, 0xF5, 0xE6, 0xD7, 0x88};
  EXPECT_EQ(le::Get16(raw), 0x0201u);
  EXPECT_EQ(le::Get16(raw + 6), 0x88D7u);
  EXPECT_EQ(le::Get32(raw), 0x04030201u);
  EXPECT_EQ(le::Get32(raw + 4), 0x88D7E6F5u);  // the top bit set: no sign spreads
  EXPECT_EQ(le::Get64(raw), 0x88D7E6F504030201ull);
  const std::vector<uint8_t> v(raw, raw + 8);
  EXPECT_EQ(le::Get32(v, 3), 0xD7E6F504u);
}

TEST(Bytes, WritersAgreeWithReaders) {
  std::vector<uint8_t> out;
  le::Append8(out, 0xAB);
  le::Append16(out, 0xC0DE);
  le::Append32(out, 0xDEADBEEF);
  EXPECT_EQ(out, (std::vector<uint8_t>{0xAB, 0xDE, 0xC0, 0xEF, 0xBE, 0xAD, 0xDE}));

  std::vector<uint8_t> b(10, 0x55);
  le::Set32(b, 3, 0x11223344);
  le::Set16(b.data() + 8, 0x6677);
  EXPECT_EQ(b, (std::vector<uint8_t>{0x55, 0x55, 0x55, 0x44, 0x33, 0x22, 0x11, 0x55, 0x77, 0x66}));
  EXPECT_EQ(le::Get32(b, 3), 0x11223344u);
  EXPECT_EQ(le::Get16(b.data() + 8), 0x6677u);
}

}  // namespace

namespace {

// The reader: each read takes all it asks for or fails where it stands, also when
// the length would wrap around.
TEST(ByteReader, ReadsOrFailsInPlace) {
  const std::vector<uint8_t> b = {1, 2, 3, 4, 5, 6, 7};
  le::TByteReader r(b, 1);
  uint32_t v32 = 0;
  uint16_t v16 = 0;
  ASSERT_TRUE(r.U32(v32));
  EXPECT_EQ(v32, 0x05040302u);
  EXPECT_FALSE(r.U32(v32));  // two bytes left
  EXPECT_EQ(r.Pos(), 5u);
  ASSERT_TRUE(r.U16(v16));
  EXPECT_EQ(v16, 0x0706u);
  EXPECT_EQ(r.Remaining(), 0u);
  uint8_t v8 = 0;
  EXPECT_FALSE(r.U8(v8));
  EXPECT_FALSE(r.Skip(SIZE_MAX));
  EXPECT_FALSE(r.Seek(8));
  ASSERT_TRUE(r.Seek(0));
  std::string text;
  ASSERT_TRUE(r.Text(3, text));
  EXPECT_EQ(text, std::string("\x01\x02\x03"));
  le::TByteReader past(b, 100);  // a start beyond the end stands at the end
  EXPECT_EQ(past.Pos(), b.size());
  EXPECT_FALSE(past.U8(v8));
}

}  // namespace
