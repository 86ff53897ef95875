#include "format/checksum.h"

#include <bit>
#include <cstring>

namespace pkg {

namespace {

inline uint32_t LoadLe32(const uint8_t* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap32(w);
  return w;
}

// Sums `words` complete little-endian words starting at p. The inner loop has a
// fixed trip count so that the compiler turns it into vector additions even at
// -O2 (whose cost model vectorises only loops without a scalar epilogue).
uint32_t SumWords(const uint8_t* p, size_t words) {
  constexpr size_t kBlockWords = 64;  // 256 bytes
  uint32_t sum = 0;
  while (words >= kBlockWords) {
    uint32_t block = 0;
    for (size_t k = 0; k < kBlockWords; ++k) block += LoadLe32(p + 4 * k);
    sum += block;
    p += 4 * kBlockWords;
    words -= kBlockWords;
  }
  for (size_t k = 0; k < words; ++k) sum += LoadLe32(p + 4 * k);
  return sum;
}

}  // namespace

void TChecksum::Update(const void* data, size_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (pendingLen_ != 0) {
    // Complete the word that the previous piece left open.
    while (pendingLen_ < 4 && n != 0) {
      pending_[pendingLen_++] = *p++;
      --n;
    }
    if (pendingLen_ < 4) return;
    sum_ += LoadLe32(pending_);
    pendingLen_ = 0;
  }
  const size_t words = n / 4;
  sum_ += SumWords(p, words);
  p += 4 * words;
  n -= 4 * words;
  for (size_t i = 0; i < n; ++i) pending_[pendingLen_++] = p[i];
}

uint32_t TChecksum::Final() const {
  uint32_t sum = sum_;
  for (unsigned i = 0; i < pendingLen_; ++i) sum += pending_[i];
  return sum;
}

uint32_t AddSum(const void* data, size_t n) {
  TChecksum c;
  c.Update(data, n);
  return c.Final();
}

uint32_t AddSum(std::span<const uint8_t> bytes) { return AddSum(bytes.data(), bytes.size()); }

}  // namespace pkg
