// Converting a base file on disk from one key to another (layout and scrambling in
// basefile.h, whose record conversion this shares with the conversion in memory):
// one sequential pass over the source through one fixed buffer. The
// buffer is filled with as many whole records as fit, they are converted in place
// and written with one write, and the record cut at its end moves to the front.
#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>

#include "installer/form1.h"
#include "format/basefile.h"
#include "format/patch.h"
#include "installer/patch_file.h"
#include "base/error.h"
#include "product/product.h"
#include "base/bytes.h"
#include "base/test_point.h"

namespace {

// Large enough for the header with the largest index, and for the largest record,
// many times over: a read and a write move hundreds of records at once.
constexpr size_t kBufferSize = size_t{1} << 20;
static_assert(kBufferSize >= kBaseHeaderSize + kBaseIndexEntrySize * kBaseMaxIndexCount);
static_assert(kBufferSize >= kBaseRecordHeadSize + kBaseMaxDataLen);

uint16_t HeaderValue(uint32_t key) { return key ? BaseHeaderValue(key, product::kBaseM1) : 0; }
uint16_t IndexValue(uint32_t key) { return key ? BaseIndexValue(key, product::kBaseM2) : 0; }

}  // namespace

bool TForm1::RekeyBase(const std::string& source, const std::string& destination,
                       uint32_t newKey, uint32_t oldKey) {
  // A layout beyond the converter's limits is refused before it could overrun the
  // buffer or move a record away from its offset.
  auto refuse = [&](const char* why) {
    AddProt(prot::kProtEmergency, "Базовый файл " + source + " не поддерживается: " + why);
    return false;
  };
  try {
    std::vector<uint8_t> buffer(kBufferSize, 0);
    uint8_t* const buf = buffer.data();
    if (os::FileExists(destination) && !os::DeleteFile(destination)) ThrowOsError("Невозможно удалить файл");

    os::File in;
    if (!in.Open(source, os::kRead, os::kShareNone, os::Disposition::OpenExisting))
      ThrowOsError("Невозможно открыть файл");
    size_t got = 0;
    if (!in.Read(buf, kBaseHeaderSize, got)) ThrowOsError("Ошибка чтения файла");
    if (got < kBaseHeaderSize) return false;
    XorBaseStretch({buf, kBaseHeaderSize}, HeaderValue(oldKey));
    const uint32_t step = le::Get32(buf) / 100;
    const uint32_t count = le::Get32(buf + 4);
    PrBar.SetPosition(0);
    PrBar.SetMax(100);
    PrBar.SetStep(1);

    if (count > kBaseMaxIndexCount) return refuse("индекс длиннее 2499 записей");
    const size_t indexBytes = kBaseIndexEntrySize * count;
    const size_t headerEnd = kBaseHeaderSize + indexBytes;
    if (!in.Read(buf + kBaseHeaderSize, indexBytes, got)) ThrowOsError("Ошибка чтения файла");
    if (got < indexBytes) return false;
    XorBaseStretch({buf + kBaseHeaderSize, indexBytes}, IndexValue(oldKey));
    // Without an index the records follow the header.
    const uint64_t first = count != 0 ? le::Get32(buf + kBaseHeaderSize) : headerEnd;
    if (first < headerEnd) return refuse("записи начинаются внутри индекса");

    XorBaseStretch({buf, kBaseHeaderSize}, HeaderValue(newKey));
    XorBaseStretch({buf + kBaseHeaderSize, indexBytes}, IndexValue(newKey));
    os::File out;
    if (!out.Open(destination, os::kWrite, os::kShareAll, os::Disposition::CreateAlways))
      ThrowOsError("Невозможно создать файл");
    if (!out.Write(buf, headerEnd)) return false;

    // Bytes between the index and the first record belong to no stretch; they are
    // copied as they are, so that every record keeps its offset.
    for (uint64_t gap = first - headerEnd; gap != 0;) {
      const size_t chunk = static_cast<size_t>(std::min<uint64_t>(gap, kBufferSize));
      if (!in.Read(buf, chunk, got)) ThrowOsError("Ошибка чтения файла");
      if (got < chunk) return refuse("записи начинаются за концом файла");
      if (!out.Write(buf, chunk)) return false;
      gap -= chunk;
    }

    uint64_t p = first;  // file offset of the next record's head
    uint64_t acc = 0;
    size_t fill = 0;
    for (;;) {
      if (!in.Read(buf + fill, kBufferSize - fill, got)) ThrowOsError("Ошибка чтения файла");
      const bool end = got < kBufferSize - fill;
      fill += got;

      size_t at = 0;
      while (fill - at >= kBaseRecordHeadSize) {
        size_t recordLen = 0;
        const BaseStatus status = RekeyBaseRecord(buf + at, fill - at, p, newKey, oldKey, recordLen);
        if (status == BaseStatus::RecordTooLarge) return refuse("запись длиннее 20000 байт");
        if (status != BaseStatus::Ok) break;  // the rest of the record comes with the next read
        at += recordLen;
        p += recordLen;
        acc += recordLen;
        if (acc >= step) {
          acc -= step;
          if (PrBar.Position() < PrBar.Max()) {
            PrBar.StepIt();
            testpoint::Hit("rekey-step");
          }
        }
      }

      if (at != 0 && !out.Write(buf, at)) return false;
      std::memmove(buf, buf + at, fill - at);
      fill -= at;
      // The file must end exactly after a record: a part of one left over would be
      // lost from the destination.
      if (end) return fill == 0;
    }
  } catch (const std::exception& ex) {
    AddProt(prot::kProtEmergency, ex.what());
    return false;
  }
}
