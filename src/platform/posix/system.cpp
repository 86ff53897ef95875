// Named mutexes, the running program, process start, time and disks.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "base/cp1251.h"
#include "platform/os.h"
#include "platform/posix/internal.h"
#include "platform/posix/pathmap.h"

namespace os {

using posix::Fail;
using posix::FailErrno;

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The folder that holds the mutex files: $ZUM_RUNTIME_DIR, else
// $XDG_RUNTIME_DIR/zum-mutex, else /tmp/zum-mutex-<uid>. The last lies in a folder
// everyone may write, so it is used only when it is our own folder, closed to others:
// anybody else could otherwise hold (or fake) our mutexes.
bool RuntimeDir(const std::string& mutexName, std::string& dir) {
  bool shared = false;
  dir = Env("ZUM_RUNTIME_DIR");
  if (dir.empty()) {
    std::string xdg = Env("XDG_RUNTIME_DIR");
    if (!xdg.empty()) {
      dir = xdg + "/zum-mutex";
    } else {
      dir = "/tmp/zum-mutex-" + std::to_string(geteuid());
      shared = true;
    }
  }
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    FailErrno("CreateMutex", mutexName + " (" + cp1251::FromUtf8(dir) + ")", errno);
    return false;
  }
  if (shared) {
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & 022)) {
      Fail(ErrorKind::Access, EACCES, "CreateMutex", mutexName,
           "the folder " + cp1251::FromUtf8(dir) + " is not a private folder of this user");
      return false;
    }
  }
  return true;
}

// What the started program's side reports when it cannot get as far as exec.
struct StartFailure {
  int stage;  // 1 = fork, 2 = change of folder, 3 = exec
  int err;
};

void ReportStartFailure(int fd, int stage, int err) {
  StartFailure f = {stage, err};
  const char* p = reinterpret_cast<const char*>(&f);
  size_t left = sizeof f;
  while (left > 0) {
    ssize_t w = write(fd, p, left);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    left -= static_cast<size_t>(w);
  }
}

}  // namespace

// ---- NamedMutex -------------------------------------------------------------------

NamedMutex::~NamedMutex() { Close(); }

NamedMutex::NamedMutex(NamedMutex&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)) {}

NamedMutex& NamedMutex::operator=(NamedMutex&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

// The lock is flock() on the mutex's file, which belongs to the open file description:
// a second handle in this process conflicts like another process, and the lock goes
// when the holder closes it or ends. The files stay in the runtime folder; removing
// them would let a new opener lock a file that was just unlinked.
bool NamedMutex::Create(const std::string& name, bool& existed) {
  Close();
  existed = false;
  std::string dir;
  if (!RuntimeDir(name, dir)) return false;
  std::string file = dir + "/" + posix::MutexFileName(name);
  int fd;
  do {
    fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    FailErrno("CreateMutex", name, errno);
    return false;
  }
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) {
      // Like Windows, the caller gets a handle to the existing mutex and is told so.
      existed = true;
      Fail(ErrorKind::Exists, EEXIST, "CreateMutex", name, "мьютекс уже существует");
      break;
    }
    int err = errno;
    close(fd);
    FailErrno("CreateMutex", name, err);
    return false;
  }
  handle_ = fd;
  return true;
}

void NamedMutex::Close() {
  if (handle_ != -1) {
    close(static_cast<int>(handle_));
    handle_ = -1;
  }
}

// ---- the running program and process start ------------------------------------------

std::string ModulePath() {
  std::string host(256, '\0');
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", host.data(), host.size());
    if (n < 0) {
      FailErrno("GetModuleFileName", "/proc/self/exe", errno);
      return {};
    }
    if (static_cast<size_t>(n) < host.size()) {
      host.resize(static_cast<size_t>(n));
      break;
    }
    host.resize(host.size() * 2);
  }
  std::string dos;
  if (!posix::HostToDos(posix::CurrentDriveMap(), host, dos)) {
    Fail(ErrorKind::NotFound, ENOENT, "GetModuleFileName", cp1251::FromUtf8(host),
         "путь не лежит ни на одном диске");
    return {};
  }
  return dos;
}

// The program is started by a child that forks again and ends at once, so the program
// becomes a child of the system's reaper in a session of its own and never lingers as
// our zombie. A close-on-exec pipe carries the errno back when the change of folder or
// the exec fails; it reads empty when the exec succeeded.
bool StartProcess(const std::string& exePath, const std::string& workDir, int showCmd) {
  (void)showCmd;  // no windows here
  std::string hostExe, hostDir;
  if (!posix::MapPath("CreateProcess", exePath, hostExe)) return false;
  if (!workDir.empty() && !posix::MapPath("CreateProcess", workDir, hostDir)) return false;

  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    FailErrno("CreateProcess", exePath, errno);
    return false;
  }
  // Everything the children use is prepared here: after fork() only async-signal-safe
  // calls are made.
  char* const argv[] = {const_cast<char*>(hostExe.c_str()), nullptr};
  const char* dir = hostDir.empty() ? nullptr : hostDir.c_str();

  pid_t child = fork();
  if (child < 0) {
    int err = errno;
    close(pipeFds[0]);
    close(pipeFds[1]);
    FailErrno("CreateProcess", exePath, err);
    return false;
  }
  if (child == 0) {
    close(pipeFds[0]);
    setsid();
    pid_t grandchild = fork();
    if (grandchild < 0) {
      ReportStartFailure(pipeFds[1], 1, errno);
      _exit(127);
    }
    if (grandchild > 0) _exit(0);

    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, nullptr);
    sigaction(SIGCHLD, &dfl, nullptr);
    // No inherited handles: standard input from nowhere, every other descriptor
    // closed at the exec (standard output and error stay for diagnostics).
    int null = open("/dev/null", O_RDONLY);
    if (null > 0) {
      dup2(null, 0);
      close(null);
    }
    close_range(3, ~0u, CLOSE_RANGE_CLOEXEC);
    if (dir && chdir(dir) != 0) {
      ReportStartFailure(pipeFds[1], 2, errno);
      _exit(127);
    }
    execv(argv[0], argv);
    ReportStartFailure(pipeFds[1], 3, errno);
    _exit(127);
  }

  close(pipeFds[1]);
  int status;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  StartFailure failure = {};
  size_t got = 0;
  while (got < sizeof failure) {
    ssize_t r = read(pipeFds[0], reinterpret_cast<char*>(&failure) + got, sizeof failure - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  close(pipeFds[0]);
  if (got == 0) return true;
  if (got < sizeof failure) failure = {1, EIO};
  std::string what = exePath;
  if (failure.stage == 2) what += " (folder " + workDir + ")";
  FailErrno("CreateProcess", what, failure.err);
  return false;
}

// No system start with other rights here: a user who cannot write the folder runs
// the installer again as its owner.
bool CanStartElevated() { return false; }

bool StartElevated(const std::string& exePath, const std::string& workDir) {
  (void)workDir;
  FailErrno("ShellExecute", exePath, ENOSYS);
  return false;
}

unsigned SetFailCriticalErrors() { return 0; }

void RestoreErrorMode(unsigned previous) { (void)previous; }

// ---- time ---------------------------------------------------------------------------

namespace {

// The size of the pages the kernel may back a large block with.
constexpr size_t kHugePage = size_t{2} << 20;

size_t WholePages(size_t size) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return (size + page - 1) / page * page;
}

}  // namespace

void* AllocateLarge(size_t size) {
  if (size == 0) return nullptr;
  const size_t length = WholePages(size);
  if (length < size || length > SIZE_MAX - kHugePage) return nullptr;
  // Mapped a huge page longer, then cut to a block that starts on a huge-page
  // boundary, so that all of it can be backed by huge pages.
  void* mapped = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
  const uintptr_t aligned = (start + kHugePage - 1) & ~uintptr_t{kHugePage - 1};
  if (aligned != start) munmap(mapped, aligned - start);
  const uintptr_t end = start + length + kHugePage;
  if (end != aligned + length) munmap(reinterpret_cast<void*>(aligned + length), end - aligned - length);
  void* block = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  madvise(block, length, MADV_HUGEPAGE);  // only advice: small pages serve as well
#endif
  return block;
}

void ReleaseLarge(void* block, size_t size) {
  if (block) munmap(block, WholePages(size));
}

void SleepMs(unsigned ms) {
  if (fault::NoSleep()) return;
  struct timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

uint64_t TickMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

LocalTime Now() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm tm = {};
  localtime_r(&now.tv_sec, &tm);
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                   tm.tm_min,         tm.tm_sec,     static_cast<int>(now.tv_nsec / 1000000)};
}

// ---- disks --------------------------------------------------------------------------

uint32_t LogicalDrives() { return posix::CurrentDriveMap().Letters(); }

namespace {

// ZUM_DRIVE_TYPES="D=removable;E=remote" gives letters the type a test needs.
bool DriveTypeOverride(char letter, DriveType& type) {
  static const std::pair<const char*, DriveType> kNames[] = {
      {"unknown", DriveType::Unknown}, {"noroot", DriveType::NoRoot},
      {"removable", DriveType::Removable}, {"fixed", DriveType::Fixed},
      {"remote", DriveType::Remote},   {"cdrom", DriveType::CdRom},
      {"ramdisk", DriveType::RamDisk}};
  std::string list = Env("ZUM_DRIVE_TYPES");
  std::string_view rest = list;
  bool found = false;
  while (!rest.empty()) {
    size_t end = rest.find(';');
    std::string_view entry = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (entry.size() < 3 || entry[1] != '=' || cp1251::ToUpper(entry[0]) != letter) continue;
    for (const auto& [name, value] : kNames) {
      if (cp1251::EqualNoCase(entry.substr(2), name)) {
        type = value;
        found = true;  // a later entry wins
      }
    }
  }
  return found;
}

}  // namespace

DriveType GetDriveType(const std::string& root) {
  if (!(root.size() == 2 || (root.size() == 3 && root[2] == '\\')) || root[1] != ':')
    return DriveType::NoRoot;
  char letter = cp1251::ToUpper(root[0]);
  if (letter < 'A' || letter > 'Z') return DriveType::NoRoot;
  DriveType type;
  if (DriveTypeOverride(letter, type)) return type;
  posix::DriveMap map = posix::CurrentDriveMap();
  const std::string& host = map.Root(letter);
  struct stat st;
  if (host.empty() || stat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return DriveType::NoRoot;
  return DriveType::Fixed;
}

bool FreeSpace(const std::string& path, uint64_t& freeBytes) {
  const char* op = "GetDiskFreeSpaceEx";
  std::string host;
  if (!posix::MapPath(op, path, host)) return false;
  posix::DosPath parsed;
  posix::ParseDosPath(path, parsed);
  posix::DriveMap map = posix::CurrentDriveMap();
  const std::string& root = map.Root(parsed.drive);
  // A folder not made yet counts on the disk of its nearest existing ancestor; the
  // walk stops at the drive's root, which must exist.
  std::string probe = host;
  struct stat st;
  while (stat(probe.c_str(), &st) != 0) {
    if (probe.size() <= root.size()) {
      FailErrno(op, path, errno);
      return false;
    }
    while (probe.size() > 1 && probe.back() == '/') probe.pop_back();
    size_t slash = probe.rfind('/');
    probe = slash == 0 ? "/" : probe.substr(0, slash);
  }
  struct statvfs vfs;
  if (statvfs(probe.c_str(), &vfs) != 0) {
    FailErrno(op, path, errno);
    return false;
  }
  freeBytes = static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
  fault::CapFreeSpace(freeBytes);
  return true;
}

std::string WindowsDir() { return cp1251::FromUtf8(Env("ZUM_WINDOWS_DIR")); }

}  // namespace os
