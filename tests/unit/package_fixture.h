// Fixtures of the package tests: a small PE stub, packages made with the project's
// own writer, and ways to damage them one field at a time.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "format/checksum.h"
#include "format/package_format.h"
#include "pack/package_writer.h"
#include "support/test_support.h"
#include "base/bytes.h"

namespace pkgtest {

using pkg::TBytes;

inline void Put16(TBytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

// The fake PE's layout.
constexpr size_t kLfanew = 0x40;             // the PE signature follows the DOS header
constexpr size_t kFileHeader = kLfanew + 4;
constexpr size_t kSectionTable = kLfanew + 24 + 224;  // 0x138
constexpr size_t kHeadersSize = 0x200;

inline size_t SectionHeader(size_t i) { return kSectionTable + 40 * i; }

// A PE file: "MZ" with e_lfanew at 60, "PE\0\0", the file header (NumberOfSections
// at +2, TimeDateStamp at +4, SizeOfOptionalHeader 224 at +16), a PE32 optional
// header, and one section header per raw size. The section data follow the
// 0x200 bytes of headers back to back, so the image ends at 0x200 + sum of sizes.
inline TBytes MakePe(const std::vector<uint32_t>& rawSizes, uint32_t linkStamp) {
  TBytes b(kHeadersSize, 0);
  b[0] = 'M';
  b[1] = 'Z';
  le::Set32(b, 60, kLfanew);
  std::memcpy(&b[kLfanew], "PE\0\0", 4);
  Put16(b, kFileHeader + 0, 0x014C);                        // Machine: i386
  Put16(b, kFileHeader + 2, static_cast<uint16_t>(rawSizes.size()));
  le::Set32(b, kFileHeader + 4, linkStamp);                     // TimeDateStamp
  Put16(b, kFileHeader + 16, 224);                          // SizeOfOptionalHeader
  Put16(b, kFileHeader + 18, 0x0102);                       // executable, 32-bit
  Put16(b, kLfanew + 24, 0x010B);                           // optional header: PE32
  uint32_t raw = kHeadersSize;
  for (size_t i = 0; i < rawSizes.size(); ++i) {
    const size_t h = SectionHeader(i);
    b[h] = '.';
    b[h + 1] = static_cast<uint8_t>('a' + i);
    le::Set32(b, h + 8, rawSizes[i]);                           // VirtualSize
    le::Set32(b, h + 12, 0x1000 * static_cast<uint32_t>(i + 1));  // VirtualAddress
    le::Set32(b, h + 16, rawSizes[i]);                          // SizeOfRawData
    le::Set32(b, h + 20, raw);                                  // PointerToRawData
    le::Set32(b, h + 36, i == 0 ? 0x60000020u : 0x40000040u);   // Characteristics
    raw += rawSizes[i];
  }
  for (size_t i = b.size(); i < raw; ++i) b.push_back(static_cast<uint8_t>(i * 7 + 1));
  return b;
}

inline TBytes Payload(size_t n, uint32_t seed) {
  TBytes p(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& c : p) {
    x = x * 1103515245u + 12345u;
    c = static_cast<uint8_t>(x >> 16);
  }
  return p;
}

struct TEntryPlan {
  uint8_t kind;
  std::string name;       // ignored for SECTION
  size_t payloadSize = 0;
  pkg::TPartRecord slots{};
};

inline pkg::PackageWriter::TTail ShippedTail() {
  pkg::PackageWriter::TTail t;
  t.VerFrom = "3.0.7";
  t.VerTo = "3.0.7.1";
  t.TmpSpaceNeed = 786618725;
  t.Growth = 168;
  t.BuildStamps = {0x55685DBC, 1, 0x55685DBD, 2};
  return t;
}

// The catalogue of the shipped package, in small.
inline std::vector<TEntryPlan> ShippedEntries() {
  auto slots = [](uint32_t oldSize, uint32_t newSize, uint32_t diffSum) {
    pkg::TPartRecord r;
    r.OldSize = oldSize;
    r.OldSum = oldSize * 3;
    r.DiffSum = diffSum;
    r.NewSize = newSize;
    r.NewSum = newSize * 5;
    return r;
  };
  return {
      {pkg::kSection, "", 0, {}},
      {pkg::kDbbDiff, "base\\std1", 301, slots(1000, 1100, 0)},
      {pkg::kDbbDiff, "base\\std6", 45, slots(500, 500, 0)},
      {pkg::kBinDiff, "base\\std3", 77, slots(800, 790, 0)},
      {pkg::kBinDiff, "base\\std4", 130, slots(300, 310, 0)},
      {pkg::kAddRepl, "cfg\\klsstd.zum", 64, slots(740, 740, 0)},
      {pkg::kAddRepM, "EXE\\zum.exe", 150, slots(1450, 1450, 1)},
      {pkg::kAddRepM, "EXE\\zum.exe", 151, slots(1470, 1470, 2)},
  };
}

struct TPackage {
  TBytes bytes;
  uint32_t real = 0;                 // where the package begins
  std::vector<uint64_t> entryPos;
  std::vector<pkg::TPartRecord> records;
  uint64_t recordsPos = 0;           // first part record
  uint64_t headerPos = 0;            // catalogue header
};

inline TPackage BuildPackage(const TBytes& stub, const std::vector<TEntryPlan>& entries,
                             const pkg::PackageWriter::TTail& tail) {
  pkg::PackageWriter w;
  std::string error;
  TPackage p;
  EXPECT_TRUE(w.SetStub(stub, pkg::PackageWriter::StubFit::Refuse, error)) << error;
  for (size_t i = 0; i < entries.size(); ++i) {
    const TEntryPlan& e = entries[i];
    if (e.kind == pkg::kSection) {
      w.AddSection();
    } else {
      EXPECT_TRUE(w.AddFile(e.kind, e.name, 0xA0000000u + static_cast<uint32_t>(i),
                            Payload(e.payloadSize, static_cast<uint32_t>(i)), e.slots, error))
          << error;
    }
  }
  EXPECT_TRUE(w.Finish(tail, p.bytes, error)) << error;
  p.real = w.StubLength();
  for (size_t i = 0; i < w.EntryCount(); ++i) p.entryPos.push_back(w.EntryPos(i));
  p.records = w.Records();
  size_t tailSize = 2 + 4 * tail.BuildStamps.size() + 2 + tail.VerTo.size() + 2 +
                    tail.VerFrom.size();
  p.headerPos = p.bytes.size() - pkg::kTrailerSize - tailSize - pkg::kCatalogueHeaderSize;
  p.recordsPos = p.headerPos - pkg::kPartRecordSize * entries.size();
  return p;
}

// The file offset of a field of entry `i`'s part record, the field named by its
// member (the record's twelve u32 slots are stored in the order of TPartRecord).
static_assert(sizeof(pkg::TPartRecord) == pkg::kPartRecordSize);
#define ZT_PART_FIELD(p, i, member) \
  ((p).recordsPos + (i) * pkg::kPartRecordSize + offsetof(pkg::TPartRecord, member))

inline TPackage ShippedLikePackage() {
  return BuildPackage(MakePe({0x400, 0x200, 0x200}, 0x55685DBC), ShippedEntries(),
                      ShippedTail());
}

// The package with `damage` done to it and sealed again, so that only the damaged
// field is wrong.
template <typename F>
TBytes Resealed(TBytes bytes, F damage) {
  EXPECT_TRUE(pkg::UnsealPackage(bytes));
  damage(bytes);
  EXPECT_TRUE(pkg::SealPackage(bytes));
  return bytes;
}

inline bool WriteBytes(const std::string& path, const TBytes& bytes) {
  return zt::WriteAll(path, std::string(bytes.begin(), bytes.end()));
}

}  // namespace pkgtest
