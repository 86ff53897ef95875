// Reading the installer's own file: the package self-check, the real length and the
// catalogue listing. TForm1::ReadPackage (reader.cpp) puts them together.
#pragma once

#include <cstdint>
#include <string>

#include "package/checksum_file.h"
#include "package/package_format.h"
#include "platform/os.h"

class TForm1;

namespace pkg {

// A TByteSource over an open file. The stream position is left wherever the last
// read put it. A read outside the file fails quietly; a read the system refuses
// fails and keeps the system's text in Error().
class TFileSource final : public TByteSource {
 public:
  explicit TFileSource(os::File& file);
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t pos, void* buffer, size_t n) override;
  bool SizeKnown() const { return sizeKnown_; }
  const std::string& Error() const { return error_; }

 private:
  os::File& file_;
  uint64_t size_ = 0;
  bool sizeKnown_ = false;
  std::string error_;
};

// The trailer holds the file length and the checksum of everything before it (plus
// that length). Leaves the stream at offset 0.
bool CheckPackage(os::File& stream);

// The real length of the open executable (0 when it cannot be found) and, in
// `fileLength`, the file's length. A read the system refuses is written as a
// protocol line of kind 26. Leaves the stream at offset 0.
uint32_t GetRealLength(TForm1& form, os::File& stream, uint32_t& fileLength);

// Why the payload head of a catalogue entry cannot unpack into the entry's file ("" when
// it can, or when the entry is not one that is unpacked): a head cut short, a filter
// or LZMA properties the decoder does not know, an unpacked size of 0 or of 4 GiB and
// more, a dictionary over payload::kMaxDictionary that the unpacked size would not
// cut down, and for whole-file entries an unpacked size other than the file's NewSize.
std::string CheckPayloadHead(TByteSource& src, const TPartNfo& entry);

// One kind 0 protocol line of the catalogue listing (see pkg::ListingLine).
void LogEntryLine(TForm1& form, uint8_t kind, const std::string& name, int j, int b);

}  // namespace pkg
