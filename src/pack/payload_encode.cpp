#include "pack/payload_encode.h"

#include <lzma.h>

#include <algorithm>

namespace payload {

namespace {

// Owns the encoder's state.
struct Encoder {
  lzma_stream strm = LZMA_STREAM_INIT;
  ~Encoder() { lzma_end(&strm); }
};

// Input fed per call, so that progress can be reported between calls; with a
// limit, smaller slices let the size be checked more often.
constexpr size_t kSlice = size_t{1} << 20;
constexpr size_t kLimitedSlice = size_t{64} << 10;

// 0 as `limit`: no limit.
bool Encode(std::span<const uint8_t> data, const EncodeOptions& options, uint64_t limit,
            std::vector<uint8_t>& out, bool& passed, std::string& error) {
  passed = false;
  // 1 .. 2^32 - 1 bytes; an empty span wraps to the largest size (one test that
  // holds for 32- and 64-bit sizes alike).
  if (data.size() - 1 >= size_t{0xFFFFFFFFu}) {
    error = "payload size must be 1 byte to 4 GiB - 1";
    return false;
  }
  lzma_options_lzma opt;
  const uint32_t preset = std::min<uint32_t>(options.preset, 9) |
                          (options.extreme ? LZMA_PRESET_EXTREME : 0u);
  if (lzma_lzma_preset(&opt, preset)) {
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

  Encoder enc;
  if (lzma_raw_encoder(&enc.strm, filters) != LZMA_OK) {
    error = "LZMA encoder cannot start (not enough memory?)";
    return false;
  }
  out.assign(14, 0);
  out[0] = options.x86 ? 1 : 0;
  out[1] = static_cast<uint8_t>((opt.pb * 5 + opt.lp) * 9 + opt.lc);
  for (int i = 0; i < 4; ++i) out[2 + i] = static_cast<uint8_t>(opt.dict_size >> (8 * i));
  const uint64_t size = data.size();
  for (int i = 0; i < 8; ++i) out[6 + i] = static_cast<uint8_t>(size >> (8 * i));

  // The output grows as needed: compressed data is usually far smaller than the
  // input, and a buffer of the worst-case size would double the memory taken.
  size_t used = out.size();
  out.resize(used + std::min<size_t>(data.size() / 4 + 4096, size_t{64} << 20));
  enc.strm.next_in = data.data();
  size_t fed = 0;
  const size_t sliceSize = limit != 0 ? kLimitedSlice : kSlice;
  for (;;) {
    if (enc.strm.avail_in == 0 && fed < data.size()) {
      const size_t slice = std::min(sliceSize, data.size() - fed);
      enc.strm.next_in = data.data() + fed;
      enc.strm.avail_in = slice;
      fed += slice;
    }
    if (used == out.size()) out.resize(out.size() + out.size() / 2);
    enc.strm.next_out = out.data() + used;
    enc.strm.avail_out = out.size() - used;
    const lzma_action action = fed == data.size() ? LZMA_FINISH : LZMA_RUN;
    const lzma_ret ret = lzma_code(&enc.strm, action);
    used = out.size() - enc.strm.avail_out;
    if (ret == LZMA_STREAM_END) break;
    if (ret != LZMA_OK) {
      error = "LZMA encoder failed (" + std::to_string(static_cast<int>(ret)) + ")";
      out.clear();
      return false;
    }
    if (limit != 0 && used > limit) {
      out.resize(used);
      passed = true;
      return true;
    }
    if (options.progress && enc.strm.avail_in == 0)
      options.progress(fed, data.size());
  }
  out.resize(used);
  out.shrink_to_fit();
  if (options.progress) options.progress(data.size(), data.size());
  passed = limit != 0 && out.size() > limit;
  return true;
}

}  // namespace

bool EncodePayload(std::span<const uint8_t> data, const EncodeOptions& options,
                   std::vector<uint8_t>& out, std::string& error) {
  bool passed = false;
  return Encode(data, options, 0, out, passed, error);
}

bool EncodePayloadWithin(std::span<const uint8_t> data, const EncodeOptions& options,
                         uint64_t limit, std::vector<uint8_t>& out, bool& passed,
                         std::string& error) {
  // A limit of 0 would mean none: nothing fits within 0 bytes anyway.
  return Encode(data, options, std::max<uint64_t>(limit, 1), out, passed, error);
}

}  // namespace payload
