#include "pack/block_table.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <new>

namespace bdt {

namespace {

// A polynomial hash: the sum of byte i times kFactor^(kBlock - 1 - i), mod 2^64.
constexpr uint64_t kFactor = 0x100000001B3ull;
constexpr uint64_t Power(uint64_t base, size_t e) {
  uint64_t r = 1;
  while (e-- > 0) r *= base;
  return r;
}
constexpr uint64_t kLeading = Power(kFactor, TBlockTable::kBlock - 1);

}  // namespace

uint64_t TBlockTable::Hash(const uint8_t* p) {
  uint64_t h = 0;
  for (size_t i = 0; i < kBlock; ++i) h = h * kFactor + p[i];
  return h;
}

uint64_t TBlockTable::Roll(uint64_t hash, uint8_t out, uint8_t in) {
  return (hash - out * kLeading) * kFactor + in;
}

void TBlockTable::Build(std::span<const uint8_t> oldFile,
                        const std::function<void(uint64_t done)>& passed, uint64_t step) {
  slots_.reset();
  count_ = 0;
  const size_t blocks = oldFile.size() / kBlock;
  if (blocks == 0) return;
  const size_t buckets = std::bit_ceil(std::max<size_t>(blocks / kWays, 2));
  shift_ = 64 - static_cast<unsigned>(std::countr_zero(buckets));
  uint32_t* slots = static_cast<uint32_t*>(std::calloc(buckets * kWays, sizeof(uint32_t)));
  if (!slots) throw std::bad_alloc();
  slots_.reset(slots);
  count_ = buckets * kWays;
  const uint8_t* o = oldFile.data();
  // The buckets are reached at random, so each batch's hashes come first and
  // their buckets are fetched into the cache while the next ones are hashed.
  constexpr size_t kBatch = 32;
  uint64_t hashes[kBatch];
  uint64_t next = step;
  for (size_t first = 0; first < blocks; first += kBatch) {
    if (passed && first * kBlock >= next) {
      passed(first * kBlock);
      next = first * kBlock + step;
    }
    const size_t count = std::min(kBatch, blocks - first);
    for (size_t j = 0; j < count; ++j) {
      hashes[j] = Hash(o + (first + j) * kBlock);
#if defined(__GNUC__)
      __builtin_prefetch(&slots_[Bucket(hashes[j]) * kWays], 1);
#endif
    }
    for (size_t j = 0; j < count; ++j) {
      uint32_t* b = &slots_[Bucket(hashes[j]) * kWays];
      for (size_t w = 0; w < kWays; ++w) {
        if (b[w] == 0) {
          b[w] = Check(hashes[j]) | static_cast<uint32_t>(first + j + 1);
          break;
        }
      }
    }
  }
}

}  // namespace bdt
