// The additive checksum (checksum.h) of open streams and of files, with the
// progress bar. The engine checks entries with SumFileRange; the appliers and the
// journal check files with SumFile.
#pragma once

#include <cstdint>
#include <string>

#include "base/progress.h"
#include "platform/os.h"

namespace pkg {

// The additive checksum of the stream from `start` to `leftOut` bytes before its
// end. With a progress bar: range 4, position 0 before, one step after the
// 1,024-byte blocks, one after the words, full at the end. False when the range
// is not inside the file or a read fails.
bool SumStream(os::File& stream, uint32_t& checksum, uint64_t start, uint64_t leftOut,
               TProgressBar* progress);
// The checksum of `length` bytes of the file from `start`; the file is opened
// read-only, sharing reads and writes.
bool SumFileRange(const std::string& path, uint32_t start, uint32_t length,
                  TProgressBar* progress, uint32_t& checksum);
// The checksum and the size (low 32 bits) of the whole file.
bool SumFile(const std::string& path, uint32_t& checksum, uint32_t& size,
             TProgressBar* progress);

}  // namespace pkg

using pkg::SumFile;
using pkg::SumFileRange;
using pkg::SumStream;
