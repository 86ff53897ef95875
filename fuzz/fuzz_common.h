// Shared by the fuzz harnesses: a private sandbox folder mapped as drive Z:, so that
// whatever a harness is made to do with paths stays inside it.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "platform/os.h"

namespace fuzz {

// Makes the sandbox once per process and maps Z: to it; returns "Z:\".
inline const std::string& Sandbox() {
  static const std::string root = [] {
    char folder[] = "/tmp/zumfuzz-XXXXXX";
    if (!mkdtemp(folder)) abort();
    setenv("ZUM_DRIVES", (std::string("Z=") + folder).c_str(), 1);
    setenv("ZUM_RUNTIME_DIR", folder, 1);
    return std::string("Z:\\");
  }();
  return root;
}

inline void WriteFile(const std::string& path, const void* data, size_t size) {
  os::File f;
  if (!f.Open(path, os::kWrite, os::kShareAll, os::Disposition::CreateAlways)) abort();
  if (size && !f.Write(data, size)) abort();
}

inline std::string ReadFile(const std::string& path) {
  os::File f;
  std::string bytes;
  if (!f.Open(path, os::kRead, os::kShareAll, os::Disposition::OpenExisting)) return "<none>";
  char buffer[4096];
  size_t got = 0;
  while (f.Read(buffer, sizeof buffer, got) && got) bytes.append(buffer, got);
  return bytes;
}

}  // namespace fuzz
