// The sample product executable: a PE32 image with the chosen link time stamp.
#include <cstring>

#include "sample.h"
#include "base/bytes.h"

namespace sample {

namespace {

constexpr uint32_t kLfanew = 0x80;
constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kSectionAlignment = 0x1000;
constexpr uint32_t kOptionalHeaderSize = 224;
constexpr uint32_t kSectionHeaderSize = 40;

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
uint32_t AlignUp(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }

struct Section {
  const char* name;
  uint32_t rawSize;
  uint32_t characteristics;
};

// Code-like bytes: function frames, calls with relative targets, moves and returns,
// so that the image resembles compiled code to a difference generator.
void FillCode(uint8_t* p, size_t n, Rng& rng) {
  size_t i = 0;
  auto put = [&](uint8_t b) { if (i < n) p[i++] = b; };
  while (i < n) {
    switch (rng.Below(6)) {
      case 0: put(0x55); put(0x8B); put(0xEC); break;                // push ebp; mov ebp, esp
      case 1: {                                                      // call rel32
        put(0xE8);
        uint32_t rel = rng.Below(0x4000) - 0x2000;
        for (int k = 0; k < 4; ++k) put(static_cast<uint8_t>(rel >> (8 * k)));
        break;
      }
      case 2: put(0x8B); put(static_cast<uint8_t>(0x45 + 8 * rng.Below(4))); put(rng.Byte()); break;
      case 3: put(0x83); put(0xC4); put(static_cast<uint8_t>(4 * rng.Below(8))); break;
      case 4: put(0x5D); put(0xC3); break;                           // pop ebp; ret
      default: put(rng.Byte()); put(rng.Byte()); break;
    }
  }
}

// Initialised data: texts of the program and tables of numbers.
void FillData(uint8_t* p, size_t n, Rng& rng) {
  static const char* const kTexts[] = {"ПК ZUM", "Протокол", "Справочник", "Документ",
                                       "Настройки", "zum.hlp", "Base\\std", "Cfg\\CFG.ZUM"};
  size_t i = 0;
  while (i < n) {
    if (rng.Below(2) == 0) {
      const char* t = kTexts[rng.Below(sizeof(kTexts) / sizeof(kTexts[0]))];
      for (size_t k = 0; t[k] && i < n; ++k) p[i++] = static_cast<uint8_t>(t[k]);
      if (i < n) p[i++] = 0;
    } else {
      const uint32_t v = rng.Below(100000);
      for (int k = 0; k < 4 && i < n; ++k) p[i++] = static_cast<uint8_t>(v >> (8 * k));
    }
  }
}

}  // namespace

std::vector<uint8_t> MakePeImage(uint32_t stamp, uint32_t seed) {
  Rng rng(0x5045000000000000ull ^ seed);
  const Section sections[] = {
      {".text", kFileAlignment * (16 + rng.Below(16)), 0x60000020},  // code, execute, read
      {".data", kFileAlignment * (4 + rng.Below(8)), 0xC0000040},    // data, read, write
      {".rsrc", kFileAlignment * (2 + rng.Below(6)), 0x40000040},    // data, read
  };
  const uint32_t count = 3;
  const uint32_t optionalAt = kLfanew + 4 + 20;
  const uint32_t tableAt = optionalAt + kOptionalHeaderSize;
  const uint32_t headersSize = AlignUp(tableAt + count * kSectionHeaderSize, kFileAlignment);

  uint32_t fileSize = headersSize;
  for (const Section& s : sections) fileSize += s.rawSize;
  std::vector<uint8_t> b(fileSize, 0);

  // DOS header and the stub that says the program needs Windows.
  b[0] = 'M';
  b[1] = 'Z';
  Put16(b, 0x02, 0x90);   // bytes on the last page
  Put16(b, 0x04, 3);      // pages
  Put16(b, 0x08, 4);      // header paragraphs
  Put16(b, 0x0C, 0xFFFF); // maximum extra paragraphs
  Put16(b, 0x10, 0xB8);   // initial SP
  Put16(b, 0x18, 0x40);   // relocation table
  le::Set32(b, 0x3C, kLfanew);
  static const uint8_t kStubCode[] = {0x0E, 0x1F, 0xBA, 0x0E, 0x00, 0xB4, 0x09,
                                      0xCD, 0x21, 0xB8, 0x01, 0x4C, 0xCD, 0x21};
  std::memcpy(&b[0x40], kStubCode, sizeof(kStubCode));
  static const char kStubText[] = "This program cannot be run in DOS mode.\r\r\n$";
  std::memcpy(&b[0x40 + sizeof(kStubCode)], kStubText, sizeof(kStubText) - 1);

  // PE signature and file header.
  std::memcpy(&b[kLfanew], "PE\0\0", 4);
  const uint32_t fh = kLfanew + 4;
  Put16(b, fh + 0, 0x014C);  // i386
  Put16(b, fh + 2, static_cast<uint16_t>(count));
  le::Set32(b, fh + 4, stamp);
  Put16(b, fh + 16, kOptionalHeaderSize);
  Put16(b, fh + 18, 0x010F);  // executable, 32-bit, no relocations, stripped

  // Section layout: raw data back to back after the headers.
  uint32_t raw = headersSize, rva = kSectionAlignment;
  uint32_t rawOf[3], rvaOf[3];
  for (uint32_t i = 0; i < count; ++i) {
    rawOf[i] = raw;
    rvaOf[i] = rva;
    raw += sections[i].rawSize;
    rva += AlignUp(sections[i].rawSize, kSectionAlignment);
  }

  // Optional header (PE32).
  const uint32_t oh = optionalAt;
  Put16(b, oh + 0, 0x010B);
  b[oh + 2] = 2;   // linker version
  b[oh + 3] = 25;
  le::Set32(b, oh + 4, sections[0].rawSize);                          // code
  le::Set32(b, oh + 8, sections[1].rawSize + sections[2].rawSize);    // initialised data
  le::Set32(b, oh + 16, rvaOf[0] + 0x10);                             // entry point
  le::Set32(b, oh + 20, rvaOf[0]);                                    // base of code
  le::Set32(b, oh + 24, rvaOf[1]);                                    // base of data
  le::Set32(b, oh + 28, 0x00400000);                                  // image base
  le::Set32(b, oh + 32, kSectionAlignment);
  le::Set32(b, oh + 36, kFileAlignment);
  Put16(b, oh + 40, 4);                                           // OS version 4.0
  Put16(b, oh + 44, 5);                                           // image version 5.0
  Put16(b, oh + 48, 4);                                           // subsystem version 4.0
  le::Set32(b, oh + 56, rva);                                         // size of image
  le::Set32(b, oh + 60, headersSize);
  Put16(b, oh + 68, 2);                                           // Windows GUI
  le::Set32(b, oh + 72, 0x00100000);                                  // stack reserve
  le::Set32(b, oh + 76, 0x00004000);                                  // stack commit
  le::Set32(b, oh + 80, 0x00100000);                                  // heap reserve
  le::Set32(b, oh + 84, 0x00001000);                                  // heap commit
  le::Set32(b, oh + 92, 16);                                          // data directories
  le::Set32(b, oh + 96 + 2 * 8, rvaOf[2]);                            // resources
  le::Set32(b, oh + 96 + 2 * 8 + 4, sections[2].rawSize);

  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t at = tableAt + i * kSectionHeaderSize;
    std::memcpy(&b[at], sections[i].name, std::strlen(sections[i].name));
    le::Set32(b, at + 8, sections[i].rawSize);    // virtual size
    le::Set32(b, at + 12, rvaOf[i]);
    le::Set32(b, at + 16, sections[i].rawSize);
    le::Set32(b, at + 20, rawOf[i]);
    le::Set32(b, at + 36, sections[i].characteristics);
  }

  FillCode(&b[rawOf[0]], sections[0].rawSize, rng);
  FillData(&b[rawOf[1]], sections[1].rawSize, rng);
  for (uint32_t k = 0; k < sections[2].rawSize; ++k) b[rawOf[2] + k] = rng.Byte();
  return b;
}

bool SetPeStamp(std::vector<uint8_t>& image, uint32_t stamp, std::string& error) {
  if (image.size() < 64 || image[0] != 'M' || image[1] != 'Z') {
    error = "not a PE file: no DOS header";
    return false;
  }
  const uint32_t lfanew = le::Get32(image, 0x3C);
  // The signature and the 20-byte file header must lie inside the file.
  if (lfanew > image.size() || 24 > image.size() - lfanew ||
      std::memcmp(&image[lfanew], "PE\0\0", 4) != 0) {
    error = "not a PE file: no PE header";
    return false;
  }
  le::Set32(image, lfanew + 8, stamp);
  return true;
}

uint64_t Rng::Next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint32_t Rng::Below(uint32_t bound) { return static_cast<uint32_t>(Next() % bound); }

}  // namespace sample
