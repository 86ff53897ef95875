#include "format/bdx_patch.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/bytes.h"

namespace bdx {

const char* BdxStatusText(BdxStatus status) {
  switch (status) {
    case BdxStatus::Ok: return "";
    case BdxStatus::ShortHeader: return "файл различий короче своего заголовка";
    case BdxStatus::NotBdx: return "файл различий не расширенного формата";
    case BdxStatus::UnknownVersion: return "неизвестная версия формата различий";
    case BdxStatus::OldSizeMismatch: return "размер старого файла не совпадает с заголовком";
    case BdxStatus::StreamsMismatch: return "длины потоков не совпадают с размером файла различий";
    case BdxStatus::RecordCut: return "запись различий обрезана";
    case BdxStatus::BadNumber: return "число в записи различий записано неверно";
    case BdxStatus::UnknownRecord: return "неизвестный тип записи различий";
    case BdxStatus::BadLength: return "длина в записи различий 0 или не меньше 2^31";
    case BdxStatus::BeyondNewSize: return "длины записей в сумме больше размера нового файла";
    case BdxStatus::OutsideOld: return "копирование за пределами старого файла";
    case BdxStatus::DiffTooShort: return "поразрядных разностей в файле различий недостаточно";
    case BdxStatus::LiteralsTooShort: return "новых данных в файле различий недостаточно";
    case BdxStatus::ShortOfNewSize: return "записи различий не составляют весь новый файл";
    case BdxStatus::StreamsLeftOver: return "в файле различий остались неиспользованные данные";
    case BdxStatus::NewSizeMismatch:
      return "размер нового файла не совпадает с размером в каталоге обновления";
  }
  return "неизвестная ошибка файла различий";
}

bool LooksLikeBdx(std::span<const uint8_t> patch) {
  return patch.size() >= 3 && patch[0] == 'B' && patch[1] == 'D' && patch[2] == 'X';
}

namespace {

// 1 to 5 bytes, 7 bits each from the lowest, the high bit set on all but the last.
BdxStatus Varint(le::TByteReader& in, uint32_t& v) {
  uint64_t value = 0;
  for (int k = 0; k < 5; ++k) {
    uint8_t b = 0;
    if (!in.U8(b)) return BdxStatus::RecordCut;
    value |= uint64_t{b & 0x7Fu} << (7 * k);
    if ((b & 0x80) == 0) {
      if (value > UINT32_MAX) return BdxStatus::BadNumber;
      v = static_cast<uint32_t>(value);
      return BdxStatus::Ok;
    }
  }
  return BdxStatus::BadNumber;
}

// A varint of a count stream that ReadBdx has checked; reads nothing at or after
// `end`.
uint64_t CheckedVarint(const uint8_t* p, uint64_t& at, uint64_t end) {
  uint64_t value = 0;
  for (int k = 0; k < 5 && at < end; ++k) {
    const uint8_t b = p[at++];
    value |= uint64_t{b & 0x7Fu} << (7 * k);
    if ((b & 0x80) == 0) break;
  }
  return value;
}

// Where the fields of the records come from: version 1 reads them from the one
// record stream; later versions read tags from theirs and the numbers as varints
// from the seek and length streams.
class TRecordSource {
 public:
  TRecordSource(uint8_t version, std::span<const uint8_t> patch, uint64_t at,
                const uint32_t* lengths)
      : columns_(version != kVersion1) {
    records_ = le::TByteReader(patch.subspan(at, lengths[0]));
    if (columns_) {
      seeks_ = le::TByteReader(patch.subspan(at + lengths[0], lengths[1]));
      lens_ = le::TByteReader(patch.subspan(at + lengths[0] + lengths[1], lengths[2]));
    }
  }
  bool More() const { return records_.Remaining() != 0; }
  void Tag(uint8_t& tag) { records_.U8(tag); }
  BdxStatus Seek(uint32_t& seek) {
    if (!columns_) return records_.U32(seek) ? BdxStatus::Ok : BdxStatus::RecordCut;
    uint32_t zigzag = 0;
    const BdxStatus st = Varint(seeks_, zigzag);
    seek = (zigzag >> 1) ^ (0u - (zigzag & 1));
    return st;
  }
  BdxStatus Len(uint32_t& len) {
    if (!columns_) return records_.U32(len) ? BdxStatus::Ok : BdxStatus::RecordCut;
    return Varint(lens_, len);
  }
  // Whether the number streams were used up exactly (none in version 1).
  bool NumbersUsedUp() const { return seeks_.Remaining() == 0 && lens_.Remaining() == 0; }

 private:
  bool columns_;
  le::TByteReader records_{std::span<const uint8_t>()}, seeks_{std::span<const uint8_t>()},
      lens_{std::span<const uint8_t>()};
};

// Checks the stretches of a version 3 difference against the `covered` bytes of
// the covers: they make exactly those, in pairs of counts, and take every given
// byte.
BdxStatus CheckStretches(std::span<const uint8_t> patch, const TBdxDifference& d,
                         uint64_t covered) {
  le::TByteReader given(patch.subspan(d.GivenAt, d.GivenEnd - d.GivenAt));
  le::TByteReader zeros(patch.subspan(d.ZeroAt, d.ZeroEnd - d.ZeroAt));
  uint64_t made = 0, taken = 0;
  while (given.Remaining() != 0 || zeros.Remaining() != 0) {
    // One count stream ends before the other: its partner's counts are left over.
    if (given.Remaining() == 0 || zeros.Remaining() == 0) return BdxStatus::StreamsLeftOver;
    uint32_t g = 0, z = 0;
    for (auto [in, v] : {std::pair{&given, &g}, std::pair{&zeros, &z}}) {
      const BdxStatus st = Varint(*in, *v);
      if (st != BdxStatus::Ok) return BdxStatus::BadNumber;  // bad or cut by its stream's end
    }
    made += uint64_t{g} + z;
    taken += g;
    if (made > covered) return BdxStatus::StreamsLeftOver;
    if (taken > d.DiffBytes) return BdxStatus::DiffTooShort;
  }
  if (made < covered) return BdxStatus::DiffTooShort;
  if (taken < d.DiffBytes) return BdxStatus::StreamsLeftOver;
  return BdxStatus::Ok;
}

}  // namespace

BdxStatus ReadBdx(std::span<const uint8_t> patch, uint64_t oldSize, TBdxPlan& plan) {
  plan = TBdxPlan();
  if (patch.size() < kHeaderSize1) return BdxStatus::ShortHeader;
  if (!LooksLikeBdx(patch)) return BdxStatus::NotBdx;
  const uint8_t version = patch[3];
  if (version != kVersion1 && version != kVersion2 && version != kVersion3)
    return BdxStatus::UnknownVersion;
  const size_t headerSize = version == kVersion1   ? kHeaderSize1
                            : version == kVersion2 ? kHeaderSize2
                                                   : kHeaderSize3;
  if (patch.size() < headerSize) return BdxStatus::ShortHeader;
  le::TByteReader header(patch, 4);
  uint32_t patchOld = 0, newSize = 0;
  header.U32(patchOld);
  header.U32(newSize);
  // The streams' lengths: records (v1) or tags, seeks and lengths, then (v3) the
  // given and zero counts; then the difference bytes and the literal bytes.
  uint32_t lengths[7] = {};
  const size_t streams = (headerSize - 12) / 4;
  uint64_t total = 0;  // in 64 bits: seven u32 lengths cannot wrap
  for (size_t k = 0; k < streams; ++k) {
    header.U32(lengths[k]);
    total += lengths[k];
  }
  const uint32_t diffBytes = lengths[streams - 2], literalBytes = lengths[streams - 1];
  if (patchOld != oldSize) return BdxStatus::OldSizeMismatch;
  if (total != patch.size() - headerSize) return BdxStatus::StreamsMismatch;

  const uint64_t literalStart = patch.size() - literalBytes;
  const uint64_t diffStart = literalStart - diffBytes;
  TBdxDifference& difference = plan.Difference;
  difference.Bytes = diffStart;
  difference.DiffBytes = diffBytes;
  if (version == kVersion3) {
    difference.Stretched = true;
    difference.ZeroEnd = diffStart;
    difference.ZeroAt = difference.GivenEnd = diffStart - lengths[4];
    difference.GivenAt = difference.GivenEnd - lengths[3];
  }
  TRecordSource records(version, patch, headerSize, lengths);
  uint64_t made = 0, covered = 0, literalUsed = 0;
  int64_t pos = 0;  // old-file position; may wander outside between copies
  size_t number = 0;
  bool aimed = false;
  while (records.More()) {
    plan.FailedRecord = ++number;
    uint8_t tag = 0;
    records.Tag(tag);
    TBdxRun run;
    run.Tag = tag;
    uint32_t seek = 0;
    const bool known = tag == kInsert || tag == kCopy || tag == kCover ||
                       ((tag == kRefCover || tag == kAddrCover) && version != kVersion1) ||
                       (tag == kCode && version == kVersion3);
    if (!known) return BdxStatus::UnknownRecord;
    if (!FromLiterals(tag)) {
      const BdxStatus st = records.Seek(seek);
      if (st != BdxStatus::Ok) return st;
    }
    const BdxStatus st = records.Len(run.Len);
    if (st != BdxStatus::Ok) return st;
    if (run.Len == 0 || run.Len >= kLengthLimit) return BdxStatus::BadLength;
    if (run.Len > newSize - made) return BdxStatus::BeyondNewSize;
    if (FromLiterals(tag)) {
      if (run.Len > literalBytes - literalUsed) return BdxStatus::LiteralsTooShort;
      run.Stream = literalStart + literalUsed;
      literalUsed += run.Len;
    } else {
      pos += static_cast<int32_t>(seek);
      if (pos < 0 || static_cast<uint64_t>(pos) > oldSize ||
          run.Len > oldSize - static_cast<uint64_t>(pos))
        return BdxStatus::OutsideOld;
      run.Old = static_cast<uint64_t>(pos);
      pos += run.Len;
      if (tag != kCopy) {
        aimed = aimed || tag != kCover;
        // Versions 1 and 2 give every difference byte; version 3's stretches are
        // checked against the covers once the records end.
        if (!difference.Stretched && run.Len > diffBytes - covered) return BdxStatus::DiffTooShort;
        covered += run.Len;
      }
    }
    run.At = made;
    made += run.Len;
    plan.Runs.push_back(run);
  }
  plan.FailedRecord = 0;
  if (made != newSize) return BdxStatus::ShortOfNewSize;
  if (difference.Stretched) {
    const BdxStatus st = CheckStretches(patch, difference, covered);
    if (st != BdxStatus::Ok) return st;
  } else if (covered != diffBytes) {
    return BdxStatus::StreamsLeftOver;
  }
  if (literalUsed != literalBytes || !records.NumbersUsedUp()) return BdxStatus::StreamsLeftOver;
  plan.OldSize = patchOld;
  plan.NewSize = newSize;
  if (aimed) plan.Map = MapOfRuns(plan.Runs);
  return BdxStatus::Ok;
}

TOldMap MapOfRuns(std::span<const TBdxRun> runs) {
  std::vector<TMoved> from;
  for (const TBdxRun& r : runs)
    if (!FromLiterals(r.Tag)) from.push_back({r.Old, r.Len, r.At});
  std::sort(from.begin(), from.end(), [](const TMoved& a, const TMoved& b) {
    return a.Old != b.Old ? a.Old < b.Old : a.New < b.New;
  });
  std::vector<TMoved> map;
  uint64_t reach = 0;  // old bytes before this are taken
  for (const TMoved& m : from) {
    const uint64_t end = m.Old + m.Len;
    if (end <= reach) continue;
    const uint64_t start = std::max(m.Old, reach);
    map.push_back({start, end - start, m.New + (start - m.Old)});
    reach = end;
  }
  return TOldMap(std::move(map));
}

TOldMap::TOldMap(std::vector<TMoved> moved) : moved_(std::move(moved)) {
  if (moved_.empty()) return;
  // One page past the last start: every position beyond it finds all stretches
  // starting before it.
  const size_t pages = static_cast<size_t>(moved_.back().Old >> kPageBits) + 2;
  pages_.resize(pages);
  size_t k = 0;
  for (size_t p = 0; p < pages; ++p) {
    while (k < moved_.size() && moved_[k].Old < (uint64_t{p} << kPageBits)) ++k;
    pages_[p] = static_cast<uint32_t>(k);
  }
}

bool TOldMap::Find(uint64_t old, uint64_t& now) const {
  // The stretches that start before `old` are those before the first that starts
  // after it, which lies between the first stretches of its page and of the next.
  const uint64_t p = old >> kPageBits;
  size_t lo = moved_.size(), hi = moved_.size();
  if (p + 1 < pages_.size()) lo = pages_[p], hi = pages_[p + 1];
  auto it = std::upper_bound(moved_.begin() + static_cast<ptrdiff_t>(lo),
                             moved_.begin() + static_cast<ptrdiff_t>(hi), old,
                             [](uint64_t v, const TMoved& m) { return v < m.Old; });
  if (it == moved_.begin()) return false;
  --it;
  if (old - it->Old >= it->Len) return false;
  now = it->New + (old - it->Old);
  return true;
}

namespace {

// Opcodes followed by a ModRM byte and no immediate, one table for one-byte opcodes
// and one for those after 0F: with ModRM 00 reg 101, their operand is [rip + disp32]
// in 64-bit code, the four bytes after the ModRM, counted from the instruction's end.
struct TOpcodeTables {
  bool One[256] = {};
  bool Two[256] = {};
  constexpr TOpcodeTables() {
    for (int op : {0x01, 0x03, 0x09, 0x0B, 0x11, 0x13, 0x19, 0x1B, 0x21, 0x23, 0x29, 0x2B,
                   0x31, 0x33, 0x39, 0x3B, 0x63, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A,
                   0x8B, 0x8D, 0xFF})
      One[op] = true;
    for (int op : {0x10, 0x11, 0x12, 0x13, 0x16, 0x17, 0x28, 0x29, 0x2A, 0x2E, 0x2F, 0x51,
                   0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x5C, 0x5D, 0x5E, 0x5F, 0x6E,
                   0x6F, 0x7E, 0x7F, 0xAF, 0xB6, 0xB7, 0xBE, 0xBF, 0xD6, 0xEF})
      Two[op] = true;
  }
};
constexpr TOpcodeTables kOpcodes;

bool RipRelative(uint8_t modrm) { return (modrm & 0xC7) == 0x05; }

// What an instruction's first two bytes say of it, one look-up per byte scanned:
// 0 not one the scan takes; else the operand's place (1, 2 or 3) in an instruction
// of that place + 4 bytes, for place 3 when the third byte is a RIP-relative ModRM.
struct TPairTable {
  uint8_t Field[65536];
  TPairTable() {
    for (int a = 0; a < 256; ++a)
      for (int b = 0; b < 256; ++b) {
        uint8_t field = 0;
        if (a == 0xE8 || a == 0xE9) {
          field = 1;
        } else if ((a == 0x0F && (b & 0xF0) == 0x80) || (kOpcodes.One[a] && RipRelative(b))) {
          field = 2;
        } else if (a == 0x0F && kOpcodes.Two[b]) {
          field = 3;
        }
        Field[a << 8 | b] = field;
      }
  }
};
const TPairTable& Pairs() {
  static const TPairTable table;
  return table;
}

// What the scan makes of an instruction it found: not a reference after all (the
// scan goes on at its next byte), a reference left as it is, or one whose operand
// becomes Value.
struct TFound {
  enum Kind { Not, Keep, Put } What = Not;
  uint32_t Value = 0;
};

// The scan of the references in the `len` bytes `o` of a run, over the window
// [from, from + n) of it: `resolve(field, end)` judges each instruction found by
// its operand's place and its end (both in the run), and the operands it puts are
// written where they meet the window into `out`, which holds the window.
template <class Resolve>
void ScanReferences(const uint8_t* o, uint32_t len, uint32_t from, uint32_t n, uint8_t* out,
                    TAimState& state, Resolve resolve) {
  const uint32_t until = from + n;
  // Writes the operand `value` of the field at `field` where it meets the window.
  auto put = [&](uint32_t field, uint32_t value) {
    for (uint32_t k = 0; k < 4; ++k)
      if (field + k >= from && field + k < until)
        out[field + k - from] = static_cast<uint8_t>(value >> (8 * k));
  };
  if (state.Pending) {
    put(state.Field, state.Value);
    state.Pending = state.Field + 4 > until;
  }
  uint32_t i = state.Next;
  const uint8_t* pairs = Pairs().Field;
  while (i < until && len - i >= 5) {
    // The operand's place in the instruction; the instruction is 4 bytes longer.
    const uint32_t field = pairs[o[i] << 8 | o[i + 1]];
    if (field == 0 || len - i < field + 4 || (field == 3 && !RipRelative(o[i + 2]))) {
      ++i;
      continue;
    }
    const uint32_t end = i + field + 4;
    const TFound found = resolve(i + field, end);
    if (found.What == TFound::Not) {
      ++i;
      continue;
    }
    if (found.What == TFound::Put) {
      put(i + field, found.Value);
      if (i + field + 4 > until) {
        state.Pending = true;
        state.Field = i + field;
        state.Value = found.Value;
      }
    }
    i = end;
  }
  state.Next = i;
}

}  // namespace

void AimReferencesIn(const TOldMap& map, std::span<const uint8_t> oldFile,
                     uint64_t old, uint64_t at, uint32_t len, uint32_t from, uint32_t n,
                     uint8_t* out, TAimState& state) {
  const uint8_t* o = oldFile.data() + old;
  const int64_t oldSize = static_cast<int64_t>(oldFile.size());
  ScanReferences(o, len, from, n, out, state, [&](uint32_t field, uint32_t end) {
    const int64_t target =
        static_cast<int64_t>(old + end) + static_cast<int32_t>(le::Get32(o + field));
    if (target < 0 || target >= oldSize) return TFound{TFound::Not};
    uint64_t now = 0;
    if (!map.Find(static_cast<uint64_t>(target), now)) return TFound{TFound::Keep};
    const int64_t rel = static_cast<int64_t>(now) - static_cast<int64_t>(at + end);
    if (rel < INT32_MIN || rel > INT32_MAX) return TFound{TFound::Keep};
    return TFound{TFound::Put, static_cast<uint32_t>(rel)};
  });
}

void StoredReferences(uint8_t* bytes, uint32_t len, uint64_t at) {
  TAimState state;
  ScanReferences(bytes, len, 0, len, bytes, state, [&](uint32_t field, uint32_t end) {
    return TFound{TFound::Put, le::Get32(bytes + field) + static_cast<uint32_t>(at + end)};
  });
}

void RestoreReferencesIn(const uint8_t* stored, uint32_t len, uint64_t at, uint32_t from,
                         uint32_t n, uint8_t* out, TAimState& state) {
  ScanReferences(stored, len, from, n, out, state, [&](uint32_t field, uint32_t end) {
    return TFound{TFound::Put, le::Get32(stored + field) - static_cast<uint32_t>(at + end)};
  });
}

uint32_t ReferencesInside(std::span<const uint8_t> bytes, uint64_t at, uint64_t newSize,
                          uint32_t& all) {
  all = 0;
  uint32_t inside = 0;
  TAimState state;
  const uint32_t len = static_cast<uint32_t>(bytes.size());
  ScanReferences(bytes.data(), len, 0, len, nullptr, state, [&](uint32_t field, uint32_t end) {
    const int64_t target =
        static_cast<int64_t>(at + end) + static_cast<int32_t>(le::Get32(bytes.data() + field));
    ++all;
    inside += target >= 0 && static_cast<uint64_t>(target) < newSize;
    return TFound{TFound::Keep};
  });
  return inside;
}

void AimReferences(const TOldMap& map, std::span<const uint8_t> oldFile,
                   uint64_t old, uint64_t at, uint32_t len, uint8_t* out) {
  TAimState state;
  AimReferencesIn(map, oldFile, old, at, len, 0, len, out, state);
}

void AimAddressesIn(const TOldMap& map, std::span<const uint8_t> oldFile,
                    uint64_t old, uint32_t len, uint32_t from, uint32_t n, uint8_t* out) {
  const uint64_t oldSize = oldFile.size();
  // The aligned places whose eight bytes lie in the run and meet the window.
  const uint64_t first = std::max(old + from, uint64_t{7}) - 7;
  for (uint64_t p = (std::max(first, old) + 7) & ~uint64_t{7};
       p < old + from + n && p + 8 <= old + len; p += 8) {
    const uint64_t v = le::Get64(oldFile.data() + p);
    uint64_t now = 0;
    if (v < kLowestAddress || v >= oldSize || !map.Find(v, now)) continue;
    for (uint64_t k = 0; k < 8; ++k) {
      const uint64_t at = p - old + k;  // in the run
      if (at >= from && at < uint64_t{from} + n) out[at - from] = static_cast<uint8_t>(now >> (8 * k));
    }
  }
}

void AimAddresses(const TOldMap& map, std::span<const uint8_t> oldFile,
                  uint64_t old, uint32_t len, uint8_t* out) {
  AimAddressesIn(map, oldFile, old, len, 0, len, out);
}

TDifferenceSource::TDifferenceSource(const TBdxDifference& difference,
                                     std::span<const uint8_t> patch)
    : d_(difference), patch_(patch.data()) {
  diffAt_ = d_.Bytes;
  givenAt_ = d_.GivenAt;
  zeroAt_ = d_.ZeroAt;
  if (!d_.Stretched) given_ = d_.DiffBytes;
}

void TDifferenceSource::AddTo(uint8_t* out, uint32_t n) {
  while (n != 0) {
    if (given_ != 0) {
      const uint32_t k = static_cast<uint32_t>(std::min<uint64_t>(given_, n));
      const uint8_t* diff = patch_ + diffAt_;
      for (uint32_t i = 0; i < k; ++i) out[i] = static_cast<uint8_t>(out[i] + diff[i]);
      diffAt_ += k;
      given_ -= k;
      out += k;
      n -= k;
    } else if (zeros_ != 0) {
      const uint32_t k = static_cast<uint32_t>(std::min<uint64_t>(zeros_, n));
      zeros_ -= k;
      out += k;
      n -= k;
    } else {
      // The next stretch; a checked plan always has one while covers need bytes.
      if (givenAt_ >= d_.GivenEnd || zeroAt_ >= d_.ZeroEnd) return;
      given_ = CheckedVarint(patch_, givenAt_, d_.GivenEnd);
      zeros_ = CheckedVarint(patch_, zeroAt_, d_.ZeroEnd);
    }
  }
}

TBdxCursor::TBdxCursor(const TBdxPlan& plan, std::span<const uint8_t> oldFile,
                       std::span<const uint8_t> patch)
    : plan_(plan), old_(oldFile), patch_(patch), difference_(plan.Difference, patch) {}

void TBdxCursor::Next(uint8_t* out, size_t n) {
  const uint8_t* old = old_.data();
  const uint8_t* p = patch_.data();
  while (n != 0) {
    const TBdxRun& r = plan_.Runs[index_];
    const uint32_t take = static_cast<uint32_t>(std::min<size_t>(n, r.Len - into_));
    if (FromLiterals(r.Tag)) {
      std::memcpy(out, p + r.Stream + into_, take);
      if (r.Tag == kCode) RestoreReferencesIn(p + r.Stream, r.Len, r.At, into_, take, out, aim_);
    } else {
      std::memcpy(out, old + r.Old + into_, take);
      if (r.Tag == kRefCover) {
        AimReferencesIn(plan_.Map, old_, r.Old, r.At, r.Len, into_, take, out, aim_);
      } else if (r.Tag == kAddrCover) {
        AimAddressesIn(plan_.Map, old_, r.Old, r.Len, into_, take, out);
      }
      if (r.Tag != kCopy) difference_.AddTo(out, take);
    }
    out += take;
    n -= take;
    into_ += take;
    if (into_ == r.Len) {
      ++index_;
      into_ = 0;
      aim_ = TAimState();
    }
  }
}

void ApplyBdx(const TBdxPlan& plan, std::span<const uint8_t> oldFile,
              std::span<const uint8_t> patch, uint8_t* out) {
  TBdxCursor cursor(plan, oldFile, patch);
  cursor.Next(out, plan.NewSize);
}

BdxStatus BdxBytes(std::span<const uint8_t> oldFile, std::span<const uint8_t> patch,
                   std::vector<uint8_t>& out) {
  out.clear();
  TBdxPlan plan;
  const BdxStatus status = ReadBdx(patch, oldFile.size(), plan);
  if (status != BdxStatus::Ok) return status;
  out.resize(plan.NewSize);
  ApplyBdx(plan, oldFile, patch, out.data());
  return status;
}

}  // namespace bdx
