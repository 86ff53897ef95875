// RekeyBase: converting base files on disk, checked against the conversion of the
// whole file in memory; files larger than the converter's buffer; the files it
// refuses; the progress bar.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "installer/form1.h"
#include "format/protocol_record.h"
#include "format/basefile.h"
#include "platform/os.h"
#include "product/product.h"
#include "support/test_support.h"
#include "frontends/scripted/scripted.h"
#include "base/bytes.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
// A plain base file:
//   0        TotalSize (the file's size, or `totalSize` when given)
//   4        IndexCount = indexCount
//   8        index: (first record's offset, bytes of all records), repeated
//   8+8N     `gap` bytes 0xEE that belong to no record
//   records  head = u32 number, u8 kind 1, u16 DataLen; data = pseudo-random bytes
Bytes PlainBase(const std::vector<uint16_t>& dataLens, uint32_t indexCount = 1, size_t gap = 0,
                int64_t totalSize = -1) {
  const size_t start = 8 + 8 * size_t{indexCount} + gap;
  size_t size = start;
  for (uint16_t len : dataLens) size += 7 + len;
  Bytes b(size, 0xEE);
  le::Set32(b, 0, totalSize >= 0 ? static_cast<uint32_t>(totalSize) : static_cast<uint32_t>(size));
  le::Set32(b, 4, indexCount);
  for (uint32_t i = 0; i < indexCount; ++i) {
    le::Set32(b, 8 + 8 * i, static_cast<uint32_t>(start));
    le::Set32(b, 12 + 8 * i, static_cast<uint32_t>(size - start));
  }
  std::mt19937 rng(static_cast<uint32_t>(size));
  size_t p = start;
  uint32_t number = 1;
  for (uint16_t len : dataLens) {
    le::Set32(b, p, number++);
    b[p + 4] = 1;
    Put16(b, p + 5, len);
    for (size_t i = 0; i < len; ++i) b[p + 7 + i] = static_cast<uint8_t>(rng());
    p += 7 + len;
  }
  return b;
}

Bytes Rekeyed(Bytes file, uint32_t newKey, uint32_t oldKey) {
  EXPECT_EQ(RekeyBaseBytes(file, newKey, oldKey, product::kBaseM1, product::kBaseM2),
            BaseStatus::Ok);
  return file;
}

class RekeyTest : public ::testing::Test {
 protected:

  void Write(const std::string& name, const Bytes& b) {
    ASSERT_TRUE(zt::WriteAll(D + name, std::string(b.begin(), b.end())));
  }
  Bytes Read(const std::string& name) {
    std::string s;
    EXPECT_TRUE(zt::ReadAll(D + name, s)) << name;
    return Bytes(s.begin(), s.end());
  }

  ui::ScriptedToolkit tk;
  TForm1 form{&tk};
  zt::TempDir dir;
  std::string D = dir.Dos();
};

}  // namespace

TEST_F(RekeyTest, ConvertsAsTheWholeFileConversionDoes) {
  std::vector<uint16_t> small, large, heads;
  std::mt19937 rng(5);
  for (int i = 0; i < 3000; ++i) small.push_back(static_cast<uint16_t>(rng() % 700));
  // Bigger than the buffer, whatever boundary it has: records of the largest size,
  // which a boundary cuts inside their data, and records that are only a head,
  // which a boundary cuts inside a head.
  for (int i = 0; i < 160; ++i) large.push_back(i % 2 ? 20000 : static_cast<uint16_t>(rng() % 20000));
  heads.assign(500000, 0);

  struct File {
    const char* name;
    Bytes plain;
  };
  const File files[] = {
      {"small records", PlainBase(small, 3)},
      {"3 MB of records up to 20,000 bytes", PlainBase(large, 40)},
      {"3.5 MB of bare heads", PlainBase(heads, 2)},
      {"no index: records follow the header", PlainBase({5, 9, 300}, 0)},
      {"bytes between the index and the first record", PlainBase({5, 9, 300}, 2, 1500000)},
      {"header and index only", PlainBase({}, 2)},
      {"the largest index", PlainBase({1, 2, 3}, kBaseMaxIndexCount)},
  };
  const uint32_t k1 = product::kBaseKeys[0], k6 = product::kBaseKeys[5];
  struct Conversion {
    uint32_t newKey, oldKey;
  } conversions[] = {{k1, 0}, {0, k1}, {k6, k1}, {0, 0}, {9, 0x80000000u}};
  for (const File& f : files) {
    for (const Conversion& c : conversions) {
      SCOPED_TRACE(testing::Message() << f.name << ", key " << c.oldKey << " to " << c.newKey);
      const Bytes source = Rekeyed(f.plain, c.oldKey, 0);
      Write("src", source);
      const size_t lines = form.ProtLines().size();
      ASSERT_TRUE(form.RekeyBase(D + "src", D + "dst", c.newKey, c.oldKey));
      const Bytes result = Read("dst");
      ASSERT_EQ(result.size(), source.size());
      EXPECT_TRUE(result == Rekeyed(source, c.newKey, c.oldKey));
      EXPECT_EQ(form.ProtLines().size(), lines);
    }
  }
}

TEST_F(RekeyTest, RefusesWhatItCannotConvert) {
  const uint32_t key = product::kBaseKeys[3];
  struct Case {
    const char* name;
    Bytes plain;
    std::string line;  // the kind 26 line's text, "" for none
  };
  std::vector<Case> cases;
  {
    Bytes f = PlainBase({3}, 2499);
    le::Set32(f, 4, 2500);
    cases.push_back({"2,500 index entries", f, "индекс длиннее 2499 записей"});
  }
  {
    Bytes f = PlainBase({5, 20000});
    Put16(f, 16 + 12 + 5, 20001);
    f.push_back(0);
    cases.push_back({"DataLen 20,001", f, "запись длиннее 20000 байт"});
  }
  {
    Bytes f = PlainBase({3}, 2);
    le::Set32(f, 8, 12);
    cases.push_back({"records start inside the index", f, "записи начинаются внутри индекса"});
  }
  {
    Bytes f = PlainBase({3});
    le::Set32(f, 8, static_cast<uint32_t>(f.size() + 1));
    cases.push_back({"records start past the end", f, "записи начинаются за концом файла"});
  }
  cases.push_back({"7 bytes", Bytes(7, 0), ""});
  {
    Bytes f = PlainBase({3});
    le::Set32(f, 4, 4);  // 32 index bytes claimed, 26 bytes follow the header
    cases.push_back({"index beyond the end", f, ""});
  }
  {
    Bytes f = PlainBase({5, 9});
    f.pop_back();
    cases.push_back({"ends inside a record's data", f, ""});
  }
  {
    Bytes f = PlainBase({5, 9});
    f.insert(f.end(), {1, 2, 3});
    cases.push_back({"ends inside a record head", f, ""});
  }

  {
    // The limits hold for the plain values: here a scrambled header claims 2,500.
    Bytes f = PlainBase({3}, 2499);
    le::Set32(f, 4, 2500);
    XorBaseStretch({f.data(), 8}, BaseHeaderValue(key, product::kBaseM1));
    cases.push_back({"2,500 index entries, scrambled", f, "индекс длиннее 2499 записей"});
  }

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool scrambled = std::string(c.name).find("scrambled") != std::string::npos;
    Write("src", c.plain);
    const size_t lines = form.ProtLines().size();
    EXPECT_FALSE(form.RekeyBase(D + "src", D + "dst", scrambled ? 0 : key, scrambled ? key : 0));
    if (c.line.empty()) {
      EXPECT_EQ(form.ProtLines().size(), lines);
    } else {
      ASSERT_EQ(form.ProtLines().size(), lines + 1);
      EXPECT_EQ(form.ProtLines().back(),
                prot::MakeLine(prot::kProtEmergency, "Базовый файл " + D + "src не поддерживается: " + c.line));
    }
  }

  // A source that cannot be opened is an error with its reason.
  const size_t lines = form.ProtLines().size();
  EXPECT_FALSE(form.RekeyBase(D + "missing", D + "dst", 0, key));
  ASSERT_EQ(form.ProtLines().size(), lines + 1);
  EXPECT_EQ(form.ProtLines().back().rfind(prot::MakeLine(prot::kProtEmergency, "Невозможно открыть файл: "), 0), 0u)
      << form.ProtLines().back();
}

TEST_F(RekeyTest, ReplacesTheDestinationAndLeavesTheSourceAlone) {
  const Bytes plain = PlainBase({40, 50});
  Write("src", plain);
  Write("dst", Bytes(100000, 'x'));
  ASSERT_TRUE(form.RekeyBase(D + "src", D + "dst", 0, 0));
  EXPECT_TRUE(Read("dst") == plain);
  EXPECT_TRUE(Read("src") == plain);
}

TEST_F(RekeyTest, ProgressBarStepsAtMostAHundredTimes) {
  struct Recorder : ui::ScriptedToolkit {
    std::vector<uint32_t> positions;
    void SetProgress(uint32_t position, uint32_t max) override {
      ScriptedToolkit::SetProgress(position, max);
      positions.push_back(position);
    }
  } t;
  TForm1 f(&t);
  struct Case {
    const char* name;
    Bytes plain;
    uint32_t last;  // the bar's position at the end
  } cases[] = {
      // TotalSize / 100 = 0: a step per record until the bar is full.
      {"TotalSize below 100, 30 records", PlainBase(std::vector<uint16_t>(30, 2), 1, 0, 99), 30},
      {"TotalSize below 100, 250 records", PlainBase(std::vector<uint16_t>(250, 2), 1, 0, 99), 100},
      // 1,000 records of 107 bytes against steps of a hundredth of the file.
      {"1,000 records", PlainBase(std::vector<uint16_t>(1000, 100)), 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Write("src", c.plain);
    t.positions.clear();
    ASSERT_TRUE(f.RekeyBase(D + "src", D + "dst", 0, 0));
    EXPECT_EQ(f.PrBar.Max(), 100u);
    ASSERT_FALSE(t.positions.empty());
    EXPECT_EQ(t.positions.back(), c.last);
    for (size_t i = 1; i < t.positions.size(); ++i) EXPECT_LE(t.positions[i - 1], t.positions[i]);
  }
}
