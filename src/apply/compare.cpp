// The byte-for-byte comparison that verifies every copy the journal makes.
#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>

#include "app/form1.h"
#include "app/messages.h"

namespace {

// A chunk is a hundredth of the file (one bar step); it is read and compared in
// pieces of at most this size, so that memory stays bounded for any file.
constexpr uint64_t kComparePiece = 4u << 20;

// Reads `n` bytes of each file in pieces and compares them. `equal` tells the
// outcome when both reads succeeded; false means a read failed or came short.
bool CompareChunk(os::File& a, os::File& b, uint64_t n, uint8_t* bufA, uint8_t* bufB,
                  bool& equal) {
  equal = true;
  while (n > 0) {
    const size_t piece = static_cast<size_t>(std::min(n, kComparePiece));
    size_t gotA = 0, gotB = 0;
    if (!a.Read(bufA, piece, gotA) || !b.Read(bufB, piece, gotB)) return false;
    // Both files are held exclusively and their sizes are known: a short read
    // means they cannot be read properly, not that they differ.
    if (gotA != piece || gotB != piece) return false;
    if (std::memcmp(bufA, bufB, piece) != 0) {
      equal = false;
      return true;
    }
    n -= piece;
  }
  return true;
}

}  // namespace

bool TForm1::CompareFiles(const std::string& a, const std::string& b) {
  AddProt(5, a + " с " + b);
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

      const uint64_t chunk = size / 100 ? size / 100 : size;
      const uint64_t chunks = size / chunk;
      const uint64_t rest = size - chunks * chunk;
      PrBar.SetMax(static_cast<uint32_t>(chunks + 1));
      PrBar.SetPosition(0);
      PrBar.SetStep(1);
      const size_t bufSize = static_cast<size_t>(std::min(chunk, kComparePiece));
      std::unique_ptr<uint8_t[]> bufA(new uint8_t[bufSize]);
      std::unique_ptr<uint8_t[]> bufB(new uint8_t[bufSize]);

      bool equal = true;
      for (uint64_t i = 0; i < chunks && equal; ++i) {
        if (!CompareChunk(fa, fb, chunk, bufA.get(), bufB.get(), equal)) return;
        if (equal) PrBar.StepIt();
      }
      if (equal && rest > 0 && !CompareChunk(fa, fb, rest, bufA.get(), bufB.get(), equal)) return;
      PrBar.SetPosition(PrBar.Max());
      readable = true;
      result = equal;
    }();
  } catch (const std::exception&) {
    readable = false;
  }

  if (!readable) {
    // The files could not be read or differ in size: tell the user why that may be.
    AddProt(3, "5011");
    ErrMsg2(5011, a + "\n" + b + "\n", "\"Сравнение файлов\"");
    return false;
  }
  return result;
}
