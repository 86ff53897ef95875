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

// EncodePayload for a comparison: gives up as soon as the framed output passes
// `limit` bytes, since the encoder never takes back what it has written, the
// payload would be larger than `limit` too. Then `passed` is set and `out` holds
// the bytes written so far (a lower bound of the size, not a payload); otherwise
// `out` is the payload EncodePayload makes. The input is fed in small slices so
// that the check comes early.
bool EncodePayloadWithin(std::span<const uint8_t> data, const EncodeOptions& options,
                         uint64_t limit, std::vector<uint8_t>& out, bool& passed,
                         std::string& error);

}  // namespace payload
