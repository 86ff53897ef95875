// Files and mapped views on Windows: CreateFileA with the caller's share mode,
// 64-bit sizes and positions, and read-only or read-write views of whole files.
#include <algorithm>
#include <limits>

#include "platform/os.h"
#include "platform/win32/errors.h"
#include "platform/win32/handles.h"

namespace os {

using win32::Fail;
using win32::FailAs;
using win32::FromHandle;
using win32::ToHandle;

namespace {

// CreateFileA that never opens what a link points to: a link (a symbolic link, a
// junction) standing at the name is refused, and one that appears between the look
// and the open is opened as itself and refused then.
HANDLE CreateNoLink(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
  const DWORD a = ::GetFileAttributesA(path.c_str());
  if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT)) {
    ::SetLastError(ERROR_CANT_RESOLVE_FILENAME);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = ::CreateFileA(path.c_str(), access, share, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return h;
  BY_HANDLE_FILE_INFORMATION info;
  if (::GetFileInformationByHandle(h, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    ::CloseHandle(h);
    ::SetLastError(ERROR_CANT_RESOLVE_FILENAME);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

// ReadFile and WriteFile take 32-bit counts; larger transfers go in pieces.
constexpr size_t kMaxChunk = 1u << 30;

DWORD DesiredAccess(unsigned access) {
  DWORD result = 0;
  if (access & kRead) result |= GENERIC_READ;
  if (access & kWrite) result |= GENERIC_WRITE;
  return result;
}

DWORD ShareMode(unsigned share) {
  DWORD result = 0;
  if (share & kShareRead) result |= FILE_SHARE_READ;
  if (share & kShareWrite) result |= FILE_SHARE_WRITE;
  if (share & kShareDelete) result |= FILE_SHARE_DELETE;
  return result;
}

DWORD CreationDisposition(Disposition disposition) {
  switch (disposition) {
    case Disposition::OpenExisting:
      return OPEN_EXISTING;
    case Disposition::CreateAlways:
      return CREATE_ALWAYS;
    case Disposition::CreateNew:
      return CREATE_NEW;
    case Disposition::OpenAlways:
      return OPEN_ALWAYS;
  }
  return OPEN_EXISTING;
}

bool NotOpen(const char* operation, const std::string& path) {
  return FailAs(ErrorKind::Invalid, operation, path, ERROR_INVALID_HANDLE);
}

}  // namespace

// ---- File ---------------------------------------------------------------------------

File::~File() { Close(); }

File::File(File&& other) noexcept : handle_(other.handle_), path_(std::move(other.path_)) {
  other.handle_ = kInvalid;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    path_ = std::move(other.path_);
    other.handle_ = kInvalid;
  }
  return *this;
}

bool File::Open(const std::string& path, unsigned access, unsigned share,
                Disposition disposition) {
  Close();
  path_ = path;
  fault::Guard guard(fault::Op::Create, path, std::string(), nullptr, 0, (access & kWrite) != 0);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return win32::FailInjected(f, "CreateFileA", path);
  HANDLE h = CreateNoLink(path, DesiredAccess(access), ShareMode(share),
                          CreationDisposition(disposition));
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = ::GetLastError();
    return Fail("CreateFileA", path, err);
  }
  handle_ = FromHandle(h);
  return true;
}

bool File::OpenTemporary(const std::string& path) {
  Close();
  path_ = path;
  fault::Guard guard(fault::Op::Create, path, std::string(), nullptr, 0, true);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return win32::FailInjected(f, "CreateFileA", path);
  const DWORD a = ::GetFileAttributesA(path.c_str());
  if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT))
    return Fail("CreateFileA", path, ERROR_CANT_RESOLVE_FILENAME);
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Fail("CreateFileA", path, ::GetLastError());
  handle_ = FromHandle(h);
  return true;
}

void File::Close() {
  if (handle_ != kInvalid) ::CloseHandle(ToHandle(handle_));
  handle_ = kInvalid;
}

bool File::Size(uint64_t& size) const {
  if (!IsOpen()) return NotOpen("GetFileSizeEx", path_);
  LARGE_INTEGER li;
  if (!::GetFileSizeEx(ToHandle(handle_), &li)) {
    const DWORD err = ::GetLastError();
    return Fail("GetFileSizeEx", path_, err);
  }
  size = static_cast<uint64_t>(li.QuadPart);
  return true;
}

bool File::Seek(uint64_t pos) {
  if (!IsOpen()) return NotOpen("SetFilePointerEx", path_);
  if (pos > static_cast<uint64_t>(std::numeric_limits<LONGLONG>::max()))
    return FailAs(ErrorKind::Invalid, "SetFilePointerEx", path_, ERROR_NEGATIVE_SEEK);
  LARGE_INTEGER li;
  li.QuadPart = static_cast<LONGLONG>(pos);
  if (!::SetFilePointerEx(ToHandle(handle_), li, nullptr, FILE_BEGIN)) {
    const DWORD err = ::GetLastError();
    return Fail("SetFilePointerEx", path_, err);
  }
  return true;
}

bool File::SeekEnd(uint64_t& pos) {
  if (!IsOpen()) return NotOpen("SetFilePointerEx", path_);
  LARGE_INTEGER zero, now;
  zero.QuadPart = 0;
  if (!::SetFilePointerEx(ToHandle(handle_), zero, &now, FILE_END)) {
    const DWORD err = ::GetLastError();
    return Fail("SetFilePointerEx", path_, err);
  }
  pos = static_cast<uint64_t>(now.QuadPart);
  return true;
}

bool File::Tell(uint64_t& pos) const {
  if (!IsOpen()) return NotOpen("SetFilePointerEx", path_);
  LARGE_INTEGER zero, now;
  zero.QuadPart = 0;
  if (!::SetFilePointerEx(ToHandle(handle_), zero, &now, FILE_CURRENT)) {
    const DWORD err = ::GetLastError();
    return Fail("SetFilePointerEx", path_, err);
  }
  pos = static_cast<uint64_t>(now.QuadPart);
  return true;
}

bool File::Read(void* buffer, size_t n, size_t& got) {
  got = 0;
  if (!IsOpen()) return NotOpen("ReadFile", path_);
  auto* out = static_cast<uint8_t*>(buffer);
  while (got < n) {
    const DWORD want = static_cast<DWORD>(std::min(n - got, kMaxChunk));
    DWORD done = 0;
    if (!::ReadFile(ToHandle(handle_), out + got, want, &done, nullptr)) {
      const DWORD err = ::GetLastError();
      // Pipes and some devices report the end this way; for a file it is just the end.
      if (err == ERROR_HANDLE_EOF || err == ERROR_BROKEN_PIPE) break;
      return Fail("ReadFile", path_, err);
    }
    if (done == 0) break;  // end of the file
    got += done;
  }
  return true;
}

bool File::ReadExact(void* buffer, size_t n) {
  size_t got = 0;
  if (!Read(buffer, n, got)) return false;
  if (got != n) return FailAs(ErrorKind::Io, "ReadFile", path_, ERROR_HANDLE_EOF);
  return true;
}

bool File::Write(const void* data, size_t n) {
  if (!IsOpen()) return NotOpen("WriteFile", path_);
  fault::Guard guard(fault::Op::Write, path_, std::string(), data, n);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return win32::FailInjected(f, "WriteFile", path_);
  const auto* in = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < n) {
    const DWORD want = static_cast<DWORD>(std::min(n - done, kMaxChunk));
    DWORD wrote = 0;
    if (!::WriteFile(ToHandle(handle_), in + done, want, &wrote, nullptr)) {
      const DWORD err = ::GetLastError();
      return Fail("WriteFile", path_, err);
    }
    // A write that takes nothing would loop for ever; the medium took no more.
    if (wrote == 0) return FailAs(ErrorKind::DiskFull, "WriteFile", path_, ERROR_HANDLE_DISK_FULL);
    done += wrote;
  }
  return true;
}

bool File::Truncate() {
  if (!IsOpen()) return NotOpen("SetEndOfFile", path_);
  fault::Guard guard(fault::Op::Truncate, path_);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return win32::FailInjected(f, "SetEndOfFile", path_);
  if (!::SetEndOfFile(ToHandle(handle_))) {
    const DWORD err = ::GetLastError();
    return Fail("SetEndOfFile", path_, err);
  }
  return true;
}

bool File::Flush() {
  if (!IsOpen()) return NotOpen("FlushFileBuffers", path_);
  fault::Guard guard(fault::Op::Flush, path_);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return win32::FailInjected(f, "FlushFileBuffers", path_);
  if (!::FlushFileBuffers(ToHandle(handle_))) {
    const DWORD err = ::GetLastError();
    return Fail("FlushFileBuffers", path_, err);
  }
  return true;
}

// ---- Mapping ------------------------------------------------------------------------

namespace {

// What a successful map leaves behind; moved into the Mapping only when every step
// worked, so a failure releases whatever was made on the way.
struct MapParts {
  win32::UniqueHandle file;
  win32::UniqueHandle map;
  win32::MappedView view;
  uint64_t size = 0;
};

// Maps all of an open file. A file of 0 bytes cannot have a mapping object: it
// gets an empty view. `createSize` is the length to give the file (0: keep it).
bool MapWhole(MapParts& parts, const std::string& path, bool writable, uint64_t createSize) {
  uint64_t size = createSize;
  if (size == 0) {
    LARGE_INTEGER li;
    if (!::GetFileSizeEx(parts.file.get(), &li)) {
      const DWORD err = ::GetLastError();
      return Fail("GetFileSizeEx", path, err);
    }
    size = static_cast<uint64_t>(li.QuadPart);
  }
  parts.size = size;
  if (size == 0) return true;
  if constexpr (sizeof(size_t) < sizeof(uint64_t)) {
    if (size > std::numeric_limits<size_t>::max())
      return FailAs(ErrorKind::Invalid, "MapViewOfFile", path, ERROR_NOT_ENOUGH_MEMORY);
  }

  // With a size, the mapping object of a writable file also sets the file's length.
  const DWORD high = static_cast<DWORD>(createSize >> 32);
  const DWORD low = static_cast<DWORD>(createSize & 0xFFFFFFFFu);
  parts.map.reset(::CreateFileMappingA(parts.file.get(), nullptr,
                                       writable ? PAGE_READWRITE : PAGE_READONLY, high, low,
                                       nullptr));
  if (!parts.map) {
    const DWORD err = ::GetLastError();
    return Fail("CreateFileMappingA", path, err);
  }
  parts.view.reset(::MapViewOfFile(parts.map.get(), writable ? FILE_MAP_WRITE : FILE_MAP_READ,
                                   0, 0, 0));
  if (!parts.view) {
    const DWORD err = ::GetLastError();
    return Fail("MapViewOfFile", path, err);
  }
  return true;
}

HANDLE OpenForMapping(const std::string& path, bool writable, DWORD disposition) {
  const DWORD access = writable ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
  // Readers of a view let others read and write the file; a writer lets them read.
  const DWORD share = writable ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
  return CreateNoLink(path, access, share, disposition);
}

}  // namespace

Mapping::~Mapping() { Close(); }

Mapping::Mapping(Mapping&& other) noexcept
    : data_(other.data_),
      size_(other.size_),
      writable_(other.writable_),
      open_(other.open_),
      file_(other.file_),
      map_(other.map_) {
  other.data_ = nullptr;
  other.size_ = 0;
  other.writable_ = false;
  other.open_ = false;
  other.file_ = -1;
  other.map_ = -1;
}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
  if (this != &other) {
    Close();
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(writable_, other.writable_);
    std::swap(open_, other.open_);
    std::swap(file_, other.file_);
    std::swap(map_, other.map_);
  }
  return *this;
}

void Mapping::Close() {
  if (data_ != nullptr) ::UnmapViewOfFile(data_);
  if (map_ != -1) ::CloseHandle(ToHandle(map_));
  if (file_ != -1) ::CloseHandle(ToHandle(file_));
  data_ = nullptr;
  size_ = 0;
  writable_ = false;
  open_ = false;
  file_ = -1;
  map_ = -1;
}

namespace {

void Adopt(MapParts& parts, bool writable, uint8_t*& data, uint64_t& size, bool& isWritable,
           bool& open, intptr_t& file, intptr_t& map) {
  data = static_cast<uint8_t*>(parts.view.release());
  size = parts.size;
  isWritable = writable;
  open = true;
  file = FromHandle(parts.file.release());
  map = parts.map ? FromHandle(parts.map.release()) : -1;
}

}  // namespace

bool Mapping::OpenRead(const std::string& path) {
  Close();
  MapParts parts;
  parts.file.reset(OpenForMapping(path, false, OPEN_EXISTING));
  if (!parts.file) {
    const DWORD err = ::GetLastError();
    return Fail("CreateFileA", path, err);
  }
  if (!MapWhole(parts, path, false, 0)) return false;
  Adopt(parts, false, data_, size_, writable_, open_, file_, map_);
  return true;
}

bool Mapping::OpenReadWrite(const std::string& path) {
  Close();
  fault::Guard guard(fault::Op::MapCreate, path);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return win32::FailInjected(f, "CreateFileA", path);
  MapParts parts;
  parts.file.reset(OpenForMapping(path, true, OPEN_EXISTING));
  if (!parts.file) {
    const DWORD err = ::GetLastError();
    return Fail("CreateFileA", path, err);
  }
  if (!MapWhole(parts, path, true, 0)) return false;
  Adopt(parts, true, data_, size_, writable_, open_, file_, map_);
  return true;
}

bool Mapping::CreateReadWrite(const std::string& path, uint64_t size) {
  Close();
  fault::Guard guard(fault::Op::MapCreate, path);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return win32::FailInjected(f, "CreateFileA", path);
  MapParts parts;
  parts.file.reset(OpenForMapping(path, true, CREATE_ALWAYS));
  if (!parts.file) {
    const DWORD err = ::GetLastError();
    return Fail("CreateFileA", path, err);
  }
  if (!MapWhole(parts, path, true, size)) {
    // The file would otherwise stay behind at a length nobody asked for (0 bytes, or
    // whatever the system managed before a full disk). The error is already recorded.
    parts.view.reset();
    parts.map.reset();
    parts.file.reset();
    ::DeleteFileA(path.c_str());
    return false;
  }
  Adopt(parts, true, data_, size_, writable_, open_, file_, map_);
  return true;
}

void Mapping::ReleasePages(uint64_t offset, uint64_t length) {
  if (data_ == nullptr || writable_ || offset >= size_) return;
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  const uint64_t page = info.dwPageSize;
  const uint64_t end = length >= size_ - offset ? size_ : offset + length;
  const uint64_t from = (offset + page - 1) / page * page;
  const uint64_t to = end == size_ ? end : end / page * page;
  if (to <= from) return;
  // Unlocking pages that were never locked takes them out of the working set; it
  // reports ERROR_NOT_LOCKED, which is what is expected here.
  ::VirtualUnlock(data_ + from, static_cast<SIZE_T>(to - from));
}

bool Mapping::Flush() {
  if (!open_) return FailAs(ErrorKind::Invalid, "FlushViewOfFile", "", ERROR_INVALID_HANDLE);
  if (!writable_) return true;  // nothing of ours to write back
  fault::Guard guard(fault::Op::MapFlush, "");
  if (auto f = guard.inject(); f != fault::Inject::None)
    return win32::FailInjected(f, "FlushViewOfFile", "");
  if (data_ != nullptr && !::FlushViewOfFile(data_, 0)) {
    const DWORD err = ::GetLastError();
    return Fail("FlushViewOfFile", "", err);
  }
  if (!::FlushFileBuffers(ToHandle(file_))) {
    const DWORD err = ::GetLastError();
    return Fail("FlushFileBuffers", "", err);
  }
  return true;
}

}  // namespace os
