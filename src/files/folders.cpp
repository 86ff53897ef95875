// Folder trees: listing, removing and making folders, and the link checks.
#include "files/folders.h"

#include <exception>

#include "base/cp1251.h"
#include "base/dos_path.h"
#include "platform/os.h"

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
    if (entry.attr & os::kAttrReparsePoint) continue;
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
      if (entry.attr & (os::kAttrDirectory | os::kAttrHidden | os::kAttrSystem |
                        os::kAttrReparsePoint))
        continue;
      list.push_back(dir + entry.name);
      ++count;
    }
  }
  return count;
}

int DeleteTree(const std::string& folder) {
  const std::string dir = dos::WithSlash(folder);
  if (IsLink(dos::WithoutSlash(dir))) return os::RemoveLink(dos::WithoutSlash(dir)) ? 0 : 1;
  int failures = 0;
  std::vector<os::FindEntry> entries;
  os::FindFiles(dir + "*.*", os::kAttrDirectory, entries);
  for (const os::FindEntry& entry : entries) {
    const std::string path = dir + entry.name;
    if (entry.attr & os::kAttrReparsePoint) {
      if (!os::RemoveLink(path)) ++failures;
    } else if (IsHiddenOrSystem(entry.attr)) {
      continue;
    } else if (entry.attr & os::kAttrDirectory) {
      failures += DeleteTree(path + "\\");
    } else if (!os::DeleteFile(path)) {
      ++failures;
    }
  }
  if (!os::RemoveDir(dir)) ++failures;
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

bool IsLink(const std::string& path) {
  uint32_t attr = 0;
  return os::GetAttributes(dos::WithoutSlash(path), attr) && (attr & os::kAttrReparsePoint);
}

std::string LinkOnPath(const std::string& root, const std::string& path) {
  const std::string base = dos::WithSlash(root);
  if (base.empty() || path.size() <= base.size() ||
      !cp1251::EqualNoCase(std::string_view(path).substr(0, base.size()), base))
    return std::string();
  for (size_t at = base.size(); at < path.size();) {
    size_t slash = path.find('\\', at);
    if (slash == std::string::npos) slash = path.size();
    const std::string part = path.substr(0, slash);
    uint32_t attr = 0;
    if (!os::GetAttributes(part, attr)) return std::string();
    if (attr & os::kAttrReparsePoint) return part;
    at = slash + 1;
  }
  return std::string();
}
