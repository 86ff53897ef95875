// Searches, attributes, folders, moves and deletions.
//
// Attributes as the core knows them are made up from what the host has: a folder is a
// folder; a name starting with '.' is hidden; a file without write permission for its
// owner is read-only; a regular file carries the archive attribute; nothing is a
// system file.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "base/cp1251.h"
#include "platform/os.h"
#include "platform/posix/internal.h"
#include "platform/posix/pathmap.h"

namespace os {

using posix::Fail;
using posix::FailErrno;

namespace {

uint32_t AttributesOf(const struct stat& st, std::string_view hostName) {
  uint32_t attr = 0;
  if (S_ISDIR(st.st_mode))
    attr |= kAttrDirectory;
  else if (S_ISREG(st.st_mode))
    attr |= kAttrArchive;
  if (!hostName.empty() && hostName[0] == '.') attr |= kAttrHidden;
  if (!(st.st_mode & S_IWUSR)) attr |= kAttrReadOnly;
  return attr;
}

// The attributes of an entry that lstat() described: a symbolic link is a reparse
// point, a folder link when what it points to is a folder (as a junction or a
// folder link is on Windows); `followed` is stat() of the target, when it exists.
uint32_t EntryAttributes(const struct stat& own, const struct stat* followed,
                         std::string_view hostName) {
  if (!S_ISLNK(own.st_mode)) return AttributesOf(own, hostName);
  uint32_t attr = kAttrReparsePoint;
  if (followed && S_ISDIR(followed->st_mode)) attr |= kAttrDirectory;
  if (!hostName.empty() && hostName[0] == '.') attr |= kAttrHidden;
  return attr;
}

std::string_view BaseName(std::string_view host) {
  while (host.size() > 1 && host.back() == '/') host.remove_suffix(1);
  size_t slash = host.rfind('/');
  return slash == std::string_view::npos ? host : host.substr(slash + 1);
}

std::string DirName(std::string_view host) {
  while (host.size() > 1 && host.back() == '/') host.remove_suffix(1);
  size_t slash = host.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(host.substr(0, slash));
}

// The attributes of the entry at `host` itself (a link is not followed).
bool EntryAttributesAt(const std::string& host, uint32_t& attr) {
  struct stat own, target;
  if (lstat(host.c_str(), &own) != 0) return false;
  const bool resolved = S_ISLNK(own.st_mode) && stat(host.c_str(), &target) == 0;
  attr = EntryAttributes(own, resolved ? &target : nullptr, BaseName(host));
  return true;
}

// Moves a regular file to another file system: copy, then delete the original. A
// failed copy is removed again, so either the move happened or nothing changed.
bool CopyAcross(const std::string& from, const std::string& to, const struct stat& st,
                const std::string& what) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (in < 0) {
    FailErrno("MoveFile", what, errno);
    return false;
  }
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
  if (out < 0) {
    int err = errno;
    close(in);
    FailErrno("MoveFile", what, err);
    return false;
  }
  int err = 0;
  std::vector<char> buffer(1 << 20);
  for (;;) {
    ssize_t r = read(in, buffer.data(), buffer.size());
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      err = errno;
      break;
    }
    if (r == 0) break;
    for (ssize_t done = 0; done < r && err == 0;) {
      ssize_t w = write(out, buffer.data() + done, static_cast<size_t>(r - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) err = w < 0 ? errno : ENOSPC;
      else done += w;
    }
    if (err != 0) break;
  }
  if (err == 0 && fsync(out) != 0) err = errno;
  if (err == 0) {
    // Keep the time stamps and permission bits, as a move does.
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    futimens(out, times);
    if (fchmod(out, st.st_mode & 07777) != 0) err = errno;
  }
  close(in);
  if (close(out) != 0 && err == 0) err = errno;
  if (err == 0 && unlink(from.c_str()) != 0) err = errno;
  if (err != 0) {
    unlink(to.c_str());
    FailErrno("MoveFile", what, err);
    return false;
  }
  return true;
}

// Host names sort as NTFS lists a folder (by upper-cased name), so that searches give
// the same order on every file system.
bool NameBefore(const FindEntry& a, const FindEntry& b) {
  std::string ua = cp1251::Upper(a.name), ub = cp1251::Upper(b.name);
  auto bytes = [](const std::string& s) {
    return std::basic_string_view<unsigned char>(
        reinterpret_cast<const unsigned char*>(s.data()), s.size());
  };
  if (ua != ub) return bytes(ua) < bytes(ub);
  return bytes(a.name) < bytes(b.name);
}

}  // namespace

bool FindFiles(const std::string& pattern, uint32_t attrMask, std::vector<FindEntry>& out) {
  out.clear();
  size_t cut = pattern.rfind('\\');
  if (cut == std::string::npos) {
    Fail(ErrorKind::Invalid, EINVAL, "FindFirstFile", pattern, "недопустимый путь: не указана папка");
    return false;
  }
  std::string folder = pattern.substr(0, cut + 1);
  std::string mask = pattern.substr(cut + 1);
  std::string host;
  if (!posix::MapPath("FindFirstFile", folder, host)) return false;
  if (mask.empty()) return true;  // "X:\dir\" names no entry
  if (!posix::IsValidName(mask, true)) {
    Fail(ErrorKind::Invalid, EINVAL, "FindFirstFile", pattern,
         "недопустимый путь: недопустимый символ в имени");
    return false;
  }

  DIR* dir = opendir(host.c_str());
  if (!dir) {
    if (errno == ENOENT || errno == ENOTDIR) return true;
    FailErrno("FindFirstFile", pattern, errno);
    return false;
  }
  const uint32_t filtered = kAttrDirectory | kAttrHidden | kAttrSystem;
  while (dirent* e = readdir(dir)) {
    std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string cp = cp1251::FromUtf8(name);
    if (!posix::MatchMask(mask, cp)) continue;
    struct stat st, target;
    if (fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
      continue;  // gone since it was listed
    const bool resolved = S_ISLNK(st.st_mode) && fstatat(dirfd(dir), e->d_name, &target, 0) == 0;
    uint32_t attr = EntryAttributes(st, resolved ? &target : nullptr, name);
    if (attr & filtered & ~attrMask) continue;
    FindEntry entry;
    entry.name = std::move(cp);
    entry.attr = attr;
    entry.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    out.push_back(std::move(entry));
  }
  closedir(dir);
  std::sort(out.begin(), out.end(), NameBefore);
  return true;
}

bool GetAttributes(const std::string& path, uint32_t& attr) {
  std::string host;
  if (!posix::MapPath("GetFileAttributes", path, host)) return false;
  if (!EntryAttributesAt(host, attr)) {
    FailErrno("GetFileAttributes", path, errno);
    return false;
  }
  return true;
}

bool FileExists(const std::string& path) {
  uint32_t attr = 0;
  return GetAttributes(path, attr) && !(attr & kAttrDirectory);
}

bool DirectoryExists(const std::string& path) {
  uint32_t attr = 0;
  return GetAttributes(path, attr) && (attr & kAttrDirectory);
}

bool CreateDir(const std::string& path) {
  fault::Guard guard(fault::Op::MakeDir, path);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return posix::FailInjected(f, "CreateDirectory", path);
  std::string host;
  if (!posix::MapPath("CreateDirectory", path, host)) return false;
  if (mkdir(host.c_str(), 0777) != 0) {
    FailErrno("CreateDirectory", path, errno);
    return false;
  }
  return true;
}

bool RemoveDir(const std::string& path) {
  fault::Guard guard(fault::Op::RemoveDir, path);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return posix::FailInjected(f, "RemoveDirectory", path);
  std::string host;
  if (!posix::MapPath("RemoveDirectory", path, host)) return false;
  if (rmdir(host.c_str()) != 0) {
    FailErrno("RemoveDirectory", path, errno);
    return false;
  }
  return true;
}

bool MoveFile(const std::string& from, const std::string& to) {
  const std::string what = from + " -> " + to;
  fault::Guard guard(fault::Op::Move, from, to);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return posix::FailInjected(f, "MoveFile", what);
  std::string hostFrom, hostTo;
  if (!posix::MapPath("MoveFile", from, hostFrom) || !posix::MapPath("MoveFile", to, hostTo))
    return false;
  struct stat src;
  if (lstat(hostFrom.c_str(), &src) != 0) {
    FailErrno("MoveFile", what, errno);
    return false;
  }
  if (!S_ISDIR(src.st_mode) && posix::DeletionDenied(hostFrom)) {
    Fail(ErrorKind::Sharing, posix::kSharingViolation, "MoveFile", what,
         "файл занят другим процессом (нарушение совместного доступа)");
    return false;
  }

  struct stat dst;
  if (lstat(hostTo.c_str(), &dst) == 0) {
    // The target's lookup found the source itself: a change of letter case only,
    // which Windows allows. The new name is taken as the caller spelt it.
    posix::DosPath parsed;
    if (hostTo == hostFrom && posix::ParseDosPath(to, parsed).empty() && !parsed.names.empty()) {
      std::string renamed = DirName(hostTo) + "/" + cp1251::ToUtf8(parsed.names.back());
      if (renamed == hostFrom) return true;
      if (rename(hostFrom.c_str(), renamed.c_str()) != 0) {
        FailErrno("MoveFile", what, errno);
        return false;
      }
      return true;
    }
    Fail(ErrorKind::Exists, EEXIST, "MoveFile", what, "файл назначения уже существует");
    return false;
  }

  int rc = renameat2(AT_FDCWD, hostFrom.c_str(), AT_FDCWD, hostTo.c_str(), RENAME_NOREPLACE);
  if (rc != 0 && (errno == EINVAL || errno == ENOSYS))  // no RENAME_NOREPLACE here
    rc = rename(hostFrom.c_str(), hostTo.c_str());
  if (rc == 0) return true;
  if (errno == EXDEV && S_ISREG(src.st_mode)) return CopyAcross(hostFrom, hostTo, src, what);
  FailErrno("MoveFile", what, errno);
  return false;
}

namespace {

// Maps `path` and describes the entry itself (a link is not followed); false with
// the last error set for `op`.
bool LookUpEntry(const char* op, const std::string& path, std::string& host, struct stat& st) {
  if (!posix::MapPath(op, path, host)) return false;
  if (lstat(host.c_str(), &st) == 0) return true;
  FailErrno(op, path, errno);
  return false;
}

// Removes the name `host` stands for; false with the last error set.
bool Unlink(const std::string& path, const std::string& host) {
  if (unlink(host.c_str()) == 0) return true;
  FailErrno("DeleteFile", path, errno);
  return false;
}

}  // namespace

bool DeleteFile(const std::string& path) {
  fault::Guard guard(fault::Op::Delete, path);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return posix::FailInjected(f, "DeleteFile", path);
  std::string host;
  struct stat st;
  if (!LookUpEntry("DeleteFile", path, host, st)) return false;
  if (S_ISDIR(st.st_mode)) {
    Fail(ErrorKind::Access, EISDIR, "DeleteFile", path, "это папка");
    return false;
  }
  if (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)) {
    Fail(ErrorKind::Access, EACCES, "DeleteFile", path, "файл только для чтения");
    return false;
  }
  if (posix::DeletionDenied(host)) {
    Fail(ErrorKind::Sharing, posix::kSharingViolation, "DeleteFile", path,
         "файл занят другим процессом (нарушение совместного доступа)");
    return false;
  }
  return Unlink(path, host);
}

bool RemoveLink(const std::string& path) {
  fault::Guard guard(fault::Op::Delete, path);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return posix::FailInjected(f, "DeleteFile", path);
  std::string host;
  struct stat st;
  if (!LookUpEntry("DeleteFile", path, host, st)) return false;
  if (!S_ISLNK(st.st_mode)) {
    Fail(ErrorKind::Invalid, EINVAL, "DeleteFile", path, "это не ссылка");
    return false;
  }
  return Unlink(path, host);
}

bool SetReadOnly(const std::string& path, bool readOnly) {
  fault::Guard guard(fault::Op::SetAttr, path);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return posix::FailInjected(f, "SetFileAttributes", path);
  std::string host;
  struct stat st;
  if (!LookUpEntry("SetFileAttributes", path, host, st)) return false;
  if (S_ISLNK(st.st_mode)) {
    Fail(ErrorKind::Access, ELOOP, "SetFileAttributes", path, "объект является ссылкой");
    return false;
  }
  mode_t mode = st.st_mode & 07777;
  mode = readOnly ? (mode & ~mode_t(0222)) : (mode | S_IWUSR);
  if (chmod(host.c_str(), mode) != 0) {
    FailErrno("SetFileAttributes", path, errno);
    return false;
  }
  return true;
}

}  // namespace os
