#include "toolkit/toolkit.h"

namespace ui {
namespace {
Toolkit* g_current = nullptr;
}
Toolkit* Current() { return g_current; }
void SetCurrent(Toolkit* toolkit) { g_current = toolkit; }
}  // namespace ui
