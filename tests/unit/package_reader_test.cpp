// The self-check stage on packages made by the writer: the protocol of a good
// package, the fields it fills, and a table of damaged packages made from it.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "installer/form1.h"
#include "format/checksum.h"
#include "format/package_format.h"
#include "support/test_support.h"
#include "frontends/scripted/scripted.h"
#include "unit/package_fixture.h"

namespace {

using pkg::TBytes;
using pkgtest::Put16;

const char kOk[] = " ...ОК ";
const char kFailed[] = " ...Были ошибки ";

class ReaderTest : public ::testing::Test {
 protected:

  bool Read(const TBytes& file) {
    EXPECT_TRUE(pkgtest::WriteBytes(path, file));
    form.ExePathOverride = path;
    return form.ReadPackage();
  }

  // The protocol after the line the Windows build writes first about the file's
  // signature (the packages of these tests are not signed).
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines = form.ProtLines();
#ifdef _WIN32
    EXPECT_TRUE(!lines.empty() && lines[0] == " Файл обновления не подписан");
    if (!lines.empty()) lines.erase(lines.begin());
#endif
    return lines;
  }

  ui::ScriptedToolkit tk;
  zt::TempDir dir;
  const std::string path = dir.Dos() + "zumupd.exe";
  TForm1 form{&tk};
};

TEST_F(ReaderTest, GoodPackageProtocolAndFields) {
  const pkgtest::TPackage p = pkgtest::ShippedLikePackage();
  ASSERT_TRUE(Read(p.bytes));

  const std::vector<std::string> expected = {
      " Определение настоящей длины " + path + kOk,
      std::string(" Чтение каталога данных внутри файла обновления") + kOk,
      std::string(" Информация заголовка окна:  Исправление ZUM-5 (3.0.7.X) -> ZUM-5 (3.0.7.1) ") + kOk,
      std::string(" Чтение имен") + kOk,
      "Создание списка обновлений zumupd.exe",
      " 1. SECTION №1 (начало нового блока данных)",
      " 1.1. DBBDIFF, файл base\\std1",
      " 1.2. DBBDIFF, файл base\\std6",
      " 1.3. BINDIFF, файл base\\std3",
      " 1.4. BINDIFF, файл base\\std4",
      " 1.5. ADDREPL, файл cfg\\klsstd.zum",
      " 1.6. ADDREPM, файл EXE\\zum.exe",
      std::string(" 1.7. ADDREPM, файл EXE\\zum.exe") + kOk,
  };
  EXPECT_EQ(Lines(), expected);
  EXPECT_TRUE(tk.boxes.empty());
  EXPECT_EQ(form.Caption(), "Исправление ZUM-5 (3.0.7.X) -> ZUM-5 (3.0.7.1) ");

  EXPECT_EQ(form.PartCount, 8u);
  EXPECT_EQ(form.TmpSpaceNeed, 786618725u);
  EXPECT_EQ(form.GrowSpaceNeed, 65703u);
  EXPECT_EQ(form.VerFrom, "3.0.7");
  EXPECT_EQ(form.VerTo, "3.0.7.1");
  EXPECT_EQ(form.VerFrom3, "3.0.7");
  EXPECT_EQ(form.VerTo3, "3.0.7");
  EXPECT_TRUE(form.IsCorrection);
  EXPECT_EQ(form.BuildStampCount, 4);
  EXPECT_EQ(form.BuildStamps, (std::vector<uint32_t>{0x55685DBC, 1, 0x55685DBD, 2}));

  const auto planned = pkgtest::ShippedEntries();
  ASSERT_EQ(form.PartList.size(), planned.size());
  EXPECT_EQ(form.PartList[0]->Pos, p.real);
  for (size_t i = 0; i < planned.size(); ++i) {
    SCOPED_TRACE(i);
    const pkg::TPartNfo& e = *form.PartList[i];
    EXPECT_EQ(e.Pos, p.entryPos[i]);
    EXPECT_EQ(e.Kind, planned[i].kind);
    EXPECT_EQ(e.Name, planned[i].name);
    EXPECT_EQ(e.NewSize, p.records[i].NewSize);
    EXPECT_EQ(e.DiffSum, planned[i].slots.DiffSum);
    EXPECT_EQ(e.EntryLen, p.records[i].EntryLen);
    // The entry checksum covers the entry's bytes in the file, kind byte first.
    if (e.Kind != pkg::kSection) {
      EXPECT_EQ(e.EntrySum, pkg::AddSum(p.bytes.data() + e.Pos, e.EntryLen));
    }
  }
  // The entry area ends exactly at the first part record.
  EXPECT_EQ(form.PartList.back()->Pos + form.PartList.back()->EntryLen, p.recordsPos);
}

// An update package whose first entries come before any SECTION, with a second data
// block and a kind the installer does not know.
TEST_F(ReaderTest, UpdatePackageWithBlocksAndAnUnknownKind) {
  pkg::PackageWriter::TTail tail = pkgtest::ShippedTail();
  tail.VerTo = "3.1.0";
  tail.BuildStamps.clear();   // K = 0 is a valid list
  tail.Growth.reset();        // the writer sums NewSize - OldSize
  pkg::TPartRecord grows;
  grows.OldSize = 100;
  grows.NewSize = 130;
  const pkgtest::TPackage p = pkgtest::BuildPackage(
      pkgtest::MakePe({0x200}, 1),
      {{pkg::kBinDiff, "a", 10, grows},
       {pkg::kPe1Diff, "EXE\\zum.exe", 0, {}},
       {pkg::kSection, "", 0, {}},
       {200, "strange", 3, {}},
       {pkg::kSection, "", 0, {}},
       {pkg::kCfgDiff, "cfg\\CFG.ZUM", 5, grows}},
      tail);
  ASSERT_TRUE(Read(p.bytes));
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines[2], std::string(" Информация заголовка окна:  Обновление ZUM-5 (3.0.7) -> ZUM-5 (3.1.0) ") + kOk);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 5, lines.end()),
            (std::vector<std::string>{" 0.1. BINDIFF, файл a",
                                      " 0.2. PE1DIFF, файл EXE\\zum.exe",
                                      " 1. SECTION №1 (начало нового блока данных)",
                                      " 1.1. НЕИЗВЕСТНЫЙ ТИП ДАННЫХ!!!",
                                      " 2. SECTION №2 (начало нового блока данных)",
                                      std::string(" 2.1. CFGDIFF, файл cfg\\CFG.ZUM") + kOk}));
  EXPECT_FALSE(form.IsCorrection);
  EXPECT_EQ(form.BuildStampCount, 0);
  EXPECT_EQ(form.GrowSpaceNeed, 60u + 0xFFFF);
  EXPECT_EQ(form.PartList[3]->Kind, 200);
  EXPECT_EQ(form.PartList[3]->Name, "strange");
}

TEST_F(ReaderTest, VersionsWithFewerThanThreeDotsAreComparedWhole) {
  pkg::PackageWriter::TTail tail = pkgtest::ShippedTail();
  tail.VerFrom = tail.VerTo = "3.0";
  ASSERT_TRUE(Read(pkgtest::BuildPackage(pkgtest::MakePe({0x200}, 1), {}, tail).bytes));
  EXPECT_TRUE(form.IsCorrection);
  EXPECT_EQ(form.Caption(), "Исправление ZUM-5 (3.0.X) -> ZUM-5 (3.0) ");
  // No entries: the mark follows the listing's heading.
  EXPECT_EQ(form.ProtLines().back(), std::string("Создание списка обновлений zumupd.exe") + kOk);
}

// How a damaged file ends: message 5001 with nothing else, or a failure mark on
// the line of the step that found the damage.
struct Damage {
  std::string what;
  std::function<TBytes(const pkgtest::TPackage&)> make;
  const char* failedLine;   // nullptr: message 5001; "": any step
};

TBytes Flip(const TBytes& b, size_t at) {
  TBytes out = b;
  out[at] ^= 0x20;
  return out;
}

std::vector<Damage> DamagedPackages() {
  using P = const pkgtest::TPackage&;
  const size_t n = pkgtest::ShippedLikePackage().bytes.size();
  auto reseal = [](auto f) {
    return [f](P p) { return pkgtest::Resealed(p.bytes, [&](TBytes& b) { f(p, b); }); };
  };
  std::vector<Damage> list = {
      {"empty file", [](P) { return TBytes(); }, nullptr},
      {"three bytes", [](P) { return TBytes{'M', 'Z', 0}; }, nullptr},
      {"no trailer", [](P p) { return TBytes(p.bytes.begin(), p.bytes.end() - 8); }, nullptr},
      {"stored length is not the file length",
       [](P p) { TBytes b = p.bytes; le::Set32(b, b.size() - 8, static_cast<uint32_t>(b.size() + 1)); return b; },
       nullptr},
      {"stored checksum altered", [](P p) { return Flip(p.bytes, p.bytes.size() - 3); }, nullptr},
      {"a byte appended", [](P p) { TBytes b = p.bytes; b.push_back(0); return b; }, nullptr},
      {"the stub only", [](P p) { return TBytes(p.bytes.begin(), p.bytes.begin() + p.real); }, nullptr},

      // Sealed again after the damage: the self-check passes, a later step fails.
      {"real length 0 (no MZ)", reseal([](P, TBytes& b) { b[0] = 'X'; }), "Определение"},
      {"real length beyond the file",
       reseal([](P, TBytes& b) { le::Set32(b, pkgtest::SectionHeader(1) + 16, 0x7FFF0000); }), "Определение"},
      {"real length equal to the file length",
       reseal([](P p, TBytes& b) {
         le::Set32(b, pkgtest::SectionHeader(2) + 16, 0x200 + static_cast<uint32_t>(b.size() + 8 - p.real));
       }),
       "Определение"},
      {"e_lfanew outside the file", reseal([](P, TBytes& b) { le::Set32(b, 60, 0xFFFFFF00); }), "Определение"},
      {"section table outside the file",
       reseal([](P, TBytes& b) { Put16(b, pkgtest::kFileHeader + 2, 0xFFFF); }), "Определение"},
      {"more build stamps than the file holds",
       reseal([](P, TBytes& b) { Put16(b, b.size() - 2, 0xFFFF); }), "Чтение каталога"},
      {"VerTo longer than the file holds",
       reseal([](P, TBytes& b) { Put16(b, b.size() - 2 - 16 - 2, 0xFFFF); }), "Чтение каталога"},
      {"VerFrom reaching into the image",
       reseal([](P p, TBytes& b) {
         const size_t l1 = p.headerPos + 12 + 5;   // VerFrom "3.0.7", then its length
         Put16(b, l1, static_cast<uint16_t>(l1 - p.real + 1));
       }),
       "Чтение каталога"},
      {"more entries than the file holds",
       reseal([](P p, TBytes& b) { le::Set32(b, p.headerPos, 0xFFFFFFFF); }), "Чтение имен"},
      {"part records reaching into the image",
       reseal([](P p, TBytes& b) {
         le::Set32(b, p.headerPos, static_cast<uint32_t>((p.headerPos - p.real) / 48 + 1));
       }),
       "Чтение имен"},
      {"one entry more than the entry area holds",
       reseal([](P p, TBytes& b) { le::Set32(b, p.headerPos, 9); }), ""},
      {"a name longer than the file holds",
       reseal([](P p, TBytes& b) { Put16(b, p.entryPos[1] + 1, 0xFFFF); }), "1. SECTION"},
      {"a payload running into the part records",
       reseal([](P p, TBytes& b) { le::Set32(b, ZT_PART_FIELD(p, 7, EntryLen), 0x10000); }), "1.7."},
      {"an entry shorter than its own head",   // the walk would read it twice
       reseal([](P p, TBytes& b) { le::Set32(b, ZT_PART_FIELD(p, 1, EntryLen), 0); }), "1.1."},
      {"entries that end before the part records",
       reseal([](P p, TBytes& b) { le::Set32(b, ZT_PART_FIELD(p, 7, EntryLen), p.records[7].EntryLen - 1); }),
       "1.7."},
      {"a SECTION cut by the part records",
       reseal([](P p, TBytes& b) {
         // Entry 6 made longer so that entry 7 is a SECTION 5 bytes before the records.
         le::Set32(b, ZT_PART_FIELD(p, 6, EntryLen), static_cast<uint32_t>(p.recordsPos - 5 - p.entryPos[6]));
         b[p.recordsPos - 5] = pkg::kSection;
       }),
       "1.6."},
  };
  // A flipped byte anywhere before the trailer.
  const pkgtest::TPackage p = pkgtest::ShippedLikePackage();
  for (size_t at : {size_t{0}, size_t{60}, pkgtest::kSectionTable + 16, size_t{p.real - 1},
                    size_t{p.real}, size_t{p.entryPos[1] + 3}, size_t{p.entryPos[4] + 50},
                    size_t{p.recordsPos}, size_t{p.recordsPos + 100}, size_t{p.headerPos + 4},
                    n - 30, n - 10, n - 9}) {
    list.push_back({"flipped byte at " + std::to_string(at), [at](P q) { return Flip(q.bytes, at); },
                    nullptr});
  }
  return list;
}

TEST_F(ReaderTest, DamagedPackagesFailCleanly) {
  const pkgtest::TPackage good = pkgtest::ShippedLikePackage();
  for (const Damage& d : DamagedPackages()) {
    SCOPED_TRACE(d.what);
    ui::ScriptedToolkit view;
    TForm1 f(&view);
    ASSERT_TRUE(pkgtest::WriteBytes(path, d.make(good)));
    f.ExePathOverride = path;
    EXPECT_FALSE(f.ReadPackage());
    const auto& lines = f.ProtLines();
    ASSERT_FALSE(lines.empty());
    if (!d.failedLine) {
      EXPECT_EQ(lines, std::vector<std::string>{"Ошибка № 5001"});
      ASSERT_EQ(view.boxes.size(), 1u);
      EXPECT_EQ(view.boxes[0].msgId, 5001);
      EXPECT_EQ(view.boxes[0].text, "zumupd.exe \nМодуль обновления поврежден\nОбновление завершает работу");
      EXPECT_EQ(view.boxes[0].style, ui::BoxStyle::Error);
    } else {
      EXPECT_TRUE(view.boxes.empty());
      const std::string& last = lines.back();
      ASSERT_GE(last.size(), sizeof kFailed - 1);
      EXPECT_EQ(last.substr(last.size() - (sizeof kFailed - 1)), kFailed) << last;
      if (*d.failedLine) {
        EXPECT_EQ(last.find(d.failedLine), 1u) << last;
      }
    }
  }
}

// Random bytes of the package changed and the package sealed again: every read
// either succeeds with entries inside the file or fails with the failure mark.
TEST_F(ReaderTest, RandomDamageNeverEscapesTheFile) {
  const pkgtest::TPackage good = pkgtest::ShippedLikePackage();
  for (uint32_t seed = 1; seed <= 150; ++seed) {
    std::mt19937 rng(seed);
    const TBytes bytes = pkgtest::Resealed(good.bytes, [&](TBytes& b) {
      const int flips = 1 + static_cast<int>(rng() % 4);
      for (int i = 0; i < flips; ++i) {
        // Mostly the catalogue and the entry heads, sometimes the PE headers.
        size_t at;
        switch (rng() % 3) {
          case 0: at = good.recordsPos + rng() % (b.size() - good.recordsPos); break;
          case 1: at = good.real + rng() % 40; break;
          default: at = rng() % pkgtest::kHeadersSize; break;
        }
        b[at] = static_cast<uint8_t>(rng());
      }
    });
    ui::ScriptedToolkit view;
    TForm1 f(&view);
    ASSERT_TRUE(pkgtest::WriteBytes(path, bytes)) << "seed " << seed;
    f.ExePathOverride = path;
    const bool ok = f.ReadPackage();
    const std::string& last = f.ProtLines().back();
    if (ok) {
      for (const auto& e : f.PartList) {
        if (e->Kind != pkg::kSection) {
          EXPECT_LE(uint64_t{e->Pos} + e->EntryLen, bytes.size() - 8) << "seed " << seed;
        }
      }
    } else {
      EXPECT_NE(last.find("...Были ошибки "), std::string::npos) << "seed " << seed << ": " << last;
    }
    EXPECT_TRUE(view.boxes.empty()) << "seed " << seed;
  }
}

TEST_F(ReaderTest, MissingFileIsADamagedPackage) {
  form.ExePathOverride = dir.Dos() + "absent.exe";
  EXPECT_FALSE(form.ReadPackage());
  EXPECT_EQ(form.ProtLines(), std::vector<std::string>{"Ошибка № 5001"});
  EXPECT_EQ(tk.BoxIds(), std::vector<int>{5001});
}

}  // namespace
