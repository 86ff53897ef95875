#include "files/package_file.h"

#include <exception>

#include "base/bytes.h"
#include "format/image.h"

namespace pkg {

TFileSource::TFileSource(os::File& file) : file_(file) {
  sizeKnown_ = file_.Size(size_);
  if (!sizeKnown_) {
    size_ = 0;
    error_ = os::LastErrorText();
    return;
  }
  // A file signed after it was built carries its certificate table after the
  // package: the source ends where the package does.
  size_ = PackageEnd(*this);
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
  bool ok = false;
  try {
    TFileSource src(stream);
    TSeal seal;
    ok = src.SizeKnown() && ReadSeal(src, seal) && seal.SumOk;
  } catch (const std::exception&) {
    ok = false;
  }
  stream.Seek(0);
  return ok;
}

}  // namespace pkg
