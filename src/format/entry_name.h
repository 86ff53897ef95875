// Entry names come from the package, which is input: a name must stay inside the
// installation folder and must not name the installer's own working files. The
// same rules judge the paths that a journal names below the folders it may touch.
#pragma once

#include <cstddef>
#include <string>

namespace pkg {

// The longest entry name accepted: with an installation folder in front it must
// still fit the system's path limit.
constexpr size_t kMaxEntryName = 200;

// Empty when `path` is a relative path that stays where it is put, whatever the
// system: backslash-separated components, none empty, "." or "..", none ending in
// a dot or a blank (Windows drops those), no device name (CON, nul.txt, COM1 ...,
// refused on every system since the package targets Windows), no drive, stream
// or wildcard characters, no control characters, at most `maxLength` bytes.
// Otherwise why it is not (CP1251).
std::string CheckRelativePath(const std::string& path, size_t maxLength = kMaxEntryName);

// CheckRelativePath, and not the installer's own working files: the temporary
// folders, the journal file and its protocol file ("Протокол_" + journal), nor a
// short (8.3) alias that could stand for them.
// `journalName` is the journal file's name ("zum_" + VerTo + ".txt").
std::string CheckEntryName(const std::string& name, const std::string& journalName);

// Empty when the package's target version can name files: the journal and the
// protocol are "zum_" + version + ".txt" and "Протокол_zum_" + version + ".txt" in
// the installation folder, so the version must be one plain name component (the
// rules of CheckRelativePath, and no backslash) of at most 64 bytes. Otherwise why
// it cannot (CP1251).
std::string CheckVersionText(const std::string& version);

}  // namespace pkg
