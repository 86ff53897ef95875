#include "format/stamp.h"

#include <cstring>
#include <exception>

#include "product/product.h"
#include "base/bytes.h"

namespace {
}  // namespace

bool VersionFitsConfig(const std::string& version) {
  return version.size() + 1 <= product::kConfigVersionField &&
         version.find('\0') == std::string::npos;
}

bool StampConfigBuffer(std::vector<uint8_t>& record, const std::string& version) {
  if (record.size() < product::kConfigSize || !VersionFitsConfig(version)) return false;
  le::Set32(record, product::kConfigFlagsOffset, le::Get32(record, product::kConfigFlagsOffset) | 0x0009C600u);
  std::memcpy(record.data() + product::kConfigVersionOffset, version.c_str(), version.size() + 1);
  le::Set32(record, product::kConfigFlagsAOffset, 0x0460421Cu);
  le::Set32(record, product::kConfigFlagsBOffset, 0x08401004u);
  le::Set32(record, product::kConfigFormatLevelOffset, 23u);
  return true;
}
