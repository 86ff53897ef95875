// BDT patches: the checks and the patcher in memory, and PatchFile on files.
// Input: u16 old-file length, the old file, then the patch.
#include <cstdint>
#include <vector>

#include "installer/form1.h"
#include "format/patch.h"
#include "installer/patch_file.h"
#include "fuzz_common.h"
#include "frontends/scripted/scripted.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t oldLen = data[0] | data[1] << 8;
  data += 2;
  size -= 2;
  if (oldLen > size) oldLen = size;
  const std::span<const uint8_t> oldFile(data, oldLen), patch(data + oldLen, size - oldLen);

  bdt::TPatchPlan plan;
  const bdt::PatchStatus status = bdt::ReadPatch(patch, oldFile.size(), plan);
  if (status == bdt::PatchStatus::Ok && plan.NewSize <= (64u << 20)) {
    std::vector<uint8_t> out;
    if (bdt::PatchBytes(oldFile, patch, out) != bdt::PatchStatus::Ok || out.size() != plan.NewSize)
      abort();
  }

  static const std::string dir = fuzz::Sandbox();
  // PatchFile maps the output at its full size: keep that small.
  if (status != bdt::PatchStatus::Ok || plan.NewSize <= (1u << 20)) {
    fuzz::WriteFile(dir + "old", oldFile.data(), oldFile.size());
    fuzz::WriteFile(dir + "patch", patch.data(), patch.size());
    ui::ScriptedToolkit tk;
    {
      TForm1 form(&tk);
      const bool checked = CheckPatchFile(form, dir + "patch", oldFile.size(), plan.NewSize);
      const bool patched = PatchFile(form, dir + "old", dir + "out", dir + "patch");
      // Both judge the patch by the same rules (PatchFile also refuses empty files).
      if (patched && !checked) abort();
    }
  }
  return 0;
}
