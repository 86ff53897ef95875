// Helpers shared by the files of the POSIX platform layer: error reporting in the
// layer's one format, path mapping that reports its own failures, and the share-mode
// locks that emulate Windows sharing between handles.
#pragma once

#include <cstdint>
#include <string>

#include "platform/fault.h"
#include "platform/os.h"

namespace os::posix {

// The number Windows gives a sharing violation; our own sharing refusals carry it so
// that the protocol shows the same code on both systems.
constexpr uint32_t kSharingViolation = 32;

ErrorKind KindOfErrno(int err);

// Sets the last error to "<op> <what>: <reason>" (CP1251). `what` is usually the DOS
// path the operation was given.
void Fail(ErrorKind kind, uint32_t code, const char* op, const std::string& what,
          const std::string& reason);
// The same with the kind, code and reason taken from an errno value.
void FailErrno(const char* op, const std::string& what, int err);

// Records the failure the fault layer injected into `op` on `what`, with the kind,
// code and text the system gives for it, and returns false.
bool FailInjected(fault::Inject inject, const char* op, const std::string& what);

// Maps a DOS path to the host path; on failure sets the last error for `op` (Invalid
// for a malformed path, NotFound for a letter that is not mapped).
bool MapPath(const char* op, const std::string& dos, std::string& host);

// Opens `host` the way CreateFileA would, checks and records the share mode, and
// returns the descriptor (close-on-exec), or -1 with the last error set. `op` and
// `dos` name the call in error texts.
int OpenShared(const char* op, const std::string& dos, const std::string& host, unsigned access,
               unsigned share, Disposition disposition);

// ---- the share-mode scheme (see share.cpp) ----

// True when some other handle is open on the file without sharing deletes (so that
// DeleteFile or MoveFile must be refused). Opens `host` briefly to look.
bool DeletionDenied(const std::string& host);
// True when the file open on `fd` is mapped through another handle.
bool MappedElsewhere(int fd);
// Records that the file open on `fd` is mapped while `fd` stays open. 0 or an errno.
int MarkMapped(int fd);

}  // namespace os::posix
