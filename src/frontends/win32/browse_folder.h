// The shell's folder browser, kept apart from the window code: the shell headers
// bring in OLE declarations that clash with names of the core.
#pragma once

#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace ui {

// Shows the folder browser owned by `owner` with `title` (CP1251) above the tree,
// rooted at "My Computer". Asks again while the choice has no file-system path.
// Returns the chosen folder, or "" when the user cancelled.
std::string ShellBrowseForFolder(HWND owner, const std::string& title);

}  // namespace ui
