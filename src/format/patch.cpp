#include "format/patch.h"

#include "base/bytes.h"

#include <algorithm>
#include <cstring>
#include <exception>

namespace bdt {

namespace {


}  // namespace

const char* PatchStatusText(PatchStatus status) {
  switch (status) {
    case PatchStatus::Ok: return "";
    case PatchStatus::ShortHeader: return "файл различий короче своего заголовка";
    case PatchStatus::TableBeyondPatch: return "таблица записей выходит за конец файла различий";
    case PatchStatus::LengthTooLarge: return "длина в записи различий не меньше 2^31";
    case PatchStatus::LengthsBeyondNewSize:
      return "длины записей в сумме больше размера нового файла";
    case PatchStatus::CopyOutsideOld: return "копирование за пределами старого файла";
    case PatchStatus::LiteralsTooShort: return "новых данных в файле различий недостаточно";
    case PatchStatus::NewSizeMismatch:
      return "размер нового файла не совпадает с размером в каталоге обновления";
  }
  return "неизвестная ошибка файла различий";
}

PatchStatus ReadPatch(std::span<const uint8_t> patch, uint64_t oldSize, TPatchPlan& plan) {
  plan = TPatchPlan();
  if (patch.size() < kHeaderSize) return PatchStatus::ShortHeader;
  le::TByteReader header(patch, 10);
  uint32_t newSize = 0, count = 0;
  header.U32(newSize);
  header.U32(count);
  const size_t tableBytes = patch.size() - kHeaderSize;
  if (count > tableBytes / kRecordSize) return PatchStatus::TableBeyondPatch;

  const size_t literalStart = kHeaderSize + kRecordSize * size_t{count};
  const uint64_t literalBytes = patch.size() - literalStart;
  plan.Records.reserve(size_t{count} + 1);

  le::TByteReader table(patch, kHeaderSize);
  uint64_t total = 0;     // bytes of output the records make
  uint64_t literals = 0;  // bytes of literal data they take
  int64_t pos = 0;        // old-file position; may wander outside between copies
  for (uint32_t i = 0; i < count; ++i) {
    plan.FailedRecord = size_t{i} + 1;
    TPatchRecord r;
    uint32_t seek = 0;
    table.U32(seek);
    table.U32(r.InsLen);
    table.U32(r.CopyLen);
    r.Seek = static_cast<int32_t>(seek);
    if (r.InsLen >= kLengthLimit || r.CopyLen >= kLengthLimit) return PatchStatus::LengthTooLarge;
    total += uint64_t{r.InsLen} + r.CopyLen;
    if (total > newSize) return PatchStatus::LengthsBeyondNewSize;
    literals += r.InsLen;
    if (literals > literalBytes) return PatchStatus::LiteralsTooShort;
    pos += r.Seek;
    if (r.CopyLen != 0) {
      if (pos < 0 || static_cast<uint64_t>(pos) > oldSize ||
          r.CopyLen > oldSize - static_cast<uint64_t>(pos))
        return PatchStatus::CopyOutsideOld;
      pos += r.CopyLen;
    }
    plan.Records.push_back(r);
  }

  plan.FailedRecord = 0;
  const uint64_t tail = newSize - total;
  if (tail > literalBytes - literals) return PatchStatus::LiteralsTooShort;
  if (tail != 0) plan.Records.push_back({0, static_cast<uint32_t>(tail), 0});
  plan.NewSize = newSize;
  plan.LiteralStart = literalStart;
  return PatchStatus::Ok;
}

void ApplyPatch(const TPatchPlan& plan, std::span<const uint8_t> oldFile,
                std::span<const uint8_t> patch, uint8_t* out) {
  TPatchCursor(plan, oldFile, patch).Next(out, plan.NewSize);
}

void TPatchCursor::Next(uint8_t* out, size_t n) {
  const std::vector<TPatchRecord>& records = plan_.Records;
  while (n != 0 && index_ < records.size()) {
    const TPatchRecord& r = records[index_];
    size_t k;
    if (done_ < r.InsLen) {
      k = std::min<size_t>(n, r.InsLen - done_);
      std::memcpy(out, lit_, k);
      lit_ += k;
    } else {
      if (!seeked_) {
        pos_ += r.Seek;
        seeked_ = true;
      }
      const uint32_t copied = done_ - r.InsLen;
      if (copied == r.CopyLen) {  // the record is served
        ++index_;
        done_ = 0;
        seeked_ = false;
        continue;
      }
      k = std::min<size_t>(n, r.CopyLen - copied);
      std::memcpy(out, old_ + pos_, k);
      pos_ += static_cast<int64_t>(k);
    }
    out += k;
    n -= k;
    done_ += static_cast<uint32_t>(k);
  }
}

PatchStatus PatchBytes(std::span<const uint8_t> oldFile, std::span<const uint8_t> patch,
                       std::vector<uint8_t>& out) {
  out.clear();
  TPatchPlan plan;
  const PatchStatus status = ReadPatch(patch, oldFile.size(), plan);
  if (status != PatchStatus::Ok) return status;
  out.resize(plan.NewSize);
  ApplyPatch(plan, oldFile, patch, out.data());
  return status;
}

}  // namespace bdt
