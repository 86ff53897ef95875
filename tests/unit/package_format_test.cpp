// The package layout as bytes: records, tail, entry heads, listing texts, titles,
// the trailer, and the writer that puts them together.
#include <gtest/gtest.h>

#include "format/checksum.h"
#include "format/image.h"
#include "format/package_format.h"
#include "pack/package_writer.h"
#include "unit/package_fixture.h"
#include "base/bytes.h"

namespace {

using pkg::TBytes;

TEST(CutVersion3, KeepsThreeComponents) {
  const std::pair<const char*, const char*> cases[] = {
      {"3.0.7.1", "3.0.7"}, {"3.0.7", "3.0.7"},   {"3.0", "3.0"},
      {"", ""},             {"3.0.7.", "3.0.7"},  {"10.20.30.40.50", "10.20.30"},
      {"...", ".."},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(pkg::CutVersion3(in), out) << in;
}

TEST(ByteReader, EveryReadIsAllOrNothing) {
  const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05};
  pkg::TByteReader in(bytes);
  uint32_t v32 = 0;
  uint16_t v16 = 0;
  ASSERT_TRUE(in.U32(v32));
  EXPECT_EQ(v32, 0x04030201u);
  EXPECT_FALSE(in.U16(v16));   // one byte left
  EXPECT_EQ(in.Pos(), 4u);
  std::string text;
  EXPECT_FALSE(in.Text(2, text));
  EXPECT_FALSE(in.Skip(2));
  EXPECT_FALSE(in.Text(SIZE_MAX, text));  // a length that would wrap a sum
  EXPECT_EQ(in.Pos(), 4u);
  uint8_t v8 = 0;
  EXPECT_TRUE(in.U8(v8));
  EXPECT_EQ(v8, 5);
  EXPECT_FALSE(in.U8(v8));
  EXPECT_FALSE(in.Seek(6));
}

TEST(PartRecord, TwelveLittleEndianSlotsInOrder) {
  pkg::TPartRecord r;
  r.OldSize = 1; r.OldSum = 2; r.PrepSize = 3; r.PrepSum = 4; r.DiffSize = 5; r.DiffSum = 6;
  r.MidSize = 7; r.MidSum = 8; r.NewSize = 9; r.NewSum = 10; r.EntryLen = 11;
  r.EntrySum = 0xA1B2C3D4;
  TBytes out;
  pkg::AppendPartRecord(out, r);
  ASSERT_EQ(out.size(), pkg::kPartRecordSize);
  for (uint32_t slot = 0; slot < 11; ++slot) EXPECT_EQ(le::Get32(out, 4 * slot), slot + 1);
  EXPECT_EQ(out[44], 0xD4);
  EXPECT_EQ(out[47], 0xA1);

  pkg::TByteReader in(out);
  pkg::TPartRecord back;
  ASSERT_TRUE(pkg::ReadPartRecord(in, back));
  EXPECT_EQ(back.PrepSum, 4u);
  EXPECT_EQ(back.MidSum, 8u);
  EXPECT_EQ(back.EntrySum, 0xA1B2C3D4u);
  EXPECT_FALSE(pkg::ReadPartRecord(in, back));
}

// A tail written by hand, field by field, read back from its end.
TEST(Tail, ReadBackwardsFromTheTrailer) {
  TBytes b(16, 0xEE);                       // [0, 16): stands for the image and entries
  const uint64_t begin = 16;
  le::Append32(b, 2);                        // catalogue header: PartCount
  le::Append32(b, 1000);                     //   TmpSpaceNeed
  le::Append32(b, 0xFFFFFFF0);               //   growth (the installation shrinks)
  pkg::PutText(b, "3.0.7");                 // VerFrom
  le::Append16(b, 5);                        //   its length
  pkg::PutText(b, "3.1.0");                 // VerTo
  le::Append16(b, 5);                        //   its length
  le::Append32(b, 0x55685DBC);               // build stamps
  le::Append32(b, 1);
  le::Append16(b, 2);                        //   K
  const uint64_t end = b.size();            // the trailer would start here

  pkg::TSpanSource src(b);
  std::vector<uint32_t> stamps;
  std::string verTo, verFrom;
  uint64_t verFromPos = 0, headerPos = 0, recordsPos = 0;
  ASSERT_TRUE(pkg::ReadStampsAndVersions(src, begin, end, stamps, verTo, verFrom, verFromPos));
  EXPECT_EQ(stamps, (std::vector<uint32_t>{0x55685DBC, 1}));
  EXPECT_EQ(verTo, "3.1.0");
  EXPECT_EQ(verFrom, "3.0.7");
  EXPECT_EQ(verFromPos, begin + 12);
  pkg::TCatalogueHeader h;
  ASSERT_TRUE(pkg::ReadCatalogueHeaderBefore(src, begin, verFromPos, h, headerPos));
  EXPECT_EQ(headerPos, begin);
  EXPECT_EQ(h.PartCount, 2u);
  EXPECT_EQ(h.TmpSpaceNeed, 1000u);
  EXPECT_EQ(h.Growth + pkg::kGrowthReserve, 0xFFEFu);

  // Two records would need 96 bytes in front of the header; only 16 are there.
  EXPECT_FALSE(pkg::PartRecordsPos(0, headerPos, 2, recordsPos));
  EXPECT_TRUE(pkg::PartRecordsPos(0, headerPos + 80, 2, recordsPos));
  EXPECT_EQ(recordsPos, headerPos - 16);
  EXPECT_FALSE(pkg::PartRecordsPos(0, headerPos, 0xFFFFFFFF, recordsPos));

  // Nothing is read below `begin`: with the image ending where VerFrom starts
  // the header is not there; with it ending inside VerFrom, VerFrom is not.
  EXPECT_FALSE(pkg::ReadCatalogueHeaderBefore(src, verFromPos, verFromPos, h, headerPos));
  verFrom.clear();
  EXPECT_FALSE(pkg::ReadStampsAndVersions(src, verFromPos + 1, end, stamps, verTo, verFrom,
                                          verFromPos));
  EXPECT_EQ(verTo, "3.1.0");   // what was read before the failure is kept
  EXPECT_EQ(verFrom, "");
}

TEST(Tail, CountsThatReachOutsideFail) {
  TBytes b;
  le::Append16(b, 0);       // VerFrom "" and its length
  le::Append16(b, 0);       // VerTo ""
  le::Append16(b, 0);       // K = 0: a valid empty list
  pkg::TSpanSource src(b);
  std::vector<uint32_t> stamps{7};
  std::string verTo = "x", verFrom = "y";
  uint64_t pos = 0;
  ASSERT_TRUE(pkg::ReadStampsAndVersions(src, 0, b.size(), stamps, verTo, verFrom, pos));
  EXPECT_TRUE(stamps.empty());
  EXPECT_EQ(verTo + verFrom, "");
  EXPECT_EQ(pos, 0u);

  for (size_t field : {size_t{0}, size_t{2}, size_t{4}}) {  // each length set to 0xFFFF
    TBytes bad = b;
    bad[field] = bad[field + 1] = 0xFF;
    pkg::TSpanSource badSrc(bad);
    EXPECT_FALSE(pkg::ReadStampsAndVersions(badSrc, 0, bad.size(), stamps, verTo, verFrom, pos))
        << field;
  }
  EXPECT_FALSE(pkg::ReadStampsAndVersions(src, 0, 1, stamps, verTo, verFrom, pos));
  EXPECT_FALSE(pkg::ReadStampsAndVersions(src, 4, 2, stamps, verTo, verFrom, pos));
}

TEST(EntryHead, SectionsFilesAndBounds) {
  TBytes b;
  le::Append8(b, pkg::kSection);           // SECTION
  b.insert(b.end(), 8, 0);                //   reserved
  le::Append8(b, pkg::kAddRepl);           // ADDREPL
  le::Append16(b, 3);                      //   NameLen
  pkg::PutText(b, "a\\b");                //   Name
  le::Append32(b, 0xCAFEF00D);             //   entry tag
  le::Append8(b, 0x42);                    //   payload
  pkg::TSpanSource src(b);
  pkg::TEntryHead h;
  ASSERT_TRUE(pkg::ReadEntryHead(src, 0, b.size(), h));
  EXPECT_EQ(h.Kind, pkg::kSection);
  EXPECT_EQ(h.Size, 9u);
  ASSERT_TRUE(pkg::ReadEntryHead(src, 9, b.size(), h));
  EXPECT_EQ(h.Kind, pkg::kAddRepl);
  EXPECT_EQ(h.Name, "a\\b");
  EXPECT_EQ(h.Tag, 0xCAFEF00Du);
  EXPECT_EQ(h.Size, 10u);

  EXPECT_FALSE(pkg::ReadEntryHead(src, 0, 8, h));          // SECTION cut short
  EXPECT_FALSE(pkg::ReadEntryHead(src, 9, 9 + 9, h));      // tag cut short
  EXPECT_EQ(h.Kind, pkg::kAddRepl);                        // the kind was read
  EXPECT_FALSE(pkg::ReadEntryHead(src, b.size(), b.size(), h));
  b[10] = b[11] = 0xFF;                                    // a name longer than the file
  pkg::TSpanSource longName(b);
  EXPECT_FALSE(pkg::ReadEntryHead(longName, 9, b.size(), h));
}

TEST(Listing, LinesOfTheCatalogue) {
  struct Case {
    uint8_t kind;
    const char* name;
    int j, b;
    const char* line;
  } cases[] = {
      {7, "", 0, 1, "1. SECTION №1 (начало нового блока данных)"},
      {1, "base\\std1", 1, 1, "1.1. DBBDIFF, файл base\\std1"},
      {0, "base\\std3", 3, 1, "1.3. BINDIFF, файл base\\std3"},
      {5, "cfg\\klsstd.zum", 5, 1, "1.5. ADDREPL, файл cfg\\klsstd.zum"},
      {6, "EXE\\zum.exe", 7, 1, "1.7. ADDREPM, файл EXE\\zum.exe"},
      {2, "EXE\\zum.exe", 1, 0, "0.1. PE1DIFF, файл EXE\\zum.exe"},
      {3, "x", 12, 10, "10.12. PE2DIFF, файл x"},
      {4, "cfg\\CFG.ZUM", 2, 2, "2.2. CFGDIFF, файл cfg\\CFG.ZUM"},
      {7, "", 0, 2, "2. SECTION №2 (начало нового блока данных)"},
      {8, "a\\b.dll", 4, 2, "2.4. EXTDIFF, файл a\\b.dll"},
      {9, "name", 4, 2, "2.4. НЕИЗВЕСТНЫЙ ТИП ДАННЫХ!!!"},
      {255, "name", 1, 0, "0.1. НЕИЗВЕСТНЫЙ ТИП ДАННЫХ!!!"},
  };
  for (const Case& c : cases) EXPECT_EQ(pkg::ListingLine(c.kind, c.name, c.j, c.b), c.line);
}

TEST(Title, CorrectionAndUpdateModes) {
  EXPECT_EQ(pkg::PackageTitle(true, "3.0.7", "3.0.7", "3.0.7.1", true),
            "Исправление ZUM-5 (3.0.7.X) -> ZUM-5 (3.0.7.1) ");
  EXPECT_EQ(pkg::PackageTitle(true, "3.0.7", "3.0.7", "3.0.7.1", false),
            "Исправление ZUM-5 (3.0.7.X) -> ZUM-5 (3.0.7.1) ");
  EXPECT_EQ(pkg::PackageTitle(false, "3.0.7", "3.0.7", "3.1.0", true),
            "Обновление ZUM-5 (3.0.7) -> ZUM-5 (3.1.0) ");
  EXPECT_EQ(pkg::PackageTitle(false, "3.0.7", "3.0.7", "3.1.0", false),
            "Обновление ZUM-5 (3.0.7) -> ZUM-5 (3.1.0)");
}

TEST(Trailer, SealCheckAndUnseal) {
  TBytes b = {'a', 'b', 'c'};
  ASSERT_TRUE(pkg::SealPackage(b));
  ASSERT_EQ(b.size(), 11u);
  EXPECT_EQ(le::Get32(b, 3), 11u);                          // M + 8
  EXPECT_EQ(le::Get32(b, 7), 'a' + 'b' + 'c' + 11u);        // sum of the M bytes + M + 8
  EXPECT_TRUE(pkg::IsSealedPackage(b));

  TBytes damaged = b;
  damaged[1] ^= 0x01;
  EXPECT_FALSE(pkg::IsSealedPackage(damaged));
  EXPECT_FALSE(pkg::UnsealPackage(damaged));
  EXPECT_EQ(damaged.size(), 11u);                       // left alone
  TBytes longer = b;
  longer.push_back(0);
  EXPECT_FALSE(pkg::IsSealedPackage(longer));
  TBytes tooShort(7, 0);
  EXPECT_FALSE(pkg::IsSealedPackage(tooShort));

  ASSERT_TRUE(pkg::UnsealPackage(b));
  EXPECT_EQ(b, (TBytes{'a', 'b', 'c'}));
  TBytes empty;                                         // an empty range sums to 0
  ASSERT_TRUE(pkg::SealPackage(empty));
  EXPECT_EQ(le::Get32(empty, 4), 8u);
}

// Every byte of a tiny package, in order.
TEST(Writer, LayoutOfATinyPackage) {
  const TBytes stub = pkgtest::MakePe({0x200}, 1);
  pkg::PackageWriter w;
  std::string error;
  ASSERT_TRUE(w.SetStub(stub, pkg::PackageWriter::StubFit::Refuse, error)) << error;
  w.AddSection();
  pkg::TPartRecord slots;
  slots.OldSize = 10;
  slots.NewSize = 7;            // growth 7 - 10 wraps
  slots.NewSum = 99;
  slots.EntryLen = 12345;       // computed by the writer, whatever is given
  const TBytes payload = {1, 2, 3};
  ASSERT_TRUE(w.AddFile(pkg::kAddRepl, "a\\b", 0x11223344, payload, slots, error)) << error;
  EXPECT_FALSE(w.AddFile(pkg::kSection, "x", 0, payload, slots, error));
  EXPECT_FALSE(w.AddFile(pkg::kAddRepl, std::string(0x10000, 'n'), 0, payload, slots, error));
  pkg::PackageWriter::TTail tail;
  tail.VerFrom = "3.0";
  tail.VerTo = "3.0.1";
  tail.TmpSpaceNeed = 0x01020304;
  tail.BuildStamps = {0xAABBCCDD};
  TBytes out;
  ASSERT_TRUE(w.Finish(tail, out, error)) << error;

  size_t p = 0;
  auto take = [&](size_t n) {
    TBytes field(out.begin() + p, out.begin() + p + n);
    p += n;
    return field;
  };
  EXPECT_EQ(take(stub.size()), stub);                                      // the image
  EXPECT_EQ(take(9), (TBytes{7, 0, 0, 0, 0, 0, 0, 0, 0}));                 // SECTION
  const TBytes entry = {5, 3, 0, 'a', '\\', 'b', 0x44, 0x33, 0x22, 0x11, 1, 2, 3};
  EXPECT_EQ(take(entry.size()), entry);                                    // ADDREPL entry
  EXPECT_EQ(take(48), TBytes(48, 0));                                      // SECTION record
  const size_t record = p;
  p += 48;
  EXPECT_EQ(le::Get32(out, record + 0), 10u);                                  // OldSize
  EXPECT_EQ(le::Get32(out, record + 32), 7u);                                  // NewSize
  EXPECT_EQ(le::Get32(out, record + 36), 99u);                                 // NewSum
  EXPECT_EQ(le::Get32(out, record + 40), entry.size());                        // EntryLen
  EXPECT_EQ(le::Get32(out, record + 44), pkg::AddSum(entry));                  // EntrySum
  EXPECT_EQ(le::Get32(out, p), 2u);                                            // PartCount
  EXPECT_EQ(le::Get32(out, p + 4), 0x01020304u);                               // TmpSpaceNeed
  EXPECT_EQ(le::Get32(out, p + 8), 0xFFFFFFFDu);                               // growth 7 - 10
  p += 12;
  EXPECT_EQ(take(5), (TBytes{'3', '.', '0', 3, 0}));                       // VerFrom, L1
  EXPECT_EQ(take(7), (TBytes{'3', '.', '0', '.', '1', 5, 0}));             // VerTo, L2
  EXPECT_EQ(take(6), (TBytes{0xDD, 0xCC, 0xBB, 0xAA, 1, 0}));              // stamps, K
  EXPECT_EQ(le::Get32(out, p), out.size());                                    // N
  EXPECT_EQ(le::Get32(out, p + 4), pkg::AddSum(out.data(), p) + out.size());   // checksum
  EXPECT_EQ(p + 8, out.size());
  EXPECT_EQ(w.EntryPos(1), stub.size() + 9);
}

TEST(Writer, PlacesThePackageAtTheRealLengthOrRefuses) {
  const TBytes image = pkgtest::MakePe({0x200, 0x200}, 1);
  pkg::PackageWriter w;
  std::string error;

  // A symbol table or an older package after the image: refused, or cut off.
  TBytes withTail = image;
  withTail.insert(withTail.end(), 100, 0x5A);
  EXPECT_FALSE(w.SetStub(withTail, pkg::PackageWriter::StubFit::Refuse, error));
  EXPECT_NE(error.find("ends at 1536"), std::string::npos) << error;
  ASSERT_TRUE(w.SetStub(withTail, pkg::PackageWriter::StubFit::TruncateToImage, error)) << error;
  EXPECT_EQ(w.StubLength(), image.size());
  TBytes out;
  ASSERT_TRUE(w.Finish(pkgtest::ShippedTail(), out, error)) << error;
  EXPECT_TRUE(std::equal(image.begin(), image.end(), out.begin()));
  EXPECT_EQ(pkg::RealLength(out), image.size());

  // Headers that claim more than the file holds, and no image at all.
  TBytes cut(image.begin(), image.end() - 1);
  EXPECT_FALSE(w.SetStub(cut, pkg::PackageWriter::StubFit::TruncateToImage, error));
  EXPECT_FALSE(w.SetStub(TBytes(4096, 'x'), pkg::PackageWriter::StubFit::TruncateToImage, error));
  pkg::PackageWriter none;
  EXPECT_FALSE(none.Finish(pkgtest::ShippedTail(), out, error));
}

}  // namespace

// Which entries reach which edition of an installation: one row per kind and edition.
TEST(EditionRule, EachKindAndEdition) {
  struct Row {
    uint8_t kind;
    uint32_t diffSum;
    uint32_t edition;
    bool applies;
  };
  const Row rows[] = {
      {pkg::kAddRepM, 1, 0, true},   {pkg::kAddRepM, 2, 0, false}, {pkg::kAddRepM, 2, 1, true},
      {pkg::kAddRepM, 3, 2, true},   {pkg::kAddRepM, 0, 0, false}, {pkg::kAddRepM, 256, 255, true},
      {pkg::kPe1Diff, 0, 0, true},   {pkg::kPe1Diff, 0, 1, false}, {pkg::kPe1Diff, 0, 7, false},
      {pkg::kPe2Diff, 0, 0, false},  {pkg::kPe2Diff, 0, 1, true},  {pkg::kPe2Diff, 0, 7, true},
      {pkg::kSection, 0, 0, false},  {pkg::kBinDiff, 9, 1, true},  {pkg::kDbbDiff, 0, 3, true},
      {pkg::kAddRepl, 5, 0, true},   {pkg::kCfgDiff, 0, 1, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << "kind " << int(r.kind) << " variant " << r.diffSum
                                    << " edition " << r.edition);
    EXPECT_EQ(pkg::EntryAppliesToEdition(r.kind, r.diffSum, r.edition), r.applies);
  }
}
