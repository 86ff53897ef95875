// The recovery of a failed run: the journal it left is replayed backwards, from its
// last record to the record of the run's start, restoring backed-up files and
// removing what the run created.
#include <exception>

#include "installer/form1.h"
#include "format/protocol_record.h"
#include "files/copy.h"
#include "installer/shortcut.h"
#include "format/journal_record.h"
#include "format/journal_check.h"
#include "files/checksum_file.h"
#include "base/dos_path.h"
#include "base/cp1251.h"
#include "files/folders.h"
#include "files/owner_mark.h"
#include "product/product.h"

namespace {

// Why a path must not be changed because a link lies on its way down from `root`;
// "" when none does.
std::string LinkRefusal(const std::string& root, const std::string& path) {
  const std::string link = LinkOnPath(root, path);
  return link.empty() ? std::string() : "путь проходит через ссылку " + link + ": " + path;
}

// The whole journal file, read through a handle of its own that only reads.
bool ReadJournal(const std::string& path, std::string& bytes) {
  os::File file;
  if (!file.Open(path, os::kRead, os::kShareRead, os::Disposition::OpenExisting)) return false;
  bytes.clear();
  char buffer[64 * 1024];
  for (;;) {
    size_t got = 0;
    if (!file.Read(buffer, sizeof buffer, got)) return false;
    if (got == 0) return true;
    bytes.append(buffer, got);
  }
}

}  // namespace

bool TForm1::Recover() {
  bool ok = true;
  try {
    UpdateVariant = VariantInPlace;
    AddProt(prot::kProtReadJournal, JournalFile);

    // The journal is replayed, and at the end deleted, through no handle but the
    // reader's; a stream of ours left open would also take new records.
    JournalStream.Close();
    std::string bytes;
    if (!ReadJournal(JournalFile, bytes)) {
      AddProt(prot::kProtEmergency, os::LastErrorText());
      return false;
    }
    std::vector<std::string> lines = journal::SplitLines(bytes);
    bytes.clear();
    // A last record torn by a power loss was never completed, so the change it
    // would have protected never began: it is left out, and said so.
    if (journal::DropTornLastRecord(lines))
      Say("Последняя запись файла протокола не дописана и не учитывается");

    // The rollback walks the command records from the last to the first; the
    // settings pass from the first to the last, so that the latest record of each
    // setting stays in effect (the dialog writes the copy's folder again when the
    // user chooses another). False when the walk was cut short by a damaged record;
    // `ok` is then false.
    // With `outsideCopy` the rollback replays only the records of changes outside
    // the copy's folder.
    auto walk = [&](bool settingsPass, bool outsideCopy = false) {
      for (size_t n = 0; n < lines.size(); ++n) {
        std::string record = lines[settingsPass ? n : lines.size() - 1 - n];
        if (!journal::IsCommandLine(record)) continue;
        if (!journal::IsRecordSealed(record)) {
          AddProt(prot::kProtJournalDamaged, JournalFile);
          ok = false;
          return false;
        }
        prot::StripSeal(record);
        if (outsideCopy) {
          int kind = 0;
          std::string text;
          if (journal::ParseCommand(record, kind, text) && kind == journal::kCmdStart) return true;
          if (!journal::ChangesOutside(record, CopyDir)) continue;
        }
        const bool started = ReplayLine(record, ok, settingsPass);
        if (!ok) return false;
        if (started) return true;
      }
      return true;
    };

    // Settings pass: the copy folder, the variant and the temporary folder of the
    // failed run. Every seal and every kind is checked here, so a damaged journal
    // fails before anything is replayed.
    if (!walk(true)) return false;
    if (!JournalTrusted(lines)) return false;
    ProveFolders();

    FindProductExe(false, true);
    if (WaitProduct(false)) return false;  // the user gave up waiting

    if (UpdateVariant == VariantCopy && !CopyDir.empty() && os::DirectoryExists(CopyDir)) {
      // The installation was not changed; the driver removes the whole copy. What
      // the run changed outside it (the desktop shortcut) is rolled back here.
      ok = FindProductExe(true, true) ? !WaitProduct(true) : true;
      if (ok && !walk(false, true)) return false;
    } else {
      if (!walk(false)) return false;
    }

    if (ok && !os::DeleteFile(JournalFile)) {
      // Left on disk, the journal would be replayed again at the next start, after
      // the driver has removed the backups it names.
      AddProt(prot::kProtEmergency, os::LastErrorText());
      ok = false;
    }
    return ok;
  } catch (const std::exception& e) {
    AddProt(prot::kProtEmergency, e.what());
    return false;
  }
}

bool TForm1::JournalTrusted(const std::vector<std::string>& lines) {
  // The journal is input like the package: before anything is replayed it must be
  // what this installer writes for this installation.
  std::vector<std::string> records;
  for (const std::string& line : lines) {
    if (!journal::IsCommandLine(line)) continue;
    records.push_back(line);
    prot::StripSeal(records.back());
  }
  journal::TJournalFacts facts;
  facts.InstallDir = InstallDir;
  facts.JournalName = dos::LeafOf(JournalFile);
  facts.WindowsDir = os::WindowsDir();
  facts.DesktopDir = DesktopFolder();
  facts.DesktopDir = dos::WithSlash(facts.DesktopDir);
  facts.FileSize = [](const std::string& path, uint64_t& size) {
    os::File file;
    return os::FileExists(path) &&
           file.Open(path, os::kRead, os::kShareRead, os::Disposition::OpenExisting) &&
           file.Size(size);
  };
  const journal::TJournalVerdict verdict = journal::CheckJournal(records, facts);
  if (verdict.Why.empty()) return true;
  AddProt(prot::kProtJournalDamaged, JournalFile);
  AddProt(prot::kProtEmergency, "Файл протокола отвергнут: " + verdict.Why +
                  (verdict.Record.empty() ? std::string() : ": " + verdict.Record));
  return false;
}

bool TForm1::ReplayLine(const std::string& record, bool& ok, bool settingsPass) {
  int kind = 0;
  std::string text;
  if (!journal::ParseCommand(record, kind, text)) {
    // A record that cannot be read cannot be undone, nor can anything older.
    AddProt(prot::kProtEmergency, "Команда файла протокола не распознана: " + record);
    ok = false;
    return false;
  }

  // The settings are taken in the settings pass only, which meets the latest last.
  if (settingsPass && kind == journal::kCmdCopyDir) CopyDir = text;
  if (settingsPass && kind == journal::kCmdOwner) {
    std::string folder, token;
    bool made = false;
    if (journal::ParseOwnerText(text, folder, token, made))
      OwnerMarks[cp1251::Upper(folder)] = TOwnerMark{token, made};
  }
  if (settingsPass && kind == journal::kCmdVariant)
    UpdateVariant = journal::ReadVariant(text) == 1 ? VariantCopy : VariantInPlace;
  if (kind <= journal::kCmdVariant) return false;
  if (settingsPass) {
    // Known before the rollback, the temporary folder can be removed also when
    // the copy-mode branch replays nothing.
    if (kind == journal::kCmdTempDir) TempDir = text;
    return false;
  }

  AddProt(prot::kProtRollback, record);
  bool started = false;
  // A record the recovery may not carry out is passed over, said, and counted; the
  // rest of the rollback goes on.
  auto passOver = [&](const std::string& why) {
    Say("Запись не выполняется: " + why);
    ++RecordsRefused;
    ok = true;
  };
  switch (kind) {
    case journal::kCmdStart:
      ok = true;
      started = true;
      break;
    case journal::kCmdEnd:
      ok = true;
      break;
    case journal::kCmdRestore: {
      std::string target, backup;
      uint32_t checksum = 0, size = 0;
      if (journal::ParseRestoreText(text, target, backup, checksum, size)) {
        // A backup is only read, into the installation: it needs no proof of its
        // folder, only a path without links.
        std::string why = RecoveryRefuses(target, false);
        if (why.empty() && !TempDir.empty() && dos::IsInside(backup, TempDir))
          why = LinkRefusal(TempDir, backup);
        if (!why.empty()) {
          passOver(why);
        } else {
          ok = RestoreFile(backup, target, checksum, size);
        }
      } else {
        AddProt(prot::kProtEmergency, "Команда файла протокола не распознана: " + record);
        ok = false;
      }
      break;
    }
    case journal::kCmdTempDir:
      TempDir = text;
      break;
    case journal::kCmdDrop: {
      std::string path;
      if (!journal::ParseDropText(text, path)) {
        AddProt(prot::kProtEmergency, "Команда файла протокола не распознана: " + record);
        ok = false;
      } else if (path == journal::kNoPath) {
        ok = true;  // older journals: a file added by the run, not named
      } else if (const std::string why = RecoveryRefuses(path, true); !why.empty()) {
        passOver(why);
      } else {
        ok = DropPath(path);
      }
      break;
    }
    case journal::kCmdReadOnly: {
      // The file was read-only before the run made it writable; its content is
      // back by now (its restore record comes after this one in the journal).
      const std::string why = RecoveryRefuses(text, false);
      if (!why.empty()) {
        passOver(why);
      } else {
        ok = !os::FileExists(text) || os::SetReadOnly(text, true);
        if (!ok) AddProt(prot::kProtEmergency, os::LastErrorText());
      }
      break;
    }
    default:
      break;
  }
  ProtResult(ok, false);
  return started;
}

bool TForm1::RestoreFile(const std::string& backup, const std::string& target, uint32_t checksum,
                         uint32_t size) {
  bool ok = false;
  try {
    AddProt(prot::kProtRestoreFile, target);
    AddProt(prot::kProtCompareChecksum, backup);
    uint32_t actualSum = 0, actualSize = 0;
    ok = SumFile(backup, actualSum, actualSize, &PrBar) && actualSum == checksum &&
         actualSize == size;
    ProtResult(ok, false);
    // A read-only target (a file copied from a CD, say) never stops the recovery:
    // its content comes back, and its attribute after it.
    uint32_t attr = 0;
    if (ok && os::GetAttributes(target, attr) && (attr & os::kAttrReadOnly) &&
        !(attr & (os::kAttrDirectory | os::kAttrReparsePoint)) && !os::SetReadOnly(target, false)) {
      AddProt(prot::kProtEmergency, os::LastErrorText());
      ok = false;
    }
    if (ok) {
      AddProt(prot::kProtCopyFile, backup + " в " + target);
      ok = ProtResult(CopyFileBar(backup, target, &PrBar, false), false);
      if (ok) ok = ProtResult(CompareFiles(backup, target), false);
    }
  } catch (const std::exception& e) {
    AddProt(prot::kProtEmergency, e.what());
    ok = false;
  }
  return ProtResult(ok, true);
}

void TForm1::ProveFolders() {
  auto proved = [this](const std::string& folder, bool& made) {
    const auto it = OwnerMarks.find(cp1251::Upper(folder));
    if (it == OwnerMarks.end() || !OwnerMarkMatches(folder, it->second.Token)) return false;
    made = it->second.Made;
    return true;
  };
  CopyProved = !CopyDir.empty() && proved(CopyDir, CopyMade);
  // A run killed between making the copy's folder and completing its mark leaves
  // the folder with nothing in it but, at most, the unfinished mark. Such a folder,
  // journalled as made by the run, goes: removing it loses nothing.
  if (!CopyProved && !CopyDir.empty() && !IsLink(CopyDir)) {
    const auto it = OwnerMarks.find(cp1251::Upper(CopyDir));
    std::vector<os::FindEntry> entries;
    os::FindFiles(CopyDir + "*", os::kAttrAny, entries);
    const bool nothingElse =
        entries.empty() ||
        (entries.size() == 1 && cp1251::EqualNoCase(entries[0].name, product::kOwnerMark) &&
         !(entries[0].attr & (os::kAttrDirectory | os::kAttrReparsePoint)) &&
         entries[0].size < 256);
    if (it != OwnerMarks.end() && it->second.Made && nothingElse && os::DirectoryExists(CopyDir)) {
      CopyProved = true;
      CopyMade = true;
    }
  }
  bool tempMade = false;
  TempProved = !TempDir.empty() &&
               (dos::IsInside(TempDir, InstallDir) ? LinkOnPath(InstallDir, TempDir).empty()
                                                    : proved(TempDir, tempMade));
  const std::string left =
      " не подтверждена меткой установщика и остается без изменений";
  if (UpdateVariant == VariantCopy && !CopyDir.empty() && !CopyProved &&
      os::DirectoryExists(CopyDir))
    Say("Папка копии " + CopyDir + left);
  if (!TempDir.empty() && !TempProved && os::DirectoryExists(TempDir))
    Say("Временная папка " + TempDir + left);
}

std::string TForm1::RecoveryRefuses(const std::string& path, bool removal) {
  auto below = [&](const std::string& root) { return LinkRefusal(root, path); };
  if (dos::IsInside(path, InstallDir)) {
    if (!TempDir.empty() && dos::IsInside(path, TempDir) && !TempProved)
      return "временная папка не подтверждена: " + path;
    return below(InstallDir);
  }
  if (!CopyDir.empty() &&
      (dos::IsInside(path, CopyDir) || cp1251::EqualNoCase(dos::WithSlash(path), CopyDir)))
    return CopyProved ? below(CopyDir) : "папка копии не подтверждена: " + path;
  if (!TempDir.empty() && dos::IsInside(path, TempDir))
    return TempProved ? below(TempDir) : "временная папка не подтверждена: " + path;
  std::string desktop = DesktopFolder();
  if (!desktop.empty() && cp1251::EqualNoCase(dos::FolderOf(path), dos::WithSlash(desktop))) {
    if (!removal) return "ярлык на рабочем столе не восстанавливается из копии: " + path;
    // An empty file is a shortcut the run began to write and never finished.
    uint32_t attr = 0;
    std::vector<os::FindEntry> found;
    const bool empty = os::GetAttributes(path, attr) && !(attr & os::kAttrReparsePoint) &&
                       os::FindFiles(path, os::kAttrAny, found) && found.size() == 1 &&
                       found[0].size == 0;
    if (!CopyProved || !(empty || ShortcutPointsInto(path, CopyDir)))
      return "ярлык не указывает на папку копии этого обновления: " + path;
    return std::string();
  }
  return "объект вне папки установки: " + path;
}
