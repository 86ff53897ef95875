// Writing BDT patches (layout in patch.h): the bytes of a patch from records and
// literal data as given, and a plain reference diff that finds the runs two files
// have in common by hashing blocks of the old file.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "format/patch.h"

namespace bdt {

// Header, records and literal data exactly as given, checked against nothing: a
// patch may be made to break any rule on purpose.
std::vector<uint8_t> WritePatch(uint32_t oldSize, uint32_t newSize,
                                std::span<const TPatchRecord> records,
                                std::span<const uint8_t> literals);

// A patch that turns `oldFile` into `newFile`. Every aligned block of the old file
// is indexed by a hash; the new file is scanned with a rolling hash, and a run that
// matches is grown both ways and copied, the bytes between runs becoming literal
// data. The new file's last literal bytes are left to the tail. Not minimal, but
// it finds moved, inserted and deleted stretches as well as changed bytes. False
// when a file is 2 GiB or larger (a Seek could not reach every position).
bool MakeDiff(std::span<const uint8_t> oldFile, std::span<const uint8_t> newFile,
              std::vector<uint8_t>& patch);

}  // namespace bdt
