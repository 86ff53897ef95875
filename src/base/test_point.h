// Named points in long operations where tests can act (typically: end the process
// there, to prove that the next start recovers, or sample what is on disk). Off
// unless a test sets the hook. The points: "unpack" (an entry's payload is being
// unpacked), "backed-up" (a target's backup is made, its applier not yet run),
// "stamp" (the configuration file is deleted, not yet written again),
// "dbb-patched" (a base file's target holds the plain patched file), "rekey-step"
// (each step of the progress bar while a base file is converted), "pe-moved" (the
// executable has been moved aside).
#pragma once

#include <functional>

namespace testpoint {

using Hook = std::function<void(const char* point)>;
extern Hook g_hook;

inline void Hit(const char* point) {
  if (g_hook) g_hook(point);
}

}  // namespace testpoint
