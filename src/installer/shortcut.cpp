// The desktop shortcut of an updated copy: where the desktop is, and the step of the
// main window that makes the shortcut.
#include "installer/shortcut.h"

#include <vector>

#include "base/cp1251.h"

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

bool ShortcutBytesName(std::span<const uint8_t> bytes, const std::string& path) {
  if (path.empty()) return false;
  const std::string wanted = cp1251::Upper(path);
  const std::string ansi = cp1251::Upper(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  if (ansi.find(wanted) != std::string::npos) return true;
  // The Unicode strings: each UTF-16 unit taken back to CP1251 (a unit beyond the
  // Basic Multilingual Plane or outside CP1251 cannot be part of the path).
  for (size_t start = 0; start < 2; ++start) {
    std::string narrowed;
    for (size_t i = start; i + 1 < bytes.size(); i += 2) {
      const uint32_t unit = bytes[i] | (bytes[i + 1] << 8);
      char utf8[4];
      size_t n = 0;
      if (unit < 0x80) {
        utf8[n++] = static_cast<char>(unit);
      } else if (unit < 0x800) {
        utf8[n++] = static_cast<char>(0xC0 | (unit >> 6));
        utf8[n++] = static_cast<char>(0x80 | (unit & 0x3F));
      } else {
        utf8[n++] = static_cast<char>(0xE0 | (unit >> 12));
        utf8[n++] = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
        utf8[n++] = static_cast<char>(0x80 | (unit & 0x3F));
      }
      bool ok = true;
      const std::string c = cp1251::FromUtf8(std::string_view(utf8, n), &ok);
      narrowed += ok && c.size() == 1 ? c : std::string(1, '\0');
    }
    if (cp1251::Upper(narrowed).find(wanted) != std::string::npos) return true;
  }
  return false;
}

bool ShortcutPointsInto(const std::string& linkPath, const std::string& folder) {
  constexpr uint64_t kLargestShortcut = 1u << 20;
  uint32_t attr = 0;
  if (!os::GetAttributes(linkPath, attr) ||
      (attr & (os::kAttrDirectory | os::kAttrReparsePoint)))
    return false;
  os::File file;
  uint64_t size = 0;
  if (!file.Open(linkPath, os::kRead, os::kShareRead, os::Disposition::OpenExisting) ||
      !file.Size(size) || size > kLargestShortcut)
    return false;
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  if (!file.ReadExact(bytes.data(), bytes.size())) return false;
  return ShortcutBytesName(bytes, dos::WithSlash(folder) + product::kExePath);
}

bool TForm1::CreateDesktopLink() {
  const std::string label = Frm_SelKU().LinkName;
  // The shortcut is the one change of a run into a copy outside the copy. A desktop
  // item that stands at its name already is the user's and is never replaced: a
  // rollback could only put it back from a backup in the temporary folder, which is
  // no safer than any other file there. The new shortcut takes the first free name
  // instead, and its removal is journalled before it is made.
  std::string desktop = DesktopFolder();
  if (desktop.empty()) {
    AddProt(prot::kProtEmergency, "Не найдена папка рабочего стола для ярлыка " + label);
    return false;
  }
  desktop = dos::WithSlash(desktop);
  std::string name = label + ".LNK";
  uint32_t attr = 0;
  for (int n = 2; os::GetAttributes(desktop + name, attr); ++n) {
    if (n > 99) {
      AddProt(prot::kProtEmergency, "Нет свободного имени для ярлыка " + desktop + label);
      return false;
    }
    name = label + " (" + std::to_string(n) + ").LNK";
  }
  if (!JournalCmd(journal::kCmdDrop, journal::MakeDropText(desktop + name))) return false;
  const bool ok = MakeDesktopShortcut(CopyDir + product::kExePath, name, CopyDir);
  if (!ok) AddProt(prot::kProtEmergency, os::LastErrorText());
  return ok;
}
