// The one reader of a package's catalogue. A package file is an executable image
// (the stub, `realLength` bytes) followed by the entries, the part records, the
// catalogue header, the version texts and build stamps, and the trailer. The
// catalogue is read from the trailer backwards and never below the real length;
// every offset and length is checked against the bytes that remain before it is
// used. Nothing is unpacked or checksummed here (see ReadSeal for the trailer's sum).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "format/package_format.h"
#include "format/part.h"

namespace pkg {

// The reader's steps, in order; a catalogue read whole ends at Done.
enum class TCatalogueStep {
  RealLength,    // nothing follows the executable image, or no trailer fits after it
  Versions,      // the build stamps and the version texts
  Header,        // the catalogue header in front of the version texts
  RecordsPlace,  // the part records between the entry area and the header
  Records,       // reading a part record
  EntryHead,     // an entry's head does not fit the entry area
  EntryLength,   // an entry's length does not fit its head or the entry area
  EntryArea,     // the entries do not end where the part records begin
  Done,
};

enum class TCatalogueStatus {
  Ok,
  NotAPackage,  // no package after the executable image
  Damaged,      // a field does not fit the file or the fields around it
  Unsupported,  // read whole, but an entry is of a kind this installer does not apply
};

struct TCatalogueEntry : TPartNfo {
  int Block = 0;          // its data block: the SECTIONs up to and including it
  int Number = 0;         // its number within the block; 0 for a SECTION
  uint32_t Tag = 0;       // the u32 after the name
  uint32_t HeadSize = 0;  // the bytes in front of the payload
};

struct TCatalogue {
  uint32_t RealLength = 0;
  std::vector<uint32_t> Stamps;
  std::string VerTo, VerFrom;
  uint64_t VerFromPos = 0;
  TCatalogueHeader Header;
  uint64_t HeaderPos = 0, RecordsPos = 0;
  // The part records read (all of them unless Step is Records). The first Walked
  // ones also have their place, kind, name and head; on EntryHead the entry that
  // failed has its place and the kind byte read, if any.
  std::vector<TCatalogueEntry> Entries;
  size_t Walked = 0;
  TCatalogueStep Step = TCatalogueStep::RealLength;  // the step that failed, or Done
  uint64_t FailedAt = 0;                             // the offset that step read at
};

// Reads the catalogue of `src`, whose executable image ends at `realLength`.
// Returns Ok or Unsupported with Step == Done; otherwise what was read before the
// failing step stays in `cat`, Step names it and FailedAt its offset.
TCatalogueStatus ReadCatalogue(TByteSource& src, uint32_t realLength, TCatalogue& cat);

}  // namespace pkg
