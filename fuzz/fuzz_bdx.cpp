// BDX patches (EXTDIFF entries): the checks and the patcher in memory, and
// PatchFile on files. Input: u16 old-file length, the old file, then the patch.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "format/bdx_patch.h"
#include "frontends/scripted/scripted.h"
#include "fuzz_common.h"
#include "installer/form1.h"
#include "installer/patch_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t oldLen = data[0] | data[1] << 8;
  data += 2;
  size -= 2;
  if (oldLen > size) oldLen = size;
  const std::span<const uint8_t> oldFile(data, oldLen), patch(data + oldLen, size - oldLen);

  bdx::TBdxPlan plan;
  const bdx::BdxStatus status = bdx::ReadBdx(patch, oldFile.size(), plan);
  if (status == bdx::BdxStatus::Ok) {
    // A checked plan makes exactly NewSize bytes, every one of them from the old
    // file or the patch; the patch holds them, so NewSize cannot exceed its size
    // plus what the old file can give run by run.
    uint64_t made = 0;
    for (const bdx::TBdxRun& r : plan.Runs) made += r.Len;
    if (made != plan.NewSize) abort();
    std::vector<uint8_t> out;
    if (plan.NewSize <= (64u << 20) &&
        (bdx::BdxBytes(oldFile, patch, out) != bdx::BdxStatus::Ok || out.size() != plan.NewSize))
      abort();
    // Made in pieces, the same bytes.
    if (plan.NewSize <= (1u << 20)) {
      const size_t piece = 1 + oldLen % 61;
      std::vector<uint8_t> pieces(plan.NewSize);
      bdx::TBdxCursor cursor(plan, oldFile, patch);
      for (size_t at = 0; at < pieces.size(); at += piece)
        cursor.Next(pieces.data() + at, std::min(piece, pieces.size() - at));
      if (pieces != out) abort();
    }
  }

  static const std::string dir = fuzz::Sandbox();
  // PatchFile maps the output at its full size: keep that small.
  if (status != bdx::BdxStatus::Ok || plan.NewSize <= (1u << 20)) {
    fuzz::WriteFile(dir + "old", oldFile.data(), oldFile.size());
    fuzz::WriteFile(dir + "patch", patch.data(), patch.size());
    ui::ScriptedToolkit tk;
    {
      TForm1 form(&tk);
      const bool checked =
          CheckPatchFile(form, dir + "patch", oldFile.size(), plan.NewSize, PatchFormat::Bdx);
      const bool patched = PatchFile(form, dir + "old", dir + "out", dir + "patch", PatchFormat::Bdx);
      // Both judge the patch by the same rules (PatchFile also refuses empty files).
      if (patched && !checked) abort();
    }
  }
  return 0;
}
