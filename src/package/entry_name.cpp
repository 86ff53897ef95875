#include "package/entry_name.h"

#include <vector>

#include "common/cp1251.h"

namespace pkg {
namespace {

// Device names are reserved in every folder, with or without an extension.
bool IsDeviceName(const std::string& component) {
  std::string base = cp1251::Upper(component.substr(0, component.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* d : kDevices)
    if (base == d) return true;
  if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
      base[3] >= '0' && base[3] <= '9')
    return true;
  return false;
}

}  // namespace

std::string CheckEntryName(const std::string& name, const std::string& journalName) {
  if (name.empty()) return "пустое имя";
  if (name.size() > kMaxEntryName) return "слишком длинное имя";
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) return "управляющий символ в имени";
    if (c == ':' || c == '/' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' ||
        c == '|')
      return "недопустимый символ в имени";
  }
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t slash = name.find('\\', start);
    parts.push_back(name.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  for (const std::string& part : parts) {
    if (part.empty()) return "имя вне папки установки";
    if (part == "." || part == "..") return "имя вне папки установки";
    if (part.back() == '.' || part.back() == ' ') return "точка или пробел в конце имени";
    if (IsDeviceName(part)) return "имя устройства";
  }
  const std::string first = cp1251::Upper(parts[0]);
  if (first == "ZUMUPDTA.TMP" || first == "ZUMUPDT.TMP" || first == "ZUMUPDTM.TMP")
    return "имя временной папки";
  if (parts.size() == 1 && cp1251::EqualNoCase(parts[0], journalName)) return "имя файла отката";
  return std::string();
}

}  // namespace pkg
