// Snapshots of folder trees (names, sizes, contents) for byte-for-byte comparisons.
#pragma once

#include <map>
#include <string>

namespace zt {

// Relative path (with '/' separators, a trailing '/' for folders) -> contents.
using Tree = std::map<std::string, std::string>;

// Reads a host folder recursively; hidden entries included.
Tree Snapshot(const std::string& hostDir);
// A readable list of the differences ("" when equal).
std::string Diff(const Tree& expected, const Tree& actual);

}  // namespace zt
