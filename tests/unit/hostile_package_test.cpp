// Bad packages, made by the project's writer and each broken in one field: the
// self-check refuses them with its protocol line, and what it lets through keeps
// every entry inside the file; payload heads and patches that cannot make their
// entry's file are refused before anything is changed for them.
#include <gtest/gtest.h>

#include <array>

#include "installer/form1.h"
#include "format/patch.h"
#include "installer/patch_file.h"
#include "format/payload.h"
#include "pack/payload_encode.h"
#include "installer/reader.h"
#include "support/test_support.h"
#include "frontends/scripted/scripted.h"
#include "unit/package_fixture.h"
#include "base/dos_path.h"
#include "format/entry_name.h"
#include "base/bytes.h"

namespace {

using pkg::TBytes;

class HostilePackageTest : public ::testing::Test {
 protected:

  // Reads `bytes` as the installer's file with a fresh window; its protocol lines.
  std::vector<std::string> Read(const TBytes& bytes, bool& ok, size_t& boxes) {
    ui::ScriptedToolkit view;
    TForm1 f(&view);
    EXPECT_TRUE(pkgtest::WriteBytes(path, bytes));
    f.ExePathOverride = path;
    ok = f.ReadPackage();
    if (ok) {
      for (const auto& e : f.PartList) {
        if (e->Kind != pkg::kSection) {
          EXPECT_LE(uint64_t{e->Pos} + e->EntryLen, bytes.size() - 8);
        }
      }
    }
    boxes = view.boxes.size();
    return f.ProtLines();
  }
  // Refused by the trailer check: message 5001 and nothing else.
  void ExpectDamaged(const TBytes& bytes) {
    bool ok = true;
    size_t boxes = 0;
    EXPECT_EQ(Read(bytes, ok, boxes), std::vector<std::string>{"Ошибка № 5001"});
    EXPECT_FALSE(ok);
    EXPECT_EQ(boxes, 1u);
  }
  // Refused by a later step: its line ends with the failure mark.
  void ExpectRefused(const TBytes& bytes) {
    bool ok = true;
    size_t boxes = 0;
    const auto lines = Read(bytes, ok, boxes);
    EXPECT_FALSE(ok);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("...Были ошибки"), std::string::npos) << lines.back();
  }

  ui::ScriptedToolkit tk;
  zt::TempDir dir;
  const std::string path = dir.Dos() + "zumupd.exe";
};

TEST_F(HostilePackageTest, TailCutAtEveryByteOrWithGarbageAfterIt) {
  const pkgtest::TPackage p = pkgtest::ShippedLikePackage();
  for (size_t cut = p.recordsPos; cut < p.bytes.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    ExpectDamaged(TBytes(p.bytes.begin(), p.bytes.begin() + cut));
  }
  for (size_t extra : {1, 3, 8, 100}) {
    SCOPED_TRACE(std::to_string(extra) + " bytes appended");
    TBytes b = p.bytes;
    b.insert(b.end(), extra, 0x5A);
    ExpectDamaged(b);
  }
}

// Single bits of the part records, the catalogue header, the versions, the stamps
// and the trailer. Flipped as they are, the package checksum refuses every one (all
// through the checksum of the package in memory, the trailer's and one bit of each
// byte also through the self-check). Flipped and sealed again (a package written
// that way), the reader either refuses the package at a step or reads entries that
// all lie inside the file: every bit of the lengths and counts the walk relies on,
// one bit of each other byte.
TEST_F(HostilePackageTest, SingleBitsOfTheCatalogueAndTrailer) {
  const pkgtest::TPackage p = pkgtest::ShippedLikePackage();
  const size_t trailer = p.bytes.size() - pkg::kTrailerSize;
  auto isLengthOrCount = [&](size_t at) {
    if (at >= p.headerPos && at < p.headerPos + 4) return true;          // PartCount
    return at < p.headerPos && (at - p.recordsPos) % 48 >= 40 && (at - p.recordsPos) % 48 < 44;
  };
  size_t refused = 0, read = 0;
  for (size_t at = p.recordsPos; at < p.bytes.size(); ++at) {
    for (int bit = 0; bit < 8; ++bit) {
      SCOPED_TRACE("byte " + std::to_string(at) + " bit " + std::to_string(bit));
      TBytes b = p.bytes;
      b[at] ^= static_cast<uint8_t>(1u << bit);
      EXPECT_FALSE(pkg::IsSealedPackage(b));
      if (at >= trailer || bit == static_cast<int>(at % 8)) ExpectDamaged(b);
      if (at >= trailer || (!isLengthOrCount(at) && bit != static_cast<int>(at % 8))) continue;
      const TBytes sealed = pkgtest::Resealed(p.bytes, [&](TBytes& s) { s[at] ^= static_cast<uint8_t>(1u << bit); });
      bool ok = true;
      size_t boxes = 0;
      const auto lines = Read(sealed, ok, boxes);
      EXPECT_EQ(boxes, 0u);
      ++read;
      if (!ok) {
        ++refused;
        EXPECT_NE(lines.back().find("...Были ошибки"), std::string::npos) << lines.back();
      }
    }
  }
  // Every flip of an entry length or the count moves an entry off the area.
  EXPECT_GT(refused, 8u * 4 * 8);
  EXPECT_LT(refused, read);
}

TEST_F(HostilePackageTest, SizesAndCountsAtTheirLimits) {
  const pkgtest::TPackage p = pkgtest::ShippedLikePackage();
  const size_t entryLen1 = ZT_PART_FIELD(p, 1, EntryLen);  // of "base\std1"
  const size_t entryLen7 = ZT_PART_FIELD(p, 7, EntryLen);  // of the last entry
  for (uint32_t v : {0u, 0x80000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(v);
    ExpectRefused(pkgtest::Resealed(p.bytes, [&](TBytes& b) { le::Set32(b, entryLen1, v); }));
    ExpectRefused(pkgtest::Resealed(p.bytes, [&](TBytes& b) { le::Set32(b, entryLen7, v); }));
    ExpectRefused(pkgtest::Resealed(p.bytes, [&](TBytes& b) { le::Set32(b, p.headerPos, v); }));
    // The trailer's length: the file is not that long.
    TBytes b = p.bytes;
    le::Set32(b, b.size() - 8, v);
    ExpectDamaged(b);
  }
  // Two entries that would share bytes: the first one longer by 5, the second
  // shorter by 5, so that the second begins inside the first's payload.
  ExpectRefused(pkgtest::Resealed(p.bytes, [&](TBytes& b) {
    le::Set32(b, entryLen1, p.records[1].EntryLen - 5);
    le::Set32(b, entryLen1 + 48, p.records[2].EntryLen + 5);
  }));
}

// ---- payload heads ----------------------------------------------------------------

// The target version names the journal and the protocol file: one that is not a
// plain name is refused by the self-check, with its reason; a plain one is read.
TEST_F(HostilePackageTest, TargetVersionsThatAreNotPlainNames) {
  struct Row {
    const char* version;
    bool accepted;
  };
  const Row rows[] = {
      {"3.0.7.1", true},       {"3.1.0 beta", true},   {"..\\..\\victim", false},
      {"..", false},           {"a\\b", false},       {"C:x", false},
      {"3.0/7", false},        {"CON", false},          {"com1.2", false},
      {"3.0.", false},         {"3.0 ", false},         {"3.0\t1", false},
      {"", false},             {"3?0", false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.version);
    auto tail = pkgtest::ShippedTail();
    tail.VerTo = r.version;
    tail.VerFrom = r.version;
    const pkgtest::TPackage p = pkgtest::BuildPackage(
        pkgtest::MakePe({0x400, 0x200, 0x200}, 0x55685DBC), pkgtest::ShippedEntries(), tail);
    bool ok = false;
    size_t boxes = 0;
    const auto lines = Read(p.bytes, ok, boxes);
    EXPECT_EQ(ok, r.accepted);
    EXPECT_EQ(pkg::CheckVersionText(r.version).empty(), r.accepted);
    if (!r.accepted) {
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(lines.back().find("Произошла аварийная ситуация Недопустимая версия в обновлении: \""), 0u)
          << lines.back();
      EXPECT_NE(lines.back().find("...Были ошибки"), std::string::npos) << lines.back();
    }
  }
}

// An entry may not name the running installer, whether it was started in the
// installation folder or in its exe folder: it would be overwritten mid-run.
TEST_F(HostilePackageTest, EntriesNamingTheRunningInstaller) {
  const std::string folder = dos::LeafOf(dos::WithoutSlash(dir.Dos()));
  struct Row {
    std::string name;
    bool accepted;
  };
  const Row rows[] = {
      {"ZUMUPD.EXE", false},
      {folder + "\\zumupd.exe", false},
      {"other\\zumupd.exe", true},
      {"zumupd.exe.bak", true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    auto entries = pkgtest::ShippedEntries();
    entries.back().name = r.name;
    const pkgtest::TPackage p = pkgtest::BuildPackage(
        pkgtest::MakePe({0x400, 0x200, 0x200}, 0x55685DBC), entries, pkgtest::ShippedTail());
    bool ok = false;
    size_t boxes = 0;
    const auto lines = Read(p.bytes, ok, boxes);
    EXPECT_EQ(ok, r.accepted);
    if (!r.accepted) {
      ASSERT_FALSE(lines.empty());
      EXPECT_NE(lines.back().find("(файл самого обновления)"), std::string::npos) << lines.back();
    }
  }
}

TEST(PayloadHead, HeadsThatCannotMakeTheirFileAreRefused) {
  std::vector<uint8_t> data(3000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 / 7);
  std::vector<uint8_t> good;
  std::string error;
  ASSERT_TRUE(payload::EncodePayload(data, {}, good, error)) << error;

  // An ADDREPL entry "a\b" at offset 0: kind, NameLen, name, tag, payload.
  auto entry = [](const std::vector<uint8_t>& pl) {
    TBytes e = {pkg::kAddRepl, 3, 0, 'a', '\\', 'b', 0, 0, 0, 0};
    e.insert(e.end(), pl.begin(), pl.end());
    return e;
  };
  auto check = [&](const TBytes& e, uint32_t newSize, uint8_t kind = pkg::kAddRepl) {
    pkg::TPartNfo nfo;
    nfo.Kind = kind;
    nfo.Name = "a\\b";
    nfo.EntryLen = static_cast<uint32_t>(e.size());
    nfo.NewSize = newSize;
    pkg::TSpanSource src(e);
    return pkg::CheckPayloadHead(src, nfo);
  };
  EXPECT_EQ(check(entry(good), 3000), "");

  struct Case {
    const char* what;
    size_t at;      // payload offset of the u32 written, or of the byte
    uint64_t value;
    int width;      // 1, 4 or 8 bytes
  };
  const Case cases[] = {
      {"filter flag 2", 0, 2, 1},
      {"properties beyond lc 8, lp 4, pb 4", 1, 225, 1},
      {"unpacked size 0", 6, 0, 8},
      {"unpacked size 2^31", 6, 0x80000000u, 8},
      {"unpacked size 2^32 - 1", 6, 0xFFFFFFFFu, 8},
      {"unpacked size 4 GiB and more", 6, 0x100000BB8ull, 8},  // low 32 bits are 3000
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> pl = good;
    for (int i = 0; i < c.width; ++i) pl[c.at + i] = static_cast<uint8_t>(c.value >> (8 * i));
    EXPECT_NE(check(entry(pl), 3000), "");
  }
  // A dictionary of 4 GiB: cut down to a small file's size it costs nothing; on a
  // file large enough to keep it over the cap it is refused. 64 MiB passes.
  auto withDict = [&](uint32_t dict, uint64_t unpacked) {
    std::vector<uint8_t> pl = good;
    for (int i = 0; i < 4; ++i) pl[2 + i] = static_cast<uint8_t>(dict >> (8 * i));
    for (int i = 0; i < 8; ++i) pl[6 + i] = static_cast<uint8_t>(unpacked >> (8 * i));
    return entry(pl);
  };
  constexpr uint32_t kLarge = 100u << 20;
  EXPECT_EQ(check(withDict(0xFFFFFFFFu, 3000), 3000), "");
  EXPECT_NE(check(withDict(0xFFFFFFFFu, kLarge), kLarge), "");
  EXPECT_EQ(check(withDict(payload::kMaxDictionary, kLarge), kLarge), "");
  // The head cut short; a whole file whose NewSize is not the unpacked size.
  EXPECT_NE(check(entry(std::vector<uint8_t>(good.begin(), good.begin() + 13)), 3000), "");
  EXPECT_NE(check(entry(good), 3001), "");
  // A difference's unpacked size is the patch's, not the file's; kinds the engine
  // does not unpack are not looked at.
  EXPECT_EQ(check(entry(good), 77, pkg::kBinDiff), "");
  EXPECT_EQ(check(TBytes{pkg::kCfgDiff, 1, 0, 'x', 0, 0, 0, 0}, 0, pkg::kCfgDiff), "");
}

// ---- patches --------------------------------------------------------------------------

class PatchCheckTest : public ::testing::Test {
 protected:

  // "BDT", version 1, 4, old size, new size, records, literal data.
  static std::string Patch(uint32_t newSize, std::vector<std::array<uint32_t, 3>> records,
                           const std::string& literals) {
    TBytes b = {'B', 'D', 'T', 1, 0, 4};
    le::Append32(b, 10);
    le::Append32(b, newSize);
    le::Append32(b, static_cast<uint32_t>(records.size()));
    for (const auto& r : records)
      for (uint32_t v : r) le::Append32(b, v);
    return std::string(b.begin(), b.end()) + literals;
  }

  ui::ScriptedToolkit tk;
  TForm1 form{&tk};
  zt::TempDir dir;
};

TEST_F(PatchCheckTest, PatchesThatCannotMakeTheEntrysFileAreRefused) {
  const std::string patchPath = dir.Dos() + "patch";
  struct Case {
    const char* what;
    std::string patch;
    uint32_t newSize;
    const char* says;
  };
  const Case cases[] = {
      {"output size differs from the entry", Patch(4, {{0, 4, 0}}, "abcd"), 5, "размер нового файла"},
      {"negative seek before the old file", Patch(4, {{0xFFFFFFFFu, 0, 4}}, ""), 4, "копирование"},
      {"copy length overflowing", Patch(4, {{0, 0, 0xFFFFFFFFu}}, ""), 4, "2^31"},
      {"insert length overflowing", Patch(4, {{0, 0x80000000u, 0}}, "abcd"), 4, "2^31"},
      {"copy that ends past the old file", Patch(8, {{6, 0, 8}}, ""), 8, "копирование"},
      {"RecCount 2^32 - 1", Patch(4, {}, "abcd").replace(14, 4, "\xFF\xFF\xFF\xFF"), 4, "таблица"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(zt::WriteAll(patchPath, c.patch));
    TForm1 f(&tk);
    EXPECT_FALSE(CheckPatchFile(f, patchPath, 10, c.newSize));
    ASSERT_EQ(f.ProtLines().size(), 2u);
    EXPECT_NE(f.ProtLines()[0].find("Файл различий поврежден: "), std::string::npos);
    EXPECT_NE(f.ProtLines()[0].find(c.says), std::string::npos) << f.ProtLines()[0];
    EXPECT_EQ(f.ProtLines()[1], " " + patchPath);
  }
  ASSERT_TRUE(zt::WriteAll(patchPath, Patch(6, {{0, 2, 4}}, "xy")));
  EXPECT_TRUE(CheckPatchFile(form, patchPath, 10, 6));
  EXPECT_TRUE(form.ProtLines().empty());
}

}  // namespace
