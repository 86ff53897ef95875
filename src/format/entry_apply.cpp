#include "format/entry_apply.h"

#include <utility>

#include "format/checksum.h"
#include "product/product.h"

namespace pkg {

TApplyResult ApplyEntryBytes(const TPartNfo& e, std::vector<uint8_t>& old,
                             std::vector<uint8_t>& data, std::vector<uint8_t>& out) {
  TApplyResult r;
  auto fail = [&](TApplyStatus status) {
    r.Status = status;
    return r;
  };
  if (e.Kind == kAddRepl || e.Kind == kAddRepM) {
    out = std::move(data);
  } else {
    const int64_t sizeDiff = static_cast<int64_t>(old.size()) - e.OldSize;
    const bool sizeOk = e.Kind == kPe1Diff || e.Kind == kPe2Diff ? sizeDiff >= -1 && sizeDiff <= 1 : sizeDiff == 0;
    if (AddSum(old) != e.OldSum || !sizeOk) return fail(TApplyStatus::OldFileDiffers);
    int64_t key = -1;
    if (e.Kind == kDbbDiff) {
      key = BaseKeyFor(e.Name);
      if (key < 0) {
        r.Base = BaseStatus::ShortHeader;
        return fail(TApplyStatus::NoBaseKey);
      }
      r.Base = UnscrambleBase(old, static_cast<uint32_t>(key), product::kBaseM1, product::kBaseM2);
      if (r.Base != BaseStatus::Ok) return fail(TApplyStatus::OldBaseRefused);
      r.PlainOldDiffers = old.size() != e.PrepSize || AddSum(old) != e.PrepSum;
    }
    if (e.Kind == kExtDiff) {
      r.Extended = bdx::BdxBytes(old, data, out);
      if (r.Extended != bdx::BdxStatus::Ok) return fail(TApplyStatus::PatchRefused);
    } else {
      r.Patch = bdt::PatchBytes(old, data, out);
      if (r.Patch != bdt::PatchStatus::Ok) return fail(TApplyStatus::PatchRefused);
    }
    if (e.Kind == kDbbDiff) {
      r.PlainNewDiffers = out.size() != e.MidSize || AddSum(out) != e.MidSum;
      r.Base = ScrambleBase(out, static_cast<uint32_t>(key), product::kBaseM1, product::kBaseM2);
      if (r.Base != BaseStatus::Ok) return fail(TApplyStatus::NewBaseRefused);
    }
  }
  if (out.size() != e.NewSize || AddSum(out) != e.NewSum) return fail(TApplyStatus::NewFileDiffers);
  return r;
}

}  // namespace pkg
