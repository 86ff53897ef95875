#include "support/test_support.h"

#include <filesystem>
#include <cstdlib>
#include <random>

#include "platform/os.h"
#include "base/dos_path.h"

namespace zt {

namespace {

#ifndef _WIN32
// Named mutexes live in a runtime folder of this test process (inherited by the
// programs it starts), so that test processes running side by side do not see
// each other's installers as second instances.
struct PrivateMutexFolder {
  PrivateMutexFolder() {
    if (std::getenv("ZUM_RUNTIME_DIR")) return;
    char pattern[] = "/tmp/zumtest-mutex-XXXXXX";
    if (mkdtemp(pattern)) setenv("ZUM_RUNTIME_DIR", pattern, 1);
  }
} g_privateMutexFolder;
#endif

std::string HostToDos(const std::string& host) {
#ifdef _WIN32
  return host;
#else
  // Z: is the root unless the drive map says otherwise; tests use the default.
  std::string dos = "Z:";
  for (char c : host) dos += c == '/' ? '\\' : c;
  return dos;
#endif
}
}  // namespace

TempDir::TempDir() {
  std::random_device rd;
  std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int i = 0; i < 100; ++i) {
    std::filesystem::path p = base / ("zumtest-" + std::to_string(rd()));
    if (std::filesystem::create_directory(p)) {
      host_ = p.string();
      break;
    }
  }
#ifdef _WIN32
  host_ = dos::WithSlash(host_);
#else
  if (!host_.empty() && host_.back() != '/') host_ += '/';
#endif
  dos_ = HostToDos(host_);
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!host_.empty()) std::filesystem::remove_all(host_, ec);
}

bool ReadAll(const std::string& path, std::string& out) {
  os::File f;
  uint64_t size = 0;
  if (!f.Open(path, os::kRead, os::kShareAll, os::Disposition::OpenExisting) || !f.Size(size))
    return false;
  out.assign(static_cast<size_t>(size), '\0');
  return size == 0 || f.ReadExact(out.data(), out.size());
}

bool WriteAll(const std::string& path, const std::string& bytes) {
  os::File f;
  return f.Open(path, os::kWrite, os::kShareNone, os::Disposition::CreateAlways) &&
         f.Write(bytes.data(), bytes.size());
}

namespace {
void SetEnv(const char* name, const std::optional<std::string>& value) {
#ifdef _WIN32
  _putenv_s(name, value ? value->c_str() : "");
#else
  if (value)
    setenv(name, value->c_str(), 1);
  else
    unsetenv(name);
#endif
}
}  // namespace

ScopedEnv::ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  SetEnv(name, value);
}

ScopedEnv::~ScopedEnv() { SetEnv(name_, old_); }

}  // namespace zt
