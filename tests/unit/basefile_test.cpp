// Scrambled base files: the stretch values, the byte order of the stream, the
// conversion in both directions, the limits and the key of a file.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "format/basefile.h"
#include "product/product.h"
#include "base/bytes.h"

namespace {

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
// A plain base file:
//   0   TotalSize
//   4   IndexCount = indexCount
//   8   index: every entry (first record's offset, bytes of all records)
//   8+8N  records: head = u32 number, u8 kind 1, u16 DataLen; data = bytes 'a'+i
std::vector<uint8_t> PlainBase(const std::vector<uint16_t>& dataLens, uint32_t indexCount = 1) {
  const size_t start = 8 + 8 * size_t{indexCount};
  size_t size = start;
  for (uint16_t len : dataLens) size += 7 + len;
  std::vector<uint8_t> b(size, 0);
  le::Set32(b, 0, static_cast<uint32_t>(size));
  le::Set32(b, 4, indexCount);
  for (uint32_t i = 0; i < indexCount; ++i) {
    le::Set32(b, 8 + 8 * i, static_cast<uint32_t>(start));
    le::Set32(b, 12 + 8 * i, static_cast<uint32_t>(size - start));
  }
  size_t p = start;
  uint32_t number = 1;
  for (uint16_t len : dataLens) {
    le::Set32(b, p, number++);
    b[p + 4] = 1;
    Put16(b, p + 5, len);
    for (size_t i = 0; i < len; ++i) b[p + 7 + i] = static_cast<uint8_t>('a' + i % 26);
    p += 7 + len;
  }
  return b;
}

constexpr uint32_t kM1 = 0x41C64E6D;
constexpr uint32_t kM2 = 0x000343FD;

}  // namespace

TEST(BaseScramble, StretchValuesAndTheirByteOrder) {
  // k mod 32 = 0: a record's value is its offset. The second record's head is at
  // 16 + 7 + 300 = 323 = 0x0143, so its value has a high byte.
  const uint32_t k = 0x00010020;
  const std::vector<uint8_t> plain = PlainBase({300, 4});
  std::vector<uint8_t> s = plain;
  ASSERT_EQ(ScrambleBase(s, k, kM1, kM2), BaseStatus::Ok);

  const uint16_t hv = static_cast<uint16_t>((uint64_t{k} * (kM1 + 1ull)) & 0xFFFF);
  const uint16_t iv = static_cast<uint16_t>((uint64_t{k} * (kM2 + 1ull)) & 0xFFFF);
  EXPECT_EQ(BaseHeaderValue(k, kM1), hv);
  EXPECT_EQ(BaseIndexValue(k, kM2), iv);
  EXPECT_EQ(s[0], plain[0] ^ (hv & 0xFF));
  EXPECT_EQ(s[1], plain[1] ^ (hv >> 8));
  EXPECT_EQ(s[7], plain[7] ^ (hv >> 8));
  EXPECT_EQ(s[8], plain[8] ^ (iv & 0xFF));   // index starts over at count 0
  EXPECT_EQ(s[15], plain[15] ^ (iv >> 8));

  const size_t p = 323;
  EXPECT_EQ(s[p + 0], plain[p + 0] ^ 0x43);
  EXPECT_EQ(s[p + 1], plain[p + 1] ^ 0x01);
  EXPECT_EQ(s[p + 6], plain[p + 6] ^ 0x43);
  // The data is a stretch of its own: it starts with the low byte again.
  EXPECT_EQ(s[p + 7], plain[p + 7] ^ 0x43);
  EXPECT_EQ(s[p + 8], plain[p + 8] ^ 0x01);
  EXPECT_EQ(s[p + 10], plain[p + 10] ^ 0x01);

  // The first record, at 16, gets 0x0010.
  EXPECT_EQ(s[16], plain[16] ^ 0x10);
  EXPECT_EQ(s[17], plain[17]);
}

TEST(BaseScramble, RecordValueShiftsTheOffsetAsASignedNumber) {
  EXPECT_EQ(BaseRecordValue(0x80000000u, 20), 0xF800);   // arithmetic, not logical
  EXPECT_EQ(BaseRecordValue(0x80000000u, 52), 0xF800);   // key mod 32
  EXPECT_EQ(BaseRecordValue(0x00012345u, 4), 0x1234);
  EXPECT_EQ(BaseRecordValue(0x00012345u, 0), 0x2345);
}

TEST(BaseScramble, ConvertsBothWaysAndBetweenKeys) {
  std::vector<uint16_t> lens;
  for (int i = 0; i < 60; ++i) lens.push_back(static_cast<uint16_t>((i * 97) % 700));
  const std::vector<uint8_t> plain = PlainBase(lens, 3);

  std::vector<uint8_t> same = plain;
  EXPECT_EQ(RekeyBaseBytes(same, 0, 0, kM1, kM2), BaseStatus::Ok);
  EXPECT_EQ(same, plain);

  std::vector<uint32_t> keys(std::begin(product::kBaseKeys), std::end(product::kBaseKeys));
  keys.insert(keys.end(), {1u, 31u, 0x80000000u, 0xFFFFFFFFu});
  for (uint32_t k : keys) {
    SCOPED_TRACE(k);
    std::vector<uint8_t> s = plain;
    ASSERT_EQ(ScrambleBase(s, k, product::kBaseM1, product::kBaseM2), BaseStatus::Ok);
    EXPECT_NE(s, plain);
    std::vector<uint8_t> back = s;
    ASSERT_EQ(UnscrambleBase(back, k, product::kBaseM1, product::kBaseM2), BaseStatus::Ok);
    EXPECT_EQ(back, plain);

    // From key k straight to key 9 is the same as plain scrambled with 9.
    std::vector<uint8_t> direct = s, expected = plain;
    ASSERT_EQ(RekeyBaseBytes(direct, 9, k, product::kBaseM1, product::kBaseM2), BaseStatus::Ok);
    ASSERT_EQ(ScrambleBase(expected, 9, product::kBaseM1, product::kBaseM2), BaseStatus::Ok);
    EXPECT_EQ(direct, expected);
  }
}

TEST(BaseScramble, BytesBetweenIndexAndRecordsStayAsTheyAre) {
  std::vector<uint8_t> plain = PlainBase({10, 20});
  // Move the records 5 bytes on, leaving a gap after the index.
  plain.insert(plain.begin() + 16, {0xA1, 0xA2, 0xA3, 0xA4, 0xA5});
  le::Set32(plain, 8, 21);
  std::vector<uint8_t> s = plain;
  ASSERT_EQ(ScrambleBase(s, 0x1234, kM1, kM2), BaseStatus::Ok);
  EXPECT_EQ(std::vector<uint8_t>(s.begin() + 16, s.begin() + 21),
            std::vector<uint8_t>(plain.begin() + 16, plain.begin() + 21));
  ASSERT_EQ(UnscrambleBase(s, 0x1234, kM1, kM2), BaseStatus::Ok);
  EXPECT_EQ(s, plain);
}

TEST(BaseScramble, RefusesWhatItCannotConvertAndLeavesTheBytesAlone) {
  struct Case {
    const char* name;
    std::vector<uint8_t> file;
    BaseStatus expected;
  };
  std::vector<Case> cases;
  auto add = [&](const char* name, std::vector<uint8_t> f, BaseStatus st) {
    cases.push_back({name, std::move(f), st});
  };

  add("ends exactly after a record", PlainBase({5, 0, 9}), BaseStatus::Ok);
  add("no index: records follow the header", PlainBase({5, 9}, 0), BaseStatus::Ok);
  add("header and index only", PlainBase({}, 2), BaseStatus::Ok);
  add("7 bytes", std::vector<uint8_t>(7, 0), BaseStatus::ShortHeader);
  add("2,499 index entries", PlainBase({3}, 2499), BaseStatus::Ok);
  {
    std::vector<uint8_t> f = PlainBase({3}, 2499);
    le::Set32(f, 4, 2500);
    add("2,500 index entries", f, BaseStatus::IndexTooLarge);
  }
  {
    std::vector<uint8_t> f = PlainBase({3});
    le::Set32(f, 4, 4);  // 32 index bytes claimed, 26 bytes remain
    add("index beyond the end", f, BaseStatus::ShortIndex);
  }
  {
    std::vector<uint8_t> f = PlainBase({3}, 2);
    le::Set32(f, 8, 12);  // inside the index
    add("records start inside the index", f, BaseStatus::BadRecordsStart);
  }
  {
    std::vector<uint8_t> f = PlainBase({3});
    le::Set32(f, 8, static_cast<uint32_t>(f.size() + 1));
    add("records start past the end", f, BaseStatus::BadRecordsStart);
  }
  add("DataLen 20,000", PlainBase({20000}), BaseStatus::Ok);
  {
    std::vector<uint8_t> f = PlainBase({5, 20000});
    Put16(f, 16 + 12 + 5, 20001);
    f.push_back(0);
    add("DataLen 20,001", f, BaseStatus::RecordTooLarge);
  }
  {
    std::vector<uint8_t> f = PlainBase({5, 9});
    f.pop_back();
    add("ends inside the last record's data", f, BaseStatus::ShortRecord);
  }
  {
    std::vector<uint8_t> f = PlainBase({5, 9});
    f.insert(f.end(), {1, 2, 3});
    add("ends inside a record head", f, BaseStatus::ShortRecord);
  }

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> f = c.file;
    EXPECT_EQ(ScrambleBase(f, 0x2545F491, kM1, kM2), c.expected) << BaseStatusText(c.expected);
    if (c.expected != BaseStatus::Ok) {
      EXPECT_EQ(f, c.file);
    }
  }
}

TEST(BaseScramble, LimitsApplyToThePlainValuesOfAScrambledFile) {
  const uint32_t k = 0x7F4A7C09;
  // A scrambled file whose plain header claims 2,500 entries.
  std::vector<uint8_t> f = PlainBase({3}, 2499);
  le::Set32(f, 4, 2500);
  XorBaseStretch(std::span<uint8_t>(f).subspan(0, 8), BaseHeaderValue(k, kM1));
  const std::vector<uint8_t> before = f;
  EXPECT_EQ(UnscrambleBase(f, k, kM1, kM2), BaseStatus::IndexTooLarge);
  EXPECT_EQ(f, before);

  // A scrambled file whose last record is cut: nothing of the earlier ones changes.
  std::vector<uint8_t> g = PlainBase({40, 40, 40});
  ASSERT_EQ(ScrambleBase(g, k, kM1, kM2), BaseStatus::Ok);
  g.pop_back();
  const std::vector<uint8_t> cut = g;
  EXPECT_EQ(UnscrambleBase(g, k, kM1, kM2), BaseStatus::ShortRecord);
  EXPECT_EQ(g, cut);
}

TEST(BaseKeyFor, LastCharacterOfThePathDecides) {
  for (int digit = 1; digit <= 6; ++digit)
    EXPECT_EQ(BaseKeyFor("Base\\std" + std::to_string(digit)), product::kBaseKeys[digit - 1]);
  EXPECT_EQ(BaseKeyFor("base\\std0"), 0);
  EXPECT_EQ(BaseKeyFor("base\\std7"), 7);
  EXPECT_EQ(BaseKeyFor("base\\std9"), 9);
  EXPECT_EQ(BaseKeyFor("base\\stdx"), -1);
  EXPECT_EQ(BaseKeyFor("base\\std1.bak"), -1);
  EXPECT_EQ(BaseKeyFor(""), -1);
}
