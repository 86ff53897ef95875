// Entry payloads: a one-byte filter flag in front of the classic 13-byte LZMA
// header, then raw LZMA1 data with or without an end marker.
//
//   offset 0   1  filter flag: 0 plain, 1 x86 branch-call (BCJ) filtered
//   offset 1   1  properties byte (pb * 5 + lp) * 9 + lc
//   offset 2   4  dictionary size, u32 little-endian
//   offset 6   8  unpacked size, u64 little-endian (only the low 32 bits count)
//   offset 14     LZMA1 stream
//
// The payload does not store its compressed length: decoding stops when the
// declared number of bytes has been produced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace payload {

constexpr size_t kHeaderSize = 14;
constexpr uint8_t kFilterNone = 0;
constexpr uint8_t kFilterX86 = 1;
// The decoder's dictionary lives on the heap, beside the mapped output; a header
// asking for more than this (after clamping to the unpacked size, which no valid
// stream can exceed) is refused rather than allowed to take the memory of a large
// file a second time. The largest dictionary of the common presets; the packages
// made for the installer use 8 MiB.
constexpr uint32_t kMaxDictionary = 64u << 20;

// The dictionary the decoder takes for a stream that declares `declared` and
// unpacks to `outSize` bytes: no match reaches further back than the bytes made
// so far, so a larger one is never used.
uint32_t DecoderDictionary(uint32_t declared, uint32_t outSize);

struct Header {
  uint8_t filter = 0;
  uint8_t props[5] = {};   // properties byte and dictionary size, as stored
  uint32_t dictSize = 0;
  uint64_t unpackedSize = 0;
};

// Reads the 14-byte header; false when fewer than 14 bytes are available.
// Does not judge the values.
bool ParseHeader(const uint8_t* data, size_t available, Header& header);

enum class Status {
  Ok,           // the declared size was produced, or an end marker came first
  Unsupported,  // filter flag above 1, properties the decoder cannot take
  TooLarge,     // the dictionary would exceed kMaxDictionary
  Truncated,    // the input ended before the output was complete
  DataError,    // corrupt LZMA data
  NoMemory,     // the decoder could not allocate its state
  SinkFailed,   // the receiver of the produced bytes refused them (its own error stands)
};

// What a status means, for the protocol (CP1251; "" for Ok).
const char* StatusText(Status status);

// Progress: called with a null marker and the total first, then with a non-null
// marker and the count produced so far. The result is ignored.
// Any non-null marker tells the progress callback that the value is a position.
inline const char kPositionMarker = 0;
using ProgressFn = std::function<int(const void* marker, uint32_t value)>;

// Decodes the LZMA1 stream `in` (the bytes after the header) into `out`, which
// holds `outSize` bytes, then runs the BCJ decoder over the produced bytes when
// the header asks for it. Stops successfully when `outSize` bytes are produced
// (an end marker after them is not looked at) or at an end marker before that;
// `produced` then tells how many. Bytes of `out` past `produced` are not touched.
// Never reads outside `in`. Reports progress with a non-null marker in slices;
// neither the range call nor the final call is made here.
Status DecodeLzma(const Header& header, const uint8_t* in, size_t inSize, uint8_t* out,
                  uint32_t outSize, uint32_t& produced, const ProgressFn& progress);

// Where the decoder takes its large blocks (its dictionary) from instead of the
// heap: a source whose memory costs less to touch page by page. Allocate returns
// null when it has no memory; Release gets the size the block was taken with.
struct TBlockSource {
  void* (*Allocate)(size_t size) = nullptr;
  void (*Release)(void* block, size_t size) = nullptr;
};

// Receives decoded bytes in stream order; false stops the decoding (SinkFailed).
using SinkFn = std::function<bool(const uint8_t* data, size_t n)>;
// The smallest buffer DecodeLzmaTo streams through.
constexpr size_t kMinSinkBuffer = 64;

// DecodeLzma for an output that is not held whole: the bytes are decoded, and
// BCJ-decoded where the header asks for it, through `buffer` (`bufferSize` bytes,
// at least kMinSinkBuffer) and handed to `sink` in order, a piece whenever the
// buffer is full and the rest at the end; together the pieces are the `produced`
// bytes that DecodeLzma would leave in its output. On a failure `produced` is 0,
// whatever the sink was given before it. `blocks`, when given, serves the
// decoder's large allocations.
Status DecodeLzmaTo(const Header& header, const uint8_t* in, size_t inSize, uint32_t outSize,
                    uint8_t* buffer, size_t bufferSize, const SinkFn& sink, uint32_t& produced,
                    const ProgressFn& progress, const TBlockSource* blocks = nullptr);

// The x86 branch-call decoder over a whole buffer that begins at stream offset
// `startOffset`: turns the absolute targets of E8/E9 calls and jumps written by
// the encoder back into relative ones. The last four bytes are never converted.
void X86Decode(uint8_t* data, size_t size, uint32_t startOffset);

// The same decoder over a stream taken in pieces. Convert() decodes what it can of
// `data`, the stream's bytes from Position() on, and returns how many of them are
// final; the rest (at most four bytes, whose operand may go on in the next piece)
// must be handed in again at the front of the next piece. The bytes left when the
// stream ends are final as they are.
class TX86Stream {
 public:
  explicit TX86Stream(uint32_t startOffset = 0)
      : position_(startOffset), prevPos_(startOffset - 5) {}
  size_t Convert(uint8_t* data, size_t size);
  uint32_t Position() const { return position_; }

 private:
  uint32_t position_;
  uint32_t prevPos_;
  uint32_t prevMask_ = 0;
};

}  // namespace payload

