#include "files/owner_mark.h"

#include <cstdio>
#include <random>

#include "files/folders.h"
#include "platform/os.h"
#include "product/product.h"

namespace {

constexpr const char kHeader[] = "ZUMUPD OWNER ";

std::string MarkText(const std::string& token) { return kHeader + token + "\r\n"; }

}  // namespace

std::string NewOwnerToken() {
  std::random_device source;
  std::string token;
  for (int i = 0; i < 4; ++i) {
    char piece[9];
    std::snprintf(piece, sizeof piece, "%08x", static_cast<unsigned>(source()));
    token += piece;
  }
  return token;
}

bool WriteOwnerMark(const std::string& folder, const std::string& token) {
  const std::string text = MarkText(token);
  os::File file;
  return file.Open(folder + product::kOwnerMark, os::kWrite, os::kShareNone,
                   os::Disposition::CreateAlways) &&
         file.Write(text.data(), text.size()) && file.Flush();
}

bool OwnerMarkMatches(const std::string& folder, const std::string& token) {
  const std::string path = folder + product::kOwnerMark;
  uint32_t attr = 0;
  if (IsLink(folder) || !os::GetAttributes(path, attr) ||
      (attr & (os::kAttrDirectory | os::kAttrReparsePoint)))
    return false;
  const std::string expected = MarkText(token);
  os::File file;
  uint64_t size = 0;
  if (!file.Open(path, os::kRead, os::kShareRead, os::Disposition::OpenExisting) ||
      !file.Size(size) || size != expected.size())
    return false;
  std::string text(expected.size(), '\0');
  return file.ReadExact(text.data(), text.size()) && text == expected;
}

bool RemoveOwnerMark(const std::string& folder) {
  const std::string path = folder + product::kOwnerMark;
  uint32_t attr = 0;
  if (!os::GetAttributes(path, attr)) return true;
  return (attr & os::kAttrReparsePoint) ? os::RemoveLink(path) : os::DeleteFile(path);
}
