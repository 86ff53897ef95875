// DOS paths as the core sees them: a drive letter, a colon, backslashes
// ("Z:\home\zum\Exe\zum.exe"); a folder is written with its trailing backslash.
// Pure text operations: nothing here looks at the disk.
#pragma once

#include <string>

namespace dos {

// The folder that holds `path`, with its trailing backslash: everything up to and
// including the last backslash ("C:\a\" for "C:\a\b.txt"; "C:\a\b\" for "C:\a\b\").
// "" when there is no backslash.
std::string FolderOf(const std::string& path);
// The folder that holds the file or folder `path` (a trailing backslash ignored),
// with its trailing backslash: "C:\a\" for "C:\a\b\" and for "C:\a\b".
std::string ParentOf(const std::string& path);
// The last component: "b.txt" for "C:\a\b.txt", the whole text when there is no
// backslash, "" for a folder written with its trailing backslash.
std::string LeafOf(const std::string& path);
// `folder` with a trailing backslash; "" stays "".
std::string WithSlash(const std::string& folder);
// `folder` without its trailing backslash (one is removed).
std::string WithoutSlash(const std::string& folder);
// True when `path` lies below `folder` (letter case aside): `folder` with a
// backslash is a prefix of it, and something follows. The folder itself is not
// inside; a `folder` without its backslash contains nothing.
bool IsInside(const std::string& path, const std::string& folder);

}  // namespace dos
