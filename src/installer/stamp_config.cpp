// The configuration stamp stage: Cfg\CFG.ZUM backed up, journalled, and written
// again with the new version.
#include <exception>

#include "base/error.h"
#include "base/test_point.h"
#include "files/folders.h"
#include "format/stamp.h"
#include "installer/form1.h"
#include "product/product.h"

bool TForm1::StampConfig() {
  bool result = false;
  try {
    const std::string backup = TempDir + "BAK" + std::to_string(SectionNo) + "\\" + product::kConfigFile;
    std::string made;
    MakeFolderPath(TempDir + "BAK" + std::to_string(SectionNo) + "\\Cfg\\", made);
    const std::string target = (UpdateVariant == VariantCopy ? CopyDir : InstallDir) + product::kConfigFile;
    // A version that would run into the next field of the record is refused before
    // anything changes.
    std::vector<uint8_t> stamped = ConfigBuffer;
    if (!StampConfigBuffer(stamped, VerTo)) {
      AddProt(prot::kProtEmergency, "Версия " + VerTo + " не помещается в файл-конфигуратор " + target);
      return ProtResult(false, false);
    }
    if (MakeWritable(target) && ProtResult(JournalCopy(target, backup, false), false)) {
      AddProt(prot::kProtStampConfig, target);
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
    AddProt(prot::kProtEmergency, ex.what());
    result = false;
  }
  return ProtResult(result, false);
}
