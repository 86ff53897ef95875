#include "files/unpack.h"

#include <exception>

#include "platform/os.h"

uint32_t UnpackPayload(const std::string& outPath, const std::string& inPath, uint32_t offset,
                       const payload::ProgressFn& progress) {
  using namespace payload;
  uint32_t produced = 0;
  bool ok = false;
  std::string why;  // what is wrong with the payload itself; the system's refusals set their own
  {
    // The mappings are released at the end of this block, before a failed output
    // is deleted (a mapped file cannot be deleted on Windows).
    os::Mapping input;
    os::Mapping output;
    Header header;
    try {
      [&] {
        if (!input.OpenRead(inPath)) return;
        const uint64_t available = offset < input.size() ? input.size() - offset : 0;
        const uint8_t* start = available > 0 ? input.data() + offset : nullptr;
        if (available < kHeaderSize || !ParseHeader(start, kHeaderSize, header)) {
          why = "заголовок неполон";
          return;
        }
        const uint32_t total = static_cast<uint32_t>(header.unpackedSize);
        if (progress) progress(nullptr, total);
        // A mapping of 0 bytes cannot be made: an empty payload is a failure.
        if (total == 0) {
          why = "недопустимый размер";
          return;
        }
        if (!output.CreateReadWrite(outPath, total) || !output.writable()) return;
        const Status status =
            DecodeLzma(header, start + kHeaderSize, static_cast<size_t>(available - kHeaderSize),
                       output.writable(), total, produced, progress);
        if (status != Status::Ok) {
          why = StatusText(status);
          return;
        }
        if (progress) progress(&kPositionMarker, produced);
        ok = true;
      }();
    } catch (const std::exception&) {
      ok = false;  // a throwing progress callback or allocation: the unpack failed
    }
  }
  if (!ok) {
    os::DeleteFile(outPath);
    if (!why.empty()) os::SetLastError(os::ErrorKind::Invalid, 0, "Сжатые данные повреждены: " + why);
    return 0;
  }
  return produced;
}
