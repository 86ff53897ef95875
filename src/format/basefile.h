// Scrambled base files: the layout as far as the scrambling needs it, the scrambling
// itself and the key of a base file. Pure functions over bytes; the conversion of
// files on disk builds on them.
//
// Layout (plain form, little-endian):
//   0          u32  TotalSize (paces a progress bar only)
//   4          u32  IndexCount N
//   8          8*N  index: N pairs (u32 offset, u32 length); the first offset is where
//                   the records begin (8 + 8*N in the product's files)
//   records    back to back: a 7-byte head whose bytes 5..6 hold the u16 DataLen,
//              then DataLen bytes of data
//
// Scrambling with key k (k = 0 is the plain form) XORs each stretch with a 16-bit
// value as a stream: bytes at even counts from the stretch's start with the low
// byte, at odd counts with the high byte. Header: k * (M1 + 1); index: k * (M2 + 1);
// a record's head and, separately, its data: (int32)p >> (k mod 32), p being the
// file offset of the head. The values depend on the record's place, so a record
// must stay at its offset. XOR is its own inverse, but the layout has to be read
// from the plain bytes, so the direction matters to the walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

inline constexpr size_t kBaseHeaderSize = 8;
inline constexpr size_t kBaseIndexEntrySize = 8;
inline constexpr size_t kBaseRecordHeadSize = 7;
// The header and index must fit, after a record head, into the converter's buffer
// of 7 + 20,000 bytes; larger files are not supported.
inline constexpr uint32_t kBaseMaxIndexCount = 2499;
inline constexpr uint32_t kBaseMaxDataLen = 20000;

// The stretch values for key `key`.
uint16_t BaseHeaderValue(uint32_t key, uint32_t m1);
uint16_t BaseIndexValue(uint32_t key, uint32_t m2);
uint16_t BaseRecordValue(uint32_t headPos, uint32_t key);

// XORs a stretch with `value` as a stream starting at count 0.
void XorBaseStretch(std::span<uint8_t> stretch, uint16_t value);

enum class BaseStatus {
  Ok,
  ShortHeader,      // fewer than 8 bytes
  IndexTooLarge,    // IndexCount above kBaseMaxIndexCount
  ShortIndex,       // the file ends inside the index
  BadRecordsStart,  // the first index offset lies inside the header or index, or past the end
  RecordTooLarge,   // a DataLen above kBaseMaxDataLen
  ShortRecord,      // the file ends inside a record's head or data
  FileTooLarge,     // beyond the 32-bit offsets of the layout
};
const char* BaseStatusText(BaseStatus status);

// Converts a whole base file held in `file` from key `oldKey` to key `newKey`, in
// place. The layout is checked completely before any byte changes: on any status
// but Ok the bytes are left as they were. Bytes between the index and the first
// record are not part of any stretch and stay as they are. With N = 0 the records
// begin right after the header.
BaseStatus RekeyBaseBytes(std::span<uint8_t> file, uint32_t newKey, uint32_t oldKey, uint32_t m1,
                          uint32_t m2);

// One record, converted in place from key `oldKey` to `newKey` (0: plain); the
// record's head lies at file offset `pos` and `avail` bytes of the file are at
// `record`. Its DataLen is read from the plain head before anything changes.
// RecordTooLarge for a DataLen over kBaseMaxDataLen, ShortRecord when fewer than its
// bytes are at hand: nothing changed then. `length` gets the record's length (head
// and data) once its head is read. Both the conversion in memory and the one of
// files on disk go through it.
BaseStatus RekeyBaseRecord(uint8_t* record, size_t avail, uint64_t pos, uint32_t newKey,
                           uint32_t oldKey, size_t& length);
inline BaseStatus ScrambleBase(std::span<uint8_t> plain, uint32_t key, uint32_t m1, uint32_t m2) {
  return RekeyBaseBytes(plain, key, 0, m1, m2);
}
inline BaseStatus UnscrambleBase(std::span<uint8_t> scrambled, uint32_t key, uint32_t m1,
                                 uint32_t m2) {
  return RekeyBaseBytes(scrambled, 0, key, m1, m2);
}

// The key of a base file, from the last character of its path: "1".."6" give the
// product's key of that base file, "0", "7", "8", "9" the digit's value (0: plain),
// anything else (and an empty path) -1: the file has no key. The result is wider
// than the keys so that no 32-bit key can be mistaken for -1.
int64_t BaseKeyFor(const std::string& path);
