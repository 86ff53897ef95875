#include "files/unpack.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "platform/os.h"

namespace {

// The piece the decoder fills before it is written: large enough that the writes
// cost little, small enough to stay in the processor's cache between the decoder
// and the system's copy into the file.
constexpr size_t kWritePiece = 1u << 20;

}  // namespace

uint32_t UnpackPayload(const std::string& outPath, const std::string& inPath, uint32_t offset,
                       const payload::ProgressFn& progress) {
  using namespace payload;
  uint32_t produced = 0;
  bool ok = false;
  std::string why;  // what is wrong with the payload itself; the system's refusals set their own
  {
    // The package is read through a mapping, the work file written with plain
    // writes (a page of a new file first touched through a view costs a fault of its
    // own). Both are released at the end of this block, before a failed output is
    // deleted (a mapped file cannot be deleted on Windows).
    os::Mapping input;
    os::File output;
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
        // An empty payload is a failure (the installer never made one).
        if (total == 0) {
          why = "недопустимый размер";
          return;
        }
        if (!output.Open(outPath, os::kRead | os::kWrite, os::kShareRead,
                         os::Disposition::CreateAlways))
          return;
        // The piece and the decoder's dictionary are taken as large blocks: touched
        // page by page, heap memory would cost a fault for every 4 KiB.
        const size_t pieceSize = std::max(kMinSinkBuffer, std::min<size_t>(total, kWritePiece));
        const os::LargeBlock piece(pieceSize);
        if (!piece.data()) {
          why = StatusText(Status::NoMemory);
          return;
        }
        static const TBlockSource kBlocks = {os::AllocateLarge, os::ReleaseLarge};
        const Status status = DecodeLzmaTo(
            header, start + kHeaderSize, static_cast<size_t>(available - kHeaderSize), total,
            piece.data(), pieceSize,
            [&output](const uint8_t* data, size_t n) { return output.Write(data, n); }, produced,
            progress, &kBlocks);
        if (status != Status::Ok) {
          if (status != Status::SinkFailed) why = StatusText(status);
          return;
        }
        // An end marker before the declared size: the file is still that long, its
        // tail zeros.
        if (produced < total) {
          std::memset(piece.data(), 0, pieceSize);
          for (uint32_t left = total - produced; left != 0;) {
            const uint32_t n = static_cast<uint32_t>(std::min<size_t>(left, pieceSize));
            if (!output.Write(piece.data(), n)) return;
            left -= n;
          }
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
