#include "installer/patch_file.h"

#include <exception>

#include "format/patch.h"
#include "installer/form1.h"
#include "platform/os.h"

namespace {

// Which part of making a view failed: the platform names the system call first.
bool ViewFailed() { return os::LastError().text.rfind("MapViewOfFile", 0) == 0; }

}  // namespace

namespace {

void ReportBadPatch(TForm1& form, const bdt::TPatchPlan& plan, bdt::PatchStatus status,
                    const std::string& patchPath) {
  std::string text = std::string("Файл различий поврежден: ") + bdt::PatchStatusText(status);
  if (plan.FailedRecord != 0) text += " (запись " + std::to_string(plan.FailedRecord) + ")";
  form.AddProt(prot::kProtEmergency, text);
  form.Say(patchPath);
}

}  // namespace

bool CheckPatchFile(TForm1& form, const std::string& patchPath, uint64_t oldSize,
                    uint32_t newSize) {
  try {
    os::Mapping view;
    if (!view.OpenRead(patchPath)) {
      form.AddProt(prot::kProtEmergency, "Невозможно открыть файл");
      form.Say(patchPath);
      return false;
    }
    bdt::TPatchPlan plan;
    bdt::PatchStatus status =
        bdt::ReadPatch(std::span<const uint8_t>(view.data(), view.size()), oldSize, plan);
    if (status == bdt::PatchStatus::Ok && plan.NewSize != newSize)
      status = bdt::PatchStatus::NewSizeMismatch;
    if (status == bdt::PatchStatus::Ok) return true;
    ReportBadPatch(form, plan, status, patchPath);
    return false;
  } catch (const std::exception& ex) {
    form.AddProt(prot::kProtEmergency, ex.what());
    return false;
  }
}

bool PatchFile(TForm1& form, const std::string& oldPath, const std::string& outPath,
               const std::string& patchPath) {
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

    bdt::TPatchPlan plan;
    const bdt::PatchStatus status = bdt::ReadPatch(patchBytes, oldBytes.size(), plan);
    if (status != bdt::PatchStatus::Ok) {
      ReportBadPatch(form, plan, status, patchPath);
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

    bdt::ApplyPatch(plan, oldBytes, patchBytes, outView.writable());
    form.PrBar.SetPosition(form.PrBar.Max());
    outView.Close();
    return true;
  } catch (const std::exception& ex) {
    form.AddProt(prot::kProtEmergency, ex.what());
    return false;
  }
}
