// The fault layer of the platform: for tests of what a run leaves behind when the
// process dies or the system refuses an operation half-way.
//
// Every operation of the platform interface that changes the file system calls
// Before() first. The layer is compiled into every build but stays inert (one test
// of a flag) unless the environment variable ZUM_FAULT was set when the process
// started. Its value is a comma-separated list of:
//
//   kill@K            end the process at once (no destructors, no flushing of
//                     anything) instead of performing mutating operation number K
//                     (counted from 1); exit status kKillExitCode
//   fail@K:ERR        operation K fails with ERR and is not performed
//   fail@K+:ERR       operation K and every later one fail with ERR
//                     ERR: diskfull, io, access or sharing; the error text, kind and
//                     code are those the system itself gives for that failure
//   log=FILE          append one line per operation to FILE (a host path: a Linux
//                     path on Linux, a Windows path on Windows), written before the
//                     operation is performed, so a killed run's log is complete
//   free=BYTES        FreeSpace reports at most BYTES free
//   nosleep           SleepMs returns at once (the settle pauses of the start-up
//                     checks would make a loop of hundreds of runs slow)
//
// Log line: K TAB op TAB path TAB second-path TAB byte-count TAB data, where data is
// the hex of the bytes written (writes of up to kLogDataLimit bytes; "" otherwise).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace os::fault {

enum class Op {
  Create,     // a file opened for writing (created, emptied or opened to change)
  Write,      // bytes written to an open file (the journal's appends among them)
  Truncate,   // a file's end set
  Flush,      // an open file flushed to the disk
  MapCreate,  // a file created or opened read-write for a mapped view
  MapFlush,   // a read-write view flushed to the disk
  Move,
  Delete,
  MakeDir,
  RemoveDir,
  SetAttr,
  Link,       // a shell link written by the system's shell
};

enum class Inject { None, DiskFull, Io, Access, Sharing };

inline constexpr int kKillExitCode = 86;
inline constexpr size_t kLogDataLimit = 4096;

// Counts the operation, logs it, and either ends the process, reports the failure
// the caller must give instead of performing it, or lets it go on (None).
Inject Before(Op op, const std::string& path, const std::string& path2 = std::string(),
              const void* data = nullptr, size_t size = 0);

// Put at the top of every mutating operation: calls Before() (unless `counted` is
// false, for an open that only reads) and marks the thread as inside a change until
// the operation returns, so that its failure is kept as the last change error.
class Guard {
 public:
  Guard(Op op, const std::string& path, const std::string& path2 = std::string(),
        const void* data = nullptr, size_t size = 0, bool counted = true);
  ~Guard();
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
  Inject inject() const { return inject_; }

 private:
  Inject inject_ = Inject::None;
  bool counted_;
};

// Whether the calling thread is inside a mutating operation.
bool InChange();

// Whether ZUM_FAULT configured anything.
bool Active();

// Replaces the configuration (same grammar as ZUM_FAULT; "" turns the layer off) and
// restarts the count. For tests of the layer itself inside one process. False, with
// the configuration unchanged, when the text does not parse.
bool Configure(const std::string& text);

// The number of mutating operations counted so far.
uint64_t Count();

// Whether SleepMs should return at once (nosleep).
bool NoSleep();

// Caps a free-space figure by the configured free=BYTES.
void CapFreeSpace(uint64_t& freeBytes);

const char* OpName(Op op);

}  // namespace os::fault
