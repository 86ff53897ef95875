// Payload decoding over liblzma's raw LZMA1 decoder, straight from a read-only
// mapping of the package into a read-write mapping of the work file.
#include "format/payload.h"
#include "base/bytes.h"

#include <lzma.h>

#include <algorithm>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>


namespace payload {

namespace {

// Progress is reported after each slice of output; small enough that the window
// repaints several times a second, large enough that the reports cost nothing.
constexpr uint32_t kProgressSlice = 1u << 20;
// The smallest dictionary the decoder is given (liblzma rounds smaller ones up
// anyway).
constexpr uint32_t kMinDictionary = 4096;

// Allocations of liblzma from this size on go to the block source, when there is
// one: in practice the dictionary alone.
constexpr size_t kLargeAllocation = size_t{1} << 20;

// Owns a liblzma stream, the options block lzma_properties_decode allocates, and
// the blocks the stream took from a block source.
struct Decoder {
  lzma_stream strm = LZMA_STREAM_INIT;
  void* options = nullptr;
  lzma_allocator allocator = {};
  const TBlockSource* blocks = nullptr;
  std::vector<std::pair<void*, size_t>> taken;

  explicit Decoder(const TBlockSource* source) : blocks(source) {
    if (!blocks || !blocks->Allocate || !blocks->Release) return;
    allocator.opaque = this;
    allocator.alloc = [](void* opaque, size_t count, size_t size) -> void* {
      auto* self = static_cast<Decoder*>(opaque);
      if (count != 0 && size > SIZE_MAX / count) return nullptr;
      const size_t bytes = count * size;
      if (bytes < kLargeAllocation) return std::malloc(bytes == 0 ? 1 : bytes);
      try {
        self->taken.reserve(self->taken.size() + 1);
      } catch (const std::exception&) {
        return nullptr;
      }
      void* block = self->blocks->Allocate(bytes);
      if (block) self->taken.emplace_back(block, bytes);
      return block;
    };
    allocator.free = [](void* opaque, void* block) {
      auto* self = static_cast<Decoder*>(opaque);
      for (auto it = self->taken.begin(); it != self->taken.end(); ++it) {
        if (it->first == block) {
          self->blocks->Release(block, it->second);
          self->taken.erase(it);
          return;
        }
      }
      std::free(block);
    };
    strm.allocator = &allocator;
  }
  ~Decoder() {
    lzma_end(&strm);
    std::free(options);  // allocated by liblzma with the default allocator (malloc)
  }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
};

}  // namespace

bool ParseHeader(const uint8_t* data, size_t available, Header& header) {
  if (!data || available < kHeaderSize) return false;
  header.filter = data[0];
  std::memcpy(header.props, data + 1, 5);
  header.dictSize = le::Get32(data + 2);
  header.unpackedSize = static_cast<uint64_t>(le::Get32(data + 6)) |
                        static_cast<uint64_t>(le::Get32(data + 10)) << 32;
  return true;
}

const char* StatusText(Status status) {
  switch (status) {
    case Status::Ok: return "";
    case Status::Unsupported: return "неизвестный фильтр или параметры LZMA";
    case Status::TooLarge: return "словарь LZMA больше 64 МиБ";
    case Status::Truncated: return "сжатые данные обрываются раньше конца файла";
    case Status::DataError: return "ошибка в сжатых данных";
    case Status::NoMemory: return "не хватает памяти для распаковки";
    case Status::SinkFailed: return "";  // the receiver's own error stands
  }
  return "";
}

uint32_t DecoderDictionary(uint32_t declared, uint32_t outSize) {
  return std::max(kMinDictionary, std::min(declared, outSize));
}

Status DecodeLzma(const Header& header, const uint8_t* in, size_t inSize, uint8_t* out,
                  uint32_t outSize, uint32_t& produced, const ProgressFn& progress) {
  // The whole output as the buffer: it is never full before the end, so the one
  // piece handed over is everything, already in place.
  return DecodeLzmaTo(header, in, inSize, outSize, out, outSize, SinkFn(), produced, progress);
}

Status DecodeLzmaTo(const Header& header, const uint8_t* in, size_t inSize, uint32_t outSize,
                    uint8_t* buffer, size_t bufferSize, const SinkFn& sink, uint32_t& produced,
                    const ProgressFn& progress, const TBlockSource* blocks) {
  produced = 0;
  if (header.filter != kFilterNone && header.filter != kFilterX86) return Status::Unsupported;

  Decoder dec(blocks);
  lzma_filter filters[2];
  filters[0].id = LZMA_FILTER_LZMA1;
  filters[0].options = nullptr;
  if (lzma_properties_decode(&filters[0], nullptr, header.props, 5) != LZMA_OK)
    return Status::Unsupported;
  dec.options = filters[0].options;
  filters[1].id = LZMA_VLI_UNKNOWN;
  filters[1].options = nullptr;

  auto* opt = static_cast<lzma_options_lzma*>(filters[0].options);
  opt->dict_size = DecoderDictionary(opt->dict_size, outSize);
  if (opt->dict_size > kMaxDictionary) return Status::TooLarge;

  // Plain LZMA1 takes the size as unknown: an end marker anywhere ends the stream
  // with LZMA_STREAM_END, and without one the decoder simply stops when the
  // output is full. That is exactly the rule for payloads.
  switch (lzma_raw_decoder(&dec.strm, filters)) {
    case LZMA_OK: break;
    case LZMA_MEM_ERROR: return Status::NoMemory;
    default: return Status::Unsupported;
  }

  // The buffer holds `filled` bytes: the bytes not yet handed over, from the
  // stream's `handed` on. A piece is handed over when the buffer is full; the BCJ
  // decoder then keeps back the few bytes whose operand may go on in the next.
  const bool x86 = header.filter == kFilterX86;
  TX86Stream branches;
  size_t filled = 0;
  uint32_t handed = 0;
  auto handOver = [&](bool last) {
    size_t ready = filled;
    if (x86) {
      const size_t converted = branches.Convert(buffer, filled);
      if (!last) ready = converted;
    }
    if (ready != 0 && sink && !sink(buffer, ready)) return false;
    if (ready != filled) std::memmove(buffer, buffer + ready, filled - ready);
    filled -= ready;
    handed += static_cast<uint32_t>(ready);
    return true;
  };

  dec.strm.next_in = in;
  dec.strm.avail_in = inSize;
  uint32_t done = 0;
  while (done < outSize) {
    if (filled == bufferSize) {
      if (bufferSize < kMinSinkBuffer) return Status::SinkFailed;  // the caller's mistake
      if (!handOver(false)) return Status::SinkFailed;
    }
    const uint32_t slice = static_cast<uint32_t>(
        std::min<size_t>(std::min(kProgressSlice, outSize - done), bufferSize - filled));
    dec.strm.next_out = buffer + filled;
    dec.strm.avail_out = slice;
    const lzma_ret ret = lzma_code(&dec.strm, LZMA_RUN);
    const uint32_t got = slice - static_cast<uint32_t>(dec.strm.avail_out);
    done += got;
    filled += got;
    if (ret == LZMA_STREAM_END) break;  // an end marker before the declared size
    if (ret != LZMA_OK) {
      // LZMA_BUF_ERROR: no progress possible, the input has run out.
      return ret == LZMA_BUF_ERROR   ? Status::Truncated
             : ret == LZMA_MEM_ERROR ? Status::NoMemory
                                     : Status::DataError;
    }
    if (progress && done < outSize) progress(&kPositionMarker, done);
  }
  if (!handOver(true)) return Status::SinkFailed;
  produced = done;
  return Status::Ok;
}

void X86Decode(uint8_t* data, size_t size, uint32_t startOffset) {
  TX86Stream(startOffset).Convert(data, size);
}

size_t TX86Stream::Convert(uint8_t* data, size_t size) {
  // A call or jump (E8/E9) is followed by a 32-bit operand; the encoder replaced
  // operands whose top byte is 00 or FF by absolute addresses. `prevMask_`
  // remembers which of the last bytes were E8/E9 candidates that were not
  // converted, since an opcode byte inside a converted operand must not be taken
  // for another call.
  static const bool kAllowedMask[8] = {true, true, true, false, true, false, false, false};
  static const uint32_t kMaskToBit[8] = {0, 1, 2, 2, 3, 3, 3, 3};
  auto isMsByte = [](uint8_t b) { return b == 0x00 || b == 0xFF; };

  if (size < 5) return 0;
  uint32_t prevMask = prevMask_;
  uint32_t prevPos = prevPos_;
  const size_t limit = size - 5;
  size_t pos = 0;
  while (pos <= limit) {
    // Most bytes are no call: skip to the next E8/E9 without the state machine.
    while (pos <= limit && (data[pos] & 0xFE) != 0xE8) ++pos;
    if (pos > limit) break;
    const uint32_t here = position_ + static_cast<uint32_t>(pos);
    const uint32_t distance = here - prevPos;
    prevPos = here;
    if (distance > 5) {
      prevMask = 0;
    } else {
      for (uint32_t i = 0; i < distance; ++i) {
        prevMask &= 0x77;
        prevMask <<= 1;
      }
    }

    uint8_t b = data[pos + 4];
    if (isMsByte(b) && kAllowedMask[(prevMask >> 1) & 7] && (prevMask >> 1) < 0x10) {
      uint32_t src = static_cast<uint32_t>(b) << 24 | static_cast<uint32_t>(data[pos + 3]) << 16 |
                     static_cast<uint32_t>(data[pos + 2]) << 8 | data[pos + 1];
      uint32_t dest;
      for (;;) {
        dest = src - (here + 5);
        if (prevMask == 0) break;
        const uint32_t i = kMaskToBit[prevMask >> 1];
        b = static_cast<uint8_t>(dest >> (24 - i * 8));
        if (!isMsByte(b)) break;
        src = dest ^ ((1u << (32 - i * 8)) - 1);
      }
      data[pos + 4] = static_cast<uint8_t>(~(((dest >> 24) & 1) - 1));
      data[pos + 3] = static_cast<uint8_t>(dest >> 16);
      data[pos + 2] = static_cast<uint8_t>(dest >> 8);
      data[pos + 1] = static_cast<uint8_t>(dest);
      pos += 5;
      prevMask = 0;
    } else {
      ++pos;
      prevMask |= 1;
      if (isMsByte(b)) prevMask |= 0x10;
    }
  }
  prevMask_ = prevMask;
  prevPos_ = prevPos;
  position_ += static_cast<uint32_t>(pos);
  return pos;
}

}  // namespace payload
