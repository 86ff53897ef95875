// The protocol log's formats: the kind phrases, the line checksum and the seal that
// every journal record carries, and the time-stamped protocol record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/local_time.h"

namespace prot {

// Protocol kinds: each selects the phrase that opens a protocol line ("...ОК",
// "Ошибка №", "Удаление файла", ...). The numbers are those of the product's
// protocol and stay as they are.
enum TProtKind : int {
  kProtPlain = 0,
  kProtOk = 1,
  kProtHadErrors = 2,
  kProtErrorNo = 3,
  kProtCancelled = 4,
  kProtCompareFiles = 5,
  kProtRestoreFile = 6,
  kProtUnpackFile = 7,
  kProtCopyFile = 8,
  kProtBackupFile = 9,
  kProtPackFile = 10,
  kProtDeleteFile = 11,
  kProtDeleteFolder = 12,
  kProtMoveFile = 13,
  kProtRollback = 14,
  kProtReadJournal = 15,
  kProtJournalDamaged = 16,
  kProtSkipStep = 17,
  kProtPrepareFile = 18,
  kProtBuildFile = 19,
  kProtChecksum = 20,
  kProtCompareChecksum = 21,
  kProtApplyDiff = 22,
  kProtWrongEdition = 23,
  kProtCatalogue = 24,
  kProtStampConfig = 25,
  kProtEmergency = 26,
};
constexpr int kKindCount = 27;
// The phrase that opens a line of the kind; "" for kinds outside 0..26.
const char* KindPrefix(int kind);
// prefix + " " + text
std::string MakeLine(int kind, const std::string& text);

// h = h + b; h = h - rotl(h, 13), for each byte, from 0.
uint32_t LineSum(const void* bytes, size_t count);
inline uint32_t LineSum(const std::string& s) { return LineSum(s.data(), s.size()); }

// Appends the 10-digit zero-padded LineSum of the record.
bool SealLine(std::string& record);
// The last 10 characters are the LineSum of the rest (a tail that is not a number
// counts as sealed).
bool IsSealed(const std::string& record);
// Cuts the seal; false when the record is shorter than 10 characters.
bool StripSeal(std::string& record);

// "dd.mm.yy hh:nn:ss.zzz"
std::string FormatTimeStamp(const os::LocalTime& t);
// "; " + time stamp + line, sealed.
std::string MakeRecord(const os::LocalTime& t, const std::string& line);
// The bytes that append a protocol record to a journal ending at `endPos`: the
// record, after a line break unless the journal is empty.
std::string FrameRecord(const std::string& record, uint64_t endPos);

}  // namespace prot
