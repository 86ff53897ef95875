// Reading the installer's own file: the real length and the catalogue listing. TForm1::ReadPackage (reader.cpp) puts them together.
#pragma once

#include <cstdint>
#include <string>

#include "files/package_file.h"
#include "format/package_format.h"
#include "platform/os.h"

class TForm1;

namespace pkg {



// The real length of the open executable (0 when it cannot be found) and, in
// `fileLength`, the file's length. A read the system refuses is written as a
// protocol line of kind 26. Leaves the stream at offset 0.
uint32_t GetRealLength(TForm1& form, os::File& stream, uint32_t& fileLength);


// One kind 0 protocol line of the catalogue listing (see pkg::ListingLine).
void LogEntryLine(TForm1& form, uint8_t kind, const std::string& name, int j, int b);

}  // namespace pkg
