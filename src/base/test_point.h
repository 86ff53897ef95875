// Named points in long operations where tests can act (typically: end the process
// there, to prove that the next start recovers). Off unless a test sets the hook.
#pragma once

namespace testpoint {

using Hook = void (*)(const char* point);
extern Hook g_hook;

inline void Hit(const char* point) {
  if (g_hook) g_hook(point);
}

}  // namespace testpoint
