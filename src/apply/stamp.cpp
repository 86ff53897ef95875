#include "apply/stamp.h"

#include <cstring>
#include <exception>

#include "app/form1.h"
#include "common/error.h"
#include "common/test_point.h"
#include "copymode/folders.h"
#include "product/product.h"

namespace {
void PutU32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t GetU32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
}  // namespace

bool VersionFitsConfig(const std::string& version) {
  return version.size() + 1 <= product::kConfigVersionField &&
         version.find('\0') == std::string::npos;
}

bool StampConfigBuffer(std::vector<uint8_t>& record, const std::string& version) {
  if (record.size() < product::kConfigSize || !VersionFitsConfig(version)) return false;
  PutU32(record, product::kConfigFlagsOffset, GetU32(record, product::kConfigFlagsOffset) | 0x0009C600u);
  std::memcpy(record.data() + product::kConfigVersionOffset, version.c_str(), version.size() + 1);
  PutU32(record, product::kConfigFlagsAOffset, 0x0460421Cu);
  PutU32(record, product::kConfigFlagsBOffset, 0x08401004u);
  PutU32(record, product::kConfigFormatLevelOffset, 23u);
  return true;
}

bool TForm1::StampConfig() {
  bool result = false;
  try {
    const std::string backup = TempDir + "BAK" + std::to_string(SectionNo) + "\\Cfg\\CFG.ZUM";
    std::string made;
    MakeFolderPath(TempDir + "BAK" + std::to_string(SectionNo) + "\\Cfg\\", made);
    const std::string target = (UpdateVariant == 1 ? CopyDir : InstallDir) + "Cfg\\CFG.ZUM";
    // A version that would run into the next field of the record is refused before
    // anything changes.
    std::vector<uint8_t> stamped = ConfigBuffer;
    if (!StampConfigBuffer(stamped, VerTo)) {
      AddProt(26, "Версия " + VerTo + " не помещается в файл-конфигуратор " + target);
      return ProtResult(false, false);
    }
    if (ProtResult(JournalCopy(target, backup, false), false)) {
      AddProt(25, target);
      ConfigBuffer = stamped;
      if (os::FileExists(target) && !os::DeleteFile(target)) ThrowOsError("DeleteFile");
      testpoint::Hit("stamp");
      os::File f;
      if (!f.Open(target, os::kWrite, os::kShareRead | os::kShareWrite,
                  os::Disposition::CreateAlways) ||
          !f.Write(ConfigBuffer.data(), product::kConfigSize))
        ThrowOsError("CFG.ZUM");
      f.Close();
      result = true;
    }
  } catch (const std::exception& ex) {
    AddProt(26, ex.what());
    result = false;
  }
  return ProtResult(result, false);
}
