#include "format/entry_name.h"

#include <vector>

#include "base/cp1251.h"
#include "product/product.h"

namespace pkg {
namespace {

// Device names are reserved in every folder, with or without an extension.
bool IsDeviceName(const std::string& component) {
  std::string base = cp1251::Upper(component.substr(0, component.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
  for (const char* d : kDevices)
    if (base == d) return true;
  if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
      base[3] >= '0' && base[3] <= '9')
    return true;
  return false;
}

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t slash = path.find('\\', start);
    parts.push_back(path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return parts;
}

// A short alias as the file system makes it for a long name: up to six characters,
// "~", digits, and an extension of up to three ("ZUM_30~1.TXT").
bool IsShortAlias(const std::string& component) {
  const size_t tilde = component.find('~');
  if (tilde == std::string::npos || tilde == 0 || tilde > 6) return false;
  const size_t dot = component.find('.', tilde);
  const size_t digitsEnd = dot == std::string::npos ? component.size() : dot;
  if (digitsEnd == tilde + 1) return false;
  for (size_t i = tilde + 1; i < digitsEnd; ++i)
    if (component[i] < '0' || component[i] > '9') return false;
  return dot == std::string::npos || component.size() - dot - 1 <= 3;
}

}  // namespace

std::string CheckRelativePath(const std::string& path, size_t maxLength) {
  if (path.empty()) return "пустое имя";
  if (path.size() > maxLength) return "слишком длинное имя";
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7F) return "управляющий символ в имени";
    if (c == ':' || c == '/' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' ||
        c == '|')
      return "недопустимый символ в имени";
  }
  for (const std::string& part : Components(path)) {
    if (part.empty()) return "имя вне папки установки";
    if (part == "." || part == "..") return "имя вне папки установки";
    if (part.back() == '.' || part.back() == ' ') return "точка или пробел в конце имени";
    if (IsDeviceName(part)) return "имя устройства";
  }
  return std::string();
}

std::string CheckEntryName(const std::string& name, const std::string& journalName) {
  std::string why = CheckRelativePath(name);
  if (!why.empty()) return why;
  const std::vector<std::string> parts = Components(name);
  const std::string first = cp1251::Upper(parts[0]);
  if (first == product::kTempInInstall || first == product::kTempOnDrive || first == product::kTempChosen)
    return "имя временной папки";
  if (parts.size() == 1 && cp1251::EqualNoCase(parts[0], journalName)) return "имя файла отката";
  if (parts.size() == 1 && cp1251::EqualNoCase(parts[0], "Протокол_" + journalName))
    return "имя файла протокола";
  // On a disk with short names "ZUMUPD~1.TMP" or "ZUM_30~1.TXT" may be one of the
  // above under another name.
  if (first.rfind("ZUM", 0) == 0 && IsShortAlias(first)) return "короткое имя служебного файла";
  return std::string();
}

std::string CheckVersionText(const std::string& version) {
  if (version.find('\\') != std::string::npos) return "разделитель папок в версии";
  return CheckRelativePath(version, 64);
}

}  // namespace pkg
