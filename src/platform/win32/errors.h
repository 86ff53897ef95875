// Turning Win32 failures into the platform interface's errors.
#pragma once

#include <string>

#include "platform/fault.h"
#include "platform/os.h"
#include "platform/win32/handles.h"

namespace os::win32 {

// The portable class of a GetLastError() value.
ErrorKind KindOf(DWORD code);

// Records a failure of `operation` on `subject` (a path, a mutex name; may be empty)
// as the calling thread's last error and returns false, so that a failing call can
// end with `return Fail(...)`. Callers read GetLastError() into `code` first: the
// language leaves the order of argument evaluation open, and building the subject
// text may itself change the thread's error value.
bool Fail(const char* operation, const std::string& subject, DWORD code);

// The same with an explicit class, for failures the system does not report itself
// (a short read, a file that is not open).
bool FailAs(ErrorKind kind, const char* operation, const std::string& subject, DWORD code);

// Records the failure the fault layer injected into `operation` on `subject`, with
// the code and text the system gives for it, and returns false.
bool FailInjected(fault::Inject inject, const char* operation, const std::string& subject);

// A text of the process's ANSI code page in UTF-16, for the calls that take only wide
// strings.
std::wstring Wide(const std::string& ansi);

}  // namespace os::win32
