#include <cerrno>
#include <cstring>
#include <string>

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
  if (fault::InChange() && t_firstChange.kind == ErrorKind::None && kind != ErrorKind::Exists &&
      kind != ErrorKind::NotFound)
    t_firstChange = g_last;
}

std::string SystemErrorText(uint32_t code) {
  // The user reads Russian whatever the system's locale: the errors a file
  // operation of the installer can meet have their own texts.
  struct Text {
    int err;
    const char* text;
  };
  static const Text kTexts[] = {
      {ENOENT, "файл или папка не найдены"},
      {ENOTDIR, "часть пути не является папкой"},
      {EEXIST, "файл уже существует"},
      {EACCES, "отказано в доступе"},
      {EPERM, "операция не разрешена"},
      {EROFS, "диск доступен только для чтения"},
      {EISDIR, "это папка"},
      {EBUSY, "устройство или ресурс заняты"},
      {ETXTBSY, "файл занят выполняемой программой"},
      {ENOSPC, "нет места на диске"},
      {EDQUOT, "превышена дисковая квота"},
      {EFBIG, "файл слишком велик"},
      {EIO, "ошибка ввода-вывода"},
      {EINVAL, "недопустимый аргумент"},
      {ENAMETOOLONG, "слишком длинное имя файла"},
      {EILSEQ, "недопустимый символ в имени"},
      {ELOOP, "объект является ссылкой"},
      {ENOTEMPTY, "папка не пуста"},
      {EXDEV, "перемещение на другой диск невозможно"},
      {EMFILE, "слишком много открытых файлов"},
      {ENFILE, "слишком много открытых файлов в системе"},
      {ENOMEM, "недостаточно памяти"},
      {EAGAIN, "ресурс временно недоступен"},
      {EINTR, "операция прервана"},
      {EBADF, "недопустимый дескриптор файла"},
      {ENODEV, "устройство не найдено"},
      {ENXIO, "устройство или адрес не существуют"},
      {EMLINK, "слишком много ссылок"},
  };
  for (const Text& t : kTexts)
    if (static_cast<uint32_t>(t.err) == code) return t.text;
  return "системная ошибка " + std::to_string(code);
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
  Fail(KindOfErrno(err), static_cast<uint32_t>(err), op, what,
       SystemErrorText(static_cast<uint32_t>(err)));
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
           "файл занят другим процессом (нарушение совместного доступа)");
      break;
  }
  return false;
}

bool MapPath(const char* op, const std::string& dos, std::string& host) {
  DosPath parsed;
  std::string why = ParseDosPath(dos, parsed);
  if (!why.empty()) {
    Fail(ErrorKind::Invalid, EINVAL, op, dos, "недопустимый путь: " + why);
    return false;
  }
  DriveMap map = CurrentDriveMap();
  const std::string& root = map.Root(parsed.drive);
  if (root.empty()) {
    Fail(ErrorKind::NotFound, ENOENT, op, dos,
         std::string("диск ") + parsed.drive + ": не подключен");
    return false;
  }
  host = ResolveHostPath(root, parsed);
  return true;
}

}  // namespace posix
}  // namespace os
