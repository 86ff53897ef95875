// Named mutexes, process start, error mode, clocks and disks on Windows.
#include "platform/os.h"
#include "platform/win32/errors.h"
#include "platform/win32/handles.h"

#include <shellapi.h>

namespace os {

using win32::Fail;
using win32::FailAs;
using win32::FromHandle;
using win32::ToHandle;

// ---- NamedMutex ---------------------------------------------------------------------

NamedMutex::~NamedMutex() { Close(); }

NamedMutex::NamedMutex(NamedMutex&& other) noexcept : handle_(other.handle_) {
  other.handle_ = -1;
}

NamedMutex& NamedMutex::operator=(NamedMutex&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = -1;
  }
  return *this;
}

bool NamedMutex::Create(const std::string& name, bool& existed) {
  Close();
  existed = false;
  // A mutex without a name would always be "new" and exclude nobody.
  if (name.empty()) return FailAs(ErrorKind::Invalid, "CreateMutexA", name, ERROR_INVALID_NAME);
  // Only a name that already existed sets the error value on success; clear it
  // so a stale value from an earlier call is not taken for that.
  ::SetLastError(ERROR_SUCCESS);
  win32::MutexHandle mutex(::CreateMutexA(nullptr, FALSE, name.c_str()));
  const DWORD err = ::GetLastError();
  if (!mutex) {
    // Refused access means the object is there but belongs to someone else.
    existed = err == ERROR_ACCESS_DENIED;
    return Fail("CreateMutexA", name, err);
  }
  existed = err == ERROR_ALREADY_EXISTS;
  handle_ = FromHandle(mutex.release());
  return true;
}

void NamedMutex::Close() {
  // Created without initial ownership and never waited on: there is nothing to
  // release, only the handle to close.
  if (handle_ != -1) ::CloseHandle(ToHandle(handle_));
  handle_ = -1;
}

// ---- processes and system -------------------------------------------------------------

std::string ModulePath() {
  std::string buffer(MAX_PATH, '\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) {
      const DWORD err = ::GetLastError();
      Fail("GetModuleFileNameA", "", err);
      return std::string();
    }
    // A full buffer means the path was cut short.
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    if (buffer.size() >= 32768) {
      FailAs(ErrorKind::Invalid, "GetModuleFileNameA", "", ERROR_INSUFFICIENT_BUFFER);
      return std::string();
    }
    buffer.resize(buffer.size() * 2);
  }
}

bool StartProcess(const std::string& exePath, const std::string& workDir, int showCmd) {
  // The child gets this process's startup information with its own show value.
  STARTUPINFOA si;
  ::GetStartupInfoA(&si);
  si.cb = sizeof si;
  si.lpReserved = nullptr;  // must be null for CreateProcess
  si.dwFlags |= STARTF_USESHOWWINDOW;
  si.wShowWindow = static_cast<WORD>(showCmd);
  // No handle is inherited, so handles named here would be meaningless in the child:
  // standard handles, and the C runtime's table of inherited descriptors.
  if (si.dwFlags & STARTF_USESTDHANDLES) {
    si.dwFlags &= ~static_cast<DWORD>(STARTF_USESTDHANDLES);
    si.hStdInput = si.hStdOutput = si.hStdError = nullptr;
  }
  si.cbReserved2 = 0;
  si.lpReserved2 = nullptr;

  PROCESS_INFORMATION pi = {};
  if (!::CreateProcessA(exePath.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                        workDir.empty() ? nullptr : workDir.c_str(), &si, &pi)) {
    const DWORD err = ::GetLastError();
    return Fail("CreateProcessA", exePath, err);
  }
  win32::UniqueHandle process(pi.hProcess);
  win32::UniqueHandle thread(pi.hThread);
  return true;
}

bool CanStartElevated() { return true; }

bool StartElevated(const std::string& exePath, const std::string& workDir) {
  // This process's arguments, as it was given them: its command line without the
  // program name (quoted or not) and the blanks after it.
  const wchar_t* args = ::GetCommandLineW();
  if (*args == L'"') {
    ++args;
    while (*args && *args != L'"') ++args;
    if (*args) ++args;
  } else {
    while (*args && *args != L' ' && *args != L'\t') ++args;
  }
  while (*args == L' ' || *args == L'\t') ++args;

  const std::wstring file = win32::Wide(exePath);
  const std::wstring dir = win32::Wide(workDir);
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"runas";
  info.lpFile = file.c_str();
  info.lpParameters = *args ? args : nullptr;
  info.lpDirectory = dir.empty() ? nullptr : dir.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (!::ShellExecuteExW(&info)) {
    const DWORD err = ::GetLastError();
    return Fail("ShellExecuteExW", exePath, err);
  }
  return true;
}

unsigned SetFailCriticalErrors() {
  const UINT previous = ::SetErrorMode(SEM_FAILCRITICALERRORS);
  // Keep whatever else the process had switched off.
  ::SetErrorMode(previous | SEM_FAILCRITICALERRORS);
  return previous;
}

void RestoreErrorMode(unsigned previous) { ::SetErrorMode(previous); }

void* AllocateLarge(size_t size) {
  if (size == 0) return nullptr;
  return ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void ReleaseLarge(void* block, size_t size) {
  if (block) ::VirtualFree(block, 0, MEM_RELEASE);
}

void SleepMs(unsigned ms) {
  if (fault::NoSleep()) return;
  ::Sleep(ms);
}

uint64_t TickMs() { return ::GetTickCount64(); }

LocalTime Now() {
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond,
                   st.wMilliseconds};
}

// ---- disks --------------------------------------------------------------------------

uint32_t LogicalDrives() {
  const DWORD drives = ::GetLogicalDrives();
  if (drives == 0) {
    const DWORD err = ::GetLastError();
    Fail("GetLogicalDrives", "", err);
  }
  return drives;
}

DriveType GetDriveType(const std::string& root) {
  switch (::GetDriveTypeA(root.c_str())) {
    case DRIVE_NO_ROOT_DIR:
      return DriveType::NoRoot;
    case DRIVE_REMOVABLE:
      return DriveType::Removable;
    case DRIVE_FIXED:
      return DriveType::Fixed;
    case DRIVE_REMOTE:
      return DriveType::Remote;
    case DRIVE_CDROM:
      return DriveType::CdRom;
    case DRIVE_RAMDISK:
      return DriveType::RamDisk;
    default:
      return DriveType::Unknown;
  }
}

bool FreeSpace(const std::string& path, uint64_t& freeBytes) {
  // The system wants an existing folder. A folder that is yet to be made (a copy's
  // target) lives on the disk of its nearest existing parent, so walk up to it.
  std::string folder = path;
  DWORD firstError = ERROR_SUCCESS;
  for (;;) {
    ULARGE_INTEGER available, total, free;
    if (::GetDiskFreeSpaceExA(folder.c_str(), &available, &total, &free)) {
      freeBytes = available.QuadPart;
      fault::CapFreeSpace(freeBytes);
      return true;
    }
    const DWORD err = ::GetLastError();
    if (firstError == ERROR_SUCCESS) firstError = err;
    const bool missing =
        err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND || err == ERROR_DIRECTORY;
    // The parent: drop a trailing backslash, then the last name, keeping its backslash.
    std::string parent = folder;
    if (!parent.empty() && parent.back() == '\\') parent.pop_back();
    const size_t slash = parent.find_last_of('\\');
    if (!missing || slash == std::string::npos || slash + 1 >= folder.size() || slash < 2)
      return Fail("GetDiskFreeSpaceExA", path, firstError);
    parent.resize(slash + 1);
    folder = parent;
  }
}

std::string WindowsDir() {
  std::string buffer(MAX_PATH, '\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    const UINT n = ::GetWindowsDirectoryA(buffer.data(), static_cast<UINT>(buffer.size()));
    if (n == 0) {
      const DWORD err = ::GetLastError();
      Fail("GetWindowsDirectoryA", "", err);
      return std::string();
    }
    // A result longer than the buffer is the size it needs, with the terminator.
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    buffer.assign(n, '\0');
  }
  return std::string();
}

}  // namespace os
