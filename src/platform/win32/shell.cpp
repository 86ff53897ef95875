// The shell on Windows: the desktop folder from the user's "Shell Folders" key and
// shortcuts through the shell's link object.
#include "platform/win32/handles.h"

#include <objbase.h>
#include <shlobj.h>

#include "platform/os.h"
#include "platform/win32/errors.h"

namespace os {

namespace {

struct RegKeyTraits {
  using Value = HKEY;
  static Value None() { return nullptr; }
  static bool IsValid(Value k) { return k != nullptr; }
  static void Close(Value k) { ::RegCloseKey(k); }
};
using RegKey = win32::Owner<RegKeyTraits>;

// A COM interface pointer, released when it goes.
template <class I>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() {
    if (p_) p_->Release();
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  I* get() const { return p_; }
  I* operator->() const { return p_; }
  void** out() { return reinterpret_cast<void**>(&p_); }

 private:
  I* p_ = nullptr;
};

// The component runtime of this thread for the life of one shortcut.
class ComRuntime {
 public:
  ComRuntime() : hr_(::CoInitialize(nullptr)) {}
  ~ComRuntime() {
    if (SUCCEEDED(hr_)) ::CoUninitialize();
  }
  ComRuntime(const ComRuntime&) = delete;
  ComRuntime& operator=(const ComRuntime&) = delete;
  HRESULT result() const { return hr_; }

 private:
  HRESULT hr_;
};

bool FailHr(const char* operation, const std::string& subject, HRESULT hr) {
  return win32::Fail(operation, subject, static_cast<DWORD>(hr));
}

constexpr char kShellFolders[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr DWORD kDesktopBuffer = 261;
constexpr int kShowAsLast = 5;  // SW_SHOW

}  // namespace

std::string ReadDesktopFolder() {
  HKEY raw = nullptr;
  if (::RegOpenKeyExA(HKEY_CURRENT_USER, kShellFolders, 0, KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS)
    return std::string();
  RegKey key(raw);
  char buffer[kDesktopBuffer] = {};
  DWORD size = kDesktopBuffer;
  DWORD type = 0;
  if (::RegQueryValueExA(key.get(), "Desktop", nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                         &size) != ERROR_SUCCESS ||
      type != REG_SZ)
    return std::string();
  std::string folder(buffer, size < kDesktopBuffer ? size : kDesktopBuffer);
  // The stored terminator (there may be none, or more than one).
  const size_t end = folder.find('\0');
  if (end != std::string::npos) folder.resize(end);
  return folder;
}

bool CreateShellLink(const std::string& target, const std::string& linkPath,
                     const std::string& description, const std::string& workDir) {
  fault::Guard guard(fault::Op::Link, linkPath);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return win32::FailInjected(f, "IPersistFile::Save", linkPath);
  bool ok = false;
  {
    ComRuntime com;
    if (FAILED(com.result())) {
      FailHr("CoInitialize", linkPath, com.result());
    } else {
      ComPtr<IShellLinkA> link;
      HRESULT hr = ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IShellLinkA, link.out());
      if (FAILED(hr)) {
        FailHr("CoCreateInstance(ShellLink)", linkPath, hr);
      } else if (FAILED(hr = link->SetPath(target.c_str()))) {
        FailHr("IShellLinkA::SetPath", target, hr);
      } else if (FAILED(hr = link->SetDescription(description.c_str()))) {
        FailHr("IShellLinkA::SetDescription", description, hr);
      } else if (FAILED(hr = link->SetShowCmd(kShowAsLast))) {
        FailHr("IShellLinkA::SetShowCmd", linkPath, hr);
      } else if (FAILED(hr = link->SetWorkingDirectory(workDir.c_str()))) {
        FailHr("IShellLinkA::SetWorkingDirectory", workDir, hr);
      } else {
        ComPtr<IPersistFile> file;
        wchar_t wide[MAX_PATH + 1] = {};
        if (FAILED(hr = link->QueryInterface(IID_IPersistFile, file.out()))) {
          FailHr("IShellLinkA::QueryInterface(IPersistFile)", linkPath, hr);
        } else if (::MultiByteToWideChar(CP_ACP, 0, linkPath.c_str(), -1, wide, MAX_PATH) == 0) {
          const DWORD err = ::GetLastError();
          win32::Fail("MultiByteToWideChar", linkPath, err);
        } else if (FAILED(hr = file->Save(wide, TRUE))) {
          FailHr("IPersistFile::Save", linkPath, hr);
        } else {
          file->SaveCompleted(wide);
          ok = true;
        }
      }
    }
  }
  ::UpdateWindow(::GetDesktopWindow());
  return ok;
}

std::string HostToDosPath(const std::string& hostPath) { return hostPath; }

}  // namespace os
