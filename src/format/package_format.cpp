#include "format/package_format.h"
#include "format/image.h"

#include "format/payload.h"

#include <algorithm>
#include <cstring>

#include "format/checksum.h"
#include "base/bytes.h"

namespace pkg {

// ---- reading ------------------------------------------------------------------------

bool TSpanSource::ReadAt(uint64_t pos, void* buffer, size_t n) {
  if (pos > bytes_.size() || n > bytes_.size() - pos) return false;
  if (n != 0) std::memcpy(buffer, bytes_.data() + pos, n);
  return true;
}

// ---- writing ------------------------------------------------------------------------

void PutBytes(TBytes& out, std::span<const uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

void PutText(TBytes& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }

// ---- part record and catalogue header ----------------------------------------------

namespace {

// The slots in their order in the package.
template <typename Record, typename F>
void ForEachSlot(Record& r, F f) {
  f(r.OldSize); f(r.OldSum); f(r.PrepSize); f(r.PrepSum);
  f(r.DiffSize); f(r.DiffSum); f(r.MidSize); f(r.MidSum);
  f(r.NewSize); f(r.NewSum); f(r.EntryLen); f(r.EntrySum);
}

}  // namespace

void AppendPartRecord(TBytes& out, const TPartRecord& record) {
  ForEachSlot(record, [&](uint32_t v) { le::Append32(out, v); });
}

TPartRecord DecodePartRecord(const uint8_t (&bytes)[kPartRecordSize]) {
  TPartRecord r;
  const uint8_t* p = bytes;
  ForEachSlot(r, [&](uint32_t& v) {
    v = le::Get32(p);
    p += 4;
  });
  return r;
}

bool ReadPartRecord(TByteReader& in, TPartRecord& record) {
  std::span<const uint8_t> bytes;
  if (!in.Bytes(kPartRecordSize, bytes)) return false;
  uint8_t raw[kPartRecordSize];
  std::memcpy(raw, bytes.data(), kPartRecordSize);
  record = DecodePartRecord(raw);
  return true;
}

void AppendCatalogueHeader(TBytes& out, const TCatalogueHeader& header) {
  le::Append32(out, header.PartCount);
  le::Append32(out, header.TmpSpaceNeed);
  le::Append32(out, header.Growth);
}

bool ReadCatalogueHeader(TByteReader& in, TCatalogueHeader& header) {
  TByteReader probe = in;
  TCatalogueHeader h;
  if (!probe.U32(h.PartCount) || !probe.U32(h.TmpSpaceNeed) || !probe.U32(h.Growth))
    return false;
  header = h;
  in = probe;
  return true;
}

// ---- versions, build stamps ---------------------------------------------------------

bool AppendVersion(TBytes& out, const std::string& text) {
  if (text.size() > 0xFFFF) return false;
  PutText(out, text);
  le::Append16(out, static_cast<uint16_t>(text.size()));
  return true;
}

bool AppendBuildStamps(TBytes& out, const std::vector<uint32_t>& stamps) {
  if (stamps.size() > 0xFFFF) return false;
  for (uint32_t s : stamps) le::Append32(out, s);
  le::Append16(out, static_cast<uint16_t>(stamps.size()));
  return true;
}

std::string CutVersion3(const std::string& version) {
  int dots = 0;
  for (size_t i = 0; i < version.size(); ++i)
    if (version[i] == '.' && ++dots == 3) return version.substr(0, i);
  return version;
}

namespace {

// Reads the u16 that ends at `end` and the `length` bytes in front of it, all
// inside [begin, end). `start` is where those bytes begin.
bool ReadCountedBefore(TByteSource& src, uint64_t begin, uint64_t end, uint16_t& length,
                       uint64_t& start) {
  uint8_t raw[2];
  if (end < begin || 2 > end - begin || !src.ReadAt(end - 2, raw, 2)) return false;
  length = le::Get16(raw);
  start = end - 2;
  return true;
}

bool ReadTextBefore(TByteSource& src, uint64_t begin, uint64_t end, std::string& text,
                    uint64_t& textPos) {
  uint16_t length;
  uint64_t lengthPos;
  if (!ReadCountedBefore(src, begin, end, length, lengthPos)) return false;
  if (length > lengthPos - begin) return false;
  std::string t(length, '\0');
  if (length != 0 && !src.ReadAt(lengthPos - length, t.data(), length)) return false;
  text = std::move(t);
  textPos = lengthPos - length;
  return true;
}

}  // namespace

bool ReadStampsAndVersions(TByteSource& src, uint64_t begin, uint64_t end,
                           std::vector<uint32_t>& stamps, std::string& verTo,
                           std::string& verFrom, uint64_t& verFromPos) {
  uint16_t count;
  uint64_t countPos;
  if (!ReadCountedBefore(src, begin, end, count, countPos)) return false;
  const uint64_t stampBytes = 4ull * count;
  if (stampBytes > countPos - begin) return false;
  const uint64_t stampsPos = countPos - stampBytes;
  TBytes raw(static_cast<size_t>(stampBytes));
  if (!raw.empty() && !src.ReadAt(stampsPos, raw.data(), raw.size())) return false;
  stamps.resize(count);
  for (size_t i = 0; i < count; ++i) stamps[i] = le::Get32(raw.data() + 4 * i);

  uint64_t verToPos;
  if (!ReadTextBefore(src, begin, stampsPos, verTo, verToPos)) return false;
  return ReadTextBefore(src, begin, verToPos, verFrom, verFromPos);
}

bool ReadCatalogueHeaderBefore(TByteSource& src, uint64_t begin, uint64_t end,
                               TCatalogueHeader& header, uint64_t& headerPos) {
  uint8_t raw[kCatalogueHeaderSize];
  if (end < begin || kCatalogueHeaderSize > end - begin) return false;
  if (!src.ReadAt(end - kCatalogueHeaderSize, raw, sizeof raw)) return false;
  TByteReader in(raw);
  if (!ReadCatalogueHeader(in, header)) return false;
  headerPos = end - kCatalogueHeaderSize;
  return true;
}

bool PartRecordsPos(uint64_t begin, uint64_t headerPos, uint32_t partCount,
                    uint64_t& recordsPos) {
  const uint64_t bytes = static_cast<uint64_t>(kPartRecordSize) * partCount;
  if (headerPos < begin || bytes > headerPos - begin) return false;
  recordsPos = headerPos - bytes;
  return true;
}

// ---- entries ----------------------------------------------------------------------

bool ReadEntryHead(TByteSource& src, uint64_t pos, uint64_t end, TEntryHead& head) {
  head = TEntryHead();
  if (pos >= end || !src.ReadAt(pos, &head.Kind, 1)) return false;
  const uint64_t left = end - pos - 1;
  if (head.Kind == kSection) {
    // The reserved bytes are skipped, not read; they only have to be there.
    if (kSectionEntrySize - 1 > left) return false;
    head.Size = kSectionEntrySize;
    return true;
  }
  uint8_t raw[4];
  if (2 > left || !src.ReadAt(pos + 1, raw, 2)) return false;
  const uint16_t nameLen = le::Get16(raw);
  if (static_cast<uint64_t>(nameLen) + 4 > left - 2) return false;
  std::string name(nameLen, '\0');
  if (nameLen != 0 && !src.ReadAt(pos + 3, name.data(), nameLen)) return false;
  if (!src.ReadAt(pos + 3 + nameLen, raw, 4)) return false;
  head.Name = std::move(name);
  head.Tag = le::Get32(raw);
  head.Size = static_cast<uint32_t>(kEntryHeadFixed + nameLen);
  return true;
}

const char* KindListingText(uint8_t kind) {
  switch (kind) {
    case kBinDiff: return "BINDIFF, файл ";
    case kDbbDiff: return "DBBDIFF, файл ";
    case kPe1Diff: return "PE1DIFF, файл ";
    case kPe2Diff: return "PE2DIFF, файл ";
    case kCfgDiff: return "CFGDIFF, файл ";
    case kAddRepl: return "ADDREPL, файл ";
    case kAddRepM: return "ADDREPM, файл ";
    case kSection: return "SECTION №";
    case kExtDiff: return "EXTDIFF, файл ";
    default: return "НЕИЗВЕСТНЫЙ ТИП ДАННЫХ!!!";
  }
}

std::string ListingLine(uint8_t kind, const std::string& name, int j, int b) {
  const std::string block = std::to_string(b);
  if (kind == kSection)
    return block + ". " + KindListingText(kind) + block + " (начало нового блока данных)";
  std::string line = block + "." + std::to_string(j) + ". " + KindListingText(kind);
  if (kind < kSection || kind == kExtDiff) line += name;
  return line;
}

std::string PackageTitle(bool isCorrection, const std::string& verFrom,
                         const std::string& verFrom3, const std::string& verTo,
                         bool trailingBlankInUpdateMode) {
  if (isCorrection)
    return "Исправление ZUM-5 (" + verFrom3 + ".X" + ") -> " + "ZUM-5 (" + verTo + ") ";
  return "Обновление ZUM-5 (" + verFrom + ") -> " + "ZUM-5 (" + verTo + ")" +
         (trailingBlankInUpdateMode ? " " : "");
}

// ---- the trailer --------------------------------------------------------------------

bool SealPackage(TBytes& bytes) {
  const uint64_t length = static_cast<uint64_t>(bytes.size()) + kTrailerSize;
  if (length > 0xFFFFFFFFu) return false;
  const uint32_t n = static_cast<uint32_t>(length);
  // The header fields that signing the file later rewrites count as zero.
  TSpanSource src(bytes);
  const uint32_t sum = AddSum(bytes) - SigningFieldsSum(src) + n;
  le::Append32(bytes, n);
  le::Append32(bytes, sum);
  return true;
}

bool ReadSeal(TByteSource& src, TSeal& seal,
              const std::function<void(uint64_t done, uint64_t total)>& progress) {
  seal = TSeal();
  const uint64_t n = src.Size();
  if (n < kTrailerSize) return true;
  uint8_t trailer[kTrailerSize];
  if (!src.ReadAt(n - kTrailerSize, trailer, sizeof trailer)) return false;
  seal.StoredLength = le::Get32(trailer);
  seal.StoredSum = le::Get32(trailer + 4);
  seal.LengthOk = n <= 0xFFFFFFFFu && seal.StoredLength == n;

  constexpr size_t kPiece = size_t{1} << 20;
  std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(n - kTrailerSize, kPiece)));
  TChecksum sum;
  const uint64_t total = n - kTrailerSize;
  for (uint64_t done = 0; done < total;) {
    const size_t k = static_cast<size_t>(std::min<uint64_t>(total - done, piece.size()));
    if (!src.ReadAt(done, piece.data(), k)) return false;
    sum.Update(piece.data(), k);
    done += k;
    if (progress) progress(done, total);
  }
  seal.ComputedSum = sum.Final() + static_cast<uint32_t>(n);
  // A package sums its bytes with the header fields that signing rewrites counted
  // as zero; packages made before that count them as they stand.
  const uint32_t unsigned_ = seal.ComputedSum - SigningFieldsSum(src);
  seal.SumOk = seal.LengthOk && (seal.ComputedSum == seal.StoredSum || unsigned_ == seal.StoredSum);
  return true;
}

bool IsSealedPackage(std::span<const uint8_t> bytes) {
  TSpanSource src(bytes);
  TSeal seal;
  return ReadSeal(src, seal) && seal.SumOk;
}

bool UnsealPackage(TBytes& bytes) {
  if (!IsSealedPackage(bytes)) return false;
  bytes.resize(bytes.size() - kTrailerSize);
  return true;
}

std::string CheckPayloadHead(TByteSource& src, const TPartNfo& entry) {
  // Only the kinds that the engine unpacks; the others stop the run anyway.
  if (!IsFileKind(entry.Kind)) return std::string();
  const uint64_t head = kEntryHeadFixed + entry.Name.size();
  uint8_t raw[payload::kHeaderSize];
  if (entry.EntryLen < head || entry.EntryLen - head < sizeof raw ||
      !src.ReadAt(uint64_t{entry.Pos} + head, raw, sizeof raw))
    return "заголовок сжатых данных неполон";
  payload::Header h;
  payload::ParseHeader(raw, sizeof raw, h);
  if (h.filter != payload::kFilterNone && h.filter != payload::kFilterX86)
    return "неизвестный фильтр";
  if (h.props[0] >= 9 * 5 * 5) return "недопустимые параметры LZMA";
  if (h.unpackedSize == 0 || h.unpackedSize > 0xFFFFFFFFu) return "недопустимый размер";
  if (payload::DecoderDictionary(h.dictSize, static_cast<uint32_t>(h.unpackedSize)) >
      payload::kMaxDictionary)
    return "словарь LZMA больше 64 МиБ";
  if ((entry.Kind == kAddRepl || entry.Kind == kAddRepM) && h.unpackedSize != entry.NewSize)
    return "размер не совпадает с размером файла в каталоге";
  return std::string();
}

}  // namespace pkg
