// The catalogue compiled into the program, for platforms without string-table
// resources (the Win32 build loads the same texts from its resources).
#include "app/messages.h"

namespace {
struct Entry {
  int id;
  const char* text;
};
#define ZUM_MSG(id, text) {id, text},
const Entry kCatalogue[] = {
#include "app/catalogue.inc"
};
#undef ZUM_MSG
}  // namespace

std::string LoadCatalogueText(int id) {
  for (const Entry& e : kCatalogue)
    if (e.id == id) return e.text;
  return std::string();
}
