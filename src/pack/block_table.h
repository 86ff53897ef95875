// The first stage of matching a large file: a table of the old file's blocks by
// hash. Every kBlock-byte block that starts at a multiple of kBlock is entered
// under a hash of its bytes; a new position whose next kBlock bytes hash alike
// names the old blocks that may hold them, and the caller compares the bytes.
// A common run of at least 2 * kBlock - 1 bytes holds a whole block of the old
// file and so is always found from some position inside it; shorter ones may be.
//
// The table takes 4 bytes per slot, with one to two slots per block (64 MiB for a
// 200 MB file). 16-byte blocks find every common run of 31 bytes or more, as
// long as the copies the text tuning takes; on the 200 MB record pair 32-byte
// blocks, half the table, made the patch 5% larger. Slots come in buckets of
// four, so that blocks whose hashes meet in one place mostly all stay; a block
// that finds its bucket full is left out. The high bits of each slot keep a few
// bits of the hash, so most candidates that would not compare equal are never
// read from the old file (8-byte slots with 32 such bits made the table twice as
// large and the record pair's matching slower, not faster).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <span>

namespace bdt {

class TBlockTable {
 public:
  static constexpr size_t kBlock = 16;

  // Enters every whole block of `oldFile` (at most kMaxOld bytes), in order,
  // calling `passed` (when set) with the bytes entered every `step` bytes or so.
  // Throws std::bad_alloc when the table does not fit in memory.
  void Build(std::span<const uint8_t> oldFile,
             const std::function<void(uint64_t done)>& passed = {}, uint64_t step = 0);
  bool Empty() const { return count_ == 0; }
  size_t Bytes() const { return count_ * sizeof(uint32_t); }

  // The hash of p[0..kBlock), and the hash of the block one byte on: `out` is the
  // byte that leaves it at the front, `in` the one that joins it at the back.
  static uint64_t Hash(const uint8_t* p);
  static uint64_t Roll(uint64_t hash, uint8_t out, uint8_t in);

  // Asks for the bucket of `hash` to be brought into the cache.
  void Prefetch(uint64_t hash) const {
#if defined(__GNUC__)
    __builtin_prefetch(&slots_[Bucket(hash) * kWays]);
#else
    (void)hash;
#endif
  }

  // Calls f(oldPos) for each entered block whose hash may be `hash` (up to four;
  // equal bytes are not checked).
  template <class F>
  void ForEach(uint64_t hash, F&& f) const {
    const uint32_t* b = &slots_[Bucket(hash) * kWays];
    const uint32_t check = Check(hash);
    for (size_t w = 0; w < kWays && b[w] != 0; ++w)
      if ((b[w] & kCheckMask) == check) f(static_cast<size_t>((b[w] & kIndexMask) - 1) * kBlock);
  }

 private:
  static constexpr size_t kWays = 4;
  // A block number plus one, 0 for an empty slot, in the low bits; hash bits above.
  static constexpr uint32_t kIndexMask = (1u << 26) - 1;
  static constexpr uint32_t kCheckMask = ~kIndexMask;
  static uint64_t Mixed(uint64_t hash) { return hash * 0x9E3779B97F4A7C15ull; }
  size_t Bucket(uint64_t hash) const { return static_cast<size_t>(Mixed(hash) >> shift_); }
  static uint32_t Check(uint64_t hash) { return static_cast<uint32_t>(Mixed(hash)) & kCheckMask; }

 public:
  // The largest old file the table takes: its block numbers fit the slots.
  static constexpr uint64_t kMaxOld = uint64_t{kIndexMask - 1} * kBlock;

 private:
  // Taken zeroed from the system (calloc), which for a large table gives fresh
  // pages instead of writing zeros over it.
  struct Free {
    void operator()(uint32_t* p) const { std::free(p); }
  };
  std::unique_ptr<uint32_t[], Free> slots_;
  size_t count_ = 0;
  unsigned shift_ = 63;  // 64 minus the bits of the bucket count
};

}  // namespace bdt
