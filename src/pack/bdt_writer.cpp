#include "pack/bdt_writer.h"
#include "base/bytes.h"

#include <algorithm>
#include <cstring>

namespace bdt {

namespace {

void Put16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
// Length of the common prefix of a and b, at most n bytes.
size_t CommonPrefix(const uint8_t* a, const uint8_t* b, size_t n) {
  size_t i = 0;
  while (i + 8 <= n) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) return i + static_cast<size_t>(__builtin_ctzll(x ^ y) / 8);
    i += 8;
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

constexpr size_t kBlock = 32;
constexpr uint64_t kPrime = 0x100000001B3ull;
// A copy shorter than this is not worth its 12-byte record.
constexpr size_t kMinCopy = 12;

// Polynomial hash of kBlock bytes, rolled one byte at a time.
struct Roller {
  uint64_t outFactor = 1;  // kPrime^(kBlock-1)
  Roller() {
    for (size_t i = 1; i < kBlock; ++i) outFactor *= kPrime;
  }
  static uint64_t Of(const uint8_t* p) {
    uint64_t h = 0;
    for (size_t i = 0; i < kBlock; ++i) h = h * kPrime + p[i];
    return h;
  }
  uint64_t Roll(uint64_t h, uint8_t out, uint8_t in) const {
    return (h - out * outFactor) * kPrime + in;
  }
};

// Open addressing: hash -> first old position of an aligned block with that hash.
class BlockIndex {
 public:
  explicit BlockIndex(std::span<const uint8_t> old) {
    const size_t blocks = old.size() / kBlock;
    size_t cap = 16;
    while (cap < blocks * 2) cap *= 2;
    mask_ = cap - 1;
    slots_.assign(cap, Slot{});
    for (size_t b = 0; b < blocks; ++b) {
      const uint64_t h = Roller::Of(old.data() + b * kBlock);
      for (size_t i = Mix(h) & mask_;; i = (i + 1) & mask_) {
        if (slots_[i].pos == 0) {
          slots_[i] = Slot{h, static_cast<uint32_t>(b * kBlock + 1)};
          break;
        }
        if (slots_[i].hash == h) break;  // the first block of that content is kept
      }
    }
  }
  // Old position + 1 of a block with hash h, or 0.
  uint32_t Find(uint64_t h) const {
    for (size_t i = Mix(h) & mask_;; i = (i + 1) & mask_) {
      if (slots_[i].pos == 0) return 0;
      if (slots_[i].hash == h) return slots_[i].pos;
    }
  }

 private:
  struct Slot {
    uint64_t hash = 0;
    uint32_t pos = 0;
  };
  static size_t Mix(uint64_t h) { return static_cast<size_t>((h ^ (h >> 29)) * 0xBF58476D1CE4E5B9ull >> 20); }
  std::vector<Slot> slots_;
  size_t mask_ = 0;
};

}  // namespace

std::vector<uint8_t> WritePatch(uint32_t oldSize, uint32_t newSize,
                                std::span<const TPatchRecord> records,
                                std::span<const uint8_t> literals) {
  std::vector<uint8_t> b;
  b.reserve(kHeaderSize + kRecordSize * records.size() + literals.size());
  b.insert(b.end(), {'B', 'D', 'T'});
  Put16(b, 1);
  b.push_back(4);
  le::Append32(b, oldSize);
  le::Append32(b, newSize);
  le::Append32(b, static_cast<uint32_t>(records.size()));
  for (const TPatchRecord& r : records) {
    le::Append32(b, static_cast<uint32_t>(r.Seek));
    le::Append32(b, r.InsLen);
    le::Append32(b, r.CopyLen);
  }
  b.insert(b.end(), literals.begin(), literals.end());
  return b;
}

bool MakeDiff(std::span<const uint8_t> oldFile, std::span<const uint8_t> newFile,
              std::vector<uint8_t>& patch) {
  if (oldFile.size() >= kLengthLimit || newFile.size() >= kLengthLimit) return false;
  const uint8_t* o = oldFile.data();
  const uint8_t* n = newFile.data();
  const size_t oldSize = oldFile.size(), newSize = newFile.size();

  std::vector<TPatchRecord> records;
  std::vector<uint8_t> literals;
  size_t litStart = 0;  // first new byte not yet in a record
  size_t oldPos = 0;    // old position after the last copy

  auto emit = [&](size_t at, size_t from, size_t len) {
    literals.insert(literals.end(), n + litStart, n + at);
    records.push_back({static_cast<int32_t>(static_cast<int64_t>(from) - static_cast<int64_t>(oldPos)),
                       static_cast<uint32_t>(at - litStart), static_cast<uint32_t>(len)});
    oldPos = from + len;
    litStart = at + len;
  };
  // A match at new position i against old position j, grown both ways; emitted
  // when long enough. Returns the new position after it, or 0 when not taken.
  auto tryMatch = [&](size_t i, size_t j) -> size_t {
    size_t len = CommonPrefix(o + j, n + i, std::min(oldSize - j, newSize - i));
    if (len == 0) return 0;
    while (i > litStart && j > 0 && n[i - 1] == o[j - 1]) --i, --j, ++len;
    if (len < kMinCopy) return 0;
    emit(i, j, len);
    return i + len;
  };

  if (oldSize >= kBlock) {
    const BlockIndex index(oldFile);
    const Roller roller;
    size_t i = 0;
    bool hashed = false;
    uint64_t h = 0;
    while (i + kBlock <= newSize) {
      // First the old bytes right after the last copy, shifted by the literal run so
      // far: changed bytes in place of the old ones.
      const size_t guess = oldPos + (i - litStart);
      size_t next = guess < oldSize ? tryMatch(i, guess) : 0;
      if (next == 0) {
        if (!hashed) {
          h = Roller::Of(n + i);
          hashed = true;
        }
        const uint32_t found = index.Find(h);
        if (found != 0 && std::memcmp(o + found - 1, n + i, kBlock) == 0)
          next = tryMatch(i, found - 1);
      }
      if (next != 0) {
        i = next;
        hashed = false;
      } else {
        if (i + kBlock < newSize) h = roller.Roll(h, n[i], n[i + kBlock]);
        ++i;
      }
    }
  }
  // What is left after the last copy is the tail.
  literals.insert(literals.end(), n + litStart, n + newSize);
  patch = WritePatch(static_cast<uint32_t>(oldSize), static_cast<uint32_t>(newSize), records,
                     literals);
  return true;
}

}  // namespace bdt
