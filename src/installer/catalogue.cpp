// The message catalogue: the Windows build loads it from its string-table resource,
// the others have it compiled in. Both come from catalogue.inc.
#include "installer/messages.h"

#ifdef _WIN32

#include "platform/os.h"

std::string LoadCatalogueText(int id) { return os::ResourceText(id); }

#else

namespace {
struct Entry {
  int id;
  const char* text;
};
#define ZUM_MSG(id, text) {id, text},
const Entry kCatalogue[] = {
#include "installer/catalogue.inc"
};
#undef ZUM_MSG
}  // namespace

std::string LoadCatalogueText(int id) {
  for (const Entry& e : kCatalogue)
    if (e.id == id) return e.text;
  return std::string();
}

#endif
