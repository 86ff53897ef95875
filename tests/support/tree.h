// Snapshots of folder trees (names, sizes, contents) for byte-for-byte comparisons.
#pragma once

#include <map>
#include <string>

namespace zt {

// Relative path (with '/' separators, a trailing '/' for folders) -> contents.
using Tree = std::map<std::string, std::string>;

struct SnapshotOptions {
  // Leaves out the protocol files the installer writes ("Протокол...").
  bool leaveOutProtocols = false;
  // A file as its Digest, not its bytes: for large trees.
  bool digests = false;
};

// Reads a host folder recursively; hidden entries included. An absent folder is an
// empty tree.
Tree Snapshot(const std::string& hostDir, const SnapshotOptions& options = {});
// A file's size and checksum, as a digest snapshot holds it.
std::string Digest(const std::string& bytes);
// A readable list of the differences ("" when equal).
std::string Diff(const Tree& expected, const Tree& actual);

}  // namespace zt
