#include "installer/patch_file.h"

#include <algorithm>
#include <exception>
#include <new>

#include "format/bdx_patch.h"
#include "format/part.h"
#include "format/patch.h"
#include "installer/form1.h"
#include "platform/os.h"

namespace {

// The piece of the new file built before it is written: large enough that the
// writes cost little, small enough to stay in the processor's cache between the
// applier and the system's copy into the file.
constexpr size_t kWritePiece = 1u << 20;

// Which part of making a view failed: the platform names the system call first.
bool ViewFailed() { return os::LastError().text.rfind("MapViewOfFile", 0) == 0; }

}  // namespace

namespace {

// A patch of either format, read and checked whole.
struct TCheckedPatch {
  PatchFormat Format = PatchFormat::Bdt;
  bdt::TPatchPlan Bdt;
  bdx::TBdxPlan Bdx;
  std::string Problem;  // empty when the patch may be applied
  size_t FailedRecord = 0;
  uint32_t NewSize = 0;

  bool Read(PatchFormat format, std::span<const uint8_t> patch, uint64_t oldSize) {
    Format = format;
    if (format == PatchFormat::Bdt) {
      const bdt::PatchStatus st = bdt::ReadPatch(patch, oldSize, Bdt);
      if (st != bdt::PatchStatus::Ok) Problem = bdt::PatchStatusText(st);
      FailedRecord = Bdt.FailedRecord;
      NewSize = Bdt.NewSize;
    } else {
      const bdx::BdxStatus st = bdx::ReadBdx(patch, oldSize, Bdx);
      if (st != bdx::BdxStatus::Ok) Problem = bdx::BdxStatusText(st);
      FailedRecord = Bdx.FailedRecord;
      NewSize = Bdx.NewSize;
    }
    return Problem.empty();
  }
  // Builds the new file in pieces of at most `pieceSize` bytes in `piece` and hands
  // each to `sink` in order; false as soon as the sink refuses one.
  template <class Sink>
  bool Write(std::span<const uint8_t> oldFile, std::span<const uint8_t> patch, uint8_t* piece,
             size_t pieceSize, const Sink& sink) const {
    if (Format == PatchFormat::Bdt) {
      bdt::TPatchCursor cursor(Bdt, oldFile, patch);
      return WritePieces(cursor, piece, pieceSize, sink);
    }
    bdx::TBdxCursor cursor(Bdx, oldFile, patch);
    return WritePieces(cursor, piece, pieceSize, sink);
  }
  template <class Cursor, class Sink>
  bool WritePieces(Cursor& cursor, uint8_t* piece, size_t pieceSize, const Sink& sink) const {
    for (uint32_t at = 0; at < NewSize;) {
      const size_t n = std::min<size_t>(pieceSize, NewSize - at);
      cursor.Next(piece, n);
      if (!sink(piece, n)) return false;
      at += static_cast<uint32_t>(n);
    }
    return true;
  }
  void Report(TForm1& form, const std::string& patchPath) const {
    std::string text = "Файл различий поврежден: " + Problem;
    if (FailedRecord != 0) text += " (запись " + std::to_string(FailedRecord) + ")";
    form.AddProt(prot::kProtEmergency, text);
    form.Say(patchPath);
  }
};

}  // namespace

PatchFormat PatchFormatOf(uint8_t kind) {
  return kind == pkg::kExtDiff ? PatchFormat::Bdx : PatchFormat::Bdt;
}

bool CheckPatchFile(TForm1& form, const std::string& patchPath, uint64_t oldSize,
                    uint32_t newSize, PatchFormat format) {
  try {
    os::Mapping view;
    if (!view.OpenRead(patchPath)) {
      form.AddProt(prot::kProtEmergency, "Невозможно открыть файл");
      form.Say(patchPath);
      return false;
    }
    TCheckedPatch patch;
    if (patch.Read(format, std::span<const uint8_t>(view.data(), view.size()), oldSize) &&
        patch.NewSize != newSize)
      patch.Problem = format == PatchFormat::Bdt
                          ? bdt::PatchStatusText(bdt::PatchStatus::NewSizeMismatch)
                          : bdx::BdxStatusText(bdx::BdxStatus::NewSizeMismatch);
    if (patch.Problem.empty()) return true;
    patch.Report(form, patchPath);
    return false;
  } catch (const std::exception& ex) {
    form.AddProt(prot::kProtEmergency, ex.what());
    return false;
  }
}

bool PatchFile(TForm1& form, const std::string& oldPath, const std::string& outPath,
               const std::string& patchPath, PatchFormat format) {
  auto fail = [&form](const char* text) {
    form.AddProt(prot::kProtEmergency, text);
    return false;
  };
  auto failAt = [&form](const char* text, const std::string& path) {
    form.AddProt(prot::kProtEmergency, text);
    form.Say(path);
    return false;
  };
  try {
    // The old file and the patch are held sharing reads only: nobody may change them
    // under the views. An empty file has nothing to map.
    os::File oldFile;
    if (!oldFile.Open(oldPath, os::kRead, os::kShareRead, os::Disposition::OpenExisting))
      return failAt("Невозможно открыть файл", oldPath);
    uint64_t size = 0;
    os::Mapping oldView;
    if (!oldFile.Size(size) || size == 0) return fail("Невозможно создать hMapIn мэппинг");
    if (!oldView.OpenRead(oldPath))
      return fail(ViewFailed() ? "Невозможно создать отображение pBufIn"
                               : "Невозможно создать hMapIn мэппинг");

    os::File patchFile;
    if (!patchFile.Open(patchPath, os::kRead, os::kShareRead, os::Disposition::OpenExisting))
      return failAt("Невозможно открыть файл", patchPath);
    os::Mapping patchView;
    if (!patchFile.Size(size) || size == 0) return fail("Невозможно создать hMapPatch мэппинг");
    if (!patchView.OpenRead(patchPath))
      return fail(ViewFailed() ? "Невозможно создать отображение pBufPatch"
                               : "Невозможно создать hMapPatch мэппинг");

    const std::span<const uint8_t> oldBytes(oldView.data(), oldView.size());
    const std::span<const uint8_t> patchBytes(patchView.data(), patchView.size());
    form.PrBar.SetMax(3);
    form.PrBar.SetPosition(1);
    form.PrBar.SetStep(1);

    TCheckedPatch plan;
    if (!plan.Read(format, patchBytes, oldBytes.size())) {
      plan.Report(form, patchPath);
      return false;
    }

    // The output is created, then written in pieces built in a buffer: a page of a
    // new file first touched through a view costs a fault of its own, a write does
    // not.
    os::File created;
    if (!created.Open(outPath, os::kRead | os::kWrite, os::kShareRead,
                      os::Disposition::CreateAlways))
      return failAt("Невозможно создать файл", outPath);
    if (plan.NewSize == 0) return fail("Невозможно создать hMapOut мэппинг");
    form.PrBar.SetPosition(form.PrBar.Position() + 1);

    // A large block: heap memory touched page by page costs a fault for every 4 KiB.
    const size_t pieceSize = std::min<size_t>(plan.NewSize, kWritePiece);
    const os::LargeBlock piece(pieceSize);
    if (!piece.data()) throw std::bad_alloc();
    if (!plan.Write(oldBytes, patchBytes, piece.data(), pieceSize,
                    [&created](const uint8_t* data, size_t n) { return created.Write(data, n); }))
      return failAt("Невозможно записать файл", outPath);
    form.PrBar.SetPosition(form.PrBar.Max());
    created.Close();
    return true;
  } catch (const std::exception& ex) {
    form.AddProt(prot::kProtEmergency, ex.what());
    return false;
  }
}
