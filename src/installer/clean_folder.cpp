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
      AddProt(prot::kProtDeleteFolder, path);
      return DeleteTree(path) == 0;
    }
    return filesOk && foldersOk;
  } catch (const std::exception& e) {
    AddProt(prot::kProtEmergency, e.what());
    return false;
  }
}
