// How the POSIX platform layer turns the core's DOS-style paths into host paths and
// back, and the other name rules it needs (search masks, mutex file names). Everything
// here is a pure function of its arguments except ResolveHostPath, which reads folders.
//
// The drive map
//   Z: is "/" unless told otherwise. The environment variable ZUM_DRIVES adds or
//   replaces letters: entries LETTER=HOSTPATH separated by ';', for example
//       ZUM_DRIVES="D=/tmp/d;E=/mnt/e"
//   The letter may be given in either case. The host path must be absolute; trailing
//   slashes are dropped. An empty host path ("Z=") unmaps the letter. Malformed entries
//   are ignored. Later entries win over earlier ones.
//
// DOS paths
//   "X:\name\name...": a drive letter, a colon, a backslash, then names separated by
//   backslashes. A trailing backslash is kept (it makes a path name a folder, as on
//   Windows), repeated backslashes count as one, and "." and ".." are resolved by text,
//   never climbing above the drive's root. A name must not contain what Windows forbids
//   in a name: control characters, < > : " | ? * and the forward slash, which is not a
//   separator here. Anything else is refused.
//
// Host names
//   Names are CP1251 in the core and UTF-8 on the host. Each component that exists on
//   the host is found without regard to letter case (Latin and Cyrillic letters as
//   CP1251 pairs them): the exact spelling first, else the folder is scanned, and of
//   several entries that differ only in case the one that sorts first by its bytes is
//   taken, so the choice does not depend on the order a file system lists them.
//   Components that do not exist are kept as given.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace os::posix {

struct DriveMap {
  std::array<std::string, 26> roots;  // host folder of A: .. Z:, empty when unmapped

  // Host folder of a letter ('A'..'Z' or 'a'..'z'); empty when unmapped.
  const std::string& Root(char letter) const;
  // Bit 0 = A: set for every mapped letter.
  uint32_t Letters() const;
};

// The default map (Z: = "/") with the entries of `list` applied.
DriveMap ParseDriveMap(std::string_view list);
// The map in force: ParseDriveMap of $ZUM_DRIVES (read on every call).
DriveMap CurrentDriveMap();

struct DosPath {
  char drive = 0;                  // 'A'..'Z'
  std::vector<std::string> names;  // CP1251, after "." and ".." were resolved
  bool trailingSeparator = false;  // the text ended with a backslash after a name
};

// Splits and checks a DOS path. Returns an empty text on success, otherwise why the
// path was refused (`out` is then unspecified).
std::string ParseDosPath(std::string_view text, DosPath& out);

// True for a name that may appear in a DOS path component (see above). Wildcards are
// not allowed; a search mask is checked by the search itself.
bool IsValidName(std::string_view name, bool allowWildcards = false);

// The host path of a parsed path: `root` (a mapped drive's folder) joined with the
// names, every existing component found without regard to case. No trailing slash
// unless the DOS path had one after a name.
std::string ResolveHostPath(const std::string& root, const DosPath& path);

// The DOS path of an absolute host path: the drive whose folder is the longest prefix
// (at a component boundary) gives the letter, the rest becomes CP1251 names. False
// when no drive holds the path or a name cannot be written in CP1251 (or contains a
// backslash, which would read back as a separator).
bool HostToDos(const DriveMap& map, std::string_view host, std::string& dos);

// Windows-style search mask: '*' any run of characters, '?' one character, letters
// compared without regard to case; "*.*" matches every name, a mask ending in ".*"
// also matches a name without that extension ("x.*" matches "x"), and a mask ending
// in "." matches names without an extension ("*." matches "readme").
bool MatchMask(std::string_view mask, std::string_view name);

// File name (in the runtime folder) that stands for a named mutex: bytes outside
// [A-Za-z0-9._-] written as %XX, ".lock" appended. Very long names are cut and end in
// a hash of the whole name, so that the result fits a host file name.
std::string MutexFileName(std::string_view name);

}  // namespace os::posix
