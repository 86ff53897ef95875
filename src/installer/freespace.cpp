// The free-space check and the choice of the temporary folder: the installation's
// disk, a scan of fixed disks with a write-speed test, or a folder chosen by hand.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <vector>

#include "installer/form1.h"
#include "installer/messages.h"
#include "base/error.h"
#include "toolkit/toolkit.h"
#include "base/dos_path.h"
#include "product/product.h"

namespace {

char UpperLetter(const std::string& path) {
  return path.empty() ? '\0' : cp1251::ToUpper(path[0]);
}

uint64_t FreeOf(const std::string& path) {
  uint64_t free = 0;
  if (!os::FreeSpace(path, free)) return 0;
  return free;
}

// Restores the error mode on every way out.
class ErrorModeGuard {
 public:
  ErrorModeGuard() : previous_(os::SetFailCriticalErrors()) {}
  ~ErrorModeGuard() { os::RestoreErrorMode(previous_); }

 private:
  unsigned previous_;
};

}  // namespace

bool TForm1::CheckFreeSpace() {
  bool ok = false;
  try {
    [&] {
      Say("Проверка свободного места");
      const uint64_t free = FreeOf(InstallDir);
      if (!TempDir.empty()) {
        Say("Очистка старой временной папки");
        CleanFolder(TempDir, true);
        TempDir.clear();
      }
      Say(InstallDir);
      Say("Папка ZUM (размер после обновления)");
      if (!ProtResult(GrowSpaceNeed <= free, false)) {
        Say("НЕДОСТАТОЧНО МЕСТА, необходимо освободить минимум " + std::to_string(GrowSpaceNeed) +
            " байт");
        return;
      }
      Say("Поиск места для временных файлов");
      // Sums of requirements are 32-bit, as the package stores them.
      const uint32_t both = GrowSpaceNeed + TmpSpaceNeed;
      if (both < free) {
        TempDir = InstallDir + product::kTempInInstall + "\\";
        ok = true;
        return;
      }
      Say("В папке ZUM недостаточно места. Выбор папки для временных файлов.");
      if (PrevRunFailed) {
        Say("В связи с проблемами прошлого запуска Вы должны выбрать папку вручную");
      } else {
        char letter = 0;
        if (FindFreeDisk(GrowSpaceNeed, TmpSpaceNeed, letter)) {
          Say("Выбрана папка для временных файлов");
          TempDir = std::string(1, letter) + ":\\" + product::kTempOnDrive + "\\";
          Say(TempDir);
          ProtResult(true, false);
          ok = true;
          return;
        }
        ProtResult(false, false);
        Say("Недостаточно места на диске(дисках)");
        Say("Попробуйте освободить место и задать папку вручную");
        Say("Требуется: ");
        Say("Если выбран диск \"" + std::string(1, UpperLetter(InstallDir)) + "\" - " +
            std::to_string(both) + " байт");
        Say("Если другой - " + std::to_string(TmpSpaceNeed) + " байт");
      }
      std::string folder = ChooseFolder("Выбор папки для временных файлов", TmpSpaceNeed,
                                        GrowSpaceNeed, UpperLetter(InstallDir));
      if (folder.empty()) {
        Say("Пользователь оказался от выбора");
        return;
      }
      folder = dos::WithSlash(folder);
      TempDir = folder + product::kTempChosen + "\\";
      ok = true;
    }();
  } catch (const std::exception& e) {
    AddProt(prot::kProtEmergency, e.what());
    ok = false;
  }
  if (!TempDir.empty()) JournalCmd(journal::kCmdTempDir, TempDir);
  return ok;
}

bool TForm1::FindFreeDisk(uint32_t extra, uint32_t need, char& letter) {
  ErrorModeGuard errorMode;
  const uint32_t drives = os::LogicalDrives();
  char osDisk = 0;
  const std::string windows = os::WindowsDir();
  if (!windows.empty()) {
    Say("i: Папка с ОС:" + windows);
    osDisk = UpperLetter(windows);
  }
  const char installDisk = UpperLetter(InstallDir);
  std::vector<sDskNfo> candidates;
  for (int i = 0; i < 26; ++i) {
    if (!(drives & (1u << i))) continue;
    const char l = static_cast<char>('A' + i);
    const std::string root = std::string(1, l) + ":\\";
    if (os::GetDriveType(root) != os::DriveType::Fixed) continue;
    Say("Рассматривается диск " + root);
    const uint64_t free = FreeOf(root);
    const uint64_t required =
        l == installDisk ? static_cast<uint64_t>(extra) + need : static_cast<uint64_t>(need);
    if (free < required) continue;
    sDskNfo record;
    if (TestDiskSpeed(root, record)) {
      record.Letter = l;
      record.FreeBytes = static_cast<uint32_t>(free);
      candidates.push_back(record);
    }
  }
  if (candidates.empty()) return false;
  if (candidates.size() == 1) {
    letter = candidates[0].Letter;
    return true;
  }
  // Ties between equal delays go to the disk with the most free space.
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const sDskNfo& a, const sDskNfo& b) { return a.FreeBytes > b.FreeBytes; });
  const sDskNfo* best = nullptr;
  for (const sDskNfo& c : candidates) {
    if (c.Letter == osDisk) continue;
    if (!best || c.Delay < best->Delay) best = &c;
  }
  if (!best) return false;
  letter = best->Letter;
  return true;
}

bool TForm1::TestDiskSpeed(const std::string& root, sDskNfo& record) {
  const std::string path = root + "~zumtmp.tmp";
  os::File f;
  try {
    Say("Тест скорости ");
    const uint64_t start = os::TickMs();
    // A file that vanishes with its handle: a run killed during the test leaves
    // nothing in the disk's root.
    if (!f.OpenTemporary(path)) ThrowOsError("CreateFile " + path);
    const char z = 'z';
    for (int i = 0; i < 2048; ++i) {
      uint64_t end = 0;
      if (!f.SeekEnd(end) || !f.Write(&z, 1) || !f.Seek(0)) ThrowOsError(path);
      uint64_t size = 0;
      if (!f.Size(size)) ThrowOsError(path);
      if (size > 128 && !f.Truncate()) ThrowOsError(path);
    }
    f.Close();
    const uint64_t elapsed = os::TickMs() - start;
    // Minutes, seconds and milliseconds read as one decimal number ("nnsszzz").
    const uint64_t minutes = (elapsed / 60000) % 60, seconds = (elapsed / 1000) % 60,
                   millis = elapsed % 1000;
    record = sDskNfo();
    record.Delay = static_cast<uint32_t>(minutes * 100000 + seconds * 1000 + millis);
    AddProt(prot::kProtOk, "", false);
    AddProt(prot::kProtPlain, "... задержка:" + std::to_string(record.Delay), false);
    return true;
  } catch (const std::exception& e) {
    AddProt(prot::kProtEmergency, e.what());
    f.Close();
    return false;
  }
}

std::string TForm1::ChooseFolder(const std::string& title, uint32_t base, uint32_t extra,
                                 char installLetter) {
  for (;;) {
    std::string path = toolkit_->BrowseForFolder(title);
    if (path.empty()) return std::string();
    path = dos::WithSlash(path);
    const uint64_t free = FreeOf(path);
    uint64_t needed = base;
    if (UpperLetter(path) == installLetter) needed += extra;
    if (needed <= free) return path;
    if (!AskMsg2(toolkit_, 3005, std::to_string(free), std::to_string(needed), true)) return std::string();
  }
}
