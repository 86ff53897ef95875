#include "base/bytes.h"

namespace le {

bool TByteReader::Seek(size_t pos) {
  if (pos > bytes_.size()) return false;
  pos_ = pos;
  return true;
}

bool TByteReader::Skip(size_t n) {
  if (n > bytes_.size() - pos_) return false;
  pos_ += n;
  return true;
}

bool TByteReader::U8(uint8_t& v) {
  if (1 > bytes_.size() - pos_) return false;
  v = bytes_[pos_++];
  return true;
}

bool TByteReader::U16(uint16_t& v) {
  if (2 > bytes_.size() - pos_) return false;
  v = Get16(bytes_.data() + pos_);
  pos_ += 2;
  return true;
}

bool TByteReader::U32(uint32_t& v) {
  if (4 > bytes_.size() - pos_) return false;
  v = Get32(bytes_.data() + pos_);
  pos_ += 4;
  return true;
}

bool TByteReader::Bytes(size_t n, std::span<const uint8_t>& out) {
  if (n > bytes_.size() - pos_) return false;
  out = bytes_.subspan(pos_, n);
  pos_ += n;
  return true;
}

bool TByteReader::Text(size_t n, std::string& out) {
  std::span<const uint8_t> bytes;
  if (!Bytes(n, bytes)) return false;
  out.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return true;
}

}  // namespace le
