// Builds an update package on an executable stub: the entries with their part
// records, the catalogue header, the version texts, the build stamps and the
// trailer (see package_format.h for the layout).
//
// The package must begin exactly at the stub's real length, since that is where the
// installer looks for it. A stub whose image does not end at its file length (a
// COFF symbol table, an overlay, a certificate table, an older package) is refused,
// or, when the caller asks for it, cut back to its image.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "format/package_format.h"

namespace pkg {

class PackageWriter {
 public:
  enum class StubFit { Refuse, TruncateToImage };

  struct TTail {
    std::string VerFrom;
    std::string VerTo;
    uint32_t TmpSpaceNeed = 0;
    // Stored as is when given; otherwise the sum over the entries of
    // NewSize - OldSize, modulo 2^32.
    std::optional<uint32_t> Growth;
    std::vector<uint32_t> BuildStamps;
  };

  // Takes the stub's bytes. False, with `error`, when they are not an executable
  // image, when its headers claim more than the file holds, or when bytes follow the
  // image and `fit` is Refuse.
  bool SetStub(TBytes stub, StubFit fit, std::string& error);
  bool LoadStub(const std::string& path, StubFit fit, std::string& error);
  uint32_t StubLength() const { return static_cast<uint32_t>(stub_.size()); }

  // A SECTION entry: its kind byte and 8 zero bytes, with an all-zero part record.
  void AddSection();
  // An entry of any other kind: kind, u16 NameLen, Name, u32 tag, payload. The part
  // record is `slots` with EntryLen and EntrySum set to the entry's length and
  // checksum. False, with `error`, for kind 7, a name over 65,535 bytes or an
  // entry that does not fit 32 bits.
  bool AddFile(uint8_t kind, const std::string& name, uint32_t tag,
               std::span<const uint8_t> payload, const TPartRecord& slots, std::string& error);

  size_t EntryCount() const { return records_.size(); }
  const std::vector<TPartRecord>& Records() const { return records_; }
  // Offset of entry i's kind byte in the finished package.
  uint64_t EntryPos(size_t i) const { return stub_.size() + entryOffsets_[i]; }

  // The whole sealed file: stub, entries, part records, catalogue header, versions,
  // build stamps and trailer. False, with `error`, without a stub, for a field
  // that does not fit its width, or when the file would reach 4 GiB.
  bool Finish(const TTail& tail, TBytes& package, std::string& error) const;
  bool WriteFile(const std::string& path, const TTail& tail, std::string& error) const;

 private:
  TBytes stub_;
  bool hasStub_ = false;
  TBytes entries_;
  std::vector<TPartRecord> records_;
  std::vector<uint64_t> entryOffsets_;
};

}  // namespace pkg
