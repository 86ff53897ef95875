// The additive checksum that protects the package, each of its entries and every
// file the update touches.
//
// Over a byte range: the sum, modulo 2^32, of every complete little-endian 32-bit
// word of the range (word boundaries count from the first byte of the range, not
// from any file offset), plus each of the n mod 4 trailing bytes as a value 0..255.
// An empty range sums to 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace pkg {

// A running checksum fed in pieces of any length. Update() keeps the word
// alignment relative to the start of the range across piece boundaries, so any
// split of the range gives the same Final() as one AddSum() over all of it.
class TChecksum {
 public:
  void Update(const void* data, size_t n);
  void Update(std::span<const uint8_t> bytes) { Update(bytes.data(), bytes.size()); }
  // The checksum of everything fed so far; the bytes of an incomplete last word
  // count one by one. Further Update() calls continue the same range.
  uint32_t Final() const;
  void Reset() { *this = TChecksum(); }

 private:
  uint32_t sum_ = 0;
  uint8_t pending_[4] = {};  // bytes of a word not yet complete
  unsigned pendingLen_ = 0;
};

uint32_t AddSum(std::span<const uint8_t> bytes);
uint32_t AddSum(const void* data, size_t n);

}  // namespace pkg
