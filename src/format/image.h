// The executable image a package is appended to: where it ends (the real length,
// where the package begins) and the link time stamp of a PE file.
//
// Windows executables are PE files; the Linux installer is an ELF file. The format
// is told by the magic at offset 0. Every function reads only inside the source and
// answers 0 / false for anything it cannot read or that points outside the file.
#pragma once

#include <cstdint>
#include <span>

#include "format/package_format.h"

namespace pkg {

enum class TImageFormat { Unknown, Pe, Elf };
TImageFormat DetectImageFormat(TByteSource& src);

// PE: the section table is walked from its first header. The first header's
// PointerToRawData is the base; the SizeOfRawData of each header that has no
// relocations or line numbers and non-zero Characteristics is added, up to the first
// header that does not qualify. The real length is base + that sum: for ordinary
// executables, whose section data lie back to back, the end of the last section's
// raw data. The DOS header, the 248 bytes of PE headers at e_lfanew and the whole
// section table must lie inside the file and carry their signatures ("MZ",
// "PE\0\0"); otherwise 0.
uint32_t PeRealLength(TByteSource& src);

// ELF (32 or 64 bit, little-endian): the length of the file the linker produced, the
// largest end of the ELF header, the program header table, the section header table,
// the file contents of each segment and of each section that occupies file space.
// 0 when a table lies outside the file.
uint32_t ElfRealLength(TByteSource& src);

// By the magic: PE or ELF; 0 for anything else, for a file shorter than 4 bytes
// and for a length that does not fit 32 bits.
uint32_t RealLength(TByteSource& src);
uint32_t RealLength(std::span<const uint8_t> file);

// The TimeDateStamp of the PE file header, for a PE file whose DOS header starts at
// `dosHeaderPos` (e_lfanew counts from the start of the source). False when the
// headers are not all there or their signatures are missing.
bool PeLinkStamp(TByteSource& src, uint64_t dosHeaderPos, uint32_t& stamp);

// ---- Authenticode signatures ----------------------------------------------------------
//
// A vendor signs the update file after it is built (signtool, osslsigncode): the
// signer writes the PE checksum field of the optional header and the security
// directory entry (the certificate table's file offset and size), pads the file with
// zero bytes to a multiple of 8 and appends the certificate table. The package is
// what stands before the padding, and its checksum counts the two header fields as
// zero, so that signing changes neither.
struct TSigningFields {
  bool Found = false;        // a PE file whose optional header holds both fields
  uint64_t CheckSumPos = 0;  // the 4-byte checksum field
  uint64_t SecurityPos = 0;  // the 8-byte security directory entry
  uint32_t TableOffset = 0;  // what that entry says: the table's file offset
  uint32_t TableSize = 0;    // and its size
};
TSigningFields FindSigningFields(TByteSource& src);
// What the two fields, as they stand in `src`, add to an AddSum over the bytes from
// offset 0 (0 when there are none): subtracted, the sum counts them as zero.
uint32_t SigningFieldsSum(TByteSource& src);
// Where the package in `src` ends: for a signed PE file whose certificate table ends
// the file, before the table and the zero bytes that align it, where the package's
// trailer names its own length; the source's size for any other file.
uint64_t PackageEnd(TByteSource& src);

// The first `size` bytes of another source.
class TPrefixSource final : public TByteSource {
 public:
  TPrefixSource(TByteSource& inner, uint64_t size) : inner_(inner), size_(size) {}
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t pos, void* buffer, size_t n) override {
    return pos <= size_ && n <= size_ - pos && inner_.ReadAt(pos, buffer, n);
  }

 private:
  TByteSource& inner_;
  uint64_t size_;
};

}  // namespace pkg
