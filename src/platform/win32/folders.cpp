// Searches with attribute filters, attributes, folders, moves and deletions on
// Windows, through the ANSI API.
#include "platform/os.h"
#include "platform/win32/errors.h"
#include "platform/win32/handles.h"

namespace os {

using win32::Fail;

namespace {

// Attributes outside the interface's vocabulary (compressed, not indexed ...) are
// dropped so that callers see the same bits on every system; a reparse point (a
// junction, a symbolic link) is kept, so that no walk follows it.
uint32_t Portable(DWORD attributes) {
  return attributes & (kAttrAny | FILE_ATTRIBUTE_REPARSE_POINT);
}
static_assert(kAttrReparsePoint == FILE_ATTRIBUTE_REPARSE_POINT);

// The attributes SetFileAttributesA accepts; the others are the system's to set.
constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                            FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                            FILE_ATTRIBUTE_TEMPORARY;

bool IsDotEntry(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

bool FindFiles(const std::string& pattern, uint32_t attrMask, std::vector<FindEntry>& out) {
  out.clear();
  // Hidden, system and directory entries are left out unless asked for; every
  // other entry (plain, read-only, archive) is an ordinary file and always shown.
  const DWORD excluded =
      (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY) & ~attrMask;

  WIN32_FIND_DATAA fd;
  win32::FindHandle search(::FindFirstFileA(pattern.c_str(), &fd));
  if (!search) {
    const DWORD err = ::GetLastError();
    // Nothing matches, or the folder itself is missing: an empty result, not a failure.
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND || err == ERROR_NO_MORE_FILES)
      return true;
    return Fail("FindFirstFileA", pattern, err);
  }
  for (;;) {
    if (!IsDotEntry(fd.cFileName) && (fd.dwFileAttributes & excluded) == 0) {
      FindEntry entry;
      entry.name = fd.cFileName;
      entry.attr = Portable(fd.dwFileAttributes);
      entry.size = (static_cast<uint64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
      out.push_back(std::move(entry));
    }
    if (!::FindNextFileA(search.get(), &fd)) {
      const DWORD err = ::GetLastError();
      if (err == ERROR_NO_MORE_FILES) return true;
      return Fail("FindNextFileA", pattern, err);
    }
  }
}

bool GetAttributes(const std::string& path, uint32_t& attr) {
  const DWORD a = ::GetFileAttributesA(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) {
    const DWORD err = ::GetLastError();
    return Fail("GetFileAttributesA", path, err);
  }
  attr = Portable(a);
  return true;
}

bool FileExists(const std::string& path) {
  uint32_t attr = 0;
  return GetAttributes(path, attr) && (attr & kAttrDirectory) == 0;
}

bool DirectoryExists(const std::string& path) {
  uint32_t attr = 0;
  return GetAttributes(path, attr) && (attr & kAttrDirectory) != 0;
}

bool CreateDir(const std::string& path) {
  fault::Guard guard(fault::Op::MakeDir, path);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return win32::FailInjected(f, "CreateDirectoryA", path);
  if (!::CreateDirectoryA(path.c_str(), nullptr)) {
    const DWORD err = ::GetLastError();
    return Fail("CreateDirectoryA", path, err);
  }
  return true;
}

bool RemoveDir(const std::string& path) {
  fault::Guard guard(fault::Op::RemoveDir, path);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return win32::FailInjected(f, "RemoveDirectoryA", path);
  if (!::RemoveDirectoryA(path.c_str())) {
    const DWORD err = ::GetLastError();
    return Fail("RemoveDirectoryA", path, err);
  }
  return true;
}

bool MoveFile(const std::string& from, const std::string& to) {
  // Without MOVEFILE_REPLACE_EXISTING an existing target is refused; a file moved
  // to another volume is copied and its source deleted.
  fault::Guard guard(fault::Op::Move, from, to);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return win32::FailInjected(f, "MoveFileA", from + "\" -> \"" + to);
  if (!::MoveFileA(from.c_str(), to.c_str())) {
    const DWORD err = ::GetLastError();
    return Fail("MoveFileA", from + "\" -> \"" + to, err);
  }
  return true;
}

bool DeleteFile(const std::string& path) {
  fault::Guard guard(fault::Op::Delete, path);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return win32::FailInjected(f, "DeleteFileA", path);
  if (!::DeleteFileA(path.c_str())) {
    const DWORD err = ::GetLastError();
    return Fail("DeleteFileA", path, err);
  }
  return true;
}

bool RemoveLink(const std::string& path) {
  fault::Guard guard(fault::Op::Delete, path);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return win32::FailInjected(f, "DeleteFileA", path);
  const DWORD a = ::GetFileAttributesA(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return Fail("GetFileAttributesA", path, ::GetLastError());
  if (!(a & FILE_ATTRIBUTE_REPARSE_POINT)) return Fail("DeleteFileA", path, ERROR_INVALID_PARAMETER);
  // A folder link (a junction) goes with RemoveDirectory, a file link with
  // DeleteFile; neither touches what the link points to.
  if (a & FILE_ATTRIBUTE_DIRECTORY) {
    if (!::RemoveDirectoryA(path.c_str())) return Fail("RemoveDirectoryA", path, ::GetLastError());
    return true;
  }
  if (!::DeleteFileA(path.c_str())) return Fail("DeleteFileA", path, ::GetLastError());
  return true;
}

bool SetReadOnly(const std::string& path, bool readOnly) {
  fault::Guard guard(fault::Op::SetAttr, path);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return win32::FailInjected(f, "SetFileAttributesA", path);
  const DWORD current = ::GetFileAttributesA(path.c_str());
  if (current == INVALID_FILE_ATTRIBUTES) {
    const DWORD err = ::GetLastError();
    return Fail("GetFileAttributesA", path, err);
  }
  if (current & FILE_ATTRIBUTE_REPARSE_POINT)
    return Fail("SetFileAttributesA", path, ERROR_CANT_ACCESS_FILE);
  DWORD wanted = current & kSettable;
  if (readOnly)
    wanted |= FILE_ATTRIBUTE_READONLY;
  else
    wanted &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  if (wanted == 0) wanted = FILE_ATTRIBUTE_NORMAL;
  if (!::SetFileAttributesA(path.c_str(), wanted)) {
    const DWORD err = ::GetLastError();
    return Fail("SetFileAttributesA", path, err);
  }
  return true;
}

}  // namespace os
