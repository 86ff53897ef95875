// The desktop shortcut of an updated copy of the installation.
#pragma once

#include <cstdint>
#include <span>
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

// True when the bytes of a shortcut file name `path` (letter case aside), in the
// ANSI form (CP1251) or in the Unicode form (UTF-16LE) of its strings.
bool ShortcutBytesName(std::span<const uint8_t> bytes, const std::string& path);
// True when the file at `linkPath` is a plain file (not a link) of a shortcut's size
// whose bytes name the program of the installation in `folder`: a shortcut the
// update made for that copy.
bool ShortcutPointsInto(const std::string& linkPath, const std::string& folder);
