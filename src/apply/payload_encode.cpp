#include "apply/payload_encode.h"

#include <lzma.h>

namespace payload {

bool EncodePayload(std::span<const uint8_t> data, const EncodeOptions& options,
                   std::vector<uint8_t>& out, std::string& error) {
  if (data.empty() || data.size() > 0xFFFFFFFFull) {
    error = "payload size must be 1 byte to 4 GiB - 1";
    return false;
  }
  lzma_options_lzma opt;
  if (lzma_lzma_preset(&opt, options.preset > 9 ? 9 : options.preset)) {
    error = "bad LZMA preset";
    return false;
  }
  opt.dict_size = options.dictSize;
  opt.lc = 3;
  opt.lp = 0;
  opt.pb = 2;  // properties byte 0x5D
  // The extended LZMA1 filter knows the size and so writes no end marker.
  opt.ext_flags = 0;
  opt.ext_size_low = static_cast<uint32_t>(data.size());
  opt.ext_size_high = 0;

  lzma_filter filters[3];
  int n = 0;
  if (options.x86) filters[n++] = {LZMA_FILTER_X86, nullptr};
  filters[n++] = {LZMA_FILTER_LZMA1EXT, &opt};
  filters[n] = {LZMA_VLI_UNKNOWN, nullptr};

  const size_t bound = data.size() + data.size() / 2 + 4096;
  out.assign(14 + bound, 0);
  out[0] = options.x86 ? 1 : 0;
  out[1] = static_cast<uint8_t>((opt.pb * 5 + opt.lp) * 9 + opt.lc);
  for (int i = 0; i < 4; ++i) out[2 + i] = static_cast<uint8_t>(opt.dict_size >> (8 * i));
  const uint64_t size = data.size();
  for (int i = 0; i < 8; ++i) out[6 + i] = static_cast<uint8_t>(size >> (8 * i));
  size_t pos = 14;
  lzma_ret ret = lzma_raw_buffer_encode(filters, nullptr, data.data(), data.size(), out.data(),
                                        &pos, out.size());
  if (ret != LZMA_OK) {
    error = "LZMA encoder failed (" + std::to_string(static_cast<int>(ret)) + ")";
    out.clear();
    return false;
  }
  out.resize(pos);
  return true;
}

}  // namespace payload
