#include "base/dos_path.h"

#include "base/cp1251.h"

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

bool IsInside(const std::string& path, const std::string& folder) {
  return !folder.empty() && folder.back() == '\\' && path.size() > folder.size() &&
         cp1251::EqualNoCase(std::string_view(path).substr(0, folder.size()), folder);
}

}  // namespace dos
