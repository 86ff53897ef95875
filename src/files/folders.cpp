// Folder trees: listing, removing and making folders.
#include "files/folders.h"

#include <exception>

#include "platform/os.h"
#include "base/dos_path.h"

namespace {

bool IsHiddenOrSystem(uint32_t attr) { return (attr & (os::kAttrHidden | os::kAttrSystem)) != 0; }

}  // namespace

void ListFolders(const std::string& folder, std::vector<std::string>& list) {
  // A folder named without its backslash is still searched inside, not beside.
  const std::string dir = dos::WithSlash(folder);
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
  const std::string dir = dos::WithSlash(folder);
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
