// The check that a patch the builder made rebuilds the new file exactly, as the
// installer applies it: read and checked whole by the installer's own reader, then
// applied by its own applier's cursor a piece at a time into a small buffer, each
// piece compared with the new file. No second copy of the new file is made, so a large
// file is checked in the memory of one piece.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

namespace pkg {

// The output made per piece.
inline constexpr uint32_t kRebuildPiece = 1u << 20;

// Called every kRebuildPassed bytes or so and at the end with the new bytes checked
// so far: the caller may let go of what it holds of the files (the pages of a
// mapped file), of the new file below that point.
inline constexpr uint64_t kRebuildPassed = 16ull << 20;
using TRebuildPassed = std::function<void(uint64_t done)>;

// Whether the BDT patch `patch` rebuilds `newFile` from `oldFile`.
bool BdtRebuilds(std::span<const uint8_t> oldFile, std::span<const uint8_t> patch,
                 std::span<const uint8_t> newFile, const TRebuildPassed& passed = {});
// Whether the BDX patch `patch` rebuilds `newFile` from `oldFile`.
bool BdxRebuilds(std::span<const uint8_t> oldFile, std::span<const uint8_t> patch,
                 std::span<const uint8_t> newFile, const TRebuildPassed& passed = {});

}  // namespace pkg
