// The protocol as the main window keeps it: the list box's lines, each also a
// sealed record of the journal once the journal is open, and the protocol file.
#include <exception>

#include "format/protocol_record.h"
#include "installer/form1.h"
#include "toolkit/toolkit.h"

bool TForm1::AddProt(TProtKind kind, const std::string& text, bool newLine) {
  const std::string line = prot::MakeLine(kind, text);
  if (newLine || protLines_.empty()) {
    protLines_.push_back(line);
    toolkit_->ProtAdd(line);
  } else {
    protLines_.back() += " " + line;
    toolkit_->ProtReplaceLast(protLines_.back());
  }
  toolkit_->ProtSelectLast();

  if (!JournalStream.IsOpen()) return false;
  if (JournalMuted) return true;
  std::string error;
  if (AppendToJournal(prot::MakeRecord(os::Now(), line), prot::FrameRecord, false, error))
    return true;
  AddListLine(kCannotSaveJournal + error + " ");
  return false;
}

bool TForm1::AppendToJournal(const std::string& record,
                             std::string (*frame)(const std::string&, uint64_t), bool durable,
                             std::string& error) {
  try {
    uint64_t end = 0;
    if (JournalStream.SeekEnd(end)) {
      const std::string bytes = frame(record, end);
      if (JournalStream.Write(bytes.data(), bytes.size()) && (!durable || JournalStream.Flush()))
        return true;
    }
    error = os::LastErrorText();
  } catch (const std::exception& e) {
    error = e.what();
  }
  return false;
}

void TForm1::AddListLine(const std::string& line) {
  protLines_.push_back(line);
  toolkit_->ProtAdd(line);
}

bool TForm1::SaveProtocol(const std::string& path, std::string& error) const {
  std::string text;
  for (const std::string& line : protLines_) text += line + "\r\n";
  os::File f;
  if (!f.Open(path, os::kWrite, os::kShareNone, os::Disposition::CreateAlways) ||
      !f.Write(text.data(), text.size())) {
    error = os::LastErrorText();
    return false;
  }
  return true;
}
