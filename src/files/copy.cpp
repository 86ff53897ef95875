// The file copy of the journal operations: one bar step for each tenth of the file.
#include "files/copy.h"

#include <algorithm>
#include <exception>
#include <memory>

#include "base/progress.h"
#include "files/folders.h"
#include "platform/os.h"
#include "base/dos_path.h"

namespace {

// The file goes through this buffer piece by piece, so that copying a large file
// needs no more memory than a small one; a small file is one read and one write.
constexpr size_t kCopyBuffer = 1u << 20;

}  // namespace

bool CopyFileBar(const std::string& source, const std::string& destination, TProgressBar* bar,
                 bool failIfExists) {
  try {
    if (os::FileExists(destination)) {
      if (failIfExists || !os::DeleteFile(destination)) return false;
    }

    os::File from;
    if (!from.Open(source, os::kRead, os::kShareRead, os::Disposition::OpenExisting)) return false;
    const std::string folder = dos::FolderOf(destination);
    if (!folder.empty() && !os::DirectoryExists(folder)) {
      std::string made;
      if (!MakeFolderPath(folder, made)) return false;
    }
    os::File to;
    if (!to.Open(destination, os::kWrite, os::kShareNone, os::Disposition::CreateAlways))
      return false;

    uint64_t size = 0;
    if (!from.Size(size)) return false;
    const uint64_t block = size / 10;
    if (bar) {
      bar->SetMax(11);
      bar->SetPosition(0);
      bar->SetStep(1);
    }

    // The bar steps once for each tenth of the file copied (none for a file of
    // under ten bytes); the pieces read and written are as large as the buffer.
    const size_t bufferSize =
        static_cast<size_t>(std::min<uint64_t>(std::max<uint64_t>(size, 1), kCopyBuffer));
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[bufferSize]);
    if (block > 0) {
      if (bar) bar->Pump();
    }
    uint64_t done = 0;
    int steps = 0;
    while (done < size) {
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(size - done, bufferSize));
      if (!from.ReadExact(buffer.get(), piece) || !to.Write(buffer.get(), piece)) return false;
      done += piece;
      for (; block > 0 && steps < 10 && done >= (steps + 1) * block; ++steps)
        if (bar) bar->StepIt();
    }

    if (bar) bar->SetPosition(bar->Max());
    return true;
  } catch (const std::exception&) {
    return false;
  }
}
