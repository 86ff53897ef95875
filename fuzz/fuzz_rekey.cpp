// Base-file conversion: RekeyBaseBytes on any bytes, with the product's
// multipliers. Input: u32 new key, u32 old key, then the file.
// A conversion that succeeds is undone exactly by the reverse one; one that fails
// leaves every byte as it was.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "format/basefile.h"
#include "product/product.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  uint32_t newKey, oldKey;
  std::memcpy(&newKey, data, 4);
  std::memcpy(&oldKey, data + 4, 4);
  const std::vector<uint8_t> original(data + 8, data + size);
  std::vector<uint8_t> file = original;
  const BaseStatus status =
      RekeyBaseBytes(file, newKey, oldKey, product::kBaseM1, product::kBaseM2);
  if (status != BaseStatus::Ok) {
    if (file != original) abort();
    return 0;
  }
  if (RekeyBaseBytes(file, oldKey, newKey, product::kBaseM1, product::kBaseM2) != BaseStatus::Ok ||
      file != original)
    abort();
  return 0;
}
