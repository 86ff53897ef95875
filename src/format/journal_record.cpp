#include <cctype>
#include <cstdint>
#include <cstdio>

#include "format/protocol_record.h"
#include "base/cp1251.h"
#include "format/journal_record.h"
#include "base/dos_path.h"

namespace journal {
namespace {

constexpr size_t kNumberWidth = 10;  // "%.10u"
constexpr size_t kNumbersWidth = 2 * kNumberWidth;

std::string Number10(uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.10u", static_cast<unsigned>(value));
  return buf;
}

bool AllDigits(const std::string& s, size_t from, size_t count) {
  for (size_t i = from; i < from + count; ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// A 10-digit field as written by "%.10u"; values above 32 bits keep their low bits.
uint32_t ReadNumber10(const std::string& s, size_t from) {
  uint64_t value = 0;
  for (size_t i = from; i < from + kNumberWidth; ++i) value = value * 10 + (s[i] - '0');
  return static_cast<uint32_t>(value);
}

}  // namespace

std::string FileName(const std::string& verTo) { return "zum_" + verTo + ".txt"; }

const std::string& StartText() {
  static const std::string text = "Запуск";
  return text;
}

const std::string& EndText() {
  static const std::string text = "Конец";
  return text;
}

std::string MakeCommand(const os::LocalTime& t, int kind, const std::string& text) {
  std::string record = "> " + prot::FormatTimeStamp(t) + "*" + std::to_string(kind) + "#" + text;
  prot::SealLine(record);
  return record;
}

std::string FrameCommand(const std::string& record, uint64_t endPos) {
  if (endPos == 0) return record;
  return "\r\n" + record + "\r\n";
}

std::vector<std::string> SplitLines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    size_t lf = bytes.find('\n', start);
    size_t end = lf == std::string::npos ? bytes.size() : lf;
    size_t len = end - start;
    if (lf != std::string::npos && len > 0 && bytes[end - 1] == '\r') --len;
    lines.push_back(bytes.substr(start, len));
    if (lf == std::string::npos) break;
    start = lf + 1;
  }
  return lines;
}

bool ParseCommand(const std::string& record, int& kind, std::string& text) {
  const size_t star = record.find('*');
  const size_t hash = record.find('#');
  if (star == std::string::npos || hash == std::string::npos || hash < star) return false;
  const size_t digits = hash - star - 1;
  // Kinds are small; nine digits cannot overflow an int.
  if (digits == 0 || digits > 9 || !AllDigits(record, star + 1, digits)) return false;
  kind = std::stoi(record.substr(star + 1, digits));
  text = record.substr(hash + 1);
  return true;
}

std::string MakeRestoreText(const std::string& source, const std::string& backup,
                            uint32_t checksum, uint32_t size) {
  return source + "<" + backup + Number10(checksum) + Number10(size);
}

bool ParseRestoreText(const std::string& text, std::string& target, std::string& backup,
                      uint32_t& checksum, uint32_t& size) {
  if (text.size() < kNumbersWidth) return false;
  const size_t paths = text.size() - kNumbersWidth;
  if (!AllDigits(text, paths, kNumbersWidth)) return false;
  const size_t lt = text.find('<');
  if (lt == std::string::npos || lt >= paths) return false;
  if (lt == 0 || lt + 1 == paths) return false;
  target = text.substr(0, lt);
  backup = text.substr(lt + 1, paths - lt - 1);
  checksum = ReadNumber10(text, paths);
  size = ReadNumber10(text, paths + kNumberWidth);
  return true;
}

std::string MakeDropText(const std::string& path, uint32_t checksum, uint32_t size) {
  return "z<" + path + Number10(checksum) + Number10(size);
}

bool ParseDropText(const std::string& text, std::string& path) {
  if (text.size() < kNumbersWidth) return false;
  const size_t rest = text.size() - kNumbersWidth;
  if (!AllDigits(text, rest, kNumbersWidth)) return false;
  const size_t lt = text.find('<');
  if (lt == std::string::npos || lt + 1 >= rest) return false;
  path = text.substr(lt + 1, rest - lt - 1);
  return true;
}

std::string MakeOwnerText(const std::string& folder, const std::string& token, bool made) {
  return token + "|" + (made ? "1" : "0") + "|" + folder;
}

bool ParseOwnerText(const std::string& text, std::string& folder, std::string& token, bool& made) {
  constexpr size_t kToken = 32;
  if (text.size() < kToken + 4 || text[kToken] != '|' || text[kToken + 2] != '|') return false;
  for (size_t i = 0; i < kToken; ++i)
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  if (text[kToken + 1] != '0' && text[kToken + 1] != '1') return false;
  token = text.substr(0, kToken);
  made = text[kToken + 1] == '1';
  folder = text.substr(kToken + 3);
  return true;
}

bool ChangesOutside(const std::string& record, const std::string& folder) {
  int kind = 0;
  std::string text, path, backup;
  uint32_t checksum = 0, size = 0;
  if (!ParseCommand(record, kind, text)) return false;
  if (!(kind == kCmdRestore && ParseRestoreText(text, path, backup, checksum, size)) &&
      !(kind == kCmdDrop && ParseDropText(text, path) && path != kNoPath))
    return false;
  path = dos::WithSlash(path);
  return folder.empty() || path.size() < folder.size() ||
         !cp1251::EqualNoCase(std::string_view(path).substr(0, folder.size()), folder);
}

int ReadVariant(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  if (i == text.size() || text.size() - i > 10 || !AllDigits(text, i, text.size() - i)) return -1;
  int64_t value = std::stoll(text.substr(i));
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return -1;
  return static_cast<int>(value);
}

}  // namespace journal
