// The catalogue reader: a good package read whole, and one named field broken at a
// time (the package sealed again, so that only that field is wrong).
#include <gtest/gtest.h>

#include <cstddef>
#include <functional>

#include "base/bytes.h"
#include "format/catalogue.h"
#include "unit/package_fixture.h"

namespace {

using pkgtest::TBytes;
using Step = pkg::TCatalogueStep;
using Status = pkg::TCatalogueStatus;

constexpr size_t kEntryLenField = offsetof(pkg::TPartRecord, EntryLen);

TEST(Catalogue, GoodPackageIsReadWhole) {
  const pkgtest::TPackage p = pkgtest::ShippedLikePackage();
  pkg::TSpanSource src(p.bytes);
  pkg::TCatalogue cat;
  ASSERT_EQ(pkg::ReadCatalogue(src, p.real, cat), Status::Ok);
  EXPECT_EQ(cat.Step, Step::Done);
  EXPECT_EQ(cat.RecordsPos, p.recordsPos);
  EXPECT_EQ(cat.HeaderPos, p.headerPos);
  EXPECT_EQ(cat.VerTo, pkgtest::ShippedTail().VerTo);
  ASSERT_EQ(cat.Entries.size(), p.records.size());
  EXPECT_EQ(cat.Walked, p.records.size());
  const auto planned = pkgtest::ShippedEntries();
  int blocks = 0;
  for (size_t i = 0; i < cat.Entries.size(); ++i) {
    SCOPED_TRACE(i);
    const pkg::TCatalogueEntry& e = cat.Entries[i];
    EXPECT_EQ(e.Pos, p.entryPos[i]);
    EXPECT_EQ(e.Kind, planned[i].kind);
    EXPECT_EQ(e.EntryLen, p.records[i].EntryLen);
    if (e.Kind == pkg::kSection) {
      EXPECT_EQ(e.Block, ++blocks);
      EXPECT_EQ(e.Number, 0);
    } else {
      EXPECT_EQ(e.Name, planned[i].name);
      EXPECT_EQ(e.Block, blocks);
      EXPECT_EQ(e.HeadSize, pkg::kEntryHeadFixed + e.Name.size());
    }
  }
}

TEST(Catalogue, EachBrokenFieldStopsItsStep) {
  const pkgtest::TPackage p = pkgtest::ShippedLikePackage();
  const size_t firstFile = 1;  // entry 0 is the first SECTION
  ASSERT_EQ(pkgtest::ShippedEntries()[0].kind, pkg::kSection);
  struct Case {
    const char* what;
    std::function<void(TBytes&)> damage;  // on the unsealed package
    uint32_t real;                        // the real length handed to the reader
    Status status;
    Step step;
  };
  const uint64_t versionsEnd = p.bytes.size() - pkg::kTrailerSize;
  const Case cases[] = {
      {"no executable image", [](TBytes&) {}, 0, Status::NotAPackage, Step::RealLength},
      {"the stamp count reaches into the stub",
       [&](TBytes& b) { pkgtest::Put16(b, versionsEnd - 2, 0xFFFF); }, p.real, Status::Damaged,
       Step::Versions},
      {"the part count makes records reach into the stub",
       [&](TBytes& b) { le::Set32(b, p.headerPos, 0x00FFFFFF); }, p.real, Status::Damaged,
       Step::RecordsPlace},
      {"an entry longer than the entry area",
       [&](TBytes& b) { le::Set32(b, p.recordsPos + firstFile * pkg::kPartRecordSize + kEntryLenField, 0x7FFFFFFF); },
       p.real, Status::Damaged, Step::EntryLength},
      {"an entry one byte short of the next",
       [&](TBytes& b) {
         const size_t at = p.recordsPos + firstFile * pkg::kPartRecordSize + kEntryLenField;
         le::Set32(b, at, le::Get32(b, at) - 1);
       },
       p.real, Status::Damaged, Step::EntryHead},
      {"a kind this installer does not apply",
       [&](TBytes& b) { b[p.entryPos[firstFile]] = 9; }, p.real, Status::Unsupported, Step::Done},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TBytes bytes = pkgtest::Resealed(p.bytes, c.damage);
    pkg::TSpanSource src(bytes);
    pkg::TCatalogue cat;
    EXPECT_EQ(pkg::ReadCatalogue(src, c.real, cat), c.status);
    EXPECT_EQ(cat.Step, c.step);
  }
}

}  // namespace
