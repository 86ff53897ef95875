// The execution engine: walks the catalogue, checks, unpacks, backs up and applies
// every entry, then stamps the configuration and finishes a copy.
#include <exception>

#include "installer/form1.h"
#include "format/patch.h"
#include "installer/patch_file.h"
#include "files/unpack.h"
#include "format/payload.h"
#include "base/test_point.h"
#include "files/folders.h"
#include "files/checksum_file.h"
#include "installer/reader.h"
#include "product/product.h"
#include "base/dos_path.h"

namespace {

// The highest folder of `folder` (with its trailing backslash) that does not exist
// yet; "" when it exists.
std::string TopmostMissing(std::string folder) {
  std::string topmost;
  while (folder.size() > 3 && !os::DirectoryExists(folder)) {
    topmost = folder;
    folder = dos::ParentOf(folder);
  }
  return topmost;
}

}  // namespace

bool TForm1::MakeTargetFolder(const std::string& target) {
  // A file the update adds may lie in a folder that does not exist yet: the folders
  // are made, and journalled as created before they are, so that a rollback
  // removes them again.
  const std::string topmost = TopmostMissing(dos::FolderOf(target));
  if (topmost.empty()) return true;
  // A folder whose record did not reach the journal would survive a rollback.
  if (!JournalCmd(journal::kCmdDrop, journal::MakeDropText(topmost))) return false;
  std::string made;
  return MakeFolderPath(dos::FolderOf(target), made);
}

bool TForm1::CheckPayloadHeads() {
  // A payload that cannot unpack into its entry's file refuses the whole package
  // before the first change, not when its turn comes.
  os::File f;
  if (!f.Open(ExePath(), os::kRead, os::kShareAll, os::Disposition::OpenExisting)) {
    AddProt(prot::kProtEmergency, os::LastErrorText());
    return false;
  }
  pkg::TFileSource src(f);
  for (size_t i = 0; i < PartList.size(); ++i) {
    if (static_cast<int>(i) < FirstSection) continue;
    const std::string why = pkg::CheckPayloadHead(src, *PartList[i]);
    if (!why.empty()) {
      AddProt(prot::kProtEmergency, "Сжатые данные повреждены: " + PartList[i]->Name + " (" + why + ")");
      return false;
    }
  }
  return true;
}

bool TForm1::MakeWritable(const std::string& target) {
  uint32_t attr = 0;
  if (!os::GetAttributes(target, attr) || !(attr & os::kAttrReadOnly) ||
      (attr & (os::kAttrDirectory | os::kAttrReparsePoint)))
    return true;
  if (!JournalCmd(journal::kCmdReadOnly, target)) return false;
  Say("Снят атрибут \"только для чтения\": " + target);
  if (os::SetReadOnly(target, false)) return true;
  AddProt(prot::kProtEmergency, os::LastErrorText());
  return false;
}

bool TForm1::CheckTargets() {
  // Every target is judged before the first change: a path through a link would
  // write outside the folder, and a whole file replacing a folder would take the
  // folder's tree with it where no backup covers it.
  const std::string root = UpdateVariant == VariantCopy ? CopyDir : InstallDir;
  for (size_t i = 0; i < PartList.size(); ++i) {
    const pkg::TPartNfo& e = *PartList[i];
    if (static_cast<int>(i) < FirstSection || e.Kind == pkg::kSection) continue;
    const std::string target = root + e.Name;
    const std::string link = LinkOnPath(root, target);
    if (!link.empty()) {
      AddProt(prot::kProtEmergency, "Запись через ссылку не выполняется: " + link + " (" + e.Name + ")");
      return false;
    }
    if ((e.Kind == pkg::kAddRepl || e.Kind == pkg::kAddRepM) && os::DirectoryExists(target)) {
      AddProt(prot::kProtEmergency,
              "Файл обновления заменил бы папку " + target + ": такое обновление не выполняется");
      return false;
    }
  }
  return true;
}

bool TForm1::RunEntries() {
  try {
    ShowStatus(true);
    const std::string package = ExePath();
    const size_t count = PartList.size();
    const std::string total = std::to_string(count);
    auto progress = [this](const void* marker, uint32_t value) {
      if (marker) testpoint::Hit("unpack");
      return ShowProgress(marker, value);
    };

    if (!CheckPayloadHeads() || !CheckTargets()) return false;
    const std::string root = UpdateVariant == VariantCopy ? CopyDir : InstallDir;

    for (size_t i = 0; i < count; ++i) {
      const pkg::TPartNfo& e = *PartList[i];
      const std::string number = std::to_string(i + 1);
      SetStatusText(number + " из " + total);

      if (static_cast<int>(i) < FirstSection) {
        AddProt(prot::kProtSkipStep, number + ". " + package + "(" + e.Name + ")");
        continue;
      }
      if (e.Kind == pkg::kSection) {
        AddProt(prot::kProtSkipStep, number + ". Секция с данными №" + std::to_string(SectionNo + 1));
        ++SectionNo;
        continue;
      }

      AddProt(prot::kProtCompareChecksum, package + "(" + e.Name + ")");
      uint32_t sum = 0;
      const bool intact = SumFileRange(package, e.Pos, e.EntryLen, &PrBar, sum) && sum == e.EntrySum;
      if (!ProtResult(intact, false)) return false;

      std::string made;
      const std::string work = TempDir + "WRK\\" + e.Name;
      MakeFolderPath(dos::FolderOf(work), made);
      const std::string target = root + e.Name;
      const std::string backup = TempDir + "BAK" + std::to_string(SectionNo) + "\\" + e.Name;
      MakeFolderPath(dos::FolderOf(backup), made);

      AddProt(prot::kProtUnpackFile, work);
      const uint32_t unpacked =
          UnpackPayload(work, package, static_cast<uint32_t>(e.Pos + 7 + e.Name.size()), progress);
      if (unpacked == 0) {
        const std::string why = os::LastErrorText();  // the decoder's reason, or the system's
        ProtResult(false, false);
        AddProt(prot::kProtEmergency, why);
        return false;
      }
      ProtResult(true, false);
      // A difference is checked whole, against the sizes of its entry, before
      // anything is backed up or changed for it.
      // An executable's difference for the other edition is passed over unread.
      const bool peDiff = e.Kind == pkg::kPe1Diff || e.Kind == pkg::kPe2Diff;
      const bool otherEdition =
          peDiff && (ConfigBuffer.size() <= product::kConfigEditionOffset ||
                     !pkg::EntryAppliesToEdition(e.Kind, e.DiffSum,
                                                 ConfigBuffer[product::kConfigEditionOffset]));
      if (pkg::IsDifferenceKind(e.Kind) && !otherEdition &&
          !CheckPatchFile(*this, work, e.Kind == pkg::kDbbDiff ? e.PrepSize : e.OldSize,
                          e.NewSize, PatchFormatOf(e.Kind)))
        return false;

      Say("...Обновление " + e.Name);
      if (e.Kind <= pkg::kAddRepM || e.Kind == pkg::kExtDiff) {
        // Judged again at the change itself: a link that appeared since the check
        // before the first change is refused all the same.
        const std::string link = LinkOnPath(root, target);
        if (!link.empty()) {
          AddProt(prot::kProtEmergency, "Запись через ссылку не выполняется: " + link);
          return false;
        }
        if (!MakeWritable(target) || !ProtResult(JournalCopy(target, backup, false), false))
          return false;
      }

      testpoint::Hit("backed-up");
      const bool applies =
          e.Kind != pkg::kAddRepM ||
          static_cast<uint32_t>(ConfigBuffer[product::kConfigEditionOffset]) + 1 == e.DiffSum;
      if (pkg::IsFileKind(e.Kind) && applies &&
          !MakeTargetFolder(target)) {
        AddProt(prot::kProtEmergency, "Невозможно создать папку " + dos::FolderOf(target));
        return false;
      }

      bool applied;
      switch (e.Kind) {
        case pkg::kBinDiff:
        case pkg::kExtDiff:
          applied = ApplyBinDiff(e, target, work, backup);
          break;
        case pkg::kDbbDiff:
          applied = ApplyDbbDiff(e, target, work, backup);
          break;
        case pkg::kPe1Diff:
        case pkg::kPe2Diff:
          applied = ApplyPeDiff(e, e.Kind, work, backup, target);
          break;
        case pkg::kAddRepl:
          applied = ApplyAddRepl(e, target, work, backup);
          break;
        case pkg::kAddRepM:
          applied = ApplyAddRepM(e, target, work, backup);
          break;
        default:
          AddProt(prot::kProtEmergency, "Неизвестный тип файла в обновлении");
          return false;
      }
      if (!applied) return false;
    }

    if (!StampConfig()) return false;
    if (IsCorrection) {
      ShowStatus(false);
      return true;
    }
    if (UpdateVariant == VariantCopy) {
      Say("Компиляция путей");
      ProtResult(true, true);
      Say("Очистка usekls.zum (старые маршруты)");
      ProtResult(true, true);
      Say("Создание ярлыка");
      if (!ProtResult(CreateDesktopLink(), true)) return false;
    }
    ShowStatus(false);
    return true;
  } catch (const std::exception& ex) {
    AddProt(prot::kProtEmergency, ex.what());
    return false;
  }
}
