// Windows-1251 text helpers. The core keeps every text as CP1251 bytes in a
// std::string; UTF-8 appears only at the edges (Linux file names, a terminal).
#pragma once

#include <string>
#include <string_view>

namespace cp1251 {

// CP1251 bytes to UTF-8. Every byte has a meaning (0x98 becomes U+FFFD).
std::string ToUtf8(std::string_view text);
// UTF-8 to CP1251. Characters CP1251 cannot hold, and malformed sequences, become
// '?'; `ok` (when given) is cleared if that happened.
std::string FromUtf8(std::string_view text, bool* ok = nullptr);

char ToUpper(char c);  // Latin and Cyrillic letters, as the Russian locale does
char ToLower(char c);
std::string Upper(std::string_view text);
std::string Lower(std::string_view text);
bool EqualNoCase(std::string_view a, std::string_view b);
// Locale-like comparison without regard to case: <0, 0, >0.
int CompareNoCase(std::string_view a, std::string_view b);

}  // namespace cp1251
