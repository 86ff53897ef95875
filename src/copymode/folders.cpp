// Folder trees: listing, removing and making folders, and the cleaning of a
// working folder with its protocol lines.
#include "copymode/folders.h"

#include <exception>

#include "app/form1.h"

namespace {

std::string WithSlash(const std::string& folder) {
  return !folder.empty() && folder.back() != '\\' ? folder + '\\' : folder;
}

bool IsHiddenOrSystem(uint32_t attr) { return (attr & (os::kAttrHidden | os::kAttrSystem)) != 0; }

}  // namespace

void ListFolders(const std::string& folder, std::vector<std::string>& list) {
  // A folder named without its backslash is still searched inside, not beside.
  const std::string dir = WithSlash(folder);
  list.push_back(dir);
  std::vector<os::FindEntry> entries;
  // Hidden and system folders are not asked for, so the search leaves them out.
  os::FindFiles(dir + "*.*", os::kAttrDirectory, entries);
  for (const os::FindEntry& entry : entries) {
    if (!(entry.attr & os::kAttrDirectory) || IsHiddenOrSystem(entry.attr)) continue;
    if (entry.name == "." || entry.name == "..") continue;
    ListFolders(dir + entry.name + "\\", list);
  }
}

int ListFiles(const std::string& folder, const std::string& mask, std::vector<std::string>& list,
              bool append) {
  if (!append) list.clear();
  std::vector<std::string> folders;
  ListFolders(folder, folders);
  int count = 0;
  std::vector<os::FindEntry> entries;
  for (const std::string& dir : folders) {
    entries.clear();
    os::FindFiles(dir + mask, 0, entries);
    for (const os::FindEntry& entry : entries) {
      if (entry.attr & (os::kAttrDirectory | os::kAttrHidden | os::kAttrSystem)) continue;
      list.push_back(dir + entry.name);
      ++count;
    }
  }
  return count;
}

int DeleteTree(const std::string& folder) {
  const std::string dir = WithSlash(folder);
  int failures = 0;
  std::vector<std::string> items;
  ListFiles(dir, "*.*", items, false);
  for (const std::string& file : items)
    if (!os::DeleteFile(file)) ++failures;
  items.clear();
  ListFolders(dir, items);
  // Depth first, parents before children: backwards, the deepest go first and the
  // folder itself last.
  for (auto it = items.rbegin(); it != items.rend(); ++it)
    if (!os::RemoveDir(*it)) ++failures;
  return failures;
}

bool MakeFolderPath(const std::string& path, std::string& topmost) {
  if (path.empty()) return false;
  std::string dir = path;
  if (dir.back() == '\\') dir.pop_back();
  const size_t slash = dir.find_last_of('\\');
  const std::string parent = slash == std::string::npos ? dir : dir.substr(0, slash);
  if (dir.size() < 3 || os::DirectoryExists(dir) || parent == dir) return true;
  topmost = dir;
  const bool parentMade = MakeFolderPath(parent, topmost);
  return parentMade && os::CreateDir(dir);
}

bool TForm1::CleanFolder(const std::string& folder, bool removeFolder) {
  try {
    if (folder.empty()) {
      if (!removeFolder) return true;
      Say("Попытка очистки и удаления несуществующей папки");
      return false;
    }
    const std::string path = WithSlash(folder);
    if (!os::DirectoryExists(path)) {
      if (removeFolder) return true;
      std::string made;
      return MakeFolderPath(path, made);
    }

    // Each pass is marked failed when any of its deletions failed (not only the
    // last one): a leftover item must not be reported as a clean folder.
    bool filesOk = true;
    std::vector<std::string> items;
    if (ListFiles(path, "*.*", items, false) > 0) {
      Say("...очистка " + path);
      for (const std::string& file : items) {
        const bool deleted = os::DeleteFile(file);
        filesOk = filesOk && deleted;
        Say((deleted ? "Успешно удалено " : "Невозможно удалить ") + file);
      }
      ProtResult(filesOk, true);
    }

    bool foldersOk = true;
    items.clear();
    ListFolders(path, items);
    Say("...удаление подпапок " + path);
    for (size_t i = items.size(); i-- > 1;) {
      const bool removed = os::RemoveDir(items[i]);
      foldersOk = foldersOk && removed;
      Say((removed ? "Успешно удалено " : "Невозможно удалить ") + items[i]);
    }
    ProtResult(foldersOk, true);

    if (removeFolder) {
      AddProt(12, path);
      return DeleteTree(path) == 0;
    }
    return filesOk && foldersOk;
  } catch (const std::exception& e) {
    AddProt(26, e.what());
    return false;
  }
}
