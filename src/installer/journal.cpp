// The journal writer of the main window: opening and closing the journal file,
// command records, and the journalled copy through which every backup and every
// item of a copy is made.
#include <exception>

#include "installer/form1.h"
#include "files/copy.h"
#include "format/journal_record.h"
#include "files/checksum_file.h"
#include "toolkit/toolkit.h"

bool TForm1::JournalExists() { return !JournalFile.empty() && os::FileExists(JournalFile); }

bool TForm1::JournalStart() {
  try {
    // Our own open handle would make the open below fail on its share mode.
    JournalStream.Close();
    os::File stream;
    // Another writer is refused; readers (a viewer, a virus scanner) are not.
    if (!stream.Open(JournalFile, os::kRead | os::kWrite, os::kShareRead,
                     os::Disposition::OpenAlways)) {
      AddProt(prot::kProtEmergency, os::LastErrorText() + " ");
      return false;
    }
    JournalStream = std::move(stream);
    ChangesJournalled = 0;
    if (JournalMuted) return true;
    JournalCmd(journal::kCmdStart, journal::StartText());
    return true;
  } catch (const std::exception& e) {
    AddProt(prot::kProtEmergency, std::string(e.what()) + " ");
    return false;
  }
}

bool TForm1::JournalEnd() {
  if (!JournalStream.IsOpen()) return false;
  try {
    if (!JournalMuted) JournalCmd(journal::kCmdEnd, journal::EndText());
    JournalStream.Close();
    return true;
  } catch (const std::exception& e) {
    AddListLine(kCannotSaveJournal + std::string(e.what()) + " ");
    return false;
  }
}

bool TForm1::JournalCmd(journal::Command kind, const std::string& text, bool durable) {
  AddListLine("LogCmd " + std::to_string(kind) + " " + text);
  Toolkit()->ProtSelectLast();

  if (!JournalStream.IsOpen()) return false;
  if (JournalMuted) return true;
  std::string error;
  // The record must be on the disk before the change it names is made: a run that
  // dies right after the change is then still rolled back.
  if (AppendToJournal(journal::MakeCommand(os::Now(), kind, text), journal::FrameCommand, durable,
                      error)) {
    if (kind == journal::kCmdCopyDir || kind == journal::kCmdRestore || kind == journal::kCmdDrop ||
        kind == journal::kCmdReadOnly)
      ++ChangesJournalled;
    return true;
  }
  AddListLine(kCannotSaveJournal + error + " ");
  return false;
}

bool TForm1::JournalCopy(const std::string& source, const std::string& destination,
                         bool newItem) {
  try {
    if (!BackedUpFiles.insert(destination).second) return true;

    uint32_t checksum = 0, size = 0;
    // A kind 20 line, the size and checksum of the copy, a mark appended.
    auto sumCopy = [&] {
      AddProt(prot::kProtChecksum, destination);
      return ProtResult(SumFile(destination, checksum, size, &PrBar), false);
    };

    int command = journal::kCmdRestore;
    bool result = false;
    bool folder = false;
    std::string removable = destination;  // what a command 9 names for removal
    const bool sourceIsFile = os::FileExists(source);

    if (newItem || !sourceIsFile) command = journal::kCmdDrop;
    if (command == journal::kCmdDrop && !newItem) {
      // No file to back up: the run is about to add it, so the rollback has to
      // remove it again. A folder standing at that path is not removed (it was
      // there before the run); it keeps the marker that names nothing.
      removable = os::DirectoryExists(source) ? std::string(journal::kNoPath) : source;
      result = true;
    } else {
      if (!newItem) AddProt(prot::kProtBackupFile, source);
      AddProt(prot::kProtCopyFile, source + " в " + destination);
      if (sourceIsFile) {
        result = CopyFileBar(source, destination, &PrBar, false);
      } else {
        // A folder of the installation (or an item that vanished): the copy gets
        // the folder itself; its content comes item by item.
        os::CreateDir(destination);
        folder = true;
        result = true;
      }
      ProtResult(result, false);
      if (result && command == journal::kCmdRestore && !folder) result = sumCopy();
      if (!result) return false;
      if (!folder) result = CompareFiles(source, destination);
    }

    bool recorded;
    if (result && command == journal::kCmdRestore) {
      // A checksum of 0 may mean "not computed"; it costs little to be sure.
      if (checksum == 0 && !sumCopy()) return false;
      recorded = JournalCmd(journal::kCmdRestore,
                            journal::MakeRestoreText(source, destination, checksum, size));
    } else {
      recorded = JournalCmd(journal::kCmdDrop, journal::MakeDropText(removable, checksum, size),
                            !newItem);
    }
    // A change whose record is not in the journal could not be rolled back: the
    // caller must not make it.
    return result && recorded;
  } catch (const std::exception& e) {
    AddProt(prot::kProtEmergency, std::string(e.what()) + " ");
    return false;
  }
}
