#include "format/basefile.h"

#include <bit>
#include <cstring>

#include "product/product.h"
#include "base/bytes.h"

namespace {

// The byte at `count` of a stretch XORed with `value`.
uint8_t Plain(uint8_t byte, size_t count, uint16_t value) {
  return byte ^ static_cast<uint8_t>(count % 2 == 0 ? value : value >> 8);
}

// The layout read from the plain values, without changing a byte.
struct Layout {
  uint32_t indexCount = 0;
  size_t recordsStart = 0;
};

BaseStatus Walk(std::span<const uint8_t> file, uint32_t oldKey, uint32_t m1, uint32_t m2,
                Layout& layout) {
  const size_t size = file.size();
  if (size < kBaseHeaderSize) return BaseStatus::ShortHeader;
  if (size > UINT32_MAX) return BaseStatus::FileTooLarge;

  const uint16_t hv = oldKey ? BaseHeaderValue(oldKey, m1) : 0;
  uint8_t header[kBaseHeaderSize];
  for (size_t i = 0; i < kBaseHeaderSize; ++i) header[i] = Plain(file[i], i, hv);
  const uint32_t n = le::Get32(header + 4);
  if (n > kBaseMaxIndexCount) return BaseStatus::IndexTooLarge;
  const size_t indexEnd = kBaseHeaderSize + kBaseIndexEntrySize * n;
  if (indexEnd > size) return BaseStatus::ShortIndex;

  size_t start = indexEnd;
  if (n > 0) {
    const uint16_t iv = oldKey ? BaseIndexValue(oldKey, m2) : 0;
    uint8_t first[4];
    for (size_t i = 0; i < 4; ++i) first[i] = Plain(file[kBaseHeaderSize + i], i, iv);
    const uint32_t offset = le::Get32(first);
    // Records inside the header or index would be converted twice.
    if (offset < indexEnd || offset > size) return BaseStatus::BadRecordsStart;
    start = offset;
  }

  size_t p = start;
  while (p < size) {
    if (size - p < kBaseRecordHeadSize) return BaseStatus::ShortRecord;
    const uint16_t rv = oldKey ? BaseRecordValue(static_cast<uint32_t>(p), oldKey) : 0;
    const uint32_t dataLen = Plain(file[p + 5], 5, rv) | (Plain(file[p + 6], 6, rv) << 8);
    if (dataLen > kBaseMaxDataLen) return BaseStatus::RecordTooLarge;
    if (dataLen > size - p - kBaseRecordHeadSize) return BaseStatus::ShortRecord;
    p += kBaseRecordHeadSize + dataLen;
  }
  layout.indexCount = n;
  layout.recordsStart = start;
  return BaseStatus::Ok;
}

}  // namespace

uint16_t BaseHeaderValue(uint32_t key, uint32_t m1) {
  return static_cast<uint16_t>(key * (m1 + 1u));
}

uint16_t BaseIndexValue(uint32_t key, uint32_t m2) {
  return static_cast<uint16_t>(key * (m2 + 1u));
}

uint16_t BaseRecordValue(uint32_t headPos, uint32_t key) {
  // An arithmetic shift of the offset taken as a signed number.
  return static_cast<uint16_t>(static_cast<int32_t>(headPos) >> (key % 32));
}

void XorBaseStretch(std::span<uint8_t> stretch, uint16_t value) {
  if (value == 0) return;
  const uint8_t lo = static_cast<uint8_t>(value), hi = static_cast<uint8_t>(value >> 8);
  uint8_t* const p = stretch.data();
  const size_t n = stretch.size();
  size_t i = 0;
  // A word at a time: records are converted by the hundred thousand. The pattern's
  // bytes in memory order are low, high, low, high ... on a little-endian machine;
  // elsewhere the byte-wise loop does it all.
  if constexpr (std::endian::native == std::endian::little) {
    uint64_t pattern = 0;
    for (int k = 0; k < 4; ++k) pattern = (pattern << 16) | value;
    for (; i + 8 <= n; i += 8) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      w ^= pattern;
      std::memcpy(p + i, &w, 8);
    }
  }
  for (; i < n; ++i) p[i] ^= (i % 2 == 0) ? lo : hi;  // i is even where the words end
}

BaseStatus RekeyBaseRecord(uint8_t* record, size_t avail, uint64_t pos, uint32_t newKey,
                           uint32_t oldKey, size_t& length) {
  length = 0;
  if (avail < kBaseRecordHeadSize) return BaseStatus::ShortRecord;
  const uint32_t at = static_cast<uint32_t>(pos);
  const uint16_t oldValue = oldKey ? BaseRecordValue(at, oldKey) : 0;
  const uint32_t dataLen = Plain(record[5], 5, oldValue) | (Plain(record[6], 6, oldValue) << 8);
  if (dataLen > kBaseMaxDataLen) return BaseStatus::RecordTooLarge;
  length = kBaseRecordHeadSize + dataLen;
  if (avail < length) return BaseStatus::ShortRecord;
  const uint16_t value = oldValue ^ (newKey ? BaseRecordValue(at, newKey) : 0);
  XorBaseStretch({record, kBaseRecordHeadSize}, value);
  XorBaseStretch({record + kBaseRecordHeadSize, dataLen}, value);
  return BaseStatus::Ok;
}

const char* BaseStatusText(BaseStatus status) {
  switch (status) {
    case BaseStatus::Ok: return "ok";
    case BaseStatus::ShortHeader: return "base file shorter than its header";
    case BaseStatus::IndexTooLarge: return "base file index has more than 2499 entries";
    case BaseStatus::ShortIndex: return "base file ends inside its index";
    case BaseStatus::BadRecordsStart: return "base file records start inside the index or past the end";
    case BaseStatus::RecordTooLarge: return "base file record longer than 20000 bytes";
    case BaseStatus::ShortRecord: return "base file ends inside a record";
    case BaseStatus::FileTooLarge: return "base file larger than 4 GiB";
  }
  return "unknown base file status";
}

BaseStatus RekeyBaseBytes(std::span<uint8_t> file, uint32_t newKey, uint32_t oldKey, uint32_t m1,
                          uint32_t m2) {
  Layout layout;
  const BaseStatus status = Walk(file, oldKey, m1, m2, layout);
  if (status != BaseStatus::Ok || newKey == oldKey) return status;

  // XOR with the old value and then the new one: one pass with their XOR.
  auto both = [&](uint16_t (*value)(uint32_t, uint32_t), uint32_t arg) {
    return static_cast<uint16_t>((oldKey ? value(oldKey, arg) : 0) ^ (newKey ? value(newKey, arg) : 0));
  };
  XorBaseStretch(file.subspan(0, kBaseHeaderSize), both(BaseHeaderValue, m1));
  XorBaseStretch(file.subspan(kBaseHeaderSize, kBaseIndexEntrySize * layout.indexCount),
                 both(BaseIndexValue, m2));

  for (size_t p = layout.recordsStart; p < file.size();) {
    size_t length = 0;
    RekeyBaseRecord(file.data() + p, file.size() - p, p, newKey, oldKey, length);
    p += length;
  }
  return BaseStatus::Ok;
}

int64_t BaseKeyFor(const std::string& path) {
  if (path.empty()) return -1;
  const char last = path.back();
  if (last < '0' || last > '9') return -1;
  const int digit = last - '0';
  if (digit >= 1 && digit <= 6) return product::kBaseKeys[digit - 1];
  return digit;
}
