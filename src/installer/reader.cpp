// The self-check stage: the package at the end of the installer's own file is
// checked whole, then read from its tail backwards and listed in the protocol.
#include "installer/reader.h"

#include "format/entry_name.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <stdexcept>

#include "installer/form1.h"
#include "installer/messages.h"
#include "format/payload.h"
#include "format/checksum.h"
#include "format/image.h"
#include "base/dos_path.h"
#include "format/journal_record.h"

namespace pkg {

namespace {

}  // namespace

uint32_t GetRealLength(TForm1& form, os::File& stream, uint32_t& fileLength) {
  uint32_t real = 0;
  fileLength = 0;
  try {
    TFileSource src(stream);
    if (!src.SizeKnown()) throw std::runtime_error(src.Error());
    fileLength = src.Size() > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(src.Size());
    real = RealLength(src);
    if (real == 0 && !src.Error().empty()) throw std::runtime_error(src.Error());
  } catch (const std::exception& e) {
    form.AddProt(prot::kProtEmergency, e.what());
    real = 0;
  }
  stream.Seek(0);
  return real;
}

void LogEntryLine(TForm1& form, uint8_t kind, const std::string& name, int j, int b) {
  form.Say(ListingLine(kind, name, j, b));
}

}  // namespace pkg

using namespace pkg;

bool TForm1::ReadPackage() {
  const std::string path = ExePath();
  try {
    os::File f;
    if (!f.Open(path, os::kRead, os::kShareAll, os::Disposition::OpenExisting) ||
        !CheckPackage(f)) {
      AddProt(prot::kProtErrorNo, "5001");
      ErrMsg1(toolkit_, 5001, dos::LeafOf(path));
      return false;
    }

    Say("Определение настоящей длины " + path);
    uint32_t fileLength = 0;
    const uint32_t real = GetRealLength(*this, f, fileLength);
    if (!ProtResult(real != 0 && fileLength != 0 && real < fileLength, false)) return false;

    // The tail is read backwards from the trailer and never below the real length.
    TFileSource src(f);
    const uint64_t tailEnd = fileLength - kTrailerSize;

    Say("Чтение каталога данных внутри файла обновления");
    uint64_t verFromPos = 0;
    bool ok = ReadStampsAndVersions(src, real, tailEnd, BuildStamps, VerTo, VerFrom, verFromPos);
    BuildStampCount = static_cast<uint16_t>(BuildStamps.size());
    if (!ProtResult(ok, false)) return false;

    VerTo3 = CutVersion3(VerTo);
    VerFrom3 = CutVersion3(VerFrom);
    IsCorrection = VerTo3 == VerFrom3;
    Say("Информация заголовка окна:");
    const std::string title = PackageTitle(IsCorrection, VerFrom, VerFrom3, VerTo, true);
    SetCaption(title);
    AddProt(prot::kProtPlain, title, false);

    TCatalogueHeader header;
    uint64_t headerPos = 0;
    ok = ReadCatalogueHeaderBefore(src, real, verFromPos, header, headerPos);
    if (ok) {
      PartCount = header.PartCount;
      TmpSpaceNeed = header.TmpSpaceNeed;
      GrowSpaceNeed = header.Growth + kGrowthReserve;
    }
    if (!ProtResult(ok, false)) return false;

    Say("Чтение имен");
    // A count whose records would reach into the stub is refused before any entry
    // is made, so a damaged count cannot make millions of them.
    uint64_t recordsPos = 0;
    ok = PartRecordsPos(real, headerPos, PartCount, recordsPos);
    for (uint32_t i = 0; ok && i < PartCount; ++i) {
      PartList.push_back(std::make_unique<TPartNfo>());
      uint8_t raw[kPartRecordSize];
      ok = src.ReadAt(recordsPos + uint64_t{i} * kPartRecordSize, raw, sizeof raw);
      if (ok) static_cast<TPartRecord&>(*PartList.back()) = DecodePartRecord(raw);
    }
    if (!ProtResult(ok, false)) return false;

    AddProt(prot::kProtCatalogue, dos::LeafOf(path));
    // Every entry must lie in the entry area, between the real length and the
    // first part record, and the entries must fill it exactly.
    uint64_t pos = real;
    int block = 0, number = 0;
    for (auto& entry : PartList) {
      entry->Pos = static_cast<uint32_t>(pos);
      TEntryHead head;
      ok = ReadEntryHead(src, pos, recordsPos, head);
      entry->Kind = head.Kind;
      if (!ok) break;
      if (head.Kind == kSection) {
        ++block;
        number = 0;
        LogEntryLine(*this, kSection, "", 0, block);
        pos += kSectionEntrySize;
      } else {
        entry->Name = head.Name;
        ++number;
        LogEntryLine(*this, head.Kind, entry->Name, number, block);
        ok = entry->EntryLen >= head.Size && entry->EntryLen <= recordsPos - pos;
        if (!ok) break;
        pos += entry->EntryLen;
      }
    }
    if (ok && pos != recordsPos) ok = false;
    // Entry names come from the package: a name that would leave the installation
    // folder, or name the installer's own working files, refuses the whole package
    // before anything is changed.
    const std::string journalName = journal::FileName(VerTo);
    for (const auto& entry : PartList) {
      if (!ok) break;
      if (entry->Kind == kSection) continue;
      const std::string why = CheckEntryName(entry->Name, journalName);
      if (!why.empty()) {
        AddProt(prot::kProtEmergency, "Недопустимое имя в обновлении: \"" + entry->Name + "\" (" + why + ")");
        ok = false;
      }
    }
    return ProtResult(ok, false);
  } catch (const std::exception& e) {
    AddProt(prot::kProtEmergency, e.what());
    return false;
  }
}
