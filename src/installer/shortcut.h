// The desktop shortcut of an updated copy of the installation.
#pragma once

#include <string>

// The user's desktop folder, without a trailing backslash: the registered one, else
// the Windows folder's "DESKTOP" or "Рабочий стол"; "" when there is none.
std::string DesktopFolder();

// Writes the shortcut `name` (a file name ending in ".LNK") into the user's desktop
// folder: the registered one, else the Windows folder's "DESKTOP" or
// "Рабочий стол". It starts `target` in `workDir` and carries `name` as its
// description. False, with the reason in os::LastError(), when no desktop folder is
// found or the shortcut cannot be written.
bool MakeDesktopShortcut(const std::string& target, const std::string& name,
                         const std::string& workDir);
