// The desktop shortcut of an updated copy: where the desktop is, and the step of the
// main window that makes the shortcut.
#include "copymode/shortcut.h"

#include "app/form1.h"
#include "copymode/selku.h"
#include "platform/os.h"

namespace {

// The desktop folder without a trailing backslash; "" when there is none.
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

}  // namespace

bool MakeDesktopShortcut(const std::string& target, const std::string& name,
                         const std::string& workDir) {
  std::string desktop = DesktopFolder();
  if (desktop.empty()) {
    os::SetLastError(os::ErrorKind::NotFound, 0,
                     "Не найдена папка рабочего стола для ярлыка " + name);
    return false;
  }
  if (desktop.back() != '\\') desktop += '\\';
  // A shortcut that could not be written is a failed step, not a finished one.
  return os::CreateShellLink(target, desktop + name, name, workDir);
}

bool TForm1::CreateDesktopLink() {
  const std::string name = Frm_SelKU().LinkName + ".LNK";
  const bool ok = MakeDesktopShortcut(CopyDir + "EXE\\zum.exe", name, CopyDir);
  if (!ok) AddProt(26, os::LastErrorText());
  return ok;
}
