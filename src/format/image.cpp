#include "format/image.h"
#include "base/bytes.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace pkg {

namespace {

constexpr size_t kDosHeaderSize = 64;
constexpr size_t kPeHeadersSize = 248;  // signature, file header, 224-byte optional header
constexpr size_t kSectionHeaderSize = 40;

// a + b, or UINT64_MAX when that does not fit.
uint64_t AddSat(uint64_t a, uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

bool InFile(TByteSource& src, uint64_t pos, uint64_t n) {
  return pos <= src.Size() && n <= src.Size() - pos;
}

// Reads the DOS header at dosPos and the PE headers at its e_lfanew.
bool ReadPeHeaders(TByteSource& src, uint64_t dosPos, uint32_t& lfanew,
                   uint8_t (&pe)[kPeHeadersSize]) {
  uint8_t dos[kDosHeaderSize];
  if (!src.ReadAt(dosPos, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return false;
  lfanew = le::Get32(dos + 60);
  return src.ReadAt(lfanew, pe, sizeof pe) && std::memcmp(pe, "PE\0\0", 4) == 0;
}

}  // namespace

TImageFormat DetectImageFormat(TByteSource& src) {
  uint8_t magic[4];
  if (!src.ReadAt(0, magic, sizeof magic)) return TImageFormat::Unknown;
  if (magic[0] == 'M' && magic[1] == 'Z') return TImageFormat::Pe;
  if (std::memcmp(magic, "\x7F" "ELF", 4) == 0) return TImageFormat::Elf;
  return TImageFormat::Unknown;
}

uint32_t PeRealLength(TByteSource& src) {
  uint32_t lfanew;
  uint8_t pe[kPeHeadersSize];
  if (src.Size() < 4 || !ReadPeHeaders(src, 0, lfanew, pe)) return 0;
  const uint16_t sectionCount = le::Get16(pe + 6);
  const uint16_t optionalHeaderSize = le::Get16(pe + 20);
  const uint64_t table = static_cast<uint64_t>(lfanew) + 24 + optionalHeaderSize;
  if (!InFile(src, table, static_cast<uint64_t>(sectionCount) * kSectionHeaderSize)) return 0;

  // The loop runs once per section but stays on the first header that does not
  // qualify, so nothing after it counts.
  uint64_t base = 0, sum = 0;
  uint32_t current = 0;
  uint8_t h[kSectionHeaderSize];
  uint32_t loaded = UINT32_MAX;
  for (uint32_t i = 0; i < sectionCount; ++i) {
    if (loaded != current) {
      if (!src.ReadAt(table + uint64_t{current} * kSectionHeaderSize, h, sizeof h)) return 0;
      loaded = current;
    }
    if (base == 0) base = le::Get32(h + 20);  // PointerToRawData
    const bool plain = le::Get32(h + 24) == 0 && le::Get32(h + 28) == 0 && le::Get16(h + 32) == 0 &&
                       le::Get16(h + 34) == 0 && le::Get32(h + 36) != 0;
    if (plain) {
      sum += le::Get32(h + 16);  // SizeOfRawData
      ++current;
    }
  }
  const uint64_t end = base + sum;
  return end > UINT32_MAX ? 0 : static_cast<uint32_t>(end);
}

uint32_t ElfRealLength(TByteSource& src) {
  uint8_t eh[64];
  if (!src.ReadAt(0, eh, 52) || std::memcmp(eh, "\x7F" "ELF", 4) != 0) return 0;
  const bool is64 = eh[4] == 2;
  if ((eh[4] != 1 && eh[4] != 2) || eh[5] != 1) return 0;  // 32/64 bit, little-endian only
  if (is64 && !src.ReadAt(0, eh, 64)) return 0;

  uint64_t phoff, shoff;
  uint16_t ehsize, phentsize, phnum, shentsize;
  uint32_t shnum;
  if (is64) {
    phoff = le::Get64(eh + 32);
    shoff = le::Get64(eh + 40);
    ehsize = le::Get16(eh + 52);
    phentsize = le::Get16(eh + 54);
    phnum = le::Get16(eh + 56);
    shentsize = le::Get16(eh + 58);
    shnum = le::Get16(eh + 60);
  } else {
    phoff = le::Get32(eh + 28);
    shoff = le::Get32(eh + 32);
    ehsize = le::Get16(eh + 40);
    phentsize = le::Get16(eh + 42);
    phnum = le::Get16(eh + 44);
    shentsize = le::Get16(eh + 46);
    shnum = le::Get16(eh + 48);
  }
  const size_t phMin = is64 ? 56 : 32;
  const size_t shMin = is64 ? 64 : 40;
  uint64_t end = std::max<uint64_t>(ehsize, is64 ? 64 : 52);
  uint8_t entry[64];

  if (phnum != 0) {
    if (phentsize < phMin || !InFile(src, phoff, uint64_t{phnum} * phentsize)) return 0;
    end = std::max(end, phoff + uint64_t{phnum} * phentsize);
    for (uint32_t i = 0; i < phnum; ++i) {
      if (!src.ReadAt(phoff + uint64_t{i} * phentsize, entry, phMin)) return 0;
      const uint64_t offset = is64 ? le::Get64(entry + 8) : le::Get32(entry + 4);
      const uint64_t fileSize = is64 ? le::Get64(entry + 32) : le::Get32(entry + 16);
      if (fileSize != 0) end = std::max(end, AddSat(offset, fileSize));
    }
  }

  if (shoff != 0) {
    if (shentsize < shMin) return 0;
    if (shnum == 0) {
      // More sections than the header can count: the count is the size of
      // section 0.
      if (!InFile(src, shoff, shMin) || !src.ReadAt(shoff, entry, shMin)) return 0;
      const uint64_t count = is64 ? le::Get64(entry + 32) : le::Get32(entry + 20);
      if (count > UINT32_MAX) return 0;
      shnum = static_cast<uint32_t>(count);
    }
    if (!InFile(src, shoff, uint64_t{shnum} * shentsize)) return 0;
    end = std::max(end, shoff + uint64_t{shnum} * shentsize);
    for (uint32_t i = 0; i < shnum; ++i) {
      if (!src.ReadAt(shoff + uint64_t{i} * shentsize, entry, shMin)) return 0;
      constexpr uint32_t kNoBits = 8;  // SHT_NOBITS: no file space
      if (le::Get32(entry + 4) == kNoBits) continue;
      const uint64_t offset = is64 ? le::Get64(entry + 24) : le::Get32(entry + 16);
      const uint64_t size = is64 ? le::Get64(entry + 32) : le::Get32(entry + 20);
      if (size != 0) end = std::max(end, AddSat(offset, size));
    }
  }
  return end > UINT32_MAX ? 0 : static_cast<uint32_t>(end);
}

uint32_t RealLength(TByteSource& src) {
  if (src.Size() < 4) return 0;
  switch (DetectImageFormat(src)) {
    case TImageFormat::Pe: return PeRealLength(src);
    case TImageFormat::Elf: return ElfRealLength(src);
    default: return 0;
  }
}

uint32_t RealLength(std::span<const uint8_t> file) {
  TSpanSource src(file);
  return RealLength(src);
}

bool PeLinkStamp(TByteSource& src, uint64_t dosHeaderPos, uint32_t& stamp) {
  uint32_t lfanew;
  uint8_t pe[kPeHeadersSize];
  if (!ReadPeHeaders(src, dosHeaderPos, lfanew, pe)) return false;
  stamp = le::Get32(pe + 8);
  return true;
}

TSigningFields FindSigningFields(TByteSource& src) {
  TSigningFields f;
  uint8_t dos[64];
  if (!src.ReadAt(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return f;
  const uint64_t pe = le::Get32(dos + 0x3C);
  uint8_t head[24 + 2];
  if (!src.ReadAt(pe, head, sizeof head) || std::memcmp(head, "PE\0\0", 4) != 0) return f;
  const uint64_t optional = pe + 24;
  const uint16_t optionalSize = le::Get16(head + 20);
  const uint16_t magic = le::Get16(head + 24);
  const uint64_t directories = magic == 0x10B ? 96 : magic == 0x20B ? 112 : 0;
  if (directories == 0 || optionalSize < directories + 5 * 8) return f;
  uint8_t count[4], security[8];
  if (!src.ReadAt(optional + directories - 4, count, sizeof count) || le::Get32(count) < 5 ||
      !src.ReadAt(optional + directories + 4 * 8, security, sizeof security))
    return f;
  f.Found = true;
  f.CheckSumPos = optional + 64;
  f.SecurityPos = optional + directories + 4 * 8;
  f.TableOffset = le::Get32(security);
  f.TableSize = le::Get32(security + 4);
  return f;
}

uint32_t SigningFieldsSum(TByteSource& src) {
  const TSigningFields f = FindSigningFields(src);
  if (!f.Found) return 0;
  uint32_t sum = 0;
  // Each byte counts at its place in the little-endian word of the range it falls in.
  for (const auto& [pos, size] : {std::pair<uint64_t, size_t>{f.CheckSumPos, 4},
                                  std::pair<uint64_t, size_t>{f.SecurityPos, 8}}) {
    uint8_t bytes[8];
    if (!src.ReadAt(pos, bytes, size)) return 0;
    for (size_t i = 0; i < size; ++i) sum += uint32_t{bytes[i]} << (8 * ((pos + i) % 4));
  }
  return sum;
}

uint64_t PackageEnd(TByteSource& src) {
  const uint64_t n = src.Size();
  const TSigningFields f = FindSigningFields(src);
  if (!f.Found || f.TableSize < 8 || uint64_t{f.TableOffset} + f.TableSize != n ||
      f.TableOffset < kTrailerSize)
    return n;
  // The signer aligned the table to 8 with up to 7 zero bytes: the package ends
  // where its trailer names that very length.
  uint8_t tail[kTrailerSize + 7];
  const uint64_t from = f.TableOffset - std::min<uint64_t>(f.TableOffset, sizeof tail);
  const size_t got = static_cast<size_t>(f.TableOffset - from);
  if (!src.ReadAt(from, tail, got)) return f.TableOffset;
  for (size_t pad = 0; pad < 8 && pad + kTrailerSize <= got; ++pad) {
    if (pad > 0 && tail[got - pad] != 0) break;
    const uint64_t end = f.TableOffset - pad;
    if (le::Get32(tail + got - pad - kTrailerSize) == end) return end;
  }
  return f.TableOffset;
}

}  // namespace pkg
