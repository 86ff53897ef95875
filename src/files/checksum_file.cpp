#include "files/checksum_file.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "format/checksum.h"

namespace pkg {

namespace {

// Reads `n` bytes from the current position into the checksum, in large blocks.
bool SumRead(os::File& f, uint64_t n, std::vector<uint8_t>& buffer, TChecksum& sum) {
  while (n != 0) {
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(n, buffer.size()));
    if (!f.ReadExact(buffer.data(), chunk)) return false;
    sum.Update(buffer.data(), chunk);
    n -= chunk;
  }
  return true;
}

}  // namespace

bool SumStream(os::File& stream, uint32_t& checksum, uint64_t start, uint64_t leftOut,
               TProgressBar* progress) {
  checksum = 0;
  try {
    uint64_t size = 0;
    if (!stream.Size(size) || start > size || leftOut > size - start || !stream.Seek(start))
      return false;
    const uint64_t n = size - start - leftOut;
    if (progress) {
      progress->SetMax(4);
      progress->SetPosition(0);
      progress->SetStep(1);
    }
    // The three phases of the definition (1,024-byte blocks, words, single bytes)
    // only mark the progress steps; the blocks themselves are read 256 KiB at a
    // time (a buffer that stays in the processor's cache between the read and the
    // sum), and the running checksum keeps the word alignment across reads.
    constexpr uint64_t kBufferSize = 256 << 10;
    std::vector<uint8_t> buffer(static_cast<size_t>(std::clamp<uint64_t>(n, 4, kBufferSize)));
    TChecksum sum;
    if (!SumRead(stream, n - n % 1024, buffer, sum)) return false;
    if (progress) progress->StepIt();
    if (!SumRead(stream, (n % 1024) & ~uint64_t{3}, buffer, sum)) return false;
    if (progress) progress->StepIt();
    if (!SumRead(stream, n % 4, buffer, sum)) return false;
    checksum = sum.Final();
    if (progress) progress->SetPosition(progress->Max());
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool SumFileRange(const std::string& path, uint32_t start, uint32_t length,
                  TProgressBar* progress, uint32_t& checksum) {
  os::File f;
  uint64_t size = 0;
  if (!f.Open(path, os::kRead, os::kShareAll, os::Disposition::OpenExisting) || !f.Size(size))
    return false;
  if (uint64_t{start} + length > size) return false;
  return SumStream(f, checksum, start, size - start - length, progress);
}

bool SumFile(const std::string& path, uint32_t& checksum, uint32_t& size,
             TProgressBar* progress) {
  os::File f;
  uint64_t fullSize = 0;
  if (!f.Open(path, os::kRead, os::kShareAll, os::Disposition::OpenExisting) ||
      !f.Size(fullSize))
    return false;
  size = static_cast<uint32_t>(fullSize);
  return SumStream(f, checksum, 0, 0, progress);
}

}  // namespace pkg
