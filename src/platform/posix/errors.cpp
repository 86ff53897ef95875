#include <cerrno>
#include <cstring>

#include "base/cp1251.h"
#include "platform/os.h"
#include "platform/posix/internal.h"
#include "platform/posix/pathmap.h"

namespace os {

namespace {
thread_local Error g_last;
}  // namespace

const Error& LastError() { return g_last; }

std::string LastErrorText() { return g_last.text; }

namespace {
thread_local Error t_firstChange;
}  // namespace

const Error& FirstChangeError() { return t_firstChange; }

void ResetFirstChangeError() { t_firstChange = Error(); }

void SetLastError(ErrorKind kind, uint32_t code, const std::string& text) {
  g_last.kind = kind;
  g_last.code = code;
  g_last.text = text;
  if (fault::InChange() && t_firstChange.kind == ErrorKind::None && kind != ErrorKind::Exists)
    t_firstChange = g_last;
}

namespace posix {

ErrorKind KindOfErrno(int err) {
  switch (err) {
    case 0:
      return ErrorKind::None;
    case ENOENT:
    case ENOTDIR:
      return ErrorKind::NotFound;
    case EEXIST:
      return ErrorKind::Exists;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return ErrorKind::Access;
    case EBUSY:
    case ETXTBSY:
      return ErrorKind::Sharing;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ErrorKind::DiskFull;
    case EIO:
      return ErrorKind::Io;
    case EINVAL:
    case ENAMETOOLONG:
    case EILSEQ:
      return ErrorKind::Invalid;
    default:
      return ErrorKind::Other;
  }
}

void Fail(ErrorKind kind, uint32_t code, const char* op, const std::string& what,
          const std::string& reason) {
  SetLastError(kind, code, std::string(op) + " " + what + ": " + reason);
}

void FailErrno(const char* op, const std::string& what, int err) {
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not be in `buffer`; in a
  // Russian locale it is UTF-8 Cyrillic.
  const char* text = strerror_r(err, buffer, sizeof buffer);
  Fail(KindOfErrno(err), static_cast<uint32_t>(err), op, what, cp1251::FromUtf8(text));
}

bool FailInjected(fault::Inject inject, const char* op, const std::string& what) {
  switch (inject) {
    case fault::Inject::DiskFull:
      FailErrno(op, what, ENOSPC);
      break;
    case fault::Inject::Io:
      FailErrno(op, what, EIO);
      break;
    case fault::Inject::Access:
      FailErrno(op, what, EACCES);
      break;
    case fault::Inject::Sharing:
    case fault::Inject::None:
      Fail(ErrorKind::Sharing, kSharingViolation, op, what,
           "the file is in use by another handle (sharing violation)");
      break;
  }
  return false;
}

bool MapPath(const char* op, const std::string& dos, std::string& host) {
  DosPath parsed;
  std::string why = ParseDosPath(dos, parsed);
  if (!why.empty()) {
    Fail(ErrorKind::Invalid, EINVAL, op, dos, "invalid path: " + why);
    return false;
  }
  DriveMap map = CurrentDriveMap();
  const std::string& root = map.Root(parsed.drive);
  if (root.empty()) {
    Fail(ErrorKind::NotFound, ENOENT, op, dos,
         std::string("drive ") + parsed.drive + ": is not mapped");
    return false;
  }
  host = ResolveHostPath(root, parsed);
  return true;
}

}  // namespace posix
}  // namespace os
