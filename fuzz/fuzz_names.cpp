// The entry-name check on any bytes. A name it accepts must stay inside the
// folder it is put in: no empty, "." or ".." component, no drive or stream colon,
// no leading separator, no control character, within the length limit.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "format/entry_name.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), size);
  if (!pkg::CheckEntryName(name, "zum_3.0.7.1.txt").empty()) return 0;
  if (name.empty() || name.size() > pkg::kMaxEntryName) abort();
  size_t start = 0;
  for (;;) {
    const size_t end = name.find('\\', start);
    const std::string part = name.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (part.empty() || part == "." || part == "..") abort();
    if (end == std::string::npos) break;
    start = end + 1;
  }
  for (unsigned char c : name)
    if (c < 0x20 || c == ':' || c == '/') abort();
  return 0;
}
