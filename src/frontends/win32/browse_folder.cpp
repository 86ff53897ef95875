#include "frontends/win32/browse_folder.h"

#include <ole2.h>
#include <shlobj.h>

namespace ui {
namespace {

// Browsing starts at "My Computer"; folders only, with an edit box, the new
// dialog style and nothing below the network domain.
constexpr int kBrowseRoot = CSIDL_DRIVES;
constexpr UINT kBrowseFlags = 0x173;

// Item lists come from the shell's allocator and go back to it.
class ShellAllocator {
 public:
  ShellAllocator() {
    if (FAILED(SHGetMalloc(&malloc_))) malloc_ = nullptr;
  }
  ~ShellAllocator() {
    if (malloc_) malloc_->Release();
  }
  ShellAllocator(const ShellAllocator&) = delete;
  ShellAllocator& operator=(const ShellAllocator&) = delete;
  void Free(void* block) {
    if (!block) return;
    if (malloc_)
      malloc_->Free(block);
    else
      CoTaskMemFree(block);
  }

 private:
  IMalloc* malloc_ = nullptr;
};

// The new dialog style needs OLE on the calling thread.
class OleScope {
 public:
  OleScope() : result_(OleInitialize(nullptr)) {}
  ~OleScope() {
    if (SUCCEEDED(result_)) OleUninitialize();
  }
  OleScope(const OleScope&) = delete;
  OleScope& operator=(const OleScope&) = delete;

 private:
  HRESULT result_;
};

}  // namespace

std::string ShellBrowseForFolder(HWND owner, const std::string& title) {
  OleScope ole;
  ShellAllocator allocator;

  LPITEMIDLIST root = nullptr;
  if (FAILED(SHGetSpecialFolderLocation(owner, kBrowseRoot, &root))) root = nullptr;

  std::string result;
  char displayName[MAX_PATH] = {};
  BROWSEINFOA info = {};
  info.hwndOwner = owner;
  info.pidlRoot = root;
  info.pszDisplayName = displayName;
  info.lpszTitle = title.c_str();
  info.ulFlags = kBrowseFlags;
  for (;;) {
    LPITEMIDLIST chosen = SHBrowseForFolderA(&info);
    if (!chosen) break;  // cancelled
    char path[MAX_PATH] = {};
    const BOOL isPath = SHGetPathFromIDListA(chosen, path);
    allocator.Free(chosen);
    if (isPath && path[0]) {
      result = path;
      break;
    }
    // A choice without a file-system path ("My Computer" itself): ask again.
  }
  allocator.Free(root);
  return result;
}

}  // namespace ui
