#include "installer/patch_file.h"

#include <exception>

#include "format/bdx_patch.h"
#include "format/part.h"
#include "format/patch.h"
#include "installer/form1.h"
#include "platform/os.h"

namespace {

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
  void Apply(std::span<const uint8_t> oldFile, std::span<const uint8_t> patch,
             uint8_t* out) const {
    if (Format == PatchFormat::Bdt) {
      bdt::ApplyPatch(Bdt, oldFile, patch, out);
    } else {
      bdx::ApplyBdx(Bdx, oldFile, patch, out);
    }
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

    // The output is created first and then mapped at its full size.
    {
      os::File created;
      if (!created.Open(outPath, os::kRead | os::kWrite, os::kShareRead,
                        os::Disposition::CreateAlways))
        return failAt("Невозможно создать файл", outPath);
    }
    if (plan.NewSize == 0) return fail("Невозможно создать hMapOut мэппинг");
    os::Mapping outView;
    if (!outView.CreateReadWrite(outPath, plan.NewSize))
      return fail(ViewFailed() ? "Невозможно создать отображение pBufOut"
                               : "Невозможно создать hMapOut мэппинг");
    form.PrBar.SetPosition(form.PrBar.Position() + 1);

    plan.Apply(oldBytes, patchBytes, outView.writable());
    form.PrBar.SetPosition(form.PrBar.Max());
    outView.Close();
    return true;
  } catch (const std::exception& ex) {
    form.AddProt(prot::kProtEmergency, ex.what());
    return false;
  }
}
