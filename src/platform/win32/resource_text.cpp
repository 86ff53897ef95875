// Texts of the executable's string table (resources.rc), loaded by number.
#include <string>

#include "platform/os.h"

#include <windows.h>

namespace {
// The catalogue's texts are Windows-1251 whatever the system's ANSI code page is.
constexpr UINT kCatalogueCodePage = 1251;
}  // namespace

namespace os {

std::string ResourceText(int id) {
  if (id < 0 || id > 0xFFFF) return std::string();
  // With a length of 0 the loader hands out the resource's own read-only copy: its
  // exact length, no buffer to outgrow, no 255-character limit.
  const wchar_t* text = nullptr;
  const int length = LoadStringW(GetModuleHandleW(nullptr), static_cast<UINT>(id),
                                 reinterpret_cast<LPWSTR>(&text), 0);
  if (length <= 0 || text == nullptr) return std::string();
  const int bytes =
      WideCharToMultiByte(kCatalogueCodePage, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string result(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(kCatalogueCodePage, 0, text, length, result.data(), bytes, nullptr,
                      nullptr);
  return result;
}

}  // namespace os
