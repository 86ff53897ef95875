// Files and mapped views. Handles take part in the share-mode scheme of share.cpp;
// a mapping keeps its file open, so that its share mode and its "mapped" mark last
// as long as the view.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "platform/os.h"
#include "platform/posix/internal.h"
#include "platform/posix/pathmap.h"

namespace os {

using posix::Fail;
using posix::FailErrno;

// ---- File -------------------------------------------------------------------------

File::~File() { Close(); }

File::File(File&& other) noexcept
    : handle_(std::exchange(other.handle_, kInvalid)), path_(std::move(other.path_)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, kInvalid);
    path_ = std::move(other.path_);
  }
  return *this;
}

bool File::Open(const std::string& path, unsigned access, unsigned share,
                Disposition disposition) {
  Close();
  fault::Guard guard(fault::Op::Create, path, std::string(), nullptr, 0, (access & kWrite) != 0);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return posix::FailInjected(f, "CreateFile", path);
  std::string host;
  if (!posix::MapPath("CreateFile", path, host)) return false;
  int fd = posix::OpenShared("CreateFile", path, host, access, share, disposition);
  if (fd < 0) return false;
  handle_ = fd;
  path_ = path;
  return true;
}

bool File::OpenTemporary(const std::string& path) {
  Close();
  fault::Guard guard(fault::Op::Create, path, std::string(), nullptr, 0, true);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return posix::FailInjected(f, "CreateFile", path);
  std::string host;
  if (!posix::MapPath("CreateFile", path, host)) return false;
  const size_t slash = host.find_last_of('/');
  const std::string folder = slash == 0 ? "/" : host.substr(0, slash);
  int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    fd = open(host.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) unlink(host.c_str());
  }
  if (fd < 0) {
    FailErrno("CreateFile", path, errno);
    return false;
  }
  handle_ = fd;
  path_ = path;
  return true;
}

void File::Close() {
  if (handle_ != kInvalid) {
    close(static_cast<int>(handle_));
    handle_ = kInvalid;
  }
}

bool File::Size(uint64_t& size) const {
  struct stat st;
  if (fstat(static_cast<int>(handle_), &st) != 0) {
    FailErrno("GetFileSize", path_, errno);
    return false;
  }
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool File::Seek(uint64_t pos) {
  if (pos > static_cast<uint64_t>(INT64_MAX)) {
    Fail(ErrorKind::Invalid, EINVAL, "SetFilePointer", path_, "позиция вне файла");
    return false;
  }
  if (lseek(static_cast<int>(handle_), static_cast<off_t>(pos), SEEK_SET) < 0) {
    FailErrno("SetFilePointer", path_, errno);
    return false;
  }
  return true;
}

bool File::SeekEnd(uint64_t& pos) {
  off_t at = lseek(static_cast<int>(handle_), 0, SEEK_END);
  if (at < 0) {
    FailErrno("SetFilePointer", path_, errno);
    return false;
  }
  pos = static_cast<uint64_t>(at);
  return true;
}

bool File::Tell(uint64_t& pos) const {
  off_t at = lseek(static_cast<int>(handle_), 0, SEEK_CUR);
  if (at < 0) {
    FailErrno("SetFilePointer", path_, errno);
    return false;
  }
  pos = static_cast<uint64_t>(at);
  return true;
}

bool File::Read(void* buffer, size_t n, size_t& got) {
  got = 0;
  auto* p = static_cast<uint8_t*>(buffer);
  while (got < n) {
    ssize_t r = read(static_cast<int>(handle_), p + got, n - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      FailErrno("ReadFile", path_, errno);
      return false;
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return true;
}

bool File::ReadExact(void* buffer, size_t n) {
  size_t got = 0;
  if (!Read(buffer, n, got)) return false;
  if (got != n) {
    Fail(ErrorKind::Io, EIO, "ReadFile", path_,
         "unexpected end of file (" + std::to_string(got) + " of " + std::to_string(n) +
             " bytes)");
    return false;
  }
  return true;
}

bool File::Write(const void* data, size_t n) {
  fault::Guard guard(fault::Op::Write, path_, std::string(), data, n);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return posix::FailInjected(f, "WriteFile", path_);
  const auto* p = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < n) {
    ssize_t w = write(static_cast<int>(handle_), p + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      FailErrno("WriteFile", path_, errno);
      return false;
    }
    if (w == 0) {  // no progress and no error: the disk takes nothing more
      FailErrno("WriteFile", path_, ENOSPC);
      return false;
    }
    done += static_cast<size_t>(w);
  }
  return true;
}

bool File::Truncate() {
  fault::Guard guard(fault::Op::Truncate, path_);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return posix::FailInjected(f, "SetEndOfFile", path_);
  int fd = static_cast<int>(handle_);
  off_t at = lseek(fd, 0, SEEK_CUR);
  struct stat st;
  if (at < 0 || fstat(fd, &st) != 0) {
    FailErrno("SetEndOfFile", path_, errno);
    return false;
  }
  // As on Windows, a mapped file cannot be cut short under its view.
  if (at < st.st_size && posix::MappedElsewhere(fd)) {
    Fail(ErrorKind::Access, EBUSY, "SetEndOfFile", path_, "файл отображен в память другим процессом");
    return false;
  }
  if (ftruncate(fd, at) != 0) {
    FailErrno("SetEndOfFile", path_, errno);
    return false;
  }
  return true;
}

bool File::Flush() {
  fault::Guard guard(fault::Op::Flush, path_);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return posix::FailInjected(f, "FlushFileBuffers", path_);
  if (fsync(static_cast<int>(handle_)) != 0) {
    FailErrno("FlushFileBuffers", path_, errno);
    return false;
  }
  return true;
}

// ---- Mapping ------------------------------------------------------------------------

namespace {

// Maps `size` bytes of `fd`; an empty file gives an empty view. Sets the error on
// failure.
bool MapView(int fd, uint64_t size, bool writable, const std::string& path, uint8_t*& data) {
  data = nullptr;
  if (size == 0) return true;
  if (size > SIZE_MAX) {
    Fail(ErrorKind::Other, ENOMEM, "MapViewOfFile", path, "файл слишком велик для отображения в память");
    return false;
  }
  void* view = mmap(nullptr, static_cast<size_t>(size),
                    writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) {
    FailErrno("MapViewOfFile", path, errno);
    return false;
  }
  data = static_cast<uint8_t*>(view);
  return true;
}

}  // namespace

Mapping::~Mapping() { Close(); }

Mapping::Mapping(Mapping&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      writable_(std::exchange(other.writable_, false)),
      open_(std::exchange(other.open_, false)),
      file_(std::exchange(other.file_, -1)),
      map_(std::exchange(other.map_, -1)) {}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
  if (this != &other) {
    Close();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    writable_ = std::exchange(other.writable_, false);
    open_ = std::exchange(other.open_, false);
    file_ = std::exchange(other.file_, -1);
    map_ = std::exchange(other.map_, -1);
  }
  return *this;
}

void Mapping::Close() {
  if (data_) munmap(data_, static_cast<size_t>(size_));
  if (file_ != -1) close(static_cast<int>(file_));
  data_ = nullptr;
  size_ = 0;
  writable_ = false;
  open_ = false;
  file_ = -1;
  map_ = -1;
}

namespace {

struct MappedFile {
  int fd = -1;
  uint8_t* data = nullptr;
  uint64_t size = 0;
};

// Opens `path` for a mapping and maps all of it. With `newSize` >= 0 the file is
// created (or emptied) at exactly that size. Sets the error on failure.
bool OpenMapped(const std::string& path, bool writable, int64_t newSize, MappedFile& out) {
  fault::Guard guard(fault::Op::MapCreate, path, std::string(), nullptr, 0, writable);
  if (auto f = guard.inject(); f != fault::Inject::None)
    return posix::FailInjected(f, "CreateFileMapping", path);
  std::string host;
  if (!posix::MapPath("CreateFile", path, host)) return false;
  bool create = newSize >= 0;
  int fd = posix::OpenShared("CreateFile", path, host, writable ? kRead | kWrite : kRead,
                             writable ? kShareRead : kShareRead | kShareWrite,
                             create ? Disposition::CreateAlways : Disposition::OpenExisting);
  if (fd < 0) return false;
  auto fail = [&](int err) {
    FailErrno("CreateFileMapping", path, err);
    close(fd);
    return false;
  };

  uint64_t size;
  if (create) {
    size = static_cast<uint64_t>(newSize);
    if (size > 0) {
      // Reserve the blocks now: a page of a sparse file that cannot be stored later
      // kills the process (SIGBUS) in the middle of writing through the view, while
      // here a full disk is an ordinary error.
      int err = posix_fallocate(fd, 0, static_cast<off_t>(size));
      if (err == EINVAL || err == EOPNOTSUPP)
        err = ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : errno;
      if (err != 0) {
        // Give back what was reserved; the file stays, empty, as CreateFile left it.
        if (ftruncate(fd, 0) != 0) {
        }
        return fail(err);
      }
    }
  } else {
    struct stat st;
    if (fstat(fd, &st) != 0) return fail(errno);
    size = static_cast<uint64_t>(st.st_size);
  }

  int err = posix::MarkMapped(fd);
  if (err != 0) return fail(err);
  if (!MapView(fd, size, writable, path, out.data)) {
    close(fd);
    return false;
  }
  out.fd = fd;
  out.size = size;
  return true;
}

}  // namespace

// The view keeps no path; the open descriptor still tells which file it is.
static std::string ViewPath(int fd) {
  std::string what;
  char link[4096];
  std::string proc = "/proc/self/fd/" + std::to_string(fd);
  ssize_t n = readlink(proc.c_str(), link, sizeof link);
  if (n <= 0 || !posix::HostToDos(posix::CurrentDriveMap(), std::string_view(link, n), what))
    what = "(mapped view)";
  return what;
}

bool Mapping::OpenRead(const std::string& path) {
  Close();
  MappedFile m;
  if (!OpenMapped(path, false, -1, m)) return false;
  data_ = m.data;
  size_ = m.size;
  file_ = m.fd;
  open_ = true;
  return true;
}

bool Mapping::CreateReadWrite(const std::string& path, uint64_t size) {
  Close();
  if (size > static_cast<uint64_t>(INT64_MAX)) {
    Fail(ErrorKind::Invalid, EINVAL, "CreateFileMapping", path, "недопустимый размер");
    return false;
  }
  MappedFile m;
  if (!OpenMapped(path, true, static_cast<int64_t>(size), m)) return false;
  data_ = m.data;
  size_ = m.size;
  file_ = m.fd;
  writable_ = true;
  open_ = true;
  return true;
}

bool Mapping::OpenReadWrite(const std::string& path) {
  Close();
  MappedFile m;
  if (!OpenMapped(path, true, -1, m)) return false;
  data_ = m.data;
  size_ = m.size;
  file_ = m.fd;
  writable_ = true;
  open_ = true;
  return true;
}

void Mapping::ReleasePages(uint64_t offset, uint64_t length) {
  if (!data_ || writable_ || offset >= size_) return;
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  const uint64_t end = length >= size_ - offset ? size_ : offset + length;
  // Whole pages only; the view starts on a page boundary. The last page of the
  // file counts whole: nothing lies past it.
  const uint64_t from = (offset + page - 1) / page * page;
  const uint64_t to = end == size_ ? end : end / page * page;
  if (to <= from) return;
  // A read-only shared mapping of a file: the pages are dropped from the process,
  // never from the file.
  madvise(data_ + from, static_cast<size_t>(to - from), MADV_DONTNEED);
}

bool Mapping::Flush() {
  if (!open_) {
    Fail(ErrorKind::Invalid, EBADF, "FlushViewOfFile", "", "отображение не открыто");
    return false;
  }
  if (!writable_) return true;
  fault::Guard guard(fault::Op::MapFlush, ViewPath(static_cast<int>(file_)));
  if (auto f = guard.inject(); f != fault::Inject::None)
    return posix::FailInjected(f, "FlushViewOfFile", ViewPath(static_cast<int>(file_)));
  if (!data_) return true;
  if (msync(data_, static_cast<size_t>(size_), MS_SYNC) != 0) {
    int err = errno;
    FailErrno("FlushViewOfFile", ViewPath(static_cast<int>(file_)), err);
    return false;
  }
  return true;
}

}  // namespace os
