// Windows share modes between handles, emulated with open-file-description (OFD)
// locks so that they hold between processes as well as between handles of one.
//
// Every handle holds shared (read) locks on single bytes far beyond any real file
// size, one byte for each fact about the handle:
//   kBase + 0  open for reading            kBase + 3  does not share writing
//   kBase + 1  open for writing            kBase + 4  does not share deleting
//   kBase + 2  does not share reading      kBase + 5  the file is mapped through it
// Shared locks never conflict with one another, so any number of handles may hold the
// same byte. Whether some other handle holds a byte is asked with F_OFD_GETLK for a
// write lock there: it reports a conflict exactly when a lock of another open file
// description covers the byte. A new handle is refused with a sharing violation when
//   it reads and some handle does not share reading     (byte 2 is held),
//   it writes and some handle does not share writing    (byte 3),
//   it does not share reading and some handle reads     (byte 0),
//   it does not share writing and some handle writes    (byte 1).
// DeleteFile and MoveFile are refused while byte 4 is held, and shrinking a file while
// byte 5 is held (a mapped view would fault on the lost pages).
// The test and the taking of the locks happen under an exclusive flock() of the file,
// so that two opens racing each other see one another. Locks belong to the open file
// description: they go when the handle's last descriptor is closed, also when the
// process ends, and a handle inherited over fork() stays one handle.
// A handle that may write the file but not read it (no read permission) cannot hold
// shared locks: it is checked against the other handles but is not seen by them.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/internal.h"

namespace os::posix {

namespace {

constexpr off_t kBase = off_t(1) << 62;
enum Slot : off_t {
  kOpenRead = 0,
  kOpenWrite = 1,
  kDenyRead = 2,
  kDenyWrite = 3,
  kDenyDelete = 4,
  kMapped = 5,
};

bool HeldElsewhere(int fd, Slot slot) {
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kBase + slot;
  fl.l_len = 1;
  if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
  return fl.l_type != F_UNLCK;
}

int Hold(int fd, Slot slot) {
  struct flock fl = {};
  fl.l_type = F_RDLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kBase + slot;
  fl.l_len = 1;
  while (fcntl(fd, F_OFD_SETLK, &fl) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// Serialises the share test of concurrent opens of one file. Opens hold it for a few
// system calls; should some other program keep a flock() on the file, the test goes
// ahead unguarded after a while rather than hang.
class Guard {
 public:
  explicit Guard(int fd) : fd_(fd) {
    for (int attempt = 0; attempt < 5000; ++attempt) {
      if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        held_ = true;
        return;
      }
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK) return;
      struct timespec pause = {0, 1000000};
      nanosleep(&pause, nullptr);
    }
  }
  ~Guard() {
    if (held_) flock(fd_, LOCK_UN);
  }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  int fd_;
  bool held_ = false;
};

enum class Entry { Ok, Conflict, Error };

Entry EnterShare(int fd, unsigned access, unsigned share, int& err) {
  Guard guard(fd);
  bool conflict = ((access & kRead) && HeldElsewhere(fd, kDenyRead)) ||
                  ((access & kWrite) && HeldElsewhere(fd, kDenyWrite)) ||
                  (!(share & kShareRead) && HeldElsewhere(fd, kOpenRead)) ||
                  (!(share & kShareWrite) && HeldElsewhere(fd, kOpenWrite));
  if (conflict) return Entry::Conflict;

  Slot slots[5];
  int n = 0;
  if (access & kRead) slots[n++] = kOpenRead;
  if (access & kWrite) slots[n++] = kOpenWrite;
  if (!(share & kShareRead)) slots[n++] = kDenyRead;
  if (!(share & kShareWrite)) slots[n++] = kDenyWrite;
  if (!(share & kShareDelete)) slots[n++] = kDenyDelete;
  for (int i = 0; i < n; ++i) {
    err = Hold(fd, slots[i]);
    if (err == EBADF) return Entry::Ok;  // a write-only descriptor: see the note above
    if (err != 0) return Entry::Error;
  }
  return Entry::Ok;
}

int OpenRetry(const char* path, int flags) {
  int fd;
  do {
    fd = open(path, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

bool DeletionDenied(const std::string& host) {
  int fd = OpenRetry(host.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;  // nothing we can look at holds it through this scheme
  bool denied = HeldElsewhere(fd, kDenyDelete);
  close(fd);
  return denied;
}

bool MappedElsewhere(int fd) { return HeldElsewhere(fd, kMapped); }

int MarkMapped(int fd) { return Hold(fd, kMapped); }

int OpenShared(const char* op, const std::string& dos, const std::string& host, unsigned access,
               unsigned share, Disposition disposition) {
  // CreateAlways may have to empty an existing file, which needs a writable descriptor.
  bool writable = (access & kWrite) || disposition == Disposition::CreateAlways;
  int mode = writable ? O_RDWR : O_RDONLY;
  // A link is never opened for what it points to: a link planted at a file's name
  // would otherwise take a write (or a read into a backup) outside the folder.
  int base = O_CLOEXEC | O_NOCTTY | O_NOFOLLOW;

  auto openAs = [&](int extra) {
    int fd = OpenRetry(host.c_str(), base | mode | extra);
    // A file we may write but not read: a write-only handle is all Windows would give.
    if (fd < 0 && errno == EACCES && mode == O_RDWR && !(access & kRead))
      fd = OpenRetry(host.c_str(), base | O_WRONLY | extra);
    return fd;
  };

  int fd = -1;
  bool created = false;
  switch (disposition) {
    case Disposition::OpenExisting:
      fd = openAs(0);
      break;
    case Disposition::CreateNew:
      fd = openAs(O_CREAT | O_EXCL);
      created = fd >= 0;
      break;
    case Disposition::CreateAlways:
    case Disposition::OpenAlways:
      // Open first, create only when missing: we must know whether the file existed
      // (its share modes and read-only state are checked before it is emptied).
      for (int attempt = 0; attempt < 16; ++attempt) {
        fd = openAs(0);
        if (fd >= 0 || errno != ENOENT) break;
        fd = openAs(O_CREAT | O_EXCL);
        if (fd >= 0) {
          created = true;
          break;
        }
        if (errno != EEXIST) break;
      }
      break;
  }
  if (fd < 0) {
    FailErrno(op, dos, errno);
    return -1;
  }

  auto failWith = [&](ErrorKind kind, uint32_t code, const std::string& reason) {
    close(fd);
    Fail(kind, code, op, dos, reason);
    return -1;
  };

  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    close(fd);
    FailErrno(op, dos, err);
    return -1;
  }
  if (S_ISDIR(st.st_mode)) {
    close(fd);
    FailErrno(op, dos, EISDIR);
    return -1;
  }
  // The read-only attribute binds every user on Windows, the superuser included.
  if (!created && S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR) &&
      ((access & kWrite) || disposition == Disposition::CreateAlways))
    return failWith(ErrorKind::Access, EACCES, "файл только для чтения");

  int err = 0;
  switch (EnterShare(fd, access, share, err)) {
    case Entry::Ok:
      break;
    case Entry::Conflict:
      return failWith(ErrorKind::Sharing, kSharingViolation,
                      "файл занят другим процессом (нарушение совместного доступа)");
    case Entry::Error: {
      close(fd);
      FailErrno(op, dos, err);
      return -1;
    }
  }

  if (disposition == Disposition::CreateAlways && !created && st.st_size > 0) {
    if (MappedElsewhere(fd))
      return failWith(ErrorKind::Access, EBUSY, "файл отображен в память другим процессом");
    if (ftruncate(fd, 0) != 0) {
      int e = errno;
      close(fd);
      FailErrno(op, dos, e);
      return -1;
    }
  }
  return fd;
}

}  // namespace os::posix
