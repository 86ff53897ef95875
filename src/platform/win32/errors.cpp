// The last error of each thread, and its text from the system's message table.
#include "platform/win32/errors.h"

namespace os {

namespace {
thread_local Error t_lastError;
}  // namespace

const Error& LastError() { return t_lastError; }

std::string LastErrorText() { return t_lastError.text; }

namespace {
thread_local Error t_firstChange;
}  // namespace

const Error& FirstChangeError() { return t_firstChange; }

void ResetFirstChangeError() { t_firstChange = Error(); }

void SetLastError(ErrorKind kind, uint32_t code, const std::string& text) {
  t_lastError.kind = kind;
  t_lastError.code = code;
  t_lastError.text = text;
  if (fault::InChange() && t_firstChange.kind == ErrorKind::None && kind != ErrorKind::Exists &&
      kind != ErrorKind::NotFound)
    t_firstChange = t_lastError;
}

std::string SystemErrorText(uint32_t code) {
  // The user reads Russian on a system of any language: the errors a file
  // operation of the installer can meet have their own texts, the others the
  // system's Russian text where it has one.
  struct Text {
    DWORD code;
    const char* text;
  };
  static const Text kTexts[] = {
      {ERROR_FILE_NOT_FOUND, "файл не найден"},
      {ERROR_PATH_NOT_FOUND, "путь не найден"},
      {ERROR_ALREADY_EXISTS, "файл уже существует"},
      {ERROR_FILE_EXISTS, "файл уже существует"},
      {ERROR_ACCESS_DENIED, "отказано в доступе"},
      {ERROR_SHARING_VIOLATION, "файл занят другим процессом (нарушение совместного доступа)"},
      {ERROR_LOCK_VIOLATION, "часть файла заблокирована другим процессом"},
      {ERROR_DISK_FULL, "нет места на диске"},
      {ERROR_HANDLE_DISK_FULL, "нет места на диске"},
      {ERROR_INVALID_NAME, "недопустимое имя файла или папки"},
      {ERROR_BAD_PATHNAME, "недопустимый путь"},
      {ERROR_FILENAME_EXCED_RANGE, "слишком длинное имя файла"},
      {ERROR_DIRECTORY, "недопустимое имя папки"},
      {ERROR_INVALID_PARAMETER, "недопустимый параметр"},
      {ERROR_INVALID_HANDLE, "недопустимый дескриптор"},
      {ERROR_READ_FAULT, "ошибка чтения с устройства"},
      {ERROR_WRITE_FAULT, "ошибка записи на устройство"},
      {ERROR_CRC, "ошибка данных (CRC)"},
      {ERROR_NOT_READY, "устройство не готово"},
      {ERROR_HANDLE_EOF, "достигнут конец файла"},
      {ERROR_DIR_NOT_EMPTY, "папка не пуста"},
      {ERROR_IO_DEVICE, "ошибка ввода-вывода"},
      {ERROR_WRITE_PROTECT, "диск защищен от записи"},
      {ERROR_NOT_SAME_DEVICE, "перемещение на другой диск невозможно"},
      {ERROR_GEN_FAILURE, "устройство не работает"},
      {ERROR_NOT_ENOUGH_MEMORY, "недостаточно памяти"},
      {ERROR_OUTOFMEMORY, "недостаточно памяти"},
      {ERROR_CANT_ACCESS_FILE, "нет доступа к файлу"},
      {ERROR_CANT_RESOLVE_FILENAME, "объект является ссылкой"},
  };
  for (const Text& t : kTexts)
    if (t.code == code) return t.text;
  char buffer[1024];
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), buffer,
                             sizeof buffer, nullptr);
  while (n > 0 && (buffer[n - 1] == '\r' || buffer[n - 1] == '\n' || buffer[n - 1] == ' '))
    --n;
  if (n == 0) return "системная ошибка " + std::to_string(code);
  return std::string(buffer, n);
}

namespace win32 {

ErrorKind KindOf(DWORD code) {
  switch (code) {
    case ERROR_SUCCESS:
      return ErrorKind::None;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ErrorKind::NotFound;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return ErrorKind::Exists;
    case ERROR_ACCESS_DENIED:
      return ErrorKind::Access;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return ErrorKind::Sharing;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ErrorKind::DiskFull;
    // Names and arguments the system cannot take at all.
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_DIRECTORY:
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_HANDLE:
      return ErrorKind::Invalid;
    // The device or the medium failed, or the data ran out.
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_CRC:
    case ERROR_SEEK:
    case ERROR_SECTOR_NOT_FOUND:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_HANDLE_EOF:
    case ERROR_DIR_NOT_EMPTY:
    case ERROR_IO_DEVICE:
    case ERROR_WRITE_PROTECT:
    case ERROR_NOT_SAME_DEVICE:
      return ErrorKind::Io;
    default:
      return ErrorKind::Other;
  }
}


bool FailAs(ErrorKind kind, const char* operation, const std::string& subject, DWORD code) {
  std::string text = operation;
  if (!subject.empty()) text += " \"" + subject + "\"";
  text += ": " + SystemErrorText(code);
  SetLastError(kind, code, text);
  return false;
}

bool Fail(const char* operation, const std::string& subject, DWORD code) {
  // A failure the system forgot to explain is still a failure.
  const ErrorKind kind = KindOf(code);
  return FailAs(kind == ErrorKind::None ? ErrorKind::Other : kind, operation, subject, code);
}

bool FailInjected(fault::Inject inject, const char* operation, const std::string& subject) {
  DWORD code = ERROR_SHARING_VIOLATION;
  switch (inject) {
    case fault::Inject::DiskFull: code = ERROR_DISK_FULL; break;
    case fault::Inject::Io: code = ERROR_IO_DEVICE; break;
    case fault::Inject::Access: code = ERROR_ACCESS_DENIED; break;
    case fault::Inject::Sharing:
    case fault::Inject::None: break;
  }
  return Fail(operation, subject, code);
}

std::wstring Wide(const std::string& ansi) {
  const int n = ::MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, nullptr, 0);
  std::wstring w(n > 0 ? n : 1, L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, w.data(), n);
  w.resize(w.size() - 1);
  return w;
}

}  // namespace win32
}  // namespace os
