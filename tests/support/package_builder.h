// Packages of whole-file entries for the tests, made with the project's own writer
// and payload encoder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zt {

struct WholeFile {
  uint8_t kind;          // ADDREPL (5) or ADDREPM (6)
  std::string name;      // entry name, relative, backslashes
  std::string bytes;     // the new file
  uint32_t variant = 0;  // ADDREPM: 1 for the first edition, 2 for the second
  // When set, the unpacked size the payload's head declares in place of the file's
  // (a head that cannot make its file).
  uint64_t declaredSize = 0;
};

struct PackagePlan {
  std::string verFrom = "3.0.7";
  std::string verTo = "3.0.7.1";
  std::vector<uint32_t> stamps{0x55685DBC};
  bool section = true;   // a SECTION entry first
  std::vector<WholeFile> files;
};

// Writes the installer (a small PE stub) with the package appended to `dosPath`.
bool MakePackage(const std::string& dosPath, const PackagePlan& plan, std::string& error);

}  // namespace zt
