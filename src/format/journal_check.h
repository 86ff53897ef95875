// What the recovery checks before it trusts a journal file. The journal is a plain
// text file beside the installation: anything may have written it. Before a single
// record is replayed, the records are checked to be what this installer writes for
// this installation, so that a damaged or forged journal is refused as a whole and
// never makes the recovery (or the driver after it) touch anything outside the
// installation and the copy and temporary folders that the journal declares.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace journal {

// A record whose last 10 characters are the decimal LineSum of the rest. Unlike the
// protocol's own check, a tail that is not 10 digits is not taken as sealed: a
// record cut short by a power loss must not pass.
bool IsRecordSealed(const std::string& record);

// A power loss can tear the journal's last write. `lines` are the file's lines
// (SplitLines); when the last one is a command record that fails its seal and has
// no line break after it (every command record but a file's first is written
// followed by CR LF), it is a write that never completed: the change it would have
// protected was never started. It is removed and true returned. A record that
// fails its seal anywhere else, or with its line break after it, is damage.
bool DropTornLastRecord(std::vector<std::string>& lines);

// What the checks know besides the journal.
struct TJournalFacts {
  std::string InstallDir;   // the installation, with its trailing backslash
  std::string JournalName;  // the journal file's name in it
  std::string WindowsDir;   // the system's folder; "" when unknown
  std::string DesktopDir;   // the user's desktop, with its trailing backslash; "" when none
  // The size of an existing file; false when there is no file at the path.
  std::function<bool(const std::string& path, uint64_t& size)> FileSize;
};

struct TJournalVerdict {
  std::string Why;     // "" when the journal may be replayed; else why not (CP1251)
  std::string Record;  // the record that broke a rule, seal removed; may be ""
};

// Why `folder` (a full path with its trailing backslash) cannot be a copy folder
// of the installation `installDir` (with its trailing backslash) on a system whose
// folder is `windowsDir` ("" when unknown); "" when it can. The update-variant
// dialog judges the user's folder by this very rule, and the journal check judges
// every folder a journal declares by it: a folder the dialog takes is never one
// that a later recovery refuses.
std::string CheckCopyFolder(const std::string& folder, const std::string& installDir,
                            const std::string& windowsDir);

// Checks the command records of a journal (oldest first, seals removed, each one
// already known to parse):
// - every copy folder (command 1) and temporary folder (command 8) is an absolute
//   folder that is not a drive root, the installation or a folder holding it, nor
//   a system folder; a temporary folder is one of the installer's own names;
// - in the records that the rollback replays (after the last start record): every
//   path lies inside the installation or a copy or temporary folder declared
//   before it (a restore's target in the installation or a copy, its backup in a
//   temporary folder's BAK<n> tree under the same name; a temporary folder that no
//   record declares is taken from the backup's path when it is one the installer
//   could have made, since that record may have failed to reach the disk), or is
//   a shortcut file (".LNK") right in the desktop folder, and never is the journal
//   itself; the backup exists with its recorded size (its checksum is compared
//   when it is restored); no record appears twice, no backup is named twice, and
//   the backups of one file follow the data blocks in order.
TJournalVerdict CheckJournal(const std::vector<std::string>& records, const TJournalFacts& facts);

}  // namespace journal
