// What a copy of the installation holds, and the copy itself.
#include <algorithm>

#include "base/cp1251.h"
#include "files/folders.h"
#include "installer/selku.h"
#include "platform/os.h"
#include "product/product.h"
#include "base/dos_path.h"

namespace {

struct Item {
  std::string path;  // a folder ends with a backslash
  uint64_t size;
};

// The folder and, depth first, its subfolders and files, as ListFolders and
// ListFiles give them (hidden and system items left out), with the sizes of the
// files from the same search: opening every file of a large installation only to
// learn its size would cost more than listing it.
void ListTree(const std::string& folder, std::vector<Item>& items) {
  const std::string dir = dos::WithSlash(folder);
  items.push_back({dir, 0});
  std::vector<os::FindEntry> entries;
  os::FindFiles(dir + "*.*", os::kAttrDirectory, entries);
  for (const os::FindEntry& e : entries) {
    // A link is not copied, nor is what it points to: a link planted in the
    // installation would otherwise bring an outside folder's files into the copy.
    if (e.attr & (os::kAttrHidden | os::kAttrSystem | os::kAttrReparsePoint)) continue;
    if (!(e.attr & os::kAttrDirectory)) {
      items.push_back({dir + e.name, e.size});
    } else if (e.name != "." && e.name != "..") {
      ListTree(dir + e.name + "\\", items);
    }
  }
}

}  // namespace

uint64_t TFrm_SelKU::BuildCopyList(const std::string& source, bool clean, bool noAutoSave,
                                   const std::string& excluded) {
  Say("Построение списка файлов " + source);
  std::vector<Item> items;
  if (clean) {
    // Only the product's own folders; the working data of the user stays behind.
    const size_t count = noAutoSave ? product::kFirstAutoSaveFolder : product::kInstallFolderCount;
    for (size_t i = 0; i < count; ++i) ListTree(source + product::kInstallFolders[i] + "\\", items);
  } else {
    ListTree(source, items);
    if (noAutoSave) {
      std::vector<std::string> prefixes;
      for (size_t i = product::kFirstAutoSaveFolder; i < product::kInstallFolderCount; ++i)
        prefixes.push_back(cp1251::Upper(source + product::kInstallFolders[i] + "\\"));
      std::erase_if(items, [&](const Item& item) {
        const std::string upper = cp1251::Upper(item.path);
        for (const std::string& p : prefixes)
          if (upper.compare(0, p.size(), p) == 0) return true;
        return false;
      });
    }
  }

  Say("Подсчет размера");
  uint64_t size = 0;
  CopyList.clear();
  CopyList.reserve(items.size());
  for (Item& item : items) {
    if (cp1251::EqualNoCase(item.path, excluded) || cp1251::EqualNoCase(item.path, SelfPath))
      continue;
    // Every item was listed under the source folder; what lies directly in it (the
    // folder itself, the installer, the journal, the protocols) is not copied.
    std::string rest = item.path.substr(std::min(source.size(), item.path.size()));
    if (rest.find('\\') == std::string::npos) continue;
    size += item.size;
    CopyList.push_back(std::move(rest));
  }
  // Sorted without regard to case, each item once: a folder before its content.
  std::sort(CopyList.begin(), CopyList.end(), [](const std::string& a, const std::string& b) {
    return cp1251::CompareNoCase(a, b) < 0;
  });
  CopyList.erase(std::unique(CopyList.begin(), CopyList.end(),
                             [](const std::string& a, const std::string& b) {
                               return cp1251::EqualNoCase(a, b);
                             }),
                 CopyList.end());
  Say("Завершено");
  return size;
}

bool CopyTree(const std::string& source, const std::string& target,
              const std::vector<std::string>& list, const TFrm_SelKU::TCopyFile& copy) {
  // The copy's own folder is journalled by the dialog before it is made.
  std::string made;
  if (!os::DirectoryExists(target) && !MakeFolderPath(target, made)) return false;
  for (const std::string& item : list) {
    const bool folder = !item.empty() && item.back() == '\\';
    const std::string to = target + item;
    if (folder) {
      // A folder entry may come before its parent (or the parent is not listed at
      // all, as Rus\ in a clean copy): the missing parents are made first, each
      // through the journalled copy like any other folder of the copy, or an empty
      // folder would be lost.
      std::vector<std::string> missing;
      for (std::string parent = dos::ParentOf(item); !parent.empty() &&
                                                     !os::DirectoryExists(target + parent);
           parent = dos::ParentOf(parent))
        missing.push_back(parent);
      for (auto it = missing.rbegin(); it != missing.rend(); ++it)
        if (!copy(source + *it, target + *it, true) || !os::DirectoryExists(target + *it))
          return false;
    }
    if (!copy(source + item, to, true)) return false;
    // The copy callback does not check that the folder was made.
    if (folder && !os::DirectoryExists(to)) return false;
  }
  return true;
}
