#include "base/cp1251.h"

#include <cstdint>

namespace cp1251 {
namespace {

// Unicode code points of the bytes 0x80..0xFF.
constexpr uint16_t kHigh[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,};

void PutUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

char FromCodePoint(uint32_t cp, bool& ok) {
  if (cp < 0x80) return static_cast<char>(cp);
  for (int i = 0; i < 128; ++i)
    if (kHigh[i] == cp && cp != 0xFFFD) return static_cast<char>(0x80 + i);
  ok = false;
  return '?';
}

}  // namespace

std::string ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (unsigned char c : text) {
    if (c < 0x80)
      out += static_cast<char>(c);
    else
      PutUtf8(out, kHigh[c - 0x80]);
  }
  return out;
}

std::string FromUtf8(std::string_view text, bool* okOut) {
  std::string out;
  out.reserve(text.size());
  bool ok = true;
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    uint32_t cp;
    size_t len;
    if (c < 0x80) { cp = c; len = 1; }
    else if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; len = 2; }
    else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; len = 3; }
    else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; len = 4; }
    else { out += '?'; ok = false; ++i; continue; }
    if (i + len > text.size()) { out += '?'; ok = false; break; }
    bool bad = false;
    for (size_t k = 1; k < len; ++k) {
      unsigned char d = static_cast<unsigned char>(text[i + k]);
      if ((d & 0xC0) != 0x80) { bad = true; break; }
      cp = (cp << 6) | (d & 0x3F);
    }
    if (bad) { out += '?'; ok = false; ++i; continue; }
    out += FromCodePoint(cp, ok);
    i += len;
  }
  if (okOut) *okOut = ok;
  return out;
}

char ToUpper(char ch) {
  unsigned char c = static_cast<unsigned char>(ch);
  if (c >= 'a' && c <= 'z') return static_cast<char>(c - 32);
  if (c >= 0xE0) return static_cast<char>(c - 32);          // а..я
  if (c == 0xB8) return static_cast<char>(0xA8);            // ё
  if (c == 0xB3) return static_cast<char>(0xB2);            // і
  if (c == 0xBF) return static_cast<char>(0xAF);            // ї
  if (c == 0xBA) return static_cast<char>(0xAA);            // є
  if (c == 0xB4) return static_cast<char>(0xA5);            // ґ
  if (c == 0xA2) return static_cast<char>(0xA1);            // ў
  if (c == 0xBC) return static_cast<char>(0xA3);            // ј
  if (c == 0xBE) return static_cast<char>(0xBD);            // ѕ
  if (c == 0x90) return static_cast<char>(0x80);            // ђ
  if (c == 0x83) return static_cast<char>(0x81);            // ѓ
  if (c >= 0x9A && c <= 0x9F && c != 0x9B) return static_cast<char>(c - 0x10);  // љ њ ќ ћ џ
  return ch;
}

char ToLower(char ch) {
  unsigned char c = static_cast<unsigned char>(ch);
  if (c >= 'A' && c <= 'Z') return static_cast<char>(c + 32);
  if (c >= 0xC0 && c <= 0xDF) return static_cast<char>(c + 32);
  if (c == 0xA8) return static_cast<char>(0xB8);
  if (c == 0xB2) return static_cast<char>(0xB3);
  if (c == 0xAF) return static_cast<char>(0xBF);
  if (c == 0xAA) return static_cast<char>(0xBA);
  if (c == 0xA5) return static_cast<char>(0xB4);
  if (c == 0xA1) return static_cast<char>(0xA2);
  if (c == 0xA3) return static_cast<char>(0xBC);
  if (c == 0xBD) return static_cast<char>(0xBE);
  if (c == 0x80) return static_cast<char>(0x90);
  if (c == 0x81) return static_cast<char>(0x83);
  if (c >= 0x8A && c <= 0x8F && c != 0x8B) return static_cast<char>(c + 0x10);
  return ch;
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = ToUpper(c);
  return out;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = ToLower(c);
  return out;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (ToLower(a[i]) != ToLower(b[i])) return false;
  return true;
}

namespace {
// Sort key of a byte: letters by their place in the alphabet (ё after е), so that
// Cyrillic sorts after Latin and lists read as the Russian locale orders them.
int Key(char ch) {
  unsigned char c = static_cast<unsigned char>(ToLower(ch));
  if (c == 0xB8) return (0xE5 << 1) + 1;  // ё right after е
  return c << 1;
}
}  // namespace

int CompareNoCase(std::string_view a, std::string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    int ka = Key(a[i]), kb = Key(b[i]);
    if (ka != kb) return ka < kb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

}  // namespace cp1251
