#include "files/package_file.h"

#include <exception>

#include "files/checksum_file.h"
#include "base/bytes.h"

namespace pkg {

namespace {

bool ReadU32At(os::File& f, uint64_t pos, uint32_t& v) {
  uint8_t raw[4];
  if (!f.Seek(pos) || !f.ReadExact(raw, sizeof raw)) return false;
  v = le::Get32(raw);
  return true;
}

}  // namespace

TFileSource::TFileSource(os::File& file) : file_(file) {
  sizeKnown_ = file_.Size(size_);
  if (!sizeKnown_) {
    size_ = 0;
    error_ = os::LastErrorText();
  }
}

bool TFileSource::ReadAt(uint64_t pos, void* buffer, size_t n) {
  if (pos > size_ || n > size_ - pos) return false;
  if (n == 0) return true;
  if (!file_.Seek(pos) || !file_.ReadExact(buffer, n)) {
    error_ = os::LastErrorText();
    return false;
  }
  return true;
}

bool CheckPackage(os::File& stream) {
  try {
    bool ok = false;
    uint64_t n = 0;
    uint32_t stored = 0, sum = 0;
    if (stream.Size(n) && n >= kTrailerSize && n <= 0xFFFFFFFFu &&
        ReadU32At(stream, n - 8, stored) && stored == n &&
        SumStream(stream, sum, 0, kTrailerSize, nullptr) &&
        ReadU32At(stream, n - 4, stored)) {
      sum += static_cast<uint32_t>(n);
      ok = stored == sum;
    }
    stream.Seek(0);
    return ok;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace pkg
