// The desktop shortcut of an updated copy: where the desktop is, and the step of the
// main window that makes the shortcut.
#include "installer/shortcut.h"

#include "installer/form1.h"
#include "files/folders.h"
#include "installer/selku.h"
#include "platform/os.h"
#include "base/dos_path.h"
#include "product/product.h"

std::string DesktopFolder() {
  std::string desktop = os::ReadDesktopFolder();
  if (!desktop.empty()) return desktop;  // taken as registered, made or not
  const std::string windows = os::WindowsDir();
  if (windows.empty()) return std::string();
  const std::string base = windows.back() == '\\' ? windows : windows + "\\";
  for (const char* name : {"DESKTOP", "Рабочий стол"}) {
    if (os::DirectoryExists(base + name)) return base + name;
  }
  return std::string();
}

bool MakeDesktopShortcut(const std::string& target, const std::string& name,
                         const std::string& workDir) {
  std::string desktop = DesktopFolder();
  if (desktop.empty()) {
    os::SetLastError(os::ErrorKind::NotFound, 0,
                     "Не найдена папка рабочего стола для ярлыка " + name);
    return false;
  }
  desktop = dos::WithSlash(desktop);
  // A shortcut that could not be written is a failed step, not a finished one.
  return os::CreateShellLink(target, desktop + name, name, workDir);
}

bool TForm1::CreateDesktopLink() {
  const std::string name = Frm_SelKU().LinkName + ".LNK";
  // The shortcut is the one change of a run into a copy outside the copy: it is
  // journalled like a file of the installation (a backup of a shortcut of that
  // name, or its removal), so that a rollback of a run that dies before its end
  // leaves the desktop as it was.
  std::string desktop = DesktopFolder();
  if (!desktop.empty()) {
    desktop = dos::WithSlash(desktop);
    const std::string backupDir = TempDir + "BAK" + std::to_string(SectionNo) + "\\";
    std::string made;
    MakeFolderPath(backupDir, made);
    if (!JournalCopy(desktop + name, backupDir + name, false)) {
      AddProt(prot::kProtEmergency, os::LastErrorText());
      return false;
    }
  }
  const bool ok = MakeDesktopShortcut(CopyDir + product::kExePath, name, CopyDir);
  if (!ok) AddProt(prot::kProtEmergency, os::LastErrorText());
  return ok;
}
