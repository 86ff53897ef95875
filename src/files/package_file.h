// A package read from an open file: the file as a byte source, and the seal check.
#pragma once

#include <cstdint>
#include <string>

#include "format/package_format.h"
#include "platform/os.h"

namespace pkg {

// A TByteSource over the package in an open file: the whole file, or for a file
// signed after it was built, what stands before its certificate table (see
// PackageEnd). The stream position is left wherever the last
// read put it. A read outside the file fails quietly; a read the system refuses
// fails and keeps the system's text in Error().
class TFileSource final : public TByteSource {
 public:
  explicit TFileSource(os::File& file);
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t pos, void* buffer, size_t n) override;
  bool SizeKnown() const { return sizeKnown_; }
  const std::string& Error() const { return error_; }

 private:
  os::File& file_;
  uint64_t size_ = 0;
  bool sizeKnown_ = false;
  std::string error_;
};

// The trailer holds the file length and the checksum of everything before it (plus
// that length). Leaves the stream at offset 0.
bool CheckPackage(os::File& stream);

}  // namespace pkg
