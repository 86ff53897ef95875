// Start-up checks: the package self-check, the single instance, the installation
// folder, the product executable, and the wait for a running product. Running
// product and installers are told apart from idle ones by named mutexes (the names
// are in product/names.h): the product holds the mutex of its own executable while
// it runs, and an installer that can create it keeps it for the rest of its run.
#include <exception>
#include <string>
#include <vector>

#include "installer/form1.h"
#include "installer/messages.h"
#include "product/names.h"
#include "product/product.h"
#include "base/dos_path.h"
#include "format/journal_record.h"

namespace {

// The first entry matching `pattern` (files always match; folders too with
// kAttrDirectory in the mask), as the file system spells it.
bool FindFirst(const std::string& pattern, uint32_t attrMask, std::string& name) {
  std::vector<os::FindEntry> found;
  if (!os::FindFiles(pattern, attrMask, found) || found.empty()) return false;
  name = found.front().name;
  return true;
}

// Critical-error boxes (an empty removable drive) stay off while this lives.
class QuietCriticalErrors {
 public:
  QuietCriticalErrors() : previous_(os::SetFailCriticalErrors()) {}
  ~QuietCriticalErrors() { os::RestoreErrorMode(previous_); }
  QuietCriticalErrors(const QuietCriticalErrors&) = delete;
  QuietCriticalErrors& operator=(const QuietCriticalErrors&) = delete;

 private:
  unsigned previous_;
};

constexpr unsigned kSettlePauseMs = 300;
constexpr unsigned kAttemptPauseMs = 1000;
constexpr int kAttempts = 10;

}  // namespace

bool TForm1::StartUp() {
  UpdateVariant = VariantNone;

  Say("Самопроверка");
  if (!ProtResult(ReadPackage(), true)) return false;

  Say("Проверка нескольких копий");
  if (!ProtResult(CheckSingle(), false)) return false;

  Say("Инициализация данных");
  if (ProtResult(InitData(), false)) return true;

  AddProt(prot::kProtErrorNo, "5015");
  ErrMsg(toolkit_, 5015);
  return false;
}

bool TForm1::CheckSingle() {
  bool taken = false;
  try {
    bool existed = false;
    const bool created = SelfMutex.Create(product::SelfMutexName(dos::LeafOf(ExePath())), existed);
    // The handle stays in SelfMutex either way; the window closes it when it goes.
    taken = created && !existed;
  } catch (const std::exception& e) {
    AddProt(prot::kProtEmergency, e.what());
    return false;
  }
  if (taken) return true;
  failCode_ = unattended::kExitAnotherUpdate;
  AddProt(prot::kProtErrorNo, "5005");
  ErrMsg(toolkit_, 5005);
  return false;
}

bool TForm1::InitData() {
  bool found = false;
  try {
    const std::string dir = dos::FolderOf(ExePath());
    InstallDir = dir;
    std::string name;
    if (FindFirst(dir + product::kExeDirName, os::kAttrDirectory, name)) {
      found = true;  // the installer stands in the installation folder
    } else {
      std::string parent;
      if (product::InstallDirOfExeFolder(dir, parent)) {
        InstallDir = parent;  // it stands in the installation's exe folder
        found = true;
      }
    }
  } catch (const std::exception& e) {
    AddProt(prot::kProtEmergency, e.what());
    found = false;
  }
  JournalFile = InstallDir + journal::FileName(VerTo);
  if (found) Say("Предположительно. Папка исходной ZUM: " + InstallDir);
  return found;
}

bool TForm1::FindProductExe(bool copy, bool quiet) {
  QuietCriticalErrors quietErrors;
  bool found = false;
  try {
    const std::string folder = copy ? CopyDir : InstallDir;
    if (copy) {
      // A copy that was never made has nothing to check.
      if (!os::DirectoryExists(folder)) return true;
      Say("Поиск исполняемого файла ZUM");
    }
    std::string exeDirName, exeName;
    found = FindFirst(folder + product::kExeDirName, os::kAttrDirectory, exeDirName) &&
            FindFirst(folder + exeDirName + "\\" + product::kExeFileName, os::kAttrAny, exeName);
    if (found) {
      (copy ? CopyMutexName : InstallMutexName) =
          product::ProductMutexName(folder, exeDirName, exeName);
    } else if (!quiet && !copy) {
      AddProt(prot::kProtErrorNo, "5009");
      ErrMsg(toolkit_, 5009);
    }
  } catch (const std::exception& e) {
    AddProt(prot::kProtEmergency, e.what());
    found = false;
  }
  return ProtResult(found, false);
}

bool TForm1::TryHoldProduct(bool copy) {
  os::NamedMutex& mutex = copy ? CopyMutex : InstallMutex;
  const std::string& name = copy ? CopyMutexName : InstallMutexName;
  if (mutex.IsHeld()) return true;
  // Without a name no product executable was found in the folder, so nothing can be
  // running from it; an unnamed mutex would be held by nobody else either.
  if (name.empty()) return true;
  bool existed = false;
  const bool created = mutex.Create(name, existed);
  if (!created || existed) {
    mutex.Close();
    return false;
  }
  return true;
}

bool TForm1::WaitProduct(bool copy) {
  for (;;) {
    SleepFn(kSettlePauseMs);
    SleepFn(kSettlePauseMs);
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
      if (TryHoldProduct(copy)) return false;
      Say("Программа ZUM либо еще одно обновление обнаружены в памяти. Ожидаем 1 секунду. Попытка " +
          std::to_string(attempt) + " из 10");
      SleepFn(kAttemptPauseMs);
    }
    if (!AskMsg1(toolkit_, 3007, ExePath(), true)) break;
  }
  AddProt(prot::kProtErrorNo, "5007");
  ErrMsg1(toolkit_, 5007, ExePath());
  return true;
}
