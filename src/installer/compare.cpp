// The byte-for-byte comparison that verifies every copy the journal makes.
#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>

#include "installer/form1.h"
#include "installer/messages.h"

namespace {

// The files are read and compared in pieces of at most this size, so that memory
// stays bounded for any file; a small file is one read of each.
constexpr uint64_t kComparePiece = 4u << 20;

}  // namespace

bool TForm1::CompareFiles(const std::string& a, const std::string& b) {
  AddProt(prot::kProtCompareFiles, a + " с " + b);
  bool result = false;
  bool readable = false;
  try {
    [&] {
      // No sharing at all: nobody may hold or change either file meanwhile.
      os::File fa, fb;
      if (!fa.Open(a, os::kRead, os::kShareNone, os::Disposition::OpenExisting) ||
          !fb.Open(b, os::kRead, os::kShareNone, os::Disposition::OpenExisting))
        return;
      uint64_t size = 0, sizeB = 0;
      if (!fa.Size(size) || !fb.Size(sizeB) || size != sizeB) return;
      if (size == 0) {
        readable = result = true;
        return;
      }

      // One bar step for each hundredth of the file found equal.
      const uint64_t chunk = size / 100 ? size / 100 : size;
      const uint64_t chunks = size / chunk;
      PrBar.SetMax(static_cast<uint32_t>(chunks + 1));
      PrBar.SetPosition(0);
      PrBar.SetStep(1);
      const size_t bufSize = static_cast<size_t>(std::min(size, kComparePiece));
      std::unique_ptr<uint8_t[]> bufA(new uint8_t[bufSize]);
      std::unique_ptr<uint8_t[]> bufB(new uint8_t[bufSize]);

      bool equal = true;
      uint64_t done = 0, steps = 0;
      while (done < size && equal) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(size - done, bufSize));
        size_t gotA = 0, gotB = 0;
        if (!fa.Read(bufA.get(), piece, gotA) || !fb.Read(bufB.get(), piece, gotB)) return;
        // Both files are held exclusively and their sizes are known: a short read
        // means they cannot be read properly, not that they differ.
        if (gotA != piece || gotB != piece) return;
        equal = std::memcmp(bufA.get(), bufB.get(), piece) == 0;
        if (!equal) break;
        done += piece;
        for (; steps < chunks && done >= (steps + 1) * chunk; ++steps) PrBar.StepIt();
      }
      PrBar.SetPosition(PrBar.Max());
      readable = true;
      result = equal;
    }();
  } catch (const std::exception&) {
    readable = false;
  }

  if (!readable) {
    // The files could not be read or differ in size: tell the user why that may be.
    AddProt(prot::kProtErrorNo, "5011");
    ErrMsg2(toolkit_, 5011, a + "\n" + b + "\n", "\"Сравнение файлов\"");
    return false;
  }
  return result;
}
