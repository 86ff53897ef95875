// Owners of Win32 resources for the Windows platform layer: each one releases its
// resource when it goes out of scope, so that every way out of an operation, the
// failing ones included, leaves nothing open.
//
// Include this header instead of <windows.h> in code that also uses platform/os.h:
// the platform interface has functions called MoveFile, DeleteFile and GetDriveType,
// which <windows.h> would otherwise turn into its "A"/"W" macros.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef MoveFile
#undef DeleteFile
#undef GetDriveType

#include <cstdint>
#include <utility>

namespace os::win32 {

// A move-only owner of one value of a resource type. `Traits` says which values
// mean "nothing" and how the resource is given back.
template <class Traits>
class Owner {
 public:
  using Value = typename Traits::Value;

  Owner() = default;
  explicit Owner(Value value) : value_(Traits::IsValid(value) ? value : Traits::None()) {}
  ~Owner() { reset(); }
  Owner(Owner&& other) noexcept : value_(other.release()) {}
  Owner& operator=(Owner&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;

  Value get() const { return value_; }
  explicit operator bool() const { return Traits::IsValid(value_); }

  // Gives the resource up without releasing it.
  Value release() {
    Value v = value_;
    value_ = Traits::None();
    return v;
  }

  void reset(Value value = Traits::None()) {
    if (Traits::IsValid(value_)) Traits::Close(value_);
    value_ = Traits::IsValid(value) ? value : Traits::None();
  }

 private:
  Value value_ = Traits::None();
};

// Kernel objects: files, file mappings, mutexes, events, processes, threads. The API
// reports failure with NULL for some of them and INVALID_HANDLE_VALUE for others;
// both mean "no handle" here.
struct KernelHandleTraits {
  using Value = HANDLE;
  static Value None() { return nullptr; }
  static bool IsValid(Value h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Value h) { ::CloseHandle(h); }
};
using UniqueHandle = Owner<KernelHandleTraits>;
// A named mutex is a kernel object like the others; the name only documents intent.
using MutexHandle = Owner<KernelHandleTraits>;

// A directory search started by FindFirstFileA.
struct FindHandleTraits {
  using Value = HANDLE;
  static Value None() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Value h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Value h) { ::FindClose(h); }
};
using FindHandle = Owner<FindHandleTraits>;

// A view made by MapViewOfFile.
struct MappedViewTraits {
  using Value = void*;
  static Value None() { return nullptr; }
  static bool IsValid(Value p) { return p != nullptr; }
  static void Close(Value p) { ::UnmapViewOfFile(p); }
};
using MappedView = Owner<MappedViewTraits>;

// The handles of the interface's classes are kept as intptr_t so that os.h needs no
// system header; these convert between the two spellings.
inline HANDLE ToHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }
inline intptr_t FromHandle(HANDLE h) { return reinterpret_cast<intptr_t>(h); }

}  // namespace os::win32
