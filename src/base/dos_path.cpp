#include "base/dos_path.h"

namespace dos {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ParentOf(const std::string& path) { return FolderOf(WithoutSlash(path)); }

std::string LeafOf(const std::string& path) {
  const size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string WithSlash(const std::string& folder) {
  return !folder.empty() && folder.back() != '\\' ? folder + '\\' : folder;
}

std::string WithoutSlash(const std::string& folder) {
  return !folder.empty() && folder.back() == '\\' ? folder.substr(0, folder.size() - 1) : folder;
}

}  // namespace dos
