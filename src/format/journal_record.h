// The rollback journal's records: the command records that name every change the
// installer makes, their line breaks, and the texts of the commands that the
// recovery replays. Pure functions on texts; the file itself is written by the main
// window (journal.cpp) and read back by the recovery (recovery.cpp).
//
// A journal file holds two sorts of lines, both sealed with the 10-digit LineSum of
// the protocol log:
//   "; " + time stamp + protocol line + seal     (protocol records, not replayed)
//   "> " + time stamp + "*" + kind + "#" + text + seal   (command records)
// A command record written into an empty file stands alone; written into a
// non-empty file it has CR LF before and after it. The file therefore holds empty
// lines and may end with CR LF; readers skip empty lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/local_time.h"

namespace journal {

// The journal's file name in the installation folder, made from the package's target
// version ("zum_3.0.7.1.txt").
std::string FileName(const std::string& verTo);

// Command kinds. Kinds that no command uses are replayed as nothing.
enum Command : int {
  kCmdCopyDir = 1,   // the copy folder of copy mode
  kCmdVariant = 2,   // the update variant ("1" = copy)
  kCmdOwner = 3,     // the ownership mark put into a copy or temporary folder
  kCmdStart = 4,     // a run began here; the rollback stops at it
  kCmdEnd = 5,       // the run was closed
  kCmdRestore = 6,   // a backup of an existing file: copy it back
  kCmdTempDir = 8,   // the temporary folder
  kCmdReadOnly = 7,  // a read-only file the run made writable: make it read-only again
  kCmdDrop = 9,      // an item the run created: remove it
};

// The texts of commands 4 and 5 ("Запуск", "Конец").
const std::string& StartText();
const std::string& EndText();

// The marker that older journals put in place of the path in a command 9 for a
// file that did not exist before its backup was asked for. It removes nothing.
inline constexpr const char kNoPath[] = "PA";

// "> " + time stamp + "*" + kind + "#" + text, sealed.
std::string MakeCommand(const os::LocalTime& t, int kind, const std::string& text);

// The bytes to append for a record when the file's end is at `endPos`: the record
// alone in an empty file, else CR LF + record + CR LF.
std::string FrameCommand(const std::string& record, uint64_t endPos);

// Splits the file's bytes into lines at CR LF and at LF. Empty lines are kept (the
// reader skips them); a final line break gives a final empty line.
std::vector<std::string> SplitLines(const std::string& bytes);

// A line the recovery reads: it begins with ">".
inline bool IsCommandLine(const std::string& line) { return !line.empty() && line[0] == '>'; }

// A command record with its seal removed, taken apart: the kind is the decimal
// number between the first "*" and the first "#", the text everything after that
// "#". False when the kind is not a number (no "*" or "#", "#" before "*", an empty
// field, anything but digits, or more digits than a kind can have); `kind` and
// `text` are then untouched.
bool ParseCommand(const std::string& record, int& kind, std::string& text);

// Command 6: source + "<" + backup + checksum + size, each number "%.10u".
std::string MakeRestoreText(const std::string& source, const std::string& backup,
                            uint32_t checksum, uint32_t size);
// Takes a command 6 text apart: size is the last 10 characters, checksum the 10
// before them (each a decimal number, its low 32 bits kept); of the rest, target is
// what stands before the first "<" and backup what follows it. False when the text
// is too short, a number field holds anything but digits, there is no "<", or
// either path is empty.
bool ParseRestoreText(const std::string& text, std::string& target, std::string& backup,
                      uint32_t& checksum, uint32_t& size);

// Command 9: "z<" + path + checksum + size ("0000000000" for values not computed).
std::string MakeDropText(const std::string& path, uint32_t checksum = 0, uint32_t size = 0);
// The path of a command 9 text: everything after the first "<" once the last 20
// characters are cut. It may be kNoPath. False when the text is too short, the
// last 20 characters are not digits, there is no "<", or the path is empty.
bool ParseDropText(const std::string& text, std::string& path);

// Command 3: the token of the ownership mark that the run put into `folder` (32
// hexadecimal digits), whether the run made the folder ("1") or took it empty
// ("0"), and the folder: token + "|" + made + "|" + folder.
std::string MakeOwnerText(const std::string& folder, const std::string& token, bool made);
// False when the text is not of that form or the folder is empty.
bool ParseOwnerText(const std::string& text, std::string& folder, std::string& token, bool& made);

// True when `record` (seal removed) restores or removes an item that lies outside
// `folder` (which ends in a backslash; the folder itself is inside), letter case
// aside. False for every other record, and for a removal that names nothing.
bool ChangesOutside(const std::string& record, const std::string& folder);

// The number of a command 2 text; -1 when the text is not a whole decimal number
// (an optional sign, then digits, within the range of an int).
int ReadVariant(const std::string& text);

}  // namespace journal
