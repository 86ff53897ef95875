// What an entry makes of the file it names, in memory: one row per kind and per
// way an entry or the installed file can be wrong.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "format/basefile.h"
#include "format/checksum.h"
#include "format/entry_apply.h"
#include "pack/bdt_writer.h"
#include "product/product.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Text(size_t n, uint32_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>('a' + (i * 7 + seed * (i / 97)) % 26);
  return b;
}

// A plain base file: header (total size, no index), then records of 7-byte heads
// (DataLen at 5..6) and their data.
Bytes PlainBase(uint32_t seed) {
  Bytes b(8, 0);
  for (int r = 0; r < 20; ++r) {
    const uint16_t len = static_cast<uint16_t>(50 + (r * 13 + seed) % 40);
    Bytes head = {static_cast<uint8_t>(r), 0, 0, 0, 0, static_cast<uint8_t>(len),
                  static_cast<uint8_t>(len >> 8)};
    b.insert(b.end(), head.begin(), head.end());
    const Bytes data = Text(len, seed + r);
    b.insert(b.end(), data.begin(), data.end());
  }
  b[0] = static_cast<uint8_t>(b.size());
  b[1] = static_cast<uint8_t>(b.size() >> 8);
  return b;
}

pkg::TPartNfo Entry(uint8_t kind, const char* name, const Bytes& oldFile, const Bytes& newFile) {
  pkg::TPartNfo e;
  e.Kind = kind;
  e.Name = name;
  e.OldSize = static_cast<uint32_t>(oldFile.size());
  e.OldSum = pkg::AddSum(oldFile);
  e.NewSize = static_cast<uint32_t>(newFile.size());
  e.NewSum = pkg::AddSum(newFile);
  return e;
}

TEST(EntryApply, EachKindAndEachWayItFails) {
  const Bytes oldFile = Text(3000, 1), newFile = Text(3100, 2);
  Bytes patch;
  ASSERT_TRUE(bdt::MakeDiff(oldFile, newFile, patch));

  // A base file: the difference is made between the plain forms, the files travel
  // scrambled with the key of "Base\std1".
  const uint32_t key = product::kBaseKeys[0];
  const Bytes plainOld = PlainBase(1), plainNew = PlainBase(2);
  Bytes baseOld = plainOld, baseNew = plainNew, basePatch;
  ASSERT_EQ(ScrambleBase(baseOld, key, product::kBaseM1, product::kBaseM2), BaseStatus::Ok);
  ASSERT_EQ(ScrambleBase(baseNew, key, product::kBaseM1, product::kBaseM2), BaseStatus::Ok);
  ASSERT_TRUE(bdt::MakeDiff(plainOld, plainNew, basePatch));
  pkg::TPartNfo dbb = Entry(pkg::kDbbDiff, "Base\\std1", baseOld, baseNew);
  dbb.PrepSize = static_cast<uint32_t>(plainOld.size());
  dbb.PrepSum = pkg::AddSum(plainOld);
  dbb.MidSize = static_cast<uint32_t>(plainNew.size());
  dbb.MidSum = pkg::AddSum(plainNew);

  Bytes longerOld = oldFile;
  longerOld.push_back('x');
  pkg::TPartNfo peLonger = Entry(pkg::kPe1Diff, "EXE\\zum.exe", oldFile, newFile);
  peLonger.OldSum = pkg::AddSum(longerOld);
  pkg::TPartNfo binLonger = Entry(pkg::kBinDiff, "a.dat", oldFile, newFile);
  binLonger.OldSum = pkg::AddSum(longerOld);
  pkg::TPartNfo wrongNew = Entry(pkg::kBinDiff, "a.dat", oldFile, newFile);
  wrongNew.NewSum ^= 1;
  pkg::TPartNfo noKey = dbb;
  noKey.Name = "Base\\stdX";
  pkg::TPartNfo prepDiffers = dbb;
  prepDiffers.PrepSum ^= 1;

  struct Row {
    const char* what;
    pkg::TPartNfo e;
    Bytes old, data;
    pkg::TApplyStatus status;
    bool plainOldDiffers;
    const Bytes* expected;  // the new file on Ok
  };
  const Bytes garbage(40, 0xEE);
  const Row rows[] = {
      {"a whole file", Entry(pkg::kAddRepl, "b.dat", {}, newFile), {}, newFile, pkg::TApplyStatus::Ok, false, &newFile},
      {"a difference", Entry(pkg::kBinDiff, "a.dat", oldFile, newFile), oldFile, patch, pkg::TApplyStatus::Ok, false, &newFile},
      {"an executable one byte longer", peLonger, longerOld, patch, pkg::TApplyStatus::Ok, false, &newFile},
      {"another file one byte longer", binLonger, longerOld, patch, pkg::TApplyStatus::OldFileDiffers, false, nullptr},
      {"a changed old file", Entry(pkg::kBinDiff, "a.dat", oldFile, newFile), newFile, patch, pkg::TApplyStatus::OldFileDiffers, false, nullptr},
      {"a patch that is not one", Entry(pkg::kBinDiff, "a.dat", oldFile, newFile), oldFile, garbage, pkg::TApplyStatus::PatchRefused, false, nullptr},
      {"a result the record does not name", wrongNew, oldFile, patch, pkg::TApplyStatus::NewFileDiffers, false, nullptr},
      {"a base file", dbb, baseOld, basePatch, pkg::TApplyStatus::Ok, false, &baseNew},
      {"a base file whose plain form differs", prepDiffers, baseOld, basePatch, pkg::TApplyStatus::Ok, true, &baseNew},
      {"a base file without a key", noKey, baseOld, basePatch, pkg::TApplyStatus::NoBaseKey, false, nullptr},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Bytes old = r.old, data = r.data, out;
    const pkg::TApplyResult result = pkg::ApplyEntryBytes(r.e, old, data, out);
    EXPECT_EQ(result.Status, r.status);
    EXPECT_EQ(result.PlainOldDiffers, r.plainOldDiffers);
    if (r.expected) {
      EXPECT_EQ(out, *r.expected);
    }
  }
}

}  // namespace
