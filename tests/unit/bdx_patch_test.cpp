// BDX patches (EXTDIFF entries): the layout byte by byte, the rules a patch must
// keep, damaged patches against an independent reading of the rules, the extended
// difference the package builder makes, and PatchFile applying one on files.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "format/bdx_patch.h"
#include "format/patch.h"
#include "frontends/scripted/scripted.h"
#include "installer/form1.h"
#include "installer/patch_file.h"
#include "pack/bdt_diff.h"
#include "pack/bdx_writer.h"
#include "pack/payload_encode.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using bdx::BdxStatus;
using bdx::TBdxRecord;

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string S(const Bytes& b) { return std::string(b.begin(), b.end()); }

Bytes Noise(size_t n, uint32_t seed) {
  Bytes b(n);
  std::mt19937 rng(seed);
  for (uint8_t& c : b) c = static_cast<uint8_t>(rng());
  return b;
}

TBdxRecord Ins(uint32_t len) { return {bdx::kInsert, 0, len}; }
TBdxRecord Copy(int32_t seek, uint32_t len) { return {bdx::kCopy, seek, len}; }
TBdxRecord Cover(int32_t seek, uint32_t len) { return {bdx::kCover, seek, len}; }

Bytes Patch(uint32_t oldSize, uint32_t newSize, const std::vector<TBdxRecord>& records,
            const Bytes& diff, const std::string& literals, uint8_t version = 2,
            uint32_t zerosFrom = bdx::kZerosFrom) {
  return bdx::WriteBdx(oldSize, newSize, records, diff, B(literals), version, zerosFrom);
}

// The rules read independently, every access checked: the bytes a patch makes, or
// nothing when it breaks a rule. Re-aimed references are read from their
// description: a table of where each old byte went, filled byte by byte.
std::optional<Bytes> Reference(const Bytes& old, const Bytes& p) {
  if (p.size() < 4 || p[0] != 'B' || p[1] != 'D' || p[2] != 'X' || p[3] < 1 || p[3] > 3)
    return std::nullopt;
  const int version = p[3];
  const bool v1 = version == 1;
  const size_t header = 16 + 8 * version;
  if (p.size() < header) return std::nullopt;
  const uint8_t maxTag = v1 ? 3 : version == 2 ? 5 : 6;
  // The streams: v1 records, diff, literals; v2 tags, seeks, lengths, diff,
  // literals; v3 tags, seeks, lengths, given counts, zero counts, diff, literals.
  std::vector<size_t> start, end;
  size_t at = header;
  for (size_t k = 0; k < (header - 12) / 4; ++k) {
    start.push_back(at);
    at += le::Get32(p, 12 + 4 * k);
    end.push_back(at);
  }
  const uint64_t oldSize = le::Get32(p, 4), newSize = le::Get32(p, 8);
  if (oldSize != old.size() || at != p.size()) return std::nullopt;
  size_t r = start[0], l = start[end.size() - 1];
  const size_t recEnd = end[0], litEnd = p.size();
  size_t seekAt = v1 ? 0 : start[1], lenAt = v1 ? 0 : start[2];
  // A number of a record: v1 a u32 in the record stream; later a varint in its stream.
  auto number = [&](size_t& from, size_t to, bool zigzag) -> std::optional<int64_t> {
    if (v1) {
      if (recEnd - r < 4) return std::nullopt;
      r += 4;
      return zigzag ? int64_t{static_cast<int32_t>(le::Get32(p, r - 4))} : le::Get32(p, r - 4);
    }
    uint64_t v = 0;
    for (int shift = 0;; shift += 7) {
      if (from >= to || shift > 28) return std::nullopt;
      v += uint64_t{p[from] & 0x7Fu} << shift;
      if (!(p[from++] & 0x80)) break;
    }
    if (v > 0xFFFFFFFFu) return std::nullopt;
    return zigzag ? (v % 2 ? -int64_t(v / 2) - 1 : int64_t(v / 2)) : int64_t(v);
  };
  // The difference sequence: v1 and v2 give it whole; v3 as stretches, each its
  // given bytes and then its zeros. It cannot be longer than the new file.
  const size_t diffStart = start[end.size() - 2], diffEnd = end[end.size() - 2];
  Bytes seq;
  if (version < 3) {
    seq.assign(p.begin() + diffStart, p.begin() + diffEnd);
  } else {
    size_t g = start[3], z = start[4], given = diffStart;
    while (g < end[3] || z < end[4]) {
      const auto taken = number(g, end[3], false), zeros = number(z, end[4], false);
      if (!taken || !zeros || *taken > int64_t(diffEnd - given) ||
          seq.size() + *taken + *zeros > newSize)
        return std::nullopt;
      seq.insert(seq.end(), p.begin() + given, p.begin() + given + *taken);
      seq.resize(seq.size() + *zeros, 0);
      given += *taken;
    }
    if (given != diffEnd) return std::nullopt;
  }
  size_t d = 0;
  const size_t difEnd = seq.size();
  int64_t pos = 0;
  Bytes out;
  struct Run {
    uint8_t tag;
    int64_t old;
    size_t at, len, diff;
  };
  std::vector<Run> runs;
  while (r < recEnd) {
    const uint8_t tag = p[r++];
    if (tag < 1 || tag > maxTag) return std::nullopt;
    const bool literal = tag == 1 || tag == 6;  // INSERT, CODE
    int64_t seek = 0;
    if (!literal) {
      const auto n = number(seekAt, v1 ? 0 : end[1], true);
      if (!n) return std::nullopt;
      seek = *n;
    }
    const auto n = number(lenAt, v1 ? 0 : end[2], false);
    if (!n) return std::nullopt;
    const int64_t len = *n;
    if (len == 0 || len >= 0x80000000) return std::nullopt;
    pos += seek;
    runs.push_back({tag, pos, out.size(), size_t(len), d});
    for (int64_t k = 0; k < len; ++k) {
      if (out.size() >= newSize) return std::nullopt;
      if (literal) {
        if (l >= litEnd) return std::nullopt;
        out.push_back(p[l++]);
      } else {
        if (pos < 0 || pos >= static_cast<int64_t>(old.size())) return std::nullopt;
        uint8_t b = old[static_cast<size_t>(pos++)];
        if (tag >= 3 && tag <= 5) {
          if (d >= difEnd) return std::nullopt;
          b = static_cast<uint8_t>(b + seq[d++]);
        }
        out.push_back(b);
      }
    }
  }
  if (out.size() != newSize || d != difEnd || l != litEnd) return std::nullopt;
  if (!v1 && (seekAt != end[1] || lenAt != end[2])) return std::nullopt;
  // Where each old byte went: the first run by old position, then new, that holds it.
  std::vector<Run> byOld;
  for (const Run& run : runs)
    if (run.tag != 1 && run.tag != 6) byOld.push_back(run);
  std::stable_sort(byOld.begin(), byOld.end(), [](const Run& a, const Run& b) {
    return a.old != b.old ? a.old < b.old : a.at < b.at;
  });
  std::vector<int64_t> went(old.size(), -1);
  for (const Run& run : byOld)
    for (size_t k = 0; k < run.len; ++k)
      if (went[run.old + k] < 0) went[run.old + k] = static_cast<int64_t>(run.at + k);
  for (const Run& run : runs) {
    if (run.tag != 5) continue;
    // Absolute addresses: 8 bytes at file offsets divisible by 8, from 4096 to the
    // old file's end.
    for (size_t k = 0; k + 8 <= run.len; ++k) {
      if ((run.old + k) % 8 != 0) continue;
      const uint64_t v = le::Get64(&old[run.old + k]);
      if (v < 4096 || v >= old.size() || went[v] < 0) continue;
      for (int b = 0; b < 8; ++b)
        out[run.at + k + b] = static_cast<uint8_t>((uint64_t(went[v]) >> (8 * b)) + seq[run.diff + k + b]);
    }
  }
  // The place of the operand of an instruction at `o` with `left` bytes of its run
  // from there on: 0 for none.
  auto fieldAt = [](const uint8_t* o, size_t left) -> size_t {
    static const std::string one = "\x01\x03\x09\x0B\x11\x13\x19\x1B\x21\x23\x29\x2B"
                                   "\x31\x33\x39\x3B\x63\x84\x85\x86\x87\x88\x89\x8A"
                                   "\x8B\x8D\xFF";
    static const std::string two = "\x10\x11\x12\x13\x16\x17\x28\x29\x2A\x2E\x2F\x51"
                                   "\x54\x55\x56\x57\x58\x59\x5A\x5C\x5D\x5E\x5F\x6E"
                                   "\x6F\x7E\x7F\xAF\xB6\xB7\xBE\xBF\xD6\xEF";
    auto rip = [](uint8_t modrm) { return modrm % 8 == 5 && modrm / 64 == 0; };
    auto in = [](const std::string& set, uint8_t b) { return set.find(char(b)) != set.npos; };
    if (left < 5) return 0;
    if (o[0] == 0xE8 || o[0] == 0xE9) return 1;  // call, jmp
    if (left >= 6 && o[0] == 0x0F && o[1] >= 0x80 && o[1] <= 0x8F) return 2;  // conditional jump
    if (left >= 6 && in(one, o[0]) && rip(o[1])) return 2;  // [rip + disp32]
    if (left >= 7 && o[0] == 0x0F && in(two, o[1]) && rip(o[2])) return 3;  // 0F: [rip + disp32]
    return 0;
  };
  for (const Run& run : runs) {
    if (run.tag == 6) {
      // Every operand stored as the new position it points to.
      const Bytes stored(out.begin() + run.at, out.begin() + run.at + run.len);
      for (size_t i = 0; i < run.len;) {
        const size_t field = fieldAt(&stored[i], run.len - i);
        if (!field) {
          ++i;
          continue;
        }
        const uint64_t end = run.at + i + field + 4;
        le::Set32(&out[run.at + i + field], static_cast<uint32_t>(le::Get32(stored, i + field) - end));
        i += field + 4;
      }
    }
    if (run.tag != 4) continue;
    Bytes predicted(old.begin() + run.old, old.begin() + run.old + run.len);
    size_t i = 0;
    while (i + 5 <= run.len) {
      const size_t field = fieldAt(&old[run.old + i], run.len - i);
      const int64_t oldEnd = run.old + static_cast<int64_t>(i + field + 4);
      const int64_t target =
          field ? oldEnd + static_cast<int32_t>(le::Get32(old, run.old + i + field)) : -1;
      if (target < 0 || target >= static_cast<int64_t>(old.size())) {
        ++i;
        continue;
      }
      const int64_t rel = went[target] - static_cast<int64_t>(run.at + i + field + 4);
      if (went[target] >= 0 && rel >= INT32_MIN && rel <= INT32_MAX)
        le::Set32(predicted, i + field, static_cast<uint32_t>(rel));
      i += field + 4;
    }
    for (size_t k = 0; k < run.len; ++k)
      out[run.at + k] = static_cast<uint8_t>(predicted[k] + seq[run.diff + k]);
  }
  return out;
}

// Machine-code-like data: instructions with 32-bit addresses into a table. The new
// build moves the table, so every address changes by the same amount, and inserts
// a routine; a copy-only difference breaks at every address.
struct TCodePair {
  Bytes old, now;
};
TCodePair CodePair(size_t instructions, uint32_t seed) {
  std::mt19937 rng(seed);
  TCodePair p;
  for (size_t i = 0; i < instructions; ++i) {
    const uint8_t op[] = {0x8B, 0x05, 0xE8, 0x48, 0x89, 0x0F};
    const size_t len = 1 + rng() % 4;
    for (size_t k = 0; k < len; ++k) {
      const uint8_t b = op[rng() % 6];
      p.old.push_back(b);
      p.now.push_back(b);
    }
    const uint32_t address = 0x401000u + (rng() % 4096) * 8;
    for (int k = 0; k < 4; ++k) {
      p.old.push_back(static_cast<uint8_t>(address >> (8 * k)));
      p.now.push_back(static_cast<uint8_t>((address + 0x1230) >> (8 * k)));
    }
    if (i == instructions / 3) {
      const Bytes routine = Noise(300, seed + 1);
      p.now.insert(p.now.end(), routine.begin(), routine.end());
    }
  }
  return p;
}

// Machine code with calls: functions that call one another with E8 and relative
// operands, and take one another's addresses with a RIP-relative lea; a table of
// their absolute addresses follows the code, and with `relocations` a table of
// relocations of them. The new build inserts a function in the middle, so every call between
// a function before it and one after it gets a new operand, though nothing else
// in either function changed.
TCodePair CallPair(size_t functions, uint32_t seed, bool relocations = false) {
  std::mt19937 rng(seed);
  std::vector<Bytes> bodies(functions);  // with 0xE8 and four zeros where a call goes
  std::vector<std::vector<std::pair<size_t, size_t>>> calls(functions);  // at, callee
  for (size_t f = 0; f < functions; ++f) {
    const size_t len = 40 + rng() % 160;
    while (bodies[f].size() < len) {
      if (rng() % 6 == 0) {
        calls[f].push_back({bodies[f].size(), rng() % functions});
        bodies[f].insert(bodies[f].end(), {0xE8, 0, 0, 0, 0});
      } else if (rng() % 12 == 0) {
        bodies[f].push_back(0x48);  // lea rax, [rip + the callee]
        calls[f].push_back({bodies[f].size() + 1, rng() % functions});
        bodies[f].insert(bodies[f].end(), {0x8D, 0x05, 0, 0, 0, 0});
      } else {
        bodies[f].push_back(static_cast<uint8_t>(0x10 + rng() % 0xC0));  // no E8, E9, 0F
      }
    }
  }
  auto link = [&](size_t insertAt, const Bytes& inserted) {
    std::vector<size_t> start(functions);
    Bytes image;
    for (size_t f = 0; f < functions; ++f) {
      if (f == insertAt) image.insert(image.end(), inserted.begin(), inserted.end());
      start[f] = image.size();
      image.insert(image.end(), bodies[f].begin(), bodies[f].end());
    }
    // A table of the functions' addresses, as a data section holds pointers.
    image.resize((image.size() + 7) / 8 * 8, 0xCC);
    for (size_t f = 0; f < functions; f += 3) {
      image.resize(image.size() + 8);
      le::Set64(image.data() + image.size() - 8, start[f]);
    }
    // Relocations, three u64 each (where, a kind, what); the new build has one
    // more every 40.
    auto entry = [&](uint64_t where, uint64_t what) {
      image.resize(image.size() + 24);
      le::Set64(image.data() + image.size() - 24, where);
      le::Set64(image.data() + image.size() - 16, 8);
      le::Set64(image.data() + image.size() - 8, what);
    };
    for (size_t f = 1; relocations && f < functions; ++f) {
      entry(start[f], start[f * 7919 % functions]);
      if (insertAt < functions && f % 40 == 0) entry(start[f] + 8, start[0]);
    }
    for (size_t f = 0; f < functions; ++f)
      for (auto [at, callee] : calls[f]) {
        const size_t end = start[f] + at + 5;  // E8's operand, or the lea's after 8D
        le::Set32(image.data() + end - 4, static_cast<uint32_t>(start[callee] - end));
      }
    return image;
  };
  return {link(functions, {}), link(functions / 2, Noise(300, seed + 1))};
}

// A routine of calls inserted at the middle of `pair`'s new file: its calls go to
// a few places of the new file, each with its own distance.
TCodePair CodeInserted(TCodePair pair, uint32_t seed) {
  std::mt19937 rng(seed);
  const size_t at = pair.now.size() / 2;
  std::vector<size_t> targets;
  for (int k = 0; k < 5; ++k) targets.push_back(rng() % pair.now.size());
  Bytes routine;
  for (int k = 0; k < 200; ++k) {
    routine.push_back(static_cast<uint8_t>(0x50 + rng() % 8));  // push: no opcode the scan takes
    const size_t end = at + routine.size() + 5;
    size_t target = targets[rng() % targets.size()];
    if (target >= at) target += 1000;  // past the routine, 1000 bytes long
    routine.push_back(0xE8);
    routine.resize(routine.size() + 4);
    le::Set32(routine.data() + routine.size() - 4, static_cast<uint32_t>(target - end));
  }
  routine.resize(1000, 0xC3);
  pair.now.insert(pair.now.begin() + at, routine.begin(), routine.end());
  return pair;
}

size_t CodeRuns(const Bytes& patch, size_t oldSize) {
  bdx::TBdxPlan plan;
  EXPECT_EQ(bdx::ReadBdx(patch, oldSize, plan), BdxStatus::Ok);
  return std::count_if(plan.Runs.begin(), plan.Runs.end(),
                       [](const bdx::TBdxRun& r) { return r.Tag == bdx::kCode; });
}

size_t Compressed(const Bytes& data) {
  payload::EncodeOptions e;
  e.preset = 9;
  Bytes out;
  std::string error;
  EXPECT_TRUE(payload::EncodePayload(data, e, out, error)) << error;
  return out.size();
}

}  // namespace

// ---- the format in memory ----------------------------------------------------------

TEST(BdxPatch, FixturesByteByByte) {
  // Old "0123456789"; new "ab" + "3456" + "012"+{0,1,0} = "ab3456022".
  const Bytes version3 = {
      'B', 'D', 'X', 3,            // magic, version 3
      10, 0, 0, 0,                 // OldSize 10
      9, 0, 0, 0,                  // NewSize 9
      3, 0, 0, 0,                  // TagBytes: three records
      2, 0, 0, 0,                  // SeekBytes
      3, 0, 0, 0,                  // LenBytes
      2, 0, 0, 0,                  // GivenBytes: two stretches
      2, 0, 0, 0,                  // ZeroBytes
      1, 0, 0, 0,                  // DiffBytes
      2, 0, 0, 0,                  // LiteralBytes
      1, 2, 3,                     // tags: INSERT, COPY, COVER
      6,                           // COPY's Seek +3 (zigzag 6): old position 0 -> 3
      13,                          // COVER's Seek -7 (zigzag 13): old position 7 -> 0
      2, 4, 3,                     // Lens: INSERT 2 "ab", COPY 4 "3456", COVER 3 "012"
      0, 1,                        // given counts: the sequence {0,1,0} is no byte
      1, 1,                        //   and one zero, then byte 1 and one zero
      1,                           // difference stream: "012" + {0,1,0} = "022"
      'a', 'b'};                   // literal stream
  const Bytes version2 = {
      'B', 'D', 'X', 2,            // magic, version 2
      10, 0, 0, 0,                 // OldSize 10
      9, 0, 0, 0,                  // NewSize 9
      3, 0, 0, 0,                  // TagBytes: three records
      2, 0, 0, 0,                  // SeekBytes
      3, 0, 0, 0,                  // LenBytes
      3, 0, 0, 0,                  // DiffBytes
      2, 0, 0, 0,                  // LiteralBytes
      1, 2, 3,                     // tags: INSERT, COPY, COVER
      6,                           // COPY's Seek +3 (zigzag 6): old position 0 -> 3
      13,                          // COVER's Seek -7 (zigzag 13): old position 7 -> 0
      2, 4, 3,                     // Lens: INSERT 2 "ab", COPY 4 "3456", COVER 3 "012"
      0, 1, 0,                     // difference stream: "012" + {0,1,0} = "022"
      'a', 'b'};                   // literal stream
  const Bytes version1 = {
      'B', 'D', 'X', 1,            // magic, version 1
      10, 0, 0, 0,                 // OldSize 10
      9, 0, 0, 0,                  // NewSize 9
      23, 0, 0, 0,                 // RecordBytes: 5 + 9 + 9
      3, 0, 0, 0,                  // DiffBytes
      2, 0, 0, 0,                  // LiteralBytes
      1, 2, 0, 0, 0,               // INSERT 2: "ab" from the literal stream
      2, 3, 0, 0, 0, 4, 0, 0, 0,   // COPY Seek +3 (old position 0 -> 3), Len 4: "3456"
      3, 0xF9, 0xFF, 0xFF, 0xFF,   // COVER Seek -7 (old position 7 -> 0),
      3, 0, 0, 0,                  //   Len 3: "012" plus the difference bytes
      0, 1, 0,                     // difference stream: "012" + {0,1,0} = "022"
      'a', 'b'};                   // literal stream
  EXPECT_EQ(Patch(10, 9, {Ins(2), Copy(3, 4), Cover(-7, 3)}, {0, 1, 0}, "ab"), version2);
  EXPECT_EQ(Patch(10, 9, {Ins(2), Copy(3, 4), Cover(-7, 3)}, {0, 1, 0}, "ab", 1), version1);
  EXPECT_EQ(Patch(10, 9, {Ins(2), Copy(3, 4), Cover(-7, 3)}, {0, 1, 0}, "ab", 3, 1), version3);
  for (const Bytes& fixture : {version1, version2, version3}) {
    Bytes out;
    ASSERT_EQ(bdx::BdxBytes(B("0123456789"), fixture, out), BdxStatus::Ok);
    EXPECT_EQ(S(out), "ab3456022");
  }
}

TEST(BdxPatch, FixtureWithReAimedCall) {
  // Old: a call, then "ABCDEFG"; the call's target is old position 5 + 5 = 10
  // ('F'). New: the call, "new", "ABCDEFG": 'F' moved to new position 13.
  const Bytes old = {0xE8, 5, 0, 0, 0, 'A', 'B', 'C', 'D', 'E', 'F', 'G'};
  const Bytes fixture = {
      'B', 'D', 'X', 3,            // magic, version 3
      12, 0, 0, 0,                 // OldSize 12
      15, 0, 0, 0,                 // NewSize 15
      3, 0, 0, 0,                  // TagBytes
      2, 0, 0, 0,                  // SeekBytes
      3, 0, 0, 0,                  // LenBytes
      1, 0, 0, 0,                  // GivenBytes
      1, 0, 0, 0,                  // ZeroBytes
      5, 0, 0, 0,                  // DiffBytes
      3, 0, 0, 0,                  // LiteralBytes
      4, 1, 2,                     // tags: REFCOVER, INSERT, COPY
      0, 0,                        // Seeks: REFCOVER 0, COPY 0
      5, 3, 7,                     // Lens
      // REFCOVER 5: the call; the map sends its target (old 10) to new 13, 8 bytes
      // past the call's new end (5): E8 08 00 00 00. INSERT 3: "new". COPY 7:
      // "ABCDEFG" (old 5 -> new 8).
      5, 0,                        // one stretch: 5 given bytes, no zeros after
      0, 1, 0, 0, 0,               // difference stream: the operand 8 + 1 = 9
      'n', 'e', 'w'};              // literal stream
  EXPECT_EQ(bdx::WriteBdx(12, 15, std::vector<TBdxRecord>{{bdx::kRefCover, 0, 5}, Ins(3), Copy(0, 7)},
                          Bytes{0, 1, 0, 0, 0}, B("new")),
            fixture);
  Bytes out;
  ASSERT_EQ(bdx::BdxBytes(old, fixture, out), BdxStatus::Ok);
  EXPECT_EQ(out, (Bytes{0xE8, 9, 0, 0, 0, 'n', 'e', 'w', 'A', 'B', 'C', 'D', 'E', 'F', 'G'}));
  EXPECT_EQ(Reference(old, fixture), out);
}

TEST(BdxPatch, FixtureWithCodeRun) {
  // New: a nop, two calls of new position 0 (distances -6 and -11), a ret.
  const Bytes now = {0x90, 0xE8, 0xFA, 0xFF, 0xFF, 0xFF, 0xE8, 0xF5, 0xFF, 0xFF, 0xFF, 0xC3};
  const Bytes fixture = {
      'B', 'D', 'X', 3,            // magic, version 3
      10, 0, 0, 0,                 // OldSize 10
      12, 0, 0, 0,                 // NewSize 12
      1, 0, 0, 0,                  // TagBytes
      0, 0, 0, 0,                  // SeekBytes
      1, 0, 0, 0,                  // LenBytes
      0, 0, 0, 0,                  // GivenBytes
      0, 0, 0, 0,                  // ZeroBytes
      0, 0, 0, 0,                  // DiffBytes
      12, 0, 0, 0,                 // LiteralBytes
      6,                           // tag: CODE
      12,                          // Len 12
      0x90,                        // literal stream: the nop,
      0xE8, 0, 0, 0, 0,            //   each call's operand stored as where it
      0xE8, 0, 0, 0, 0,            //   points, new position 0: -6 + 6, -11 + 11
      0xC3};
  const Bytes old = B("0123456789");
  EXPECT_EQ(bdx::WithCodeRuns(bdx::WriteBdx(10, 12, std::vector<TBdxRecord>{Ins(12)}, {}, now)),
            fixture);
  Bytes out;
  ASSERT_EQ(bdx::BdxBytes(old, fixture, out), BdxStatus::Ok);
  EXPECT_EQ(out, now);
  EXPECT_EQ(Reference(old, fixture), out);
}

TEST(BdxPatch, RunsOfEveryKind) {
  const std::string old = "0123456789ABCDEF";
  struct Case {
    const char* name;
    Bytes patch;
    std::string expected;
  } cases[] = {
      {"only new bytes", Patch(16, 3, {Ins(3)}, {}, "xyz"), "xyz"},
      {"a copy to the old file's end", Patch(16, 3, {Copy(13, 3)}, {}, ""), "DEF"},
      // The difference wraps modulo 256: '0' + 0xFF = '/'.
      {"a cover adds modulo 256", Patch(16, 2, {Cover(0, 2)}, {0xFF, 0x10}, ""), "/A"},
      {"repeating a block by seeking back", Patch(16, 8, {Copy(4, 4), Copy(-4, 4)}, {}, ""),
       "45674567"},
      {"the position wanders only between runs", Patch(16, 2, {Copy(15, 1), Cover(-16, 1)}, {1}, ""),
       "F1"},
      {"no records, an empty file", Patch(16, 0, {}, {}, ""), ""},
      {"version 3: runs of zeros as stretches",
       Patch(16, 6, {Cover(0, 6)}, {0, 0, 7, 0, 0, 1}, "", 3, 1), "019346"},
      {"version 3: a stretch across two covers",
       Patch(16, 5, {Cover(0, 2), Copy(0, 1), Cover(4, 2)}, {0, 1, 1, 0}, "", 3, 1), "02288"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out;
    ASSERT_EQ(bdx::BdxBytes(B(old), c.patch, out), BdxStatus::Ok);
    EXPECT_EQ(S(out), c.expected);
    EXPECT_EQ(Reference(B(old), c.patch), out);
  }
}

TEST(BdxPatch, MalformedPatchesAreRefused) {
  const Bytes old = B("0123456789");  // 10 bytes
  const Bytes good = Patch(10, 4, {Ins(1), Cover(2, 3)}, {0, 0, 0}, "a");
  auto with = [&](size_t at, uint8_t value) {
    Bytes p = good;
    p[at] = value;
    return p;
  };
  Bytes cut = good;
  cut.resize(31);
  Bytes cut1 = Patch(10, 4, {Ins(1), Cover(2, 3)}, {0, 0, 0}, "a", 1);
  cut1.resize(23);
  Bytes trailing = good;
  trailing.push_back(0);
  // The length stream made one byte shorter, the literal stream one longer: the
  // COVER's Len is cut.
  Bytes cutRecord = good;
  cutRecord[20] -= 1;
  cutRecord[28] += 1;
  // Version 2 streams as given, for an old file of 10 bytes.
  auto raw = [](uint32_t newSize, Bytes tags, Bytes seeks, Bytes lens, std::string literals) {
    Bytes p = {'B', 'D', 'X', 2};
    for (size_t v : {size_t{10}, size_t{newSize}, tags.size(), seeks.size(), lens.size(),
                     size_t{0}, literals.size()})
      le::Append32(p, static_cast<uint32_t>(v));
    for (const Bytes& b : {tags, seeks, lens, B(literals)}) p.insert(p.end(), b.begin(), b.end());
    return p;
  };

  // A version 3 patch of one COVER of 4 bytes with the stretches given.
  auto stretched = [](Bytes given, Bytes zeros, Bytes diff) {
    Bytes p = {'B', 'D', 'X', 3};
    for (size_t v : {size_t{10}, size_t{4}, size_t{1}, size_t{1}, size_t{1}, given.size(),
                     zeros.size(), diff.size(), size_t{0}})
      le::Append32(p, static_cast<uint32_t>(v));
    for (const Bytes& b : {Bytes{3}, Bytes{0}, Bytes{4}, given, zeros, diff})
      p.insert(p.end(), b.begin(), b.end());
    return p;
  };
  ASSERT_EQ(Reference(old, stretched({1, 1}, {1, 1}, {1, 2})), B("1143"));  // the shape is right

  struct Case {
    const char* name;
    Bytes patch;
    BdxStatus status;
    size_t failedRecord;
  } cases[] = {
      {"stretches that make more than the covers", stretched({4}, {1}, {1, 2, 3, 4}),
       BdxStatus::StreamsLeftOver, 0},
      {"stretches that make less", stretched({2}, {1}, {1, 2}), BdxStatus::DiffTooShort, 0},
      {"given counts beyond the difference stream", stretched({4}, {0}, {1, 2, 3}),
       BdxStatus::DiffTooShort, 0},
      {"given bytes left over", stretched({3}, {1}, {1, 2, 3, 4}), BdxStatus::StreamsLeftOver, 0},
      {"a given count without its zero count", stretched({2, 2}, {0}, {1, 2, 3, 4}),
       BdxStatus::StreamsLeftOver, 0},
      {"a zero count without its given count", stretched({4}, {0, 0}, {1, 2, 3, 4}),
       BdxStatus::StreamsLeftOver, 0},
      {"a count cut by its stream's end", stretched({0x84}, {0}, {1, 2, 3, 4}),
       BdxStatus::BadNumber, 0},
      {"31 bytes of version 2", cut, BdxStatus::ShortHeader, 0},
      {"23 bytes of version 1", cut1, BdxStatus::ShortHeader, 0},
      {"another magic", with(2, 'T'), BdxStatus::NotBdx, 0},
      {"version 4", with(3, 4), BdxStatus::UnknownVersion, 0},
      {"39 bytes of version 3",
       [] { Bytes p = Patch(10, 4, {Cover(0, 4)}, {1, 2, 3, 4}, "", 3); p.resize(39); return p; }(),
       BdxStatus::ShortHeader, 0},
      {"OldSize not the old file's", with(4, 11), BdxStatus::OldSizeMismatch, 0},
      {"a byte after the streams", trailing, BdxStatus::StreamsMismatch, 0},
      {"TagBytes 2^32-1, the sum would wrap in 32 bits",
       [&] { Bytes p = good; le::Set32(p, 12, 0xFFFFFFFFu); return p; }(),
       BdxStatus::StreamsMismatch, 0},
      {"a record cut by its stream's end", cutRecord, BdxStatus::RecordCut, 2},
      {"a varint of 2^35 - 1", raw(4, {1}, {}, {0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, "abcd"),
       BdxStatus::BadNumber, 1},
      {"a varint of six bytes", raw(4, {1}, {}, {0x84, 0x80, 0x80, 0x80, 0x80, 0}, "abcd"),
       BdxStatus::BadNumber, 1},
      {"a varint of 2^32 - 1", raw(4, {1}, {}, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, "abcd"),
       BdxStatus::BadLength, 1},
      {"a seek left over", raw(4, {2}, {0, 0}, {4}, ""), BdxStatus::StreamsLeftOver, 0},
      {"a length left over", raw(4, {2}, {0}, {4, 4}, ""), BdxStatus::StreamsLeftOver, 0},
      {"tag 4 in version 1",
       [&] { Bytes p = Patch(10, 4, {Ins(1), Cover(2, 3)}, {0, 0, 0}, "a", 1); p[24] = 4; return p; }(),
       BdxStatus::UnknownRecord, 1},
      {"tag 6 in version 2", with(32, 6), BdxStatus::UnknownRecord, 1},
      {"tag 7 in version 3",
       [] { Bytes p = Patch(10, 4, {Ins(1), Cover(2, 3)}, {0, 0, 0}, "a", 3); p[41] = 7; return p; }(),
       BdxStatus::UnknownRecord, 2},
      {"tag 0", with(33, 0), BdxStatus::UnknownRecord, 2},
      {"Len 0", Patch(10, 0, {Ins(0)}, {}, ""), BdxStatus::BadLength, 1},
      {"Len 2^31", Patch(10, 4, {Copy(0, 0x80000000u)}, {}, ""), BdxStatus::BadLength, 1},
      {"more than NewSize", Patch(10, 3, {Copy(0, 2), Copy(0, 2)}, {}, ""),
       BdxStatus::BeyondNewSize, 2},
      {"a copy before the old file", Patch(10, 4, {Copy(0, 2), Copy(-3, 2)}, {}, ""),
       BdxStatus::OutsideOld, 2},
      {"a cover past the old file's end", Patch(10, 4, {Cover(7, 4)}, {0, 0, 0, 0}, ""),
       BdxStatus::OutsideOld, 1},
      {"a cover short of difference bytes", Patch(10, 4, {Cover(0, 4)}, {0, 0, 0}, "x"),
       BdxStatus::DiffTooShort, 1},
      {"an insert short of literal bytes", Patch(10, 4, {Ins(4)}, {0}, "abc"),
       BdxStatus::LiteralsTooShort, 1},
      {"records that end before NewSize", Patch(10, 5, {Copy(0, 4)}, {}, ""),
       BdxStatus::ShortOfNewSize, 0},
      {"literal bytes left over", Patch(10, 2, {Ins(2)}, {}, "abc"), BdxStatus::StreamsLeftOver, 0},
      {"difference bytes left over", Patch(10, 2, {Cover(0, 2)}, {0, 0, 0}, ""),
       BdxStatus::StreamsLeftOver, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bdx::TBdxPlan plan;
    EXPECT_EQ(bdx::ReadBdx(c.patch, old.size(), plan), c.status);
    EXPECT_EQ(plan.FailedRecord, c.failedRecord);
    Bytes out = B("untouched");
    EXPECT_EQ(bdx::BdxBytes(old, c.patch, out), c.status);
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(Reference(old, c.patch).has_value());
  }
}

// Random bytes flipped in a valid patch: the reader agrees with the independent
// reading of the rules on every one, refusing exactly the broken ones.
TEST(BdxPatch, DamagedPatchesAgreeWithTheRules) {
  const TCodePair pair = CodeInserted(CallPair(60, 5), 5);
  Bytes bdt, good;
  std::string error;
  ASSERT_TRUE(bdt::MakeBdtPatch(pair.old, pair.now, {}, bdt, error)) << error;
  ASSERT_TRUE(bdx::MakeBdx(pair.old, pair.now, bdt, good, error)) << error;
  good = bdx::WithCodeRuns(good);
  ASSERT_GT(CodeRuns(good, pair.old.size()), 0u);
  ASSERT_EQ(good[3], bdx::kVersion3);
  size_t records = bdx::kHeaderSize3;  // the header, the records and the counts
  for (size_t k = 0; k < 5; ++k) records += le::Get32(good, 12 + 4 * k);
  int refused = 0;
  for (uint32_t seed = 1; seed <= 3000; ++seed) {
    std::mt19937 rng(seed);
    Bytes p = good;
    const int flips = 1 + static_cast<int>(rng() % 3);
    for (int f = 0; f < flips; ++f) {
      // Mostly the header and the records, where a flip changes the meaning.
      const size_t at = rng() % 4 ? rng() % records : rng() % p.size();
      p[at] = rng() % 2 ? static_cast<uint8_t>(rng()) : p[at] ^ static_cast<uint8_t>(1u << (rng() % 8));
    }
    if (rng() % 8 == 0) p.resize(rng() % p.size());
    Bytes out;
    const BdxStatus status = bdx::BdxBytes(pair.old, p, out);
    const std::optional<Bytes> expected = Reference(pair.old, p);
    ASSERT_EQ(status == BdxStatus::Ok, expected.has_value()) << "seed " << seed;
    if (expected) {
      ASSERT_EQ(out, *expected) << "seed " << seed;
    } else {
      ++refused;
    }
  }
  EXPECT_GT(refused, 1000);  // the loop did reach the rules
}

// The new file made in pieces of any size is the one made whole: a piece may end
// inside a re-aimed operand or address, and the next one finishes it.
TEST(BdxPatch, PiecesMakeTheWholeFile) {
  const TCodePair pair = CodeInserted(CallPair(600, 21, true), 21);
  Bytes bdt, patch, whole;
  std::string error;
  ASSERT_TRUE(bdt::MakeBdtPatch(pair.old, pair.now, {}, bdt, error)) << error;
  ASSERT_TRUE(bdx::MakeBdx(pair.old, pair.now, bdt, patch, error)) << error;
  patch = bdx::WithCodeRuns(patch);
  ASSERT_GT(CodeRuns(patch, pair.old.size()), 0u);
  ASSERT_EQ(bdx::BdxBytes(pair.old, patch, whole), BdxStatus::Ok);
  ASSERT_TRUE(whole == pair.now);
  bdx::TBdxPlan plan;
  ASSERT_EQ(bdx::ReadBdx(patch, pair.old.size(), plan), BdxStatus::Ok);
  size_t aimed = 0;
  for (const bdx::TBdxRun& r : plan.Runs) aimed += r.Tag == bdx::kRefCover || r.Tag == bdx::kAddrCover;
  ASSERT_GT(aimed, 0u);
  for (size_t piece : {1, 2, 3, 5, 7, 64, 4099}) {
    SCOPED_TRACE(piece);
    bdx::TBdxCursor cursor(plan, pair.old, patch);
    Bytes out(plan.NewSize);
    for (size_t at = 0; at < out.size(); at += piece)
      cursor.Next(out.data() + at, std::min(piece, out.size() - at));
    EXPECT_TRUE(out == whole);
  }
}

// ---- the extended difference --------------------------------------------------------

TEST(BdxDiff, RebuildsTheNewFileFromChangesOfEveryKind) {
  const Bytes base = Noise(20000, 7);
  auto edit = [&](auto change) {
    Bytes b = base;
    change(b);
    return b;
  };
  struct Case {
    const char* name;
    Bytes old, now;
  } cases[] = {
      {"equal files", base, base},
      {"bytes changed in place", base,
       edit([](Bytes& b) { for (size_t i = 0; i < b.size(); i += 97) b[i] ^= 1; })},
      {"inserted bytes", base, edit([](Bytes& b) { b.insert(b.begin() + 7777, 300, 'i'); })},
      {"deleted bytes", base, edit([](Bytes& b) { b.erase(b.begin() + 100, b.begin() + 900); })},
      {"changed at both ends", base,
       edit([](Bytes& b) { b.front() ^= 0x40; b.back() ^= 0x40; b.push_back('!'); })},
      {"empty new file", base, {}},
      {"unrelated files", Noise(5000, 1), Noise(6000, 2)},
      {"shifted addresses", CodePair(2000, 3).old, CodePair(2000, 3).now},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bdt, patch, out;
    std::string error;
    ASSERT_TRUE(bdt::MakeBdtPatch(c.old, c.now, {}, bdt, error)) << error;
    ASSERT_TRUE(bdx::MakeBdx(c.old, c.now, bdt, patch, error)) << error;
    ASSERT_EQ(bdx::BdxBytes(c.old, patch, out), BdxStatus::Ok);
    EXPECT_TRUE(out == c.now);
  }
}

// What the kind is for: where every address of the code moved, covers carry the
// stretches whole, and the compressed patch is clearly smaller than the copy-only
// one (these instructions are random; real code repeats far more).
TEST(BdxDiff, CoversMakeShiftedCodeSmallerThanCopies) {
  const TCodePair pair = CodePair(30000, 11);
  Bytes bdt, patch;
  std::string error;
  ASSERT_TRUE(bdt::MakeBdtPatch(pair.old, pair.now, {}, bdt, error)) << error;
  ASSERT_TRUE(bdx::MakeBdx(pair.old, pair.now, bdt, patch, error)) << error;
  EXPECT_LT(Compressed(patch) * 10, Compressed(bdt) * 9);
}

// Calls between code on either side of an inserted function, and the table of
// addresses: the covers that re-aim them leave almost every difference byte zero,
// where plain covers carry each moved operand and address.
TEST(BdxDiff, CallsAcrossInsertedCodeAreReAimed) {
  const TCodePair pair = CallPair(3000, 8);
  Bytes bdt, patch, out;
  std::string error;
  ASSERT_TRUE(bdt::MakeBdtPatch(pair.old, pair.now, {}, bdt, error)) << error;
  ASSERT_TRUE(bdx::MakeBdx(pair.old, pair.now, bdt, patch, error)) << error;
  ASSERT_EQ(bdx::BdxBytes(pair.old, patch, out), BdxStatus::Ok);
  EXPECT_TRUE(out == pair.now);
  EXPECT_EQ(Reference(pair.old, patch), out);
  bdx::TBdxPlan plan;
  ASSERT_EQ(bdx::ReadBdx(patch, pair.old.size(), plan), BdxStatus::Ok);
  size_t covered = 0, changed = 0, addressed = 0;
  for (const bdx::TBdxRun& r : plan.Runs) {
    if (r.Tag == bdx::kInsert) continue;
    for (uint32_t k = 0; k < r.Len; ++k) changed += pair.old[r.Old + k] != pair.now[r.At + k];
    if (r.Tag == bdx::kRefCover) covered += r.Len;
    addressed += r.Tag == bdx::kAddrCover;
  }
  EXPECT_GT(covered, pair.now.size() / 2);
  EXPECT_GT(addressed, 0u);  // the table
  EXPECT_GT(changed, 1000u);  // calls whose operands did change
  size_t nonzero = 0;
  size_t diffAt = bdx::kHeaderSize3;
  for (size_t k = 0; k < 5; ++k) diffAt += le::Get32(patch, 12 + 4 * k);
  for (size_t k = 0; k < le::Get32(patch, 32); ++k) nonzero += patch[diffAt + k] != 0;
  EXPECT_LT(nonzero * 20, changed);
}

// The difference laid out again at any length of zero run: the same file, and a
// layout that follows from the sequence alone.
TEST(BdxDiff, RestretchedMakesTheSameFile) {
  const TCodePair pair = CallPair(600, 3, true);
  Bytes bdt, patch;
  std::string error;
  ASSERT_TRUE(bdt::MakeBdtPatch(pair.old, pair.now, {}, bdt, error)) << error;
  ASSERT_TRUE(bdx::MakeBdx(pair.old, pair.now, bdt, patch, error)) << error;
  const Bytes every = bdx::Restretched(patch, 1);
  EXPECT_LT(le::Get32(every, 32), le::Get32(patch, 32));  // fewer given bytes
  for (uint32_t zerosFrom : {1u, 4u, 32u, 100000u}) {
    SCOPED_TRACE(zerosFrom);
    const Bytes p = bdx::Restretched(every, zerosFrom);
    Bytes out;
    ASSERT_EQ(bdx::BdxBytes(pair.old, p, out), BdxStatus::Ok);
    EXPECT_TRUE(out == pair.now);
    EXPECT_EQ(Reference(pair.old, p), out);
    EXPECT_EQ(p, bdx::Restretched(patch, zerosFrom));
  }
  EXPECT_TRUE(bdx::Restretched(Patch(10, 2, {Ins(2)}, {}, "ab"), 1).empty());  // version 2
}

// New code: its calls of a few functions, each stored as where it points, repeat,
// where their distances would not.
TEST(BdxDiff, CodeRunsStoreWhereCallsPoint) {
  const TCodePair pair = CodeInserted(CallPair(3000, 9), 9);
  Bytes bdt, plain, out;
  std::string error;
  ASSERT_TRUE(bdt::MakeBdtPatch(pair.old, pair.now, {}, bdt, error)) << error;
  ASSERT_TRUE(bdx::MakeBdx(pair.old, pair.now, bdt, plain, error)) << error;
  const Bytes coded = bdx::WithCodeRuns(plain);
  EXPECT_EQ(CodeRuns(plain, pair.old.size()), 0u);
  EXPECT_GT(CodeRuns(coded, pair.old.size()), 0u);
  ASSERT_EQ(bdx::BdxBytes(pair.old, coded, out), BdxStatus::Ok);
  EXPECT_TRUE(out == pair.now);
  EXPECT_EQ(Reference(pair.old, coded), out);
  EXPECT_LT(Compressed(coded) + 200, Compressed(plain));  // a byte for each call
  // Random bytes are not taken for code.
  EXPECT_EQ(bdx::WithCodeRuns(bdx::WriteBdx(10, 5000, std::vector<TBdxRecord>{Ins(5000)}, {},
                                            Noise(5000, 3))),
            bdx::WriteBdx(10, 5000, std::vector<TBdxRecord>{Ins(5000)}, {}, Noise(5000, 3)));
}

// The builder's way: both passes from the BDT patch, and none for a large text
// file.
TEST(BdxDiff, ExtendedDifferenceAndWhereItIsTried) {
  const TCodePair pair = CodePair(20000, 4);
  std::string error;
  Bytes bdt, patch, out;
  ASSERT_TRUE(bdt::MakeBdtPatch(pair.old, pair.now, {}, bdt, error)) << error;
  ASSERT_TRUE(bdx::MakeExtendedDifference(pair.old, pair.now, bdt, patch, error)) << error;
  ASSERT_EQ(bdx::BdxBytes(pair.old, patch, out), BdxStatus::Ok);
  EXPECT_TRUE(out == pair.now);

  std::string text;
  while (text.size() < bdt::kTryAllBelow + 1000) text += "00012345;Kyiv Odesa;01.02.2024;17.50;\r\n";
  EXPECT_FALSE(bdx::WorthExtending(B(text)));
  EXPECT_TRUE(bdx::WorthExtending(B(text.substr(0, 100000))));  // small: every form is tried
  EXPECT_TRUE(bdx::WorthExtending(Noise(bdt::kTryAllBelow + 1000, 3)));
}

// A table of relocations of code that moved, where the new build also has a
// relocation more every 40: no entry after the insert stays equal, and the first
// pass has nothing to align the table by. The second pass, matching against the
// old file with its addresses re-aimed, finds each old entry where it went.
TEST(BdxDiff, SecondPassRealignsATableOfAddresses) {
  const TCodePair pair = CallPair(3000, 12, true);
  std::string error;
  Bytes bdt, first, patch, out;
  ASSERT_TRUE(bdt::MakeBdtPatch(pair.old, pair.now, {}, bdt, error)) << error;
  ASSERT_TRUE(bdx::MakeBdx(pair.old, pair.now, bdt, first, error)) << error;
  ASSERT_TRUE(bdx::MakeExtendedDifference(pair.old, pair.now, bdt, patch, error)) << error;
  ASSERT_EQ(bdx::BdxBytes(pair.old, patch, out), BdxStatus::Ok);
  EXPECT_TRUE(out == pair.now);
  EXPECT_LT(Compressed(patch) * 10, Compressed(first) * 8);
}

TEST(BdxDiff, RefusesAPatchThatDoesNotFitTheFiles) {
  const Bytes old = Noise(1000, 1), now = Noise(1000, 2);
  Bytes bdt, patch;
  std::string error;
  ASSERT_TRUE(bdt::MakeBdtPatch(old, now, {}, bdt, error));
  EXPECT_FALSE(bdx::MakeBdx(old, Bytes(999, 0), bdt, patch, error));  // makes 1000 bytes
  EXPECT_FALSE(bdx::MakeBdx(Bytes(10, 0), now, B("not a patch"), patch, error));
}

// ---- PatchFile and CheckPatchFile on a BDX patch --------------------------------------

TEST(BdxPatchFile, AppliesAndRefusesByTheSameRules) {
  ui::ScriptedToolkit tk;
  TForm1 form(&tk);
  zt::TempDir dir;
  const std::string d = dir.Dos();
  // Code with calls and tables of addresses, more than the one piece of 1 MiB the
  // output is written in: re-aimed covers run across the pieces.
  const TCodePair pair = CallPair(12000, 2, true);
  Bytes bdt, patch;
  std::string error;
  ASSERT_TRUE(bdt::MakeBdtPatch(pair.old, pair.now, {}, bdt, error));
  ASSERT_TRUE(bdx::MakeBdx(pair.old, pair.now, bdt, patch, error));
  ASSERT_GT(pair.now.size(), 1u << 20);
  {
    bdx::TBdxPlan plan;
    ASSERT_EQ(bdx::ReadBdx(patch, pair.old.size(), plan), BdxStatus::Ok);
    const auto across = std::find_if(plan.Runs.begin(), plan.Runs.end(), [](const bdx::TBdxRun& r) {
      return r.At < (1u << 20) && r.At + r.Len > (1u << 20);
    });
    ASSERT_NE(across, plan.Runs.end());
    EXPECT_EQ(across->Tag, bdx::kRefCover);  // the run the first piece ends in
  }
  ASSERT_TRUE(zt::WriteAll(d + "old", S(pair.old)));
  ASSERT_TRUE(zt::WriteAll(d + "patch", S(patch)));

  EXPECT_TRUE(CheckPatchFile(form, d + "patch", pair.old.size(), pair.now.size(), PatchFormat::Bdx));
  ASSERT_TRUE(PatchFile(form, d + "old", d + "out", d + "patch", PatchFormat::Bdx));
  std::string out;
  ASSERT_TRUE(zt::ReadAll(d + "out", out));
  EXPECT_TRUE(out == S(pair.now));
  // The same patch read as BDT is refused, and a BDX patch for another size of
  // new file too: each with its reason and the patch's path.
  EXPECT_FALSE(CheckPatchFile(form, d + "patch", pair.old.size(), pair.now.size()));
  EXPECT_FALSE(CheckPatchFile(form, d + "patch", pair.old.size(), pair.now.size() + 1,
                              PatchFormat::Bdx));
  const auto& lines = form.ProtLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_NE(lines[lines.size() - 2].find(bdx::BdxStatusText(BdxStatus::NewSizeMismatch)),
            std::string::npos);
  EXPECT_NE(lines.back().find(d + "patch"), std::string::npos);

  // A cover that reaches past the old file is refused before the output exists.
  ASSERT_TRUE(zt::WriteAll(
      d + "bad", S(Patch(static_cast<uint32_t>(pair.old.size()), 8, {Cover(1 << 30, 8)}, Bytes(8, 0), ""))));
  EXPECT_FALSE(PatchFile(form, d + "old", d + "none", d + "bad", PatchFormat::Bdx));
  EXPECT_FALSE(zt::ReadAll(d + "none", out));
}

// The map's look-up through its table of pages answers as a search of every
// stretch does: stretches inside one page, across many, meeting at a page's edge,
// with gaps of every size between them, and positions past the last.
TEST(BdxMap, FindsWhatASearchOfEveryStretchFinds) {
  std::mt19937 rng(17);
  std::vector<bdx::TMoved> moved;
  uint64_t at = 100;
  for (int k = 0; k < 300; ++k) {
    const uint64_t len = k % 7 == 0 ? 4096 * (1 + rng() % 5) : 1 + rng() % 3000;
    moved.push_back({at, len, rng() % 1000000});
    at += len + (k % 5 == 0 ? 0 : rng() % (k % 3 == 0 ? 20000 : 300));
    if (k % 11 == 0) at = (at + 4095) / 4096 * 4096;  // the next one starts a page
  }
  const bdx::TOldMap map(moved);
  for (uint64_t old = 0; old < at + 10000; old += 1 + old % 3) {
    std::optional<uint64_t> expected;
    for (const bdx::TMoved& m : moved) {
      if (old >= m.Old && old - m.Old < m.Len) expected = m.New + (old - m.Old);
    }
    uint64_t now = 0;
    const bool found = map.Find(old, now);
    ASSERT_EQ(found, expected.has_value()) << old;
    if (found) {
      ASSERT_EQ(now, *expected) << old;
    }
  }
  uint64_t now = 0;
  EXPECT_FALSE(bdx::TOldMap().Find(0, now));
  EXPECT_FALSE(map.Find(~uint64_t{0}, now));
}
