// The sample product's data: its configuration record and its base files.
#include <cstring>

#include "product/product.h"
#include "sample.h"
#include "base/bytes.h"

namespace sample {

namespace {

void PutText(std::vector<uint8_t>& b, size_t at, const char* text) {
  std::memcpy(&b[at], text, std::strlen(text));
}

const char* const kWords[] = {
    "закон",     "постановление", "приказ",   "статья",   "пункт",    "редакция",
    "изменения", "дополнения",    "налог",    "ставка",   "отчет",    "форма",
    "порядок",   "учет",          "расчет",   "сумма",    "период",   "срок",
    "утвержден", "действует",     "Украины",  "Кабинета", "Министров", "от",
    "года",      "№",             "в",        "на",       "и",        "по",
};
constexpr uint32_t kWordCount = sizeof(kWords) / sizeof(kWords[0]);

const char* const kKinds[] = {"Закон", "Постановление", "Приказ", "Письмо"};

// One document's text, exactly `len` bytes.
void FillDocument(uint8_t* p, uint32_t len, uint32_t recordNo, Rng& rng) {
  std::string text = std::string(kKinds[recordNo % 4]) + " № " + std::to_string(100 + recordNo) +
                     " от " + std::to_string(1 + rng.Below(28)) + "." +
                     std::to_string(1 + rng.Below(12)) + "." +
                     std::to_string(1995 + rng.Below(15)) + ". ";
  while (text.size() < len) {
    text += kWords[rng.Below(kWordCount)];
    text += rng.Below(9) == 0 ? ". " : " ";
  }
  std::memcpy(p, text.data(), len);
}

}  // namespace

bool MakeConfig(const std::string& version, uint8_t edition, uint32_t seed,
                std::vector<uint8_t>& out, std::string& error) {
  if (version.empty() || version.size() + 1 > product::kConfigVersionField ||
      version.find('\0') != std::string::npos) {
    error = "the version text must have 1 to " + std::to_string(product::kConfigVersionField - 1) +
            " characters";
    return false;
  }
  Rng rng(0x4346470000000000ull ^ seed);
  std::vector<uint8_t> b(product::kConfigSize, 0);
  le::Set32(b, product::kConfigFlagsOffset, 0x00000013);
  PutText(b, 4, "ПК ZUM");
  std::memcpy(&b[product::kConfigVersionTextOffset], product::kConfigGeneration, 2);
  std::memcpy(&b[product::kConfigVersionOffset], version.c_str(), version.size() + 1);
  PutText(b, 70, "ООО \"Образец\"");
  b[product::kConfigEditionOffset] = edition;
  b[121] = 1;  // interface language: Russian
  b[122] = 1;  // Ukrainian data present
  le::Set32(b, product::kConfigFlagsAOffset, 0x00000204);
  le::Set32(b, product::kConfigFlagsBOffset, 0x00001000);
  PutText(b, 159, "Base\\");
  le::Set32(b, product::kConfigFormatLevelOffset, 21);
  // Further settings: small numbers, as a settings record holds.
  for (size_t i = product::kConfigFormatLevelOffset + 4; i < b.size(); ++i)
    b[i] = rng.Below(4) == 0 ? static_cast<uint8_t>(rng.Below(16)) : 0;
  out = std::move(b);
  return true;
}

std::vector<uint8_t> MakePlainBase(int number, uint32_t size, uint32_t seed) {
  if (size < kMinBaseSize) size = kMinBaseSize;
  Rng rng((static_cast<uint64_t>(seed) << 8) ^ 0x4241534500000000ull ^ static_cast<uint64_t>(number));
  uint32_t n = size / 4096;
  if (n < 1) n = 1;
  if (n > 2499) n = 2499;
  const uint32_t start = 8 + 8 * n;

  std::vector<uint8_t> b(size, 0);
  le::Set32(b, 0, size);
  le::Set32(b, 4, n);

  // Records: a head (u32 document number, u8 kind, u16 DataLen) and the text. The
  // last record takes what remains so that the file has exactly `size` bytes.
  std::vector<uint32_t> heads;
  uint32_t p = start, recordNo = static_cast<uint32_t>(number) * 10000;
  while (p < size) {
    const uint32_t remaining = size - p;
    uint32_t dataLen = 16 + rng.Below(600);
    if (dataLen + 7 > remaining || remaining - 7 - dataLen < 7 + 16) dataLen = remaining - 7;
    heads.push_back(p);
    le::Set32(b, p, recordNo);
    b[p + 4] = static_cast<uint8_t>(1 + recordNo % 4);
    b[p + 5] = static_cast<uint8_t>(dataLen);
    b[p + 6] = static_cast<uint8_t>(dataLen >> 8);
    FillDocument(&b[p + 7], dataLen, recordNo, rng);
    p += 7 + dataLen;
    ++recordNo;
  }

  // The index: n parts of consecutive records, each as (offset, length).
  const size_t r = heads.size();
  for (uint32_t i = 0; i < n; ++i) {
    const size_t first = i * r / n, last = (i + 1) * r / n;
    const uint32_t from = first < r ? heads[first] : size;
    const uint32_t to = last < r ? heads[last] : size;
    le::Set32(b, 8 + 8 * i, from);
    le::Set32(b, 12 + 8 * i, to - from);
  }
  return b;
}

}  // namespace sample
