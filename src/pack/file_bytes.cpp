#include "pack/file_bytes.h"

#include <algorithm>

#include "format/checksum.h"
#include "pack/bdt_diff.h"
#include "pack/builder.h"

namespace pkg {

bool TFileBytes::Map(const std::string& path, std::string& error) {
  *this = TFileBytes();
  if (!map_.OpenRead(path)) {
    error = "cannot read " + path + ": " + os::LastErrorText();
    return false;
  }
  if (map_.size() >= 0x100000000ull) {
    map_.Close();
    error = path + " is 4 GiB or larger";
    return false;
  }
  return true;
}

bool TFileBytes::Read(const std::string& path, std::string& error) {
  *this = TFileBytes();
  return ReadWholeFile(path, copy_, error);
}

uint32_t TFileBytes::Sum() {
  const std::span<const uint8_t> b = Bytes();
  TChecksum sum;
  for (size_t at = 0; at < b.size(); at += bdt::kPassStep) {
    const size_t n = std::min<size_t>(bdt::kPassStep, b.size() - at);
    sum.Update(b.subspan(at, n));
    Release(at, at + n);
  }
  return sum.Final();
}

std::function<void(bdt::DiffPhase phase, uint64_t done)> ReleasingPasses(TFileBytes& oldFile,
                                                                         TFileBytes& newFile) {
  return [&oldFile, walking = TPassRelease(newFile, oldFile, false)](bdt::DiffPhase phase,
                                                                     uint64_t done) mutable {
    if (phase == bdt::DiffPhase::Sorting) {
      oldFile.Release(0, done);
    } else {
      walking(done);
    }
  };
}

}  // namespace pkg
