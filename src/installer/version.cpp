#include "installer/version.h"

#include <algorithm>
#include <exception>

#include "installer/form1.h"
#include "format/stamp.h"
#include "installer/messages.h"
#include "base/error.h"
#include "format/image.h"
#include "format/package_format.h"
#include "installer/reader.h"
#include "product/product.h"

namespace pkg {

std::string ConfigText(const std::vector<uint8_t>& config, size_t offset) {
  std::string text;
  for (size_t i = offset; i < config.size() && config[i] != 0; ++i)
    text += static_cast<char>(config[i]);
  return text;
}

uint32_t GetLinkStamp(os::File& stream, bool fromStart) {
  uint64_t dosHeaderPos = 0;
  if (!fromStart && !stream.Tell(dosHeaderPos)) ThrowOsError("Ошибка чтения файла");
  TFileSource src(stream);
  uint32_t stamp = 0;
  if (!PeLinkStamp(src, dosHeaderPos, stamp)) {
    if (!src.Error().empty()) throw EZumError("Ошибка чтения файла: " + src.Error());
    throw EZumError("Файл не является исполняемым файлом Windows (нет заголовков PE)");
  }
  return stamp;
}

}  // namespace pkg

using namespace pkg;

bool TForm1::CheckVersion() {
  Say("...ПРОВЕРКА ВЕРСИИ ОБНОВЛЕНИЯ");
  try {
    // The configuration file and the product executable are opened exclusively: a
    // file another process holds open cannot be read here.
    const std::string cfgPath = InstallDir + product::kConfigFile;
    {
      os::File cfg;
      if (!cfg.Open(cfgPath, os::kRead, os::kShareNone, os::Disposition::OpenExisting))
        ThrowOsError("Невозможно открыть файл " + cfgPath);
      std::vector<uint8_t> buffer(kConfigSize);
      size_t got = 0;
      if (!cfg.Read(buffer.data(), buffer.size(), got))
        ThrowOsError("Ошибка чтения файла " + cfgPath);
      // The appliers take the edition byte from this buffer and the stamp step
      // writes all of it back, so a short file would be completed with bytes that
      // were never read.
      if (got < kConfigSize)
        throw EZumError("Файл " + cfgPath + " поврежден: его длина " + std::to_string(got) +
                        " байт, ожидается не менее " + std::to_string(kConfigSize));
      ConfigBuffer = std::move(buffer);
    }

    SetCaption(PackageTitle(IsCorrection, VerFrom, VerFrom3, VerTo, false));

    // The stamp step writes VerTo into the record's version field after the update;
    // a version that would run into the next field is refused now, before any change.
    if (!VersionFitsConfig(VerTo))
      throw EZumError("Версия обновления " + VerTo + " не помещается в файл-конфигуратор");

    uint32_t stamp = 0;
    {
      const std::string exePath = InstallDir + product::kExeDirName + "\\" + product::kExeFileName;
      os::File exe;
      if (!exe.Open(exePath, os::kRead, os::kShareNone, os::Disposition::OpenExisting))
        ThrowOsError("Невозможно открыть файл " + exePath);
      try {
        stamp = GetLinkStamp(exe, true);
      } catch (const EZumError& e) {
        throw EZumError(exePath + ": " + e.what());
      }
    }

    const std::string installed = CutVersion3(ConfigText(ConfigBuffer, kConfigVersionText));
    if (installed != VerFrom3) {
      if (IsCorrection) {
        AddProt(prot::kProtWrongEdition, " У Вас установлена ZUM-" + installed + ".X");
        ErrMsg1(toolkit_, 5013, "ZUM 5 " + VerFrom3 + ".X");
      } else {
        AddProt(prot::kProtWrongEdition, " У Вас установлена ZUM-" + ConfigText(ConfigBuffer, kConfigEditionText));
        ErrMsg1(toolkit_, 5013, "ZUM 5 " + VerFrom);
      }
      return false;
    }

    {
      const std::string selfPath = ExePath();
      os::File self;
      if (!self.Open(selfPath, os::kRead, os::kShareAll, os::Disposition::OpenExisting))
        ThrowOsError("Невозможно открыть файл " + selfPath);
      SectionNo = 0;
      for (size_t i = 0; i < PartList.size(); ++i) {
        if (PartList[i]->Kind != kSection) continue;
        FirstSection = static_cast<int>(i);
        // The reserved bytes of the SECTION entry carry nothing the installer uses.
        uint8_t reserved[kSectionEntrySize - 1];
        size_t got = 0;
        if (self.Seek(uint64_t{PartList[i]->Pos} + 1)) self.Read(reserved, sizeof reserved, got);
        break;
      }
    }

    const size_t count = std::min<size_t>(BuildStampCount, BuildStamps.size());
    for (size_t k = 0; k < count; ++k)
      if (BuildStamps[k] == stamp) return true;
    AddProt(prot::kProtWrongEdition, "");
    return false;
  } catch (const std::exception& e) {
    AddProt(prot::kProtEmergency, e.what());
    return false;
  }
}
