// Folder trees: listing, deleting and making folder paths, and the link checks that
// keep every walk inside its folder. No protocol lines here; CleanFolder, which
// writes them, is a method of the main window.
//
// A link (a symbolic link, a junction, any reparse point) is never followed: a
// listing leaves it out, a tree delete removes the link and not what it points to.
#pragma once

#include <string>
#include <vector>

// Appends `folder` (with its trailing backslash) and, depth first, every subfolder
// that is neither hidden nor system nor a link.
void ListFolders(const std::string& folder, std::vector<std::string>& list);
// Appends every file matching `mask` in `folder` and its subfolders (hidden and
// system files and links left out); clears the list first unless `append`. Returns
// the count.
int ListFiles(const std::string& folder, const std::string& mask, std::vector<std::string>& list,
              bool append);
// Deletes the tree, the folder included; returns the number of items that failed.
// Links in it are removed as links; a `folder` that is itself a link is removed as
// a link. Hidden and system items stay (and keep their folders).
int DeleteTree(const std::string& folder);
// Makes `path` with its missing parents; `topmost` gets the highest folder made
// (left unchanged when nothing was made).
bool MakeFolderPath(const std::string& path, std::string& topmost);

// True when the entry at `path` is a link (not what it points to).
bool IsLink(const std::string& path);
// The first link on the way from `root` (not itself tested) down to `path`,
// `path` included; "" when there is none, or when `path` does not lie in `root`.
// Components that do not exist end the walk: nothing below them can be a link yet.
std::string LinkOnPath(const std::string& root, const std::string& path);
