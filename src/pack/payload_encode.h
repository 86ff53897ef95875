// The writer side of the payload framing: a one-byte filter flag, the LZMA
// properties and dictionary size, the unpacked size, then raw LZMA1 data without
// an end marker. Used by the package builder and by tests.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace payload {

struct EncodeOptions {
  uint32_t preset = 6;                   // 0..9, the LZMA effort
  bool extreme = false;                  // the preset's slower, sometimes smaller variant
  uint32_t dictSize = 8u * 1024 * 1024;  // 8 MiB, what the installer's packages carry
  bool x86 = false;                      // run the x86 branch-call filter first (flag 1)
  // Called now and then with the input bytes consumed and the input size.
  std::function<void(uint64_t done, uint64_t total)> progress;
};

// False (with `error`) when the data is empty or 4 GiB or more, or the encoder fails.
bool EncodePayload(std::span<const uint8_t> data, const EncodeOptions& options,
                   std::vector<uint8_t>& out, std::string& error);

}  // namespace payload
