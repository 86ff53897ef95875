// The configuration stamp: the new version and the product's flags; everything
// else carried through.
#include <gtest/gtest.h>

#include "format/stamp.h"

TEST(StampConfigBuffer, WritesVersionAndFlagsAndKeepsTheRest) {
  std::vector<uint8_t> record(1411);
  for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<uint8_t>(i * 31 + 7);
  const std::string old = "3.0.7.12345";
  std::copy(old.begin(), old.end(), record.begin() + 38);
  record[38 + old.size()] = 0;
  std::vector<uint8_t> before = record;

  ASSERT_TRUE(StampConfigBuffer(record, "3.0.7.1"));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.data()) + 38), "3.0.7.1");
  // The old text's tail stays behind the new zero byte.
  EXPECT_EQ(record[38 + 8], before[38 + 8]);
  const uint32_t flags = record[0] | record[1] << 8 | record[2] << 16 | uint32_t(record[3]) << 24;
  const uint32_t oldFlags = before[0] | before[1] << 8 | before[2] << 16 | uint32_t(before[3]) << 24;
  EXPECT_EQ(flags, oldFlags | 0x0009C600u);
  const uint8_t a[] = {0x1C, 0x42, 0x60, 0x04}, b[] = {0x04, 0x10, 0x40, 0x08}, c[] = {23, 0, 0, 0};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(record[151 + i], a[i]);
    EXPECT_EQ(record[155 + i], b[i]);
    EXPECT_EQ(record[201 + i], c[i]);
  }
  // Every other byte, the edition byte among them, as it was.
  for (size_t i = 0; i < record.size(); ++i) {
    const bool stamped = i < 4 || (i >= 38 && i < 46) || (i >= 151 && i < 159) || (i >= 201 && i < 205);
    if (!stamped) EXPECT_EQ(record[i], before[i]) << i;
  }
}

TEST(StampConfigBuffer, RefusesVersionsThatDoNotFitAndShortRecords) {
  std::vector<uint8_t> record(1411, 0xAA);
  const std::vector<uint8_t> before = record;
  EXPECT_TRUE(VersionFitsConfig(std::string(31, '9')));
  EXPECT_FALSE(VersionFitsConfig(std::string(32, '9')));
  EXPECT_FALSE(StampConfigBuffer(record, std::string(32, '9')));
  EXPECT_EQ(record, before);
  std::vector<uint8_t> shortRecord(1410);
  EXPECT_FALSE(StampConfigBuffer(shortRecord, "3.0.7.1"));
}
