// BDT patches: reading and applying them in memory, the rules a patch must keep,
// the writer and the reference diff, PatchFile over files with its failure lines,
// and the difference appliers (BINDIFF, DBBDIFF, PE1DIFF/PE2DIFF) with their
// protocol.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "installer/form1.h"
#include "format/protocol_record.h"
#include "format/basefile.h"
#include "pack/bdt_writer.h"
#include "format/bdx_patch.h"
#include "format/patch.h"
#include "pack/bdx_writer.h"
#include "installer/patch_file.h"
#include "format/checksum.h"
#include "platform/os.h"
#include "product/product.h"
#include "support/test_support.h"
#include "frontends/scripted/scripted.h"
#include "base/bytes.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;
using bdt::PatchStatus;
using bdt::TPatchRecord;

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string S(const Bytes& b) { return std::string(b.begin(), b.end()); }

Bytes Noise(size_t n, uint32_t seed) {
  Bytes b(n);
  std::mt19937 rng(seed);
  for (uint8_t& c : b) c = static_cast<uint8_t>(rng());
  return b;
}

Bytes Patch(uint32_t newSize, const std::vector<TPatchRecord>& records, const std::string& literals,
            uint32_t oldSize = 0) {
  return bdt::WritePatch(oldSize, newSize, records, B(literals));
}

// The rules read independently, every access checked: the bytes a patch makes, or
// nothing when it breaks a rule.
std::optional<Bytes> Reference(const Bytes& old, const Bytes& patch) {
  if (patch.size() < 18) return std::nullopt;
  const uint32_t newSize = le::Get32(patch, 10), count = le::Get32(patch, 14);
  if (18 + 12ull * count > patch.size()) return std::nullopt;
  size_t lit = 18 + 12ull * count;
  Bytes out;
  int64_t pos = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const size_t r = 18 + 12ull * i;
    const int32_t seek = static_cast<int32_t>(le::Get32(patch, r));
    const uint32_t ins = le::Get32(patch, r + 4), copy = le::Get32(patch, r + 8);
    if (ins >= 0x80000000u || copy >= 0x80000000u) return std::nullopt;
    for (uint32_t k = 0; k < ins; ++k) {
      if (lit >= patch.size() || out.size() >= newSize) return std::nullopt;
      out.push_back(patch[lit++]);
    }
    pos += seek;
    for (uint32_t k = 0; k < copy; ++k) {
      if (pos < 0 || pos >= static_cast<int64_t>(old.size()) || out.size() >= newSize)
        return std::nullopt;
      out.push_back(old[pos++]);
    }
  }
  while (out.size() < newSize) {
    if (lit >= patch.size()) return std::nullopt;
    out.push_back(patch[lit++]);
  }
  return out;
}

}  // namespace

// ---- the format in memory ----------------------------------------------------------

TEST(BdtPatch, RecordsTailAndSeeks) {
  const std::string old = "0123456789ABCDEF";
  struct Case {
    const char* name;
    Bytes patch;
    std::string expected;
  } cases[] = {
      {"lengths add up to PatchNewSize: no tail", Patch(9, {{0, 3, 4}, {6, 2, 0}}, "abcxy"),
       "abc0123xy"},
      {"a shorter sum: the tail ends the file", Patch(10, {{2, 1, 3}}, "a" "TAIL!!"),
       "a234TAIL!!"},
      {"no records: all tail", Patch(4, {}, "wxyz"), "wxyz"},
      // An 8-byte block repeated by moving back: Seek -8, CopyLen 8.
      {"negative seek", Patch(24, {{4, 0, 8}, {-8, 0, 8}, {-8, 0, 8}}, ""),
       "456789AB456789AB456789AB"},
      {"InsLen 0 and CopyLen 0", Patch(6, {{0, 0, 2}, {0, 2, 0}, {3, 0, 2}}, "--"), "01--56"},
      // The old position may leave the file between copies.
      {"wandering seek without a copy", Patch(4, {{-100, 0, 0}, {102, 0, 2}, {20, 2, 0}}, "zz"),
       "23zz"},
      {"a copy that ends at the old file's end", Patch(3, {{13, 0, 3}}, ""), "DEF"},
      {"literal data beyond what is taken is never read", Patch(2, {{0, 2, 0}}, "okEXTRA"), "ok"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out;
    ASSERT_EQ(bdt::PatchBytes(B(old), c.patch, out), PatchStatus::Ok);
    EXPECT_EQ(S(out), c.expected);
    // Built in pieces, cut inside new bytes, copies and seeks alike.
    bdt::TPatchPlan plan;
    ASSERT_EQ(bdt::ReadPatch(c.patch, old.size(), plan), PatchStatus::Ok);
    const Bytes oldBytes = B(old);
    for (size_t piece : {1, 2, 3, 5}) {
      bdt::TPatchCursor cursor(plan, oldBytes, c.patch);
      std::string pieces;
      for (size_t at = 0; at < plan.NewSize; at += piece) {
        const size_t n = std::min<size_t>(piece, plan.NewSize - at);
        uint8_t buffer[8];
        cursor.Next(buffer, n);
        pieces.append(reinterpret_cast<const char*>(buffer), n);
      }
      EXPECT_EQ(pieces, c.expected) << "pieces of " << piece;
    }
  }
}

TEST(BdtPatch, HeaderAndRecordLayout) {
  const Bytes p = bdt::WritePatch(0x01020304, 5, std::vector<TPatchRecord>{{-2, 7, 0x11223344}},
                                  B("lit"));
  const Bytes expected = {
      'B', 'D', 'T', 1, 0, 4,                     // magic, version 1, the fixed byte
      0x04, 0x03, 0x02, 0x01,                     // PatchOldSize
      5, 0, 0, 0,                                 // PatchNewSize
      1, 0, 0, 0,                                 // RecCount
      0xFE, 0xFF, 0xFF, 0xFF,                     // Seek -2
      7, 0, 0, 0,                                 // InsLen
      0x44, 0x33, 0x22, 0x11,                     // CopyLen
      'l', 'i', 't'};
  EXPECT_EQ(p, expected);
}

TEST(BdtPatch, MalformedPatchesAreRefused) {
  const Bytes old = B("0123456789");  // 10 bytes
  Bytes cutHeader = Patch(1, {}, "x");
  cutHeader.resize(17);
  // RecCount claims one record more than the bytes after the header hold.
  Bytes shortTable = Patch(2, {{0, 1, 0}, {0, 1, 0}}, "");
  shortTable[14] = 3;
  Bytes hugeCount = Patch(2, {}, "ab");
  hugeCount[14] = hugeCount[15] = hugeCount[16] = hugeCount[17] = 0xFF;

  struct Case {
    const char* name;
    Bytes patch;
    PatchStatus status;
    size_t failedRecord;
  } cases[] = {
      {"17 bytes", cutHeader, PatchStatus::ShortHeader, 0},
      {"record table beyond the patch", shortTable, PatchStatus::TableBeyondPatch, 0},
      {"RecCount 2^32-1", hugeCount, PatchStatus::TableBeyondPatch, 0},
      {"InsLen 2^31", Patch(5, {{0, 0x80000000u, 0}}, "abcde"), PatchStatus::LengthTooLarge, 1},
      {"CopyLen 2^31", Patch(5, {{0, 1, 2}, {0, 0, 0x80000000u}}, "a"),
       PatchStatus::LengthTooLarge, 2},
      {"lengths beyond PatchNewSize", Patch(5, {{0, 2, 2}, {0, 1, 1}}, "abc"),
       PatchStatus::LengthsBeyondNewSize, 2},
      // Two lengths just under 2^31 whose sum would wrap a 32-bit counter.
      {"lengths whose sum wraps", Patch(4, {{0, 0, 0x7FFFFFFFu}, {0, 0, 0x7FFFFFFFu}}, ""),
       PatchStatus::LengthsBeyondNewSize, 1},
      {"copy before the old file", Patch(4, {{0, 0, 2}, {-3, 0, 2}}, ""),
       PatchStatus::CopyOutsideOld, 2},
      {"copy past the old file's end", Patch(4, {{7, 0, 4}}, ""), PatchStatus::CopyOutsideOld, 1},
      {"copy starting after the old file", Patch(4, {{11, 0, 1}}, ""),
       PatchStatus::CopyOutsideOld, 1},
      {"copy beyond the end after an earlier one", Patch(11, {{0, 0, 6}, {0, 0, 5}}, ""),
       PatchStatus::CopyOutsideOld, 2},
      {"literal data too short for a record", Patch(6, {{0, 3, 0}, {0, 3, 0}}, "abcde"),
       PatchStatus::LiteralsTooShort, 2},
      {"literal data too short for the tail", Patch(6, {{0, 2, 0}}, "abcd"),
       PatchStatus::LiteralsTooShort, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bdt::TPatchPlan plan;
    EXPECT_EQ(bdt::ReadPatch(c.patch, old.size(), plan), c.status);
    EXPECT_EQ(plan.FailedRecord, c.failedRecord);
    Bytes out = B("untouched");
    EXPECT_EQ(bdt::PatchBytes(old, c.patch, out), c.status);
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(Reference(old, c.patch).has_value());
  }
}

// Random bytes flipped in valid patches: the patcher agrees with the independent
// reading of the rules on every one, refusing exactly the broken ones.
TEST(BdtPatch, DamagedPatchesAgreeWithTheRules) {
  const Bytes old = Noise(3000, 1);
  Bytes now = old;
  now.insert(now.begin() + 500, {1, 2, 3, 4, 5});
  now.erase(now.begin() + 2000, now.begin() + 2100);
  for (size_t i = 1200; i < 1300; i += 7) now[i] ^= 0x5A;
  now.insert(now.end(), old.begin(), old.begin() + 64);
  Bytes good;
  ASSERT_TRUE(bdt::MakeDiff(old, now, good));
  const size_t table = 18 + 12 * le::Get32(good, 14);
  ASSERT_GT(table, 18u + 12 * 3);

  int refused = 0;
  for (uint32_t seed = 1; seed <= 3000; ++seed) {
    std::mt19937 rng(seed);
    Bytes p = good;
    const int flips = 1 + static_cast<int>(rng() % 3);
    for (int f = 0; f < flips; ++f) {
      // Mostly the header and the records, where a flip changes the meaning.
      const size_t at = rng() % 4 ? rng() % table : rng() % p.size();
      p[at] = rng() % 2 ? static_cast<uint8_t>(rng()) : p[at] ^ static_cast<uint8_t>(1u << (rng() % 8));
    }
    if (rng() % 8 == 0) p.resize(rng() % p.size());
    Bytes out;
    const PatchStatus status = bdt::PatchBytes(old, p, out);
    const std::optional<Bytes> expected = Reference(old, p);
    ASSERT_EQ(status == PatchStatus::Ok, expected.has_value()) << "seed " << seed;
    if (expected) {
      ASSERT_EQ(out, *expected) << "seed " << seed;
    } else {
      ++refused;
    }
  }
  EXPECT_GT(refused, 1000);  // the loop did reach the rules
}

// ---- the reference diff ----------------------------------------------------------------

TEST(BdtDiff, RebuildsTheNewFileFromChangesOfEveryKind) {
  const Bytes base = Noise(20000, 7);
  auto edit = [&](const std::function<void(Bytes&)>& change) {
    Bytes b = base;
    change(b);
    return b;
  };
  struct Case {
    const char* name;
    Bytes old, now;
    size_t maxPatch;  // the patch must stay below this: the common runs were found
  } cases[] = {
      {"equal files", base, base, 100},
      {"bytes changed in place", edit([](Bytes& b) { for (size_t i = 0; i < b.size(); i += 1000) b[i] ^= 1; }),
       base, 20 * 60},
      {"inserted bytes", base, edit([](Bytes& b) { b.insert(b.begin() + 7777, 300, 'i'); }), 500},
      {"deleted bytes", base, edit([](Bytes& b) { b.erase(b.begin() + 100, b.begin() + 900); }), 100},
      {"moved block", base,
       edit([&](Bytes& b) {
         b.erase(b.begin() + 5000, b.begin() + 9000);
         b.insert(b.end(), base.begin() + 5000, base.begin() + 9000);
       }),
       150},
      {"repeated block", base, edit([&](Bytes& b) { b.insert(b.begin(), base.begin() + 64, base.begin() + 4064); }),
       150},
      {"empty old file", {}, base, base.size() + 18},
      {"empty new file", base, {}, 18},
      {"tiny files", B("abc"), B("abd"), 21},
      {"unrelated files", Noise(5000, 1), Noise(6000, 2), 6000 + 18 + 12 * 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes patch, out;
    ASSERT_TRUE(bdt::MakeDiff(c.old, c.now, patch));
    EXPECT_LE(patch.size(), c.maxPatch);
    EXPECT_EQ(le::Get32(patch, 6), c.old.size());
    ASSERT_EQ(bdt::PatchBytes(c.old, patch, out), PatchStatus::Ok);
    EXPECT_TRUE(out == c.now);
  }
}

// ---- PatchFile over files ----------------------------------------------------------

namespace {

class PatchFileTest : public ::testing::Test {
 protected:

  void Write(const std::string& name, const Bytes& bytes) {
    ASSERT_TRUE(zt::WriteAll(D + name, S(bytes))) << name;
  }
  std::string Read(const std::string& name) { return Get(D + name); }
  std::string Get(const std::string& path) {
    std::string s;
    EXPECT_TRUE(zt::ReadAll(path, s)) << path;
    return s;
  }
  // The lines written since `from`.
  Strings LinesFrom(size_t from) const {
    return Strings(form.ProtLines().begin() + static_cast<long>(from), form.ProtLines().end());
  }

  ui::ScriptedToolkit tk;
  TForm1 form{&tk};
  zt::TempDir dir;
  std::string D = dir.Dos();
};

std::string L(int kind, const std::string& text) { return prot::MakeLine(kind, text); }

}  // namespace

TEST_F(PatchFileTest, BuildsTheOutputAndReplacesAnExistingFile) {
  const Bytes old = Noise(100000, 3);
  Bytes now = old;
  now.insert(now.begin() + 40000, 1000, 'n');
  Bytes patch;
  ASSERT_TRUE(bdt::MakeDiff(old, now, patch));
  Write("old", old);
  Write("patch", patch);
  Write("out", B("an older and longer file that is replaced" + std::string(200000, 'x')));
  const size_t lines = form.ProtLines().size();
  ASSERT_TRUE(PatchFile(form, D + "old", D + "out", D + "patch"));
  EXPECT_TRUE(Read("out") == S(now));
  EXPECT_EQ(form.ProtLines().size(), lines);  // success writes no line
  EXPECT_EQ(form.PrBar.Max(), 3u);
  EXPECT_EQ(form.PrBar.Position(), 3u);
  // The three files are free again: the old file and the patch can be removed.
  EXPECT_TRUE(os::DeleteFile(D + "old"));
  EXPECT_TRUE(os::DeleteFile(D + "patch"));
}

TEST_F(PatchFileTest, AnOutputOfManyWritePiecesIsWholeInBothFormats) {
  // Runs that straddle the pieces the new file is written in: new bytes, copies
  // going back and forth, and for BDX covers, each a few hundred kilobytes.
  const Bytes old = Noise(1500000, 5);
  const Bytes lit = Noise(900000, 6);
  const Bytes diff = Noise(700000, 7);
  const std::vector<TPatchRecord> records = {
      {0, 300001, 700000}, {-650000, 0, 900001}, {-1000, 450000, 1}};
  const uint32_t bdtSize = 300001 + 700000 + 900001 + 450000 + 1 + 123;  // with a tail
  const std::vector<bdx::TBdxRecord> runs = {bdx::TBdxRecord{bdx::kInsert, 0, 400003},
                                             bdx::TBdxRecord{bdx::kCover, 1000, 700000},
                                             bdx::TBdxRecord{bdx::kCopy, -600000, 1200001},
                                             bdx::TBdxRecord{bdx::kInsert, 0, 499997}};
  struct Case {
    const char* name;
    Bytes patch;
    PatchFormat format;
  } cases[] = {
      {"BDT", bdt::WritePatch(0, bdtSize, records, Bytes(lit.begin(), lit.begin() + 750125)),
       PatchFormat::Bdt},
      {"BDX", bdx::WriteBdx(static_cast<uint32_t>(old.size()), 400003 + 700000 + 1200001 + 499997, runs,
                            diff, Bytes(lit.begin(), lit.begin() + 900000)),
       PatchFormat::Bdx},
  };
  Write("old", old);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes expected;
    if (c.format == PatchFormat::Bdt) {
      ASSERT_EQ(bdt::PatchBytes(old, c.patch, expected), PatchStatus::Ok);
    } else {
      ASSERT_EQ(bdx::BdxBytes(old, c.patch, expected), bdx::BdxStatus::Ok);
    }
    ASSERT_GT(expected.size(), 2000000u);
    Write("patch", c.patch);
    ASSERT_TRUE(PatchFile(form, D + "old", D + "out", D + "patch", c.format));
    EXPECT_TRUE(Read("out") == S(expected));
  }
}

TEST_F(PatchFileTest, FailureLines) {
  const Bytes old = B("0123456789");
  const Bytes good = Patch(4, {{0, 2, 2}}, "ab");
  const std::string open = L(26, "Невозможно открыть файл");
  struct Case {
    const char* name;
    Bytes old, patch;
    std::string oldName = "old", outName = "out";
    Strings lines;
    bool outLeft;  // an output file stands after the failure
    std::string outBytes = "";
  };
  const std::vector<Case> cases = {
      {"old file missing", old, good, "none", "out", {open, " " + D + "none"}, false},
      {"empty old file", {}, good, "old", "out", {L(26, "Невозможно создать hMapIn мэппинг")}, false},
      {"patch missing", old, {}, "old", "out", {open, " " + D + "nopatch"}, false},
      {"empty patch", old, Bytes{}, "old", "out", {L(26, "Невозможно создать hMapPatch мэппинг")},
       false},
      {"output cannot be created", old, good, "old", "no folder\\out",
       {L(26, "Невозможно создать файл"), " " + D + "no folder\\out"}, false},
      {"PatchNewSize 0", old, Patch(0, {}, ""), "old", "out",
       {L(26, "Невозможно создать hMapOut мэппинг")}, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    os::DeleteFile(D + "out");
    if (c.oldName == "old") Write("old", c.old);
    const std::string patchName = std::string(c.name) == "patch missing" ? "nopatch" : "patch";
    if (patchName == "patch") Write("patch", c.patch);
    const size_t from = form.ProtLines().size();
    EXPECT_FALSE(PatchFile(form, D + c.oldName, D + c.outName, D + patchName));
    EXPECT_EQ(LinesFrom(from), c.lines);
    EXPECT_EQ(os::FileExists(D + "out"), c.outLeft);
    if (c.outLeft) {
      EXPECT_EQ(Read("out"), c.outBytes);
    }
  }
}

// A broken patch is refused before the output is touched: an existing output keeps
// its bytes.
TEST_F(PatchFileTest, BrokenPatchIsRefusedBeforeTheOutputIsTouched) {
  Write("old", B("0123456789"));
  Write("out", B("the file before"));
  struct Case {
    const char* name;
    Bytes patch;
    std::string text;
  } cases[] = {
      {"short header", B("BDT\1\0\4"), "файл различий короче своего заголовка"},
      {"copy outside", Patch(4, {{0, 1, 1}, {20, 0, 2}}, "a"),
       "копирование за пределами старого файла (запись 2)"},
      {"literals short", Patch(8, {{0, 4, 0}}, "abcdef"),
       "новых данных в файле различий недостаточно"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Write("patch", c.patch);
    const size_t from = form.ProtLines().size();
    EXPECT_FALSE(PatchFile(form, D + "old", D + "out", D + "patch"));
    EXPECT_EQ(LinesFrom(from), (Strings{L(26, "Файл различий поврежден: " + c.text), " " + D + "patch"}));
    EXPECT_EQ(Read("out"), "the file before");
  }
}

// ---- the difference appliers -----------------------------------------------------------

namespace {

// A plain base file: header, an index of two parts, records of text.
Bytes PlainBase(const std::vector<std::string>& texts) {
  Bytes b(8 + 16, 0);
  le::Set32(b, 4, 2);
  le::Set32(b, 8, 24);
  for (const std::string& t : texts) {
    const size_t p = b.size();
    b.resize(p + 7);
    le::Set32(b, p, static_cast<uint32_t>(p));
    b[p + 4] = 1;
    b[p + 5] = static_cast<uint8_t>(t.size());
    b[p + 6] = static_cast<uint8_t>(t.size() >> 8);
    b.insert(b.end(), t.begin(), t.end());
  }
  le::Set32(b, 0, static_cast<uint32_t>(b.size()));
  le::Set32(b, 12, static_cast<uint32_t>(b.size() - 24));
  return b;
}

Bytes Scrambled(Bytes plain, uint32_t key) {
  EXPECT_EQ(ScrambleBase(plain, key, product::kBaseM1, product::kBaseM2), BaseStatus::Ok);
  return plain;
}

class ApplierTest : public PatchFileTest {
 protected:
  void SetUp() override {
    PatchFileTest::SetUp();
    for (const char* f : {"zum\\Base\\", "zum\\Exe\\", "tmp\\WRK\\Base\\", "tmp\\WRK\\Exe\\",
                          "tmp\\BAK1\\Base\\", "tmp\\BAK1\\Exe\\"}) {
      std::string made;
      std::string path = D;
      for (const char* p = f; *p; ++p) {
        path += *p;
        if (*p == '\\') os::CreateDir(path);
      }
    }
    form.ConfigBuffer.assign(product::kConfigSize, 0);
  }

  // The files of one entry: the target and its backup hold `old`, the work file
  // the patch from `plainOld` to `plainNew`.
  void Prepare(const std::string& name, const Bytes& old, const Bytes& plainOld,
               const Bytes& plainNew) {
    Bytes patch;
    ASSERT_TRUE(bdt::MakeDiff(plainOld, plainNew, patch));
    Write("zum\\" + name, old);
    Write("tmp\\BAK1\\" + name, old);
    Write("tmp\\WRK\\" + name, patch);
  }
  std::string Target(const std::string& name) const { return D + "zum\\" + name; }
  std::string Work(const std::string& name) const { return D + "tmp\\WRK\\" + name; }
  std::string Backup(const std::string& name) const { return D + "tmp\\BAK1\\" + name; }

  static pkg::TPartNfo Entry(uint8_t kind, const Bytes& old, const Bytes& prep, const Bytes& mid,
                             const Bytes& now) {
    pkg::TPartNfo e;
    e.Kind = kind;
    e.OldSize = static_cast<uint32_t>(old.size());
    e.OldSum = pkg::AddSum(old);
    e.PrepSize = static_cast<uint32_t>(prep.size());
    e.PrepSum = pkg::AddSum(prep);
    e.MidSize = static_cast<uint32_t>(mid.size());
    e.MidSum = pkg::AddSum(mid);
    e.NewSize = static_cast<uint32_t>(now.size());
    e.NewSum = pkg::AddSum(now);
    return e;
  }

  const std::string ok = " ...ОК ";
  const std::string bad = " ...Были ошибки ";
  const std::string okLine = "...ОК ";
};

}  // namespace

TEST_F(ApplierTest, BinDiffRebuildsTheTargetFromTheBackup) {
  const Bytes old = Noise(5000, 11);
  Bytes now = old;
  now.insert(now.begin() + 100, 50, 'b');
  const std::string name = "Rus.dat";
  const std::string t = Target(name), w = Work(name), k = Backup(name);
  struct Case {
    const char* name;
    bool oldMatches, newMatches;
  } cases[] = {{"applied", true, true}, {"backup is not the old file", false, true},
               {"result is not the new file", true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Prepare(name, old, old, now);
    pkg::TPartNfo e = Entry(pkg::kBinDiff, old, {}, {}, now);
    if (!c.oldMatches) e.OldSize += 1;
    if (!c.newMatches) e.NewSum += 1;
    const size_t from = form.ProtLines().size();
    EXPECT_EQ(form.ApplyBinDiff(e, t, w, k), c.oldMatches && c.newMatches);
    Strings expected = {L(20, k), okLine, L(21, k) + (c.oldMatches ? ok : bad)};
    if (c.oldMatches) {
      expected.insert(expected.end(), {L(22, t) + ok, L(20, t), okLine,
                                       L(21, t) + (c.newMatches ? ok : bad), L(11, w) + ok});
      EXPECT_TRUE(Get(t) == S(now));
      EXPECT_FALSE(os::FileExists(w));  // removed whatever the check found
    } else {
      EXPECT_TRUE(Get(t) == S(old));
    }
    EXPECT_EQ(LinesFrom(from), expected);
  }
}

TEST_F(ApplierTest, DbbDiffUnscramblesPatchesAndScramblesAgain) {
  const std::string name = "Base\\std3";
  const uint32_t key = product::kBaseKeys[2];
  const Bytes plainOld = PlainBase({"first record", std::string(600, 'a'), "third", "last"});
  // One record changed, one inserted: every later record moves and so scrambles
  // differently.
  const Bytes plainNew =
      PlainBase({"first record", "inserted record", std::string(600, 'b'), "third", "last"});
  const Bytes old = Scrambled(plainOld, key), now = Scrambled(plainNew, key);
  const std::string t = Target(name), w = Work(name), k = Backup(name), p = w + "~";

  struct Case {
    const char* name;
    bool prepMatches, midMatches, newMatches;
  } cases[] = {
      {"applied", true, true, true},
      // The checks of the plain forms are reported only.
      {"prepared file off its record", false, true, true},
      {"patched plain file off its record", true, false, true},
      {"result is not the new file", true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Prepare(name, old, plainOld, plainNew);
    pkg::TPartNfo e = Entry(pkg::kDbbDiff, old, plainOld, plainNew, now);
    if (!c.prepMatches) e.PrepSum ^= 1;
    if (!c.midMatches) e.MidSize += 1;
    if (!c.newMatches) e.NewSum ^= 1;
    const size_t from = form.ProtLines().size();
    EXPECT_EQ(form.ApplyDbbDiff(e, t, w, k), c.newMatches);
    const Strings expected = {
        L(20, k), okLine, L(21, k) + ok,
        L(18, p) + ok,
        L(20, p), okLine, L(21, p) + (c.prepMatches ? ok : bad),
        L(22, t) + ok,
        L(11, w) + ok, L(11, p) + ok,
        L(13, t + " в " + w) + ok,
        L(20, w) + ok, L(21, w) + (c.midMatches ? ok : bad),
        L(19, t), okLine,
        L(20, t) + ok, L(21, t) + (c.newMatches ? ok : bad)};
    EXPECT_EQ(LinesFrom(from), expected);
    EXPECT_TRUE(Get(t) == S(now));
    // The work path keeps the plain patched file; the prepared file is gone.
    EXPECT_TRUE(Read("tmp\\WRK\\" + name) == S(plainNew));
    EXPECT_FALSE(os::FileExists(p));
  }
}

TEST_F(ApplierTest, DbbDiffFailures) {
  const Bytes plainOld = PlainBase({"one", "two"}), plainNew = PlainBase({"one", "two", "three"});
  {
    SCOPED_TRACE("a name without a key");
    const std::string name = "Base\\stdx";
    Prepare(name, plainOld, plainOld, plainNew);
    const pkg::TPartNfo e = Entry(pkg::kDbbDiff, plainOld, plainOld, plainNew, plainNew);
    const size_t from = form.ProtLines().size();
    EXPECT_FALSE(form.ApplyDbbDiff(e, Target(name), Work(name), Backup(name)));
    EXPECT_EQ(LinesFrom(from), (Strings{L(20, Backup(name)), okLine, L(21, Backup(name)) + ok,
                                        L(18, Work(name) + "~") + bad}));
    EXPECT_TRUE(Read("zum\\" + name) == S(plainOld));
  }
  {
    SCOPED_TRACE("a base file beyond the converter's limits");
    // Scrambled with key 7, the first record's DataLen reading 0x4E21 = 20,001.
    const std::string name = "Base\\std7";
    Bytes broken = plainOld;
    broken[24 + 5] = 0x21;
    broken[24 + 6] = 0x4E;
    XorBaseStretch({broken.data(), 8}, BaseHeaderValue(7, product::kBaseM1));
    XorBaseStretch({broken.data() + 8, 16}, BaseIndexValue(7, product::kBaseM2));
    XorBaseStretch({broken.data() + 24, 7}, BaseRecordValue(24, 7));
    Prepare(name, broken, plainOld, plainNew);
    const pkg::TPartNfo e = Entry(pkg::kDbbDiff, broken, plainOld, plainNew, plainNew);
    const size_t from = form.ProtLines().size();
    EXPECT_FALSE(form.ApplyDbbDiff(e, Target(name), Work(name), Backup(name)));
    const Strings lines = LinesFrom(from);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[3], L(18, Work(name) + "~"));
    EXPECT_EQ(lines[4], L(26, "Базовый файл " + Backup(name) +
                                  " не поддерживается: запись длиннее 20000 байт") + bad);
  }
  {
    SCOPED_TRACE("a patch that does not fit the prepared file");
    const std::string name = "Base\\std9";
    Prepare(name, Scrambled(plainOld, 9), plainOld, plainNew);
    Write("tmp\\WRK\\" + name, Patch(8, {{40, 0, 8}}, ""));
    const pkg::TPartNfo e = Entry(pkg::kDbbDiff, Scrambled(plainOld, 9), plainOld, plainNew,
                                  Scrambled(plainNew, 9));
    const size_t from = form.ProtLines().size();
    EXPECT_FALSE(form.ApplyDbbDiff(e, Target(name), Work(name), Backup(name)));
    const Strings lines = LinesFrom(from);
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[7], L(22, Target(name)));
    EXPECT_EQ(lines[8], L(26, "Файл различий поврежден: копирование за пределами старого файла (запись 1)"));
    EXPECT_EQ(lines[9], " " + Work(name) + bad);
    EXPECT_TRUE(Read("zum\\" + name) == S(Scrambled(plainOld, 9)));  // not touched
  }
}

TEST_F(ApplierTest, PeDiffAppliesOnlyToItsEdition) {
  const Bytes old = Noise(30000, 21);
  Bytes now = old;
  for (size_t i = 1000; i < 29000; i += 3000) now[i] ^= 0x77;
  const std::string name = "Exe\\zum.exe";
  const std::string t = Target(name), w = Work(name), p = w + "~";
  struct Case {
    uint8_t edition;
    int kind;
    bool applied;
  } cases[] = {{0, pkg::kPe1Diff, true}, {0, pkg::kPe2Diff, false}, {1, pkg::kPe1Diff, false},
               {1, pkg::kPe2Diff, true}, {7, pkg::kPe2Diff, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "edition " << int{c.edition} << ", kind " << c.kind);
    Prepare(name, old, old, now);
    form.ConfigBuffer[product::kConfigEditionOffset] = c.edition;
    const pkg::TPartNfo e = Entry(static_cast<uint8_t>(c.kind), old, {}, {}, now);
    const size_t from = form.ProtLines().size();
    EXPECT_TRUE(form.ApplyPeDiff(e, c.kind, w, Backup(name), t));
    if (c.applied) {
      EXPECT_EQ(LinesFrom(from),
                (Strings{L(13, t + " в " + p) + ok, L(20, p), okLine, L(21, p) + ok, L(22, t) + ok,
                         L(20, t), okLine, L(21, t) + ok, L(11, w) + ok, L(11, p) + ok}));
      EXPECT_TRUE(Read("zum\\" + name) == S(now));
      EXPECT_FALSE(os::FileExists(w));
      EXPECT_FALSE(os::FileExists(p));
    } else {
      EXPECT_TRUE(LinesFrom(from).empty());
      EXPECT_TRUE(Read("zum\\" + name) == S(old));
      EXPECT_TRUE(os::FileExists(w));
    }
    // The backup is the recovery's and stays.
    EXPECT_TRUE(Read("tmp\\BAK1\\" + name) == S(old));
  }
}

TEST_F(ApplierTest, PeDiffOldFileCheckAllowsOneByteOfDifference) {
  // 8,000 bytes, whole words: a zero byte after them adds nothing to the checksum.
  const Bytes old = Noise(8000, 5);
  Bytes now = old;
  now[10] ^= 1;
  const std::string name = "Exe\\zum.exe";
  const std::string t = Target(name), w = Work(name), p = w + "~";
  struct Case {
    const char* name;
    size_t zeros;   // appended to the installed executable
    bool sumOff;
    bool ok;
  } cases[] = {{"as recorded", 0, false, true},
               {"one trailing zero byte", 1, false, true},
               {"two trailing zero bytes", 2, false, false},
               {"another checksum", 0, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes installed = old;
    installed.insert(installed.end(), c.zeros, 0);
    if (c.sumOff) installed[5] ^= 1;
    Prepare(name, installed, old, now);
    const pkg::TPartNfo e = Entry(pkg::kPe1Diff, old, {}, {}, now);
    const size_t from = form.ProtLines().size();
    EXPECT_EQ(form.ApplyPeDiff(e, pkg::kPe1Diff, w, Backup(name), t), c.ok);
    const Strings lines = LinesFrom(from);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[3], L(21, p) + (c.ok ? ok : bad));
    if (c.ok) {
      EXPECT_TRUE(Read("zum\\" + name) == S(now));
    } else {
      // The executable stays moved aside; the recovery brings it back.
      EXPECT_EQ(lines.size(), 4u);
      EXPECT_FALSE(os::FileExists(t));
      EXPECT_TRUE(os::FileExists(p));
      os::DeleteFile(p);
    }
  }
}

TEST_F(ApplierTest, PeDiffWithoutTheConfigurationFails) {
  form.ConfigBuffer.clear();
  const pkg::TPartNfo e;
  EXPECT_FALSE(form.ApplyPeDiff(e, pkg::kPe1Diff, Work("Exe\\zum.exe"), Backup("Exe\\zum.exe"),
                                Target("Exe\\zum.exe")));
  EXPECT_EQ(form.ProtLines().back(), L(26, "Не прочитан файл-конфигуратор: редакция ZUM неизвестна"));
}
