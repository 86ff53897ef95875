// Entry names come from the package, which is input: a name must stay inside the
// installation folder and must not name the installer's own working files.
#pragma once

#include <string>

namespace pkg {

// The longest entry name accepted: with an installation folder in front it must
// still fit the system's path limit.
constexpr size_t kMaxEntryName = 200;

// Empty when `name` is a safe relative path; otherwise why it is not (CP1251).
// `journalName` is the journal file's name ("zum_" + VerTo + ".txt").
std::string CheckEntryName(const std::string& name, const std::string& journalName);

}  // namespace pkg
