// The update package's byte layout, in both directions, as pure functions.
//
// A package is appended to an executable stub of real length R; N is the length of
// the whole file. All integers are little-endian and unsigned.
//
//   [0, R)                      the executable image
//   [R, R + entry area)         PartCount entries back to back
//   48 x PartCount              part records, same order as the entries
//   12                          catalogue header: PartCount, TmpSpaceNeed, growth
//   L1, u16 L1                  VerFrom text, then its length
//   L2, u16 L2                  VerTo text, then its length
//   4 x K, u16 K                build stamps, then their count
//   u32 N, u32 checksum         the trailer: the file length, and the additive
//                               checksum of bytes [0, N - 8) plus N
//
// Each length follows the thing it measures, so the tail is read backwards from the
// trailer. Entries: a SECTION is its kind byte and 8 reserved bytes; any other entry
// is kind, u16 NameLen, Name, u32 entry tag, payload.
//
// Parsers read through TByteReader (a span) or TByteSource (random access to a file
// or a buffer); every read is checked against the bytes that remain, and a parser
// that fails leaves its outputs partly filled but never reads outside its bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "format/part.h"

namespace pkg {

using TBytes = std::vector<uint8_t>;

constexpr size_t kSectionEntrySize = 9;      // kind + 8 reserved bytes
constexpr size_t kEntryHeadFixed = 7;        // kind + u16 NameLen + u32 tag
constexpr size_t kCatalogueHeaderSize = 12;
constexpr size_t kTrailerSize = 8;
constexpr uint32_t kGrowthReserve = 0xFFFF;  // added to the stored growth

// ---- reading ------------------------------------------------------------------------

// The bounds-checked reader (base/bytes.h).
using le::TByteReader;

// Random access to the bytes of a file or of a buffer.
class TByteSource {
 public:
  virtual ~TByteSource() = default;
  virtual uint64_t Size() const = 0;
  // Reads exactly n bytes at pos; false (nothing read) when [pos, pos + n) is not
  // all inside the source or the read fails.
  virtual bool ReadAt(uint64_t pos, void* buffer, size_t n) = 0;
};

class TSpanSource final : public TByteSource {
 public:
  explicit TSpanSource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint64_t Size() const override { return bytes_.size(); }
  bool ReadAt(uint64_t pos, void* buffer, size_t n) override;

 private:
  std::span<const uint8_t> bytes_;
};


// ---- writing ------------------------------------------------------------------------

void PutBytes(TBytes& out, std::span<const uint8_t> bytes);
void PutText(TBytes& out, const std::string& text);

// ---- part record and catalogue header ----------------------------------------------

void AppendPartRecord(TBytes& out, const TPartRecord& record);
bool ReadPartRecord(TByteReader& in, TPartRecord& record);
TPartRecord DecodePartRecord(const uint8_t (&bytes)[kPartRecordSize]);

struct TCatalogueHeader {
  uint32_t PartCount = 0;
  uint32_t TmpSpaceNeed = 0;
  uint32_t Growth = 0;  // sum of NewSize - OldSize, modulo 2^32
};
void AppendCatalogueHeader(TBytes& out, const TCatalogueHeader& header);
bool ReadCatalogueHeader(TByteReader& in, TCatalogueHeader& header);

// ---- versions, build stamps ---------------------------------------------------------

// The text, then its u16 length. False (nothing appended) for a text over 65,535.
bool AppendVersion(TBytes& out, const std::string& text);
// The stamps, then their u16 count. False (nothing appended) for more than 65,535.
bool AppendBuildStamps(TBytes& out, const std::vector<uint32_t>& stamps);

// The first three dot-separated components: the text up to its third '.', or all
// of it when it has fewer than three dots ("3.0.7.1" -> "3.0.7").
std::string CutVersion3(const std::string& version);

// The tail as found from the trailer backwards, each part within [begin, end):
// begin is the real length, end the start of the trailer (N - 8). The outputs are
// filled in reading order (stamps, VerTo, VerFrom), so after a failure what was read
// before it is kept; `verFromPos` is where VerFrom begins.
bool ReadStampsAndVersions(TByteSource& src, uint64_t begin, uint64_t end,
                           std::vector<uint32_t>& stamps, std::string& verTo,
                           std::string& verFrom, uint64_t& verFromPos);
// The 12 bytes that end at `end` (where VerFrom begins), not below `begin`.
bool ReadCatalogueHeaderBefore(TByteSource& src, uint64_t begin, uint64_t end,
                               TCatalogueHeader& header, uint64_t& headerPos);
// Where PartCount part records ending at headerPos begin; false when they would
// reach below `begin` (a catalogue that claims more entries than the file holds).
bool PartRecordsPos(uint64_t begin, uint64_t headerPos, uint32_t partCount,
                    uint64_t& recordsPos);

// ---- entries ----------------------------------------------------------------------

// The bytes of an entry in front of its payload.
struct TEntryHead {
  uint8_t Kind = 0;
  std::string Name;   // empty for SECTION
  uint32_t Tag = 0;   // written by the package writer, not interpreted
  uint32_t Size = 0;  // 9 for SECTION, 7 + NameLen for the others
};
// Reads the head of the entry at pos; it must lie inside [pos, end). On failure
// `head` holds what was read (the kind, when only the kind could be read).
bool ReadEntryHead(TByteSource& src, uint64_t pos, uint64_t end, TEntryHead& head);

// The protocol texts of the catalogue listing, for entry j of data block b:
//   "1. SECTION №1 (начало нового блока данных)", "1.2. DBBDIFF, файл base\std6",
//   "0.1. НЕИЗВЕСТНЫЙ ТИП ДАННЫХ!!!" (kinds 8 to 255, without the name).
const char* KindListingText(uint8_t kind);
std::string ListingLine(uint8_t kind, const std::string& name, int j, int b);

// The main window's title. The catalogue reader leaves a blank after it in both
// modes; the version match leaves none in update mode.
std::string PackageTitle(bool isCorrection, const std::string& verFrom,
                         const std::string& verFrom3, const std::string& verTo,
                         bool trailingBlankInUpdateMode);

// ---- the trailer --------------------------------------------------------------------

// Appends u32 M + 8 and u32 (AddSum of the M bytes) + M + 8, M being the current
// length. False (nothing appended) when the sealed package would reach 4 GiB.
bool SealPackage(TBytes& bytes);
// What the trailer of a file says and what its bytes sum to.
struct TSeal {
  uint32_t StoredLength = 0;  // the trailer's first u32: the file's length
  uint32_t StoredSum = 0;     // its second: AddSum of the bytes before it + the length
  uint32_t ComputedSum = 0;   // AddSum of the bytes before the trailer + the file's length
  bool LengthOk = false;      // the file is under 4 GiB and as long as the trailer says
  bool SumOk = false;         // LengthOk, and the checksum fits
};
// The one seal check: reads the trailer of `src` and sums every byte before it, in
// pieces, calling `progress` (when given) with the bytes summed so far and their
// total. A source shorter than a trailer is not sealed (all false). False only when
// a read fails.
bool ReadSeal(TByteSource& src, TSeal& seal,
              const std::function<void(uint64_t done, uint64_t total)>& progress = {});
// True when the last 8 bytes are a trailer that fits the rest.
bool IsSealedPackage(std::span<const uint8_t> bytes);
// Reverses SealPackage so that the package can be extended: drops the trailer.
// False, leaving the bytes alone, when they do not end in a trailer that fits them.
bool UnsealPackage(TBytes& bytes);

// Why the payload head of a catalogue entry cannot unpack into the entry's file ("" when
// it can, or when the entry is not one that is unpacked): a head cut short, a filter
// or LZMA properties the decoder does not know, an unpacked size of 0 or of 4 GiB and
// more, a dictionary over payload::kMaxDictionary that the unpacked size would not
// cut down, and for whole-file entries an unpacked size other than the file's NewSize.
std::string CheckPayloadHead(TByteSource& src, const TPartNfo& entry);

}  // namespace pkg
