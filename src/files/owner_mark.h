// The ownership mark of a folder outside the installation that a run makes or takes
// (the copy of copy mode, a temporary folder on another drive). The run writes a
// small file with a random token into the folder and journals the token with the
// folder; a recovery changes such a folder only when the mark is there and holds
// the journalled token. A journal alone (a text file that anyone who can write in
// the installation folder can forge) never proves that a folder is the installer's.
#pragma once

#include <string>

// 32 hexadecimal digits from the system's random source.
std::string NewOwnerToken();
// Writes the mark into `folder` (which ends in a backslash), replacing an old one.
// False, with the system's reason, when it cannot be written.
bool WriteOwnerMark(const std::string& folder, const std::string& token);
// True when `folder` is a real folder (not a link) holding a mark that is a plain
// file (not a link) with `token` in it.
bool OwnerMarkMatches(const std::string& folder, const std::string& token);
// Removes the mark from `folder`; true when none is left.
bool RemoveOwnerMark(const std::string& folder);
