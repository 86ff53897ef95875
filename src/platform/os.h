// The platform interface: everything the core asks of the operating system.
//
// Paths are DOS-style CP1251 texts ("Z:\home\user\zum\Exe\zum.exe"). On Windows they
// are handed to the ANSI ("A") API as they are. On Linux the POSIX implementation
// maps them: a drive map (Z: is "/" unless ZUM_DRIVES says otherwise, see
// posix/pathmap.h), a case-insensitive lookup of every existing path component, and
// CP1251 bytes to UTF-8 names.
//
// Every call that can fail returns false (or an empty/zero result) and leaves the
// reason in LastError() of the calling thread; the core never sees errno or
// GetLastError() directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/local_time.h"

namespace os {

// ---- errors ---------------------------------------------------------------------

// Portable error classes; `code` keeps the system's own number for the protocol.
enum class ErrorKind { None, NotFound, Exists, Access, Sharing, DiskFull, Io, Invalid, Other };

struct Error {
  ErrorKind kind = ErrorKind::None;
  uint32_t code = 0;   // GetLastError() value or errno
  std::string text;    // CP1251, the system's description plus the operation
};

const Error& LastError();
// The text the protocol gives a system error number (errno on Linux, a
// GetLastError() value on Windows), in Russian for the errors a file operation can
// meet.
std::string SystemErrorText(uint32_t code);
std::string LastErrorText();
void SetLastError(ErrorKind kind, uint32_t code, const std::string& text);
// The first failure in this process of an operation that changes the file system
// (create, write, flush, move, delete, make or remove a folder ...), "already exists"
// and "not found" aside (a clean-up's look for what is gone, never the cause): the
// refusal that a failed run goes back to. Kept apart from LastError(),
// which any later failed look-up overwrites. Kind None while none has failed.
const Error& FirstChangeError();
// Forgets it, at the start of a run.
void ResetFirstChangeError();

// ---- files ----------------------------------------------------------------------

enum Access : unsigned { kRead = 1, kWrite = 2 };
// Share modes as on Windows: what other openers may do while this handle is open.
enum Share : unsigned { kShareNone = 0, kShareRead = 1, kShareWrite = 2, kShareDelete = 4, kShareAll = 7 };
enum class Disposition { OpenExisting, CreateAlways, CreateNew, OpenAlways };

// An open file. Move-only; closed by the destructor.
class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool Open(const std::string& path, unsigned access, unsigned share, Disposition disposition);
  // A scratch file for reading and writing at `path`, shared with no one, that is
  // gone once it is closed, also when the process is killed (on Windows a file
  // deleted on close; on Linux a file without a name where the file system allows,
  // else one whose name is removed at once).
  bool OpenTemporary(const std::string& path);
  bool IsOpen() const { return handle_ != kInvalid; }
  void Close();

  bool Size(uint64_t& size) const;
  bool Seek(uint64_t pos);
  bool SeekEnd(uint64_t& pos);      // moves to the end and reports the position
  bool Tell(uint64_t& pos) const;
  // Reads up to n bytes; `got` < n only at the end of the file.
  bool Read(void* buffer, size_t n, size_t& got);
  // Reads exactly n bytes; a short read is an error (ErrorKind::Io).
  bool ReadExact(void* buffer, size_t n);
  bool Write(const void* data, size_t n);  // all n bytes, one system write where possible
  bool Truncate();                  // the file ends at the current position
  bool Flush();                     // to the disk (FlushFileBuffers / fsync)

  intptr_t NativeHandle() const { return handle_; }

 private:
  static constexpr intptr_t kInvalid = -1;
  intptr_t handle_ = kInvalid;
  std::string path_;  // for error texts
};

// A mapped view of a whole file. Move-only; unmapped by the destructor.
// A file of 0 bytes maps to an empty view (data() is null, size() is 0).
class Mapping {
 public:
  Mapping() = default;
  ~Mapping();
  Mapping(Mapping&& other) noexcept;
  Mapping& operator=(Mapping&& other) noexcept;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  // Read-only view of an existing file, opened sharing reads and writes.
  bool OpenRead(const std::string& path);
  // Creates (or replaces) the file at exactly `size` bytes and maps it read-write.
  bool CreateReadWrite(const std::string& path, uint64_t size);
  // Maps an existing file read-write at its current size.
  bool OpenReadWrite(const std::string& path);
  bool Flush();
  void Close();
  // Gives the pages of a read-only view that lie wholly inside [offset, offset +
  // length) back to the system: the view and its contents stay as they are, and a
  // page touched again is read anew from the file (the system's cache, as a rule).
  // A pass over a large file then holds only what it is reading, not all it has
  // read. Does nothing for a writable view.
  void ReleasePages(uint64_t offset, uint64_t length);

  const uint8_t* data() const { return data_; }
  uint8_t* writable() { return writable_ ? data_ : nullptr; }
  uint64_t size() const { return size_; }
  bool IsOpen() const { return open_; }

 private:
  uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
  bool writable_ = false;
  bool open_ = false;
  intptr_t file_ = -1;
  intptr_t map_ = -1;
};

// ---- attributes, searches, folders -----------------------------------------------

enum Attr : uint32_t {
  kAttrReadOnly = 0x01,
  kAttrHidden = 0x02,
  kAttrSystem = 0x04,
  kAttrDirectory = 0x10,
  kAttrArchive = 0x20,
  kAttrAny = 0x3F,
  // A symbolic link, junction or other reparse point (with kAttrDirectory when it
  // stands for a folder). Never a filter of FindFiles: links are always reported, so
  // that a walk can see them and leave them alone.
  kAttrReparsePoint = 0x400,
};

struct FindEntry {
  std::string name;   // as the file system spells it (CP1251)
  uint32_t attr = 0;
  uint64_t size = 0;
};

// Searches a folder for `pattern` ("C:\dir\*", "C:\dir\exe", "C:\dir\*.txt"; the mask
// is matched without regard to letter case). As the classic attribute-filtered search:
// ordinary files always match, while entries with the directory, hidden or system
// attribute match only when `attrMask` includes that attribute. "." and ".." are never
// returned. A folder that does not exist gives an empty list and true.
bool FindFiles(const std::string& pattern, uint32_t attrMask, std::vector<FindEntry>& out);

// Attributes of an existing entry, of a link itself and not of what it points to
// (kAttrReparsePoint, with kAttrDirectory for a link to a folder); false when it
// does not exist.
bool GetAttributes(const std::string& path, uint32_t& attr);
bool FileExists(const std::string& path);       // an entry that is not a folder
bool DirectoryExists(const std::string& path);  // trailing backslash allowed

bool CreateDir(const std::string& path);        // one level
bool RemoveDir(const std::string& path);        // an empty folder
bool MoveFile(const std::string& from, const std::string& to);  // fails if `to` exists
bool DeleteFile(const std::string& path);
// Removes a link (a symbolic link, junction or other reparse point), never what it
// points to. Fails for anything that is not a link.
bool RemoveLink(const std::string& path);
bool SetReadOnly(const std::string& path, bool readOnly);

// ---- processes, mutexes, system ----------------------------------------------------

// A named mutex held while this object lives. Create reports whether another
// process already had it (the caller then closes it).
class NamedMutex {
 public:
  NamedMutex() = default;
  ~NamedMutex();
  NamedMutex(NamedMutex&& other) noexcept;
  NamedMutex& operator=(NamedMutex&& other) noexcept;
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // False when no handle could be made. `existed` is true when the name was
  // already held by someone (the handle, if any, is then kept until Close()).
  bool Create(const std::string& name, bool& existed);
  bool IsHeld() const { return handle_ != -1; }
  void Close();

 private:
  intptr_t handle_ = -1;
};

// Full DOS-style path of the running executable.
std::string ModulePath();

// Starts a program with no command line, no inherited handles and `workDir` as its
// current folder; `showCmd` is the window show value (3 = maximised).
bool StartProcess(const std::string& exePath, const std::string& workDir, int showCmd);

// Whether this system can start a program again with an administrator's rights
// (Windows: the shell's "runas" verb, confirmed by the user in the system's own
// prompt). Linux has no such start: false.
bool CanStartElevated();

// Starts `exePath` as administrator with the command line this process was given
// (without its program name) and `workDir` as its current folder. True once the
// system has started it; false, with the reason, when the user or the system
// declined. Returns without waiting for the program.
bool StartElevated(const std::string& exePath, const std::string& workDir);

// Makes the system fail critical errors (an empty drive) silently; returns the
// previous mode for RestoreErrorMode.
unsigned SetFailCriticalErrors();
void RestoreErrorMode(unsigned previous);

// ---- working memory ---------------------------------------------------------------

// A large block of working memory (a decoder's dictionary, a buffer of a megabyte
// or more), taken from the system apart from the heap. On Linux an anonymous
// mapping that the kernel may back with 2 MiB pages: a block touched page by page
// otherwise pays one fault for every 4 KiB, which costs more than the work done in
// it. Its contents are unspecified. Null, with no error set, when the system has
// no memory for it; ReleaseLarge takes it back with the same size.
void* AllocateLarge(size_t size);
void ReleaseLarge(void* block, size_t size);

// The same owned: move-only, released by the destructor. data() is null when the
// memory could not be had.
class LargeBlock {
 public:
  explicit LargeBlock(size_t size) : data_(static_cast<uint8_t*>(AllocateLarge(size))), size_(size) {}
  ~LargeBlock() { ReleaseLarge(data_, size_); }
  LargeBlock(LargeBlock&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  LargeBlock& operator=(LargeBlock&&) = delete;
  LargeBlock(const LargeBlock&) = delete;
  LargeBlock& operator=(const LargeBlock&) = delete;
  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  uint8_t* data_;
  size_t size_;
};

void SleepMs(unsigned ms);
uint64_t TickMs();  // monotonic milliseconds

LocalTime Now();

// ---- disks ------------------------------------------------------------------------

uint32_t LogicalDrives();                      // bit 0 = A:
enum class DriveType { Unknown, NoRoot, Removable, Fixed, Remote, CdRom, RamDisk };
DriveType GetDriveType(const std::string& root);  // "C:\"
// Free bytes available to the calling user on the disk that holds `path`.
bool FreeSpace(const std::string& path, uint64_t& freeBytes);
std::string WindowsDir();                      // empty when unknown

// ---- shell: the desktop folder, shortcuts, host paths ----------------------------

// The current user's desktop folder as registered with the shell, without a
// trailing backslash; "" when none is registered. On Windows the "Desktop" value
// of the user's "Shell Folders" key (a plain string only); on Linux the desktop
// of the XDG user directories ($HOME/Desktop when none is registered). Whether the
// folder exists is not checked.
std::string ReadDesktopFolder();

// Writes a shortcut file at `linkPath` that starts `target` in `workDir`, with
// `description` and the show command 5 (the window as it was last). On Windows
// through the shell's link object; on Linux as a Shell Link file of the same
// layout, into a folder made when missing (a desktop the account has not made
// yet). False, with the reason, when any step fails.
bool CreateShellLink(const std::string& target, const std::string& linkPath,
                     const std::string& description, const std::string& workDir);

// The DOS path under which the core sees an absolute host path; "" when no drive
// holds it. The path as it is on Windows.
std::string HostToDosPath(const std::string& hostPath);

}  // namespace os

#ifdef _WIN32
namespace os {
// A text of the executable's string table in Windows-1251, "" when there is none.
std::string ResourceText(int id);
// The Authenticode signature embedded in the file: false when it carries none;
// otherwise the signer's name (CP1251, "" when it cannot be read), whether the
// system trusts the signature, and the verdict's code (0 when trusted).
bool FileSignature(const std::string& path, std::string& signer, bool& trusted, uint32_t& code);
}  // namespace os
#endif

// Throws EZumError with `what` followed by the platform's last error text.
[[noreturn]] void ThrowOsError(const std::string& what);
