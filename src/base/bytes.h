// Little-endian numbers in byte buffers: every format of the system stores them so.
// The plain getters and setters do no bounds checks; callers check first (or read
// through TByteReader below, whose every read can fail).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace le {

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

inline uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline uint64_t Get64(const uint8_t* p) {
  return static_cast<uint64_t>(Get32(p)) | static_cast<uint64_t>(Get32(p + 4)) << 32;
}

inline void Set16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline void Set32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void Set64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// At an offset of a buffer (the offset and four bytes after it must lie inside).
inline uint32_t Get32(const std::vector<uint8_t>& b, size_t at) { return Get32(b.data() + at); }
inline void Set32(std::vector<uint8_t>& b, size_t at, uint32_t v) { Set32(b.data() + at, v); }

// Appended at the end of a buffer.
inline void Append8(std::vector<uint8_t>& out, uint8_t v) { out.push_back(v); }

inline void Append16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

inline void Append32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}


// A cursor over a span. Every read either takes all the bytes it asks for and
// advances, or fails and leaves the position where it was.
class TByteReader {
 public:
  explicit TByteReader(std::span<const uint8_t> bytes, size_t pos = 0)
      : bytes_(bytes), pos_(pos > bytes.size() ? bytes.size() : pos) {}

  size_t Pos() const { return pos_; }
  size_t Size() const { return bytes_.size(); }
  size_t Remaining() const { return bytes_.size() - pos_; }

  bool Seek(size_t pos);
  bool Skip(size_t n);
  bool U8(uint8_t& v);
  bool U16(uint16_t& v);
  bool U32(uint32_t& v);
  bool Bytes(size_t n, std::span<const uint8_t>& out);
  bool Text(size_t n, std::string& out);

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_;
};

}  // namespace le
