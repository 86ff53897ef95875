#include "format/stamp.h"

#include <cstring>
#include <exception>

#include "product/product.h"

namespace {
void PutU32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t GetU32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
}  // namespace

bool VersionFitsConfig(const std::string& version) {
  return version.size() + 1 <= product::kConfigVersionField &&
         version.find('\0') == std::string::npos;
}

bool StampConfigBuffer(std::vector<uint8_t>& record, const std::string& version) {
  if (record.size() < product::kConfigSize || !VersionFitsConfig(version)) return false;
  PutU32(record, product::kConfigFlagsOffset, GetU32(record, product::kConfigFlagsOffset) | 0x0009C600u);
  std::memcpy(record.data() + product::kConfigVersionOffset, version.c_str(), version.size() + 1);
  PutU32(record, product::kConfigFlagsAOffset, 0x0460421Cu);
  PutU32(record, product::kConfigFlagsBOffset, 0x08401004u);
  PutU32(record, product::kConfigFormatLevelOffset, 23u);
  return true;
}
