#include "base/error.h"

#include "platform/os.h"

void ThrowOsError(const std::string& what) {
  std::string text = os::LastErrorText();
  throw EZumError(text.empty() ? what : what + ": " + text);
}
