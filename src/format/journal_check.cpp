#include "format/journal_check.h"

#include <algorithm>
#include <map>
#include <set>

#include "format/protocol_record.h"
#include "base/cp1251.h"
#include "format/journal_record.h"
#include "format/entry_name.h"
#include "base/dos_path.h"
#include "product/product.h"

namespace journal {
namespace {

// Paths below a declared folder may be as long as the system allows.
constexpr size_t kLongestPath = 32767;

using dos::IsInside;

bool SameFolder(const std::string& a, const std::string& b) { return cp1251::EqualNoCase(a, b); }

std::string WithoutTrailingSlash(std::string path) {
  if (!path.empty() && path.back() == '\\') path.pop_back();
  return path;
}

std::string LastComponent(const std::string& folder) {
  const std::string path = WithoutTrailingSlash(folder);
  return path.substr(path.find_last_of('\\') + 1);
}

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Folders of the system that neither a copy nor a temporary folder may be, on any
// disk; the Windows folder and what lies in it, not even below.
bool IsSystemFolder(const std::string& folder, const std::string& windowsDir) {
  static const char* const kTopLevel[] = {
      "WINDOWS", "WINNT", "PROGRAM FILES", "PROGRAM FILES (X86)", "PROGRAMDATA", "USERS",
      "DOCUMENTS AND SETTINGS", "SYSTEM VOLUME INFORMATION", "$RECYCLE.BIN", "RECYCLER"};
  const std::string rest = cp1251::Upper(WithoutTrailingSlash(folder.substr(3)));
  const std::string top = rest.substr(0, rest.find('\\'));
  for (const char* name : kTopLevel) {
    if (rest == name) return true;
    if ((top == "WINDOWS" || top == "WINNT") && top == name) return true;
  }
  if (!windowsDir.empty()) {
    std::string windows = windowsDir;
    windows = dos::WithSlash(windows);
    if (SameFolder(folder, windows) || IsInside(folder, windows) || IsInside(windows, folder))
      return true;
  }
  return false;
}

// Why `folder` cannot be a copy or temporary folder of the installation; "" if it can.
std::string CheckFolder(const std::string& folder, const TJournalFacts& facts) {
  if (folder.size() < 3 || !IsDriveLetter(folder[0]) || folder[1] != ':' || folder[2] != '\\' ||
      folder.back() != '\\')
    return "папка не задана полным путем";
  if (folder.size() == 3) return "папка - корень диска";
  const std::string why = pkg::CheckRelativePath(folder.substr(3, folder.size() - 4), kLongestPath);
  if (!why.empty()) return "недопустимая папка (" + why + ")";
  if (SameFolder(folder, facts.InstallDir)) return "папка - сама папка установки";
  if (IsInside(facts.InstallDir, folder)) return "папка содержит папку установки";
  if (IsSystemFolder(folder, facts.WindowsDir)) return "системная папка";
  return std::string();
}

std::string CheckTempFolder(const std::string& folder, const TJournalFacts& facts) {
  std::string why = CheckFolder(folder, facts);
  if (!why.empty()) return why;
  const std::string name = cp1251::Upper(LastComponent(folder));
  if (name != product::kTempInInstall && name != product::kTempOnDrive && name != product::kTempChosen)
    return "временная папка с чужим именем";
  return std::string();
}

// A shortcut file right in the user's desktop folder, the one item outside the
// installation and its folders that a run into a copy makes.
bool IsDesktopShortcut(const std::string& path, const TJournalFacts& facts) {
  if (!IsInside(path, facts.DesktopDir)) return false;
  const std::string name = path.substr(facts.DesktopDir.size());
  return name.find('\\') == std::string::npos && name.size() > 4 &&
         cp1251::Upper(name.substr(name.size() - 4)) == ".LNK" &&
         pkg::CheckEntryName(name, facts.JournalName).empty();
}

// The folder of `folders` that holds `path`; nullptr when none does.
const std::string* Holder(const std::vector<std::string>& folders, const std::string& path) {
  for (const std::string& f : folders)
    if (IsInside(path, f)) return &f;
  return nullptr;
}

// "BAK" + block number + "\" + name, below a temporary folder.
bool SplitBackup(const std::string& rest, uint32_t& block, std::string& name) {
  if (rest.size() < 5 || !cp1251::EqualNoCase(std::string_view(rest).substr(0, 3), "BAK"))
    return false;
  size_t i = 3;
  uint64_t value = 0;
  while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9' && i < 12)
    value = value * 10 + static_cast<unsigned>(rest[i++] - '0');
  if (i == 3 || i >= rest.size() || rest[i] != '\\') return false;
  block = static_cast<uint32_t>(value);
  name = rest.substr(i + 1);
  return !name.empty();
}

// A backup's temporary folder when no record declared it (a journal whose
// temporary-folder record could not be written): the folder in front of its
// "BAK<n>\" part, if that is a folder the installer could have made.
bool InferTempRoot(const std::string& path, const TJournalFacts& facts, std::string& root) {
  for (size_t at = path.find('\\'); at != std::string::npos; at = path.find('\\', at + 1)) {
    uint32_t block = 0;
    std::string name;
    if (!SplitBackup(path.substr(at + 1), block, name)) continue;
    root = path.substr(0, at + 1);
    return CheckTempFolder(root, facts).empty();
  }
  return false;
}

}  // namespace

std::string CheckCopyFolder(const std::string& folder, const std::string& installDir,
                            const std::string& windowsDir) {
  TJournalFacts facts;
  facts.InstallDir = installDir;
  facts.WindowsDir = windowsDir;
  return CheckFolder(folder, facts);
}

bool IsRecordSealed(const std::string& record) {
  if (record.size() < 10) return false;
  for (size_t i = record.size() - 10; i < record.size(); ++i)
    if (record[i] < '0' || record[i] > '9') return false;
  return prot::IsSealed(record);
}

bool DropTornLastRecord(std::vector<std::string>& lines) {
  // A final line break leaves an empty last line: the record before it is complete.
  if (lines.empty() || !IsCommandLine(lines.back()) || IsRecordSealed(lines.back())) return false;
  lines.pop_back();
  return true;
}

TJournalVerdict CheckJournal(const std::vector<std::string>& records, const TJournalFacts& facts) {
  auto refuse = [](std::string why, const std::string& record) {
    return TJournalVerdict{std::move(why), record};
  };

  // The rollback replays the records after the last start record (all of them when
  // there is none); older ones are only read for the folders they declare.
  size_t replayedFrom = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    int kind = 0;
    std::string text;
    if (ParseCommand(records[i], kind, text) && kind == kCmdStart) replayedFrom = i;
  }

  std::vector<std::string> copyDirs, tempDirs;
  std::set<std::string> seen;                   // records replayed, as written
  std::set<std::string> backups;                // backups named, upper case
  std::map<std::string, uint32_t> lastBlock;    // target (upper case) -> its latest block
  for (size_t i = 0; i < records.size(); ++i) {
    const std::string& record = records[i];
    int kind = 0;
    std::string text;
    if (!ParseCommand(record, kind, text)) return refuse("команда не распознана", record);

    if (kind == kCmdCopyDir) {
      const std::string why = CheckFolder(text, facts);
      if (!why.empty()) return refuse("папка копии: " + why, record);
      copyDirs.push_back(text);
    } else if (kind == kCmdTempDir) {
      const std::string why = CheckTempFolder(text, facts);
      if (!why.empty()) return refuse("временная папка: " + why, record);
      tempDirs.push_back(text);
    } else if (kind == kCmdOwner) {
      std::string folder, token;
      bool made = false;
      if (!ParseOwnerText(text, folder, token, made)) return refuse("команда не распознана", record);
      const std::string why = CheckFolder(folder, facts);
      if (!why.empty()) return refuse("папка с меткой владельца: " + why, record);
    }
    if (i < replayedFrom) continue;

    if (kind == kCmdReadOnly) {
      const std::string* root = Holder(copyDirs, text);
      if (!root && IsInside(text, facts.InstallDir)) root = &facts.InstallDir;
      if (!root) return refuse("файл только для чтения вне папки установки", record);
      const std::string why = pkg::CheckEntryName(text.substr(root->size()), facts.JournalName);
      if (!why.empty()) return refuse("файл только для чтения: " + why, record);
    }

    if (kind == kCmdRestore) {
      std::string target, backup;
      uint32_t checksum = 0, size = 0;
      if (!ParseRestoreText(text, target, backup, checksum, size))
        return refuse("команда не распознана", record);
      const std::string* root = Holder(copyDirs, target);
      if (!root && IsInside(target, facts.InstallDir)) root = &facts.InstallDir;
      if (!root && IsDesktopShortcut(target, facts)) root = &facts.DesktopDir;
      if (!root) return refuse("восстанавливаемый файл вне папки установки", record);
      const std::string name = target.substr(root->size());
      std::string why = pkg::CheckEntryName(name, facts.JournalName);
      if (!why.empty()) return refuse("восстанавливаемый файл: " + why, record);

      const std::string* temp = Holder(tempDirs, backup);
      std::string inferred;
      if (!temp && InferTempRoot(backup, facts, inferred)) temp = &inferred;
      uint32_t block = 0;
      std::string backupName;
      if (!temp || !SplitBackup(backup.substr(temp->size()), block, backupName) ||
          !cp1251::EqualNoCase(backupName, name))
        return refuse("резервная копия вне временной папки", record);
      if (!backups.insert(cp1251::Upper(backup)).second)
        return refuse("резервная копия названа дважды", record);
      auto [it, first] = lastBlock.emplace(cp1251::Upper(target), block);
      if (!first) {
        if (block <= it->second) return refuse("порядок записей нарушен", record);
        it->second = block;
      }
      uint64_t actual = 0;
      if (!facts.FileSize || !facts.FileSize(backup, actual))
        return refuse("нет резервной копии", record);
      if (actual != size) return refuse("размер резервной копии не совпадает", record);
    } else if (kind == kCmdDrop) {
      std::string path;
      if (!ParseDropText(text, path)) return refuse("команда не распознана", record);
      if (path == kNoPath) continue;  // removes nothing; may legitimately repeat
      const std::string item = WithoutTrailingSlash(path);
      std::string why, inferred;
      const std::string* temp = Holder(tempDirs, item);
      if (!temp && !IsInside(item, facts.InstallDir) && InferTempRoot(item, facts, inferred))
        temp = &inferred;
      if (temp) {
        why = pkg::CheckRelativePath(item.substr(temp->size()), kLongestPath);
      } else if (const std::string* copy = Holder(copyDirs, item)) {
        why = pkg::CheckRelativePath(item.substr(copy->size()), kLongestPath);
      } else if (std::any_of(copyDirs.begin(), copyDirs.end(),
                             [&](const std::string& c) { return SameFolder(item + "\\", c); })) {
        why.clear();  // the copy's own folder, made by the run
      } else if (IsInside(item, facts.InstallDir)) {
        why = pkg::CheckEntryName(item.substr(facts.InstallDir.size()), facts.JournalName);
      } else if (IsDesktopShortcut(item, facts)) {
        why.clear();
      } else {
        return refuse("удаляемый объект вне папки установки", record);
      }
      if (!why.empty()) return refuse("удаляемый объект: " + why, record);
    }
    if (!seen.insert(record).second) return refuse("запись повторяется", record);
  }
  return TJournalVerdict{};
}

}  // namespace journal
