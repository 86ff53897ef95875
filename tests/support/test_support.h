// Helpers shared by the tests: temporary folders and DOS paths for them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zt {

// A fresh folder, removed with its contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // The folder as the core sees it, with a trailing backslash.
  const std::string& Dos() const { return dos_; }
  // The folder as the host sees it (the same as Dos() on Windows).
  const std::string& Host() const { return host_; }

 private:
  std::string dos_, host_;
};

// Sets (or, given no value, removes) an environment variable for the life of the
// object, and puts back what was there when it goes, also when an assertion ends
// the test early.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Reads/writes a whole file through the platform layer (DOS path).
bool ReadAll(const std::string& path, std::string& out);
bool WriteAll(const std::string& path, const std::string& bytes);

}  // namespace zt
