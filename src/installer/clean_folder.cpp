// The cleaning of a working folder, with its protocol lines.
#include <exception>

#include "files/folders.h"
#include "installer/form1.h"
#include "base/dos_path.h"

bool TForm1::CleanFolder(const std::string& folder, bool removeFolder) {
  try {
    if (folder.empty()) {
      if (!removeFolder) return true;
      Say("Попытка очистки и удаления несуществующей папки");
      return false;
    }
    const std::string path = dos::WithSlash(folder);
    // A link in the folder's place is removed as a link, never emptied through: its
    // target is not the installer's. A folder to keep is then made in its place.
    if (IsLink(path)) {
      const bool removed = os::RemoveLink(dos::WithoutSlash(path));
      Say((removed ? "Удалена ссылка вместо папки " : "Невозможно удалить ссылку ") + path);
      if (!removed) return false;
    }
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

    // Links inside go as links.
    items.clear();
    ListFolders(path, items);
    for (const std::string& dir : items) {
      std::vector<os::FindEntry> entries;
      os::FindFiles(dir + "*.*", os::kAttrAny, entries);
      for (const os::FindEntry& e : entries) {
        if (!(e.attr & os::kAttrReparsePoint)) continue;
        const bool removed = os::RemoveLink(dir + e.name);
        filesOk = filesOk && removed;
        Say((removed ? "Удалена ссылка " : "Невозможно удалить ссылку ") + dir + e.name);
      }
    }

    bool foldersOk = true;
    Say("...удаление подпапок " + path);
    for (size_t i = items.size(); i-- > 1;) {
      const bool removed = os::RemoveDir(items[i]);
      foldersOk = foldersOk && removed;
      Say((removed ? "Успешно удалено " : "Невозможно удалить ") + items[i]);
    }
    ProtResult(foldersOk, true);

    if (removeFolder) {
      AddProt(prot::kProtDeleteFolder, path);
      return DeleteTree(path) == 0;
    }
    return filesOk && foldersOk;
  } catch (const std::exception& e) {
    AddProt(prot::kProtEmergency, e.what());
    return false;
  }
}
