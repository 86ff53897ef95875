// Names that the installed product and every installer agree on: the mutexes that
// tell whether the product or an installer is running, and where the installation
// folder is when an installer stands in the product's exe folder.
#pragma once

#include <string>

namespace product {

// The single-instance mutex of an installer: "ZUMUPDATEPROC_" + the file name of the
// running installer (without its folder), as the system reports it.
std::string SelfMutexName(const std::string& installerFileName);

// The mutex the running product holds: the full path of its executable, upper-cased
// with the locale's rules, every "\" turned into "_" (D:\Prog\ZUM\EXE\zum.exe gives
// D:_PROG_ZUM_EXE_ZUM.EXE). Letter case on disk does not matter.
std::string ProductMutexName(const std::string& exePath);

// The same for an installation folder (ending with a backslash), the name of its exe
// folder and of the executable, as the file system spells them.
std::string ProductMutexName(const std::string& installDir, const std::string& exeDirName,
                             const std::string& exeFileName);

// An installer standing in the product's exe folder: `dir` (with a trailing
// backslash) ends with "exe\" and holds no earlier "exe" in any letter case. Then
// `installDir` is its parent folder with a trailing backslash (D:\Prog\ZUM\EXE\ gives
// D:\Prog\ZUM\) and the result is true. D:\exec\ZUM\EXE\ does not qualify: its first
// "exe" is not its last.
bool InstallDirOfExeFolder(const std::string& dir, std::string& installDir);

}  // namespace product
