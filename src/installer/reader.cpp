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
#include "format/catalogue.h"
#include "format/image.h"
#include "base/cp1251.h"
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

#ifdef _WIN32
    // Who signed the update the user runs: a vendor signs it after it was built.
    std::string signer;
    bool trusted = false;
    uint32_t code = 0;
    if (!os::FileSignature(path, signer, trusted, code)) {
      Say("Файл обновления не подписан");
    } else {
      Say("Файл обновления подписан: " + (signer.empty() ? std::string("(имя не прочитано)") : signer) +
          (trusted ? " (подпись действительна)"
                   : " (подпись не подтверждена системой, код " + std::to_string(code) + ")"));
    }
#endif
    Say("Определение настоящей длины " + path);
    uint32_t fileLength = 0;
    const uint32_t real = GetRealLength(*this, f, fileLength);
    if (!ProtResult(real != 0 && fileLength != 0 && real < fileLength, false)) return false;

    // The catalogue is read whole first; the protocol then tells its steps as far as
    // they went.
    TFileSource src(f);
    TCatalogue cat;
    ReadCatalogue(src, real, cat);
    using Step = TCatalogueStep;

    Say("Чтение каталога данных внутри файла обновления");
    BuildStamps = cat.Stamps;
    BuildStampCount = static_cast<uint16_t>(BuildStamps.size());
    VerTo = cat.VerTo;
    VerFrom = cat.VerFrom;
    if (!ProtResult(cat.Step > Step::Versions, false)) return false;

    VerTo3 = CutVersion3(VerTo);
    VerFrom3 = CutVersion3(VerFrom);
    IsCorrection = VerTo3 == VerFrom3;
    Say("Информация заголовка окна:");
    const std::string title = PackageTitle(IsCorrection, VerFrom, VerFrom3, VerTo, true);
    SetCaption(title);
    AddProt(prot::kProtPlain, title, false);

    if (cat.Step > Step::Header) {
      PartCount = cat.Header.PartCount;
      TmpSpaceNeed = cat.Header.TmpSpaceNeed;
      GrowSpaceNeed = cat.Header.Growth + kGrowthReserve;
    }
    if (!ProtResult(cat.Step > Step::Header, false)) return false;

    Say("Чтение имен");
    for (const TCatalogueEntry& e : cat.Entries)
      PartList.push_back(std::make_unique<TPartNfo>(static_cast<const TPartNfo&>(e)));
    if (!ProtResult(cat.Step > Step::Records, false)) return false;

    AddProt(prot::kProtCatalogue, dos::LeafOf(path));
    for (size_t i = 0; i < cat.Walked; ++i) {
      const TCatalogueEntry& e = cat.Entries[i];
      LogEntryLine(*this, e.Kind, e.Kind == kSection ? std::string() : e.Name, e.Number, e.Block);
    }
    bool ok = cat.Step == Step::Done;
    // The target version names the journal and the protocol file: a version that
    // is not a plain name (a path, a device, "..") is refused before anything is
    // made from it.
    if (ok) {
      const std::string why = CheckVersionText(VerTo);
      if (!why.empty()) {
        AddProt(prot::kProtEmergency, "Недопустимая версия в обновлении: \"" + VerTo + "\" (" + why + ")");
        ok = false;
      }
    }
    // Entry names come from the package: a name that would leave the installation
    // folder, or name the installer's own working files, refuses the whole package
    // before anything is changed.
    const std::string journalName = journal::FileName(VerTo);
    // Nor may an entry name the running installer: started in the installation
    // folder or in its exe folder, it would be overwritten in the middle of its run.
    const std::string self = dos::LeafOf(path);
    const std::string selfInExe = dos::LeafOf(dos::WithoutSlash(dos::FolderOf(path))) + "\\" + self;
    for (const auto& entry : PartList) {
      if (!ok) break;
      if (entry->Kind == kSection) continue;
      std::string why = CheckEntryName(entry->Name, journalName);
      if (why.empty() &&
          (cp1251::EqualNoCase(entry->Name, self) || cp1251::EqualNoCase(entry->Name, selfInExe)))
        why = "файл самого обновления";
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
