// Folder trees: listing, deleting and making folder paths. No protocol lines here;
// CleanFolder, which writes them, is a method of the main window.
#pragma once

#include <string>
#include <vector>

// Appends `folder` (with its trailing backslash) and, depth first, every subfolder
// that is neither hidden nor system.
void ListFolders(const std::string& folder, std::vector<std::string>& list);
// Appends every file matching `mask` in `folder` and its subfolders (hidden and
// system files left out); clears the list first unless `append`. Returns the count.
int ListFiles(const std::string& folder, const std::string& mask, std::vector<std::string>& list,
              bool append);
// Deletes the tree, the folder included; returns the number of items that failed.
int DeleteTree(const std::string& folder);
// Makes `path` with its missing parents; `topmost` gets the highest folder made
// (left unchanged when nothing was made).
bool MakeFolderPath(const std::string& path, std::string& topmost);
