// The file copy of the journal operations: ten blocks, one bar step each.
#include "apply/copy.h"

#include <algorithm>
#include <exception>
#include <memory>

#include "app/progress.h"
#include "copymode/folders.h"
#include "platform/os.h"
#include "ui/toolkit.h"

namespace {

// A block is a tenth of the file; it goes through this buffer piece by piece, so
// that copying a large file needs no more memory than a small one.
constexpr size_t kCopyBuffer = 1u << 20;

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Copies exactly `n` bytes; false when the source ends early or a write fails.
bool CopyBlock(os::File& from, os::File& to, uint64_t n, uint8_t* buffer) {
  while (n > 0) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(n, kCopyBuffer));
    if (!from.ReadExact(buffer, piece) || !to.Write(buffer, piece)) return false;
    n -= piece;
  }
  return true;
}

}  // namespace

bool CopyFileBar(const std::string& source, const std::string& destination, TProgressBar* bar,
                 bool failIfExists) {
  try {
    if (os::FileExists(destination)) {
      if (failIfExists || !os::DeleteFile(destination)) return false;
    }

    os::File from;
    if (!from.Open(source, os::kRead, os::kShareRead, os::Disposition::OpenExisting)) return false;
    const std::string folder = FolderOf(destination);
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

    std::unique_ptr<uint8_t[]> buffer(
        new uint8_t[static_cast<size_t>(std::min<uint64_t>(std::max<uint64_t>(size, 1), kCopyBuffer))]);
    if (block > 0) {
      if (ui::Toolkit* tk = ui::Current()) tk->ProcessMessages();
      for (int i = 0; i < 10; ++i) {
        if (!CopyBlock(from, to, block, buffer.get())) return false;
        if (bar) bar->StepIt();
      }
      if (!CopyBlock(from, to, size - 10 * block, buffer.get())) return false;
    } else if (!CopyBlock(from, to, size, buffer.get())) {
      return false;
    }

    if (bar) bar->SetPosition(bar->Max());
    return true;
  } catch (const std::exception&) {
    return false;
  }
}
