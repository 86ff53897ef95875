#include "product/names.h"

#include "base/cp1251.h"

namespace product {

std::string SelfMutexName(const std::string& installerFileName) {
  return "ZUMUPDATEPROC_" + installerFileName;
}

std::string ProductMutexName(const std::string& exePath) {
  std::string name = cp1251::Upper(exePath);
  for (char& c : name)
    if (c == '\\') c = '_';
  return name;
}

std::string ProductMutexName(const std::string& installDir, const std::string& exeDirName,
                             const std::string& exeFileName) {
  return ProductMutexName(installDir + exeDirName + "\\" + exeFileName);
}

bool InstallDirOfExeFolder(const std::string& dir, std::string& installDir) {
  const size_t pos = cp1251::Lower(dir).find("exe");
  // The first "exe" must be the final component's name: "...\exe\".
  if (pos == std::string::npos || dir.size() < 4 || pos != dir.size() - 4 || dir.back() != '\\')
    return false;
  std::string parent = dir.substr(0, dir.size() - 1);
  const size_t slash = parent.find_last_of('\\');
  if (slash == std::string::npos) return false;
  installDir = parent.substr(0, slash + 1);
  return true;
}

}  // namespace product
