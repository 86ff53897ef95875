#include "tools_hostpath.h"

#include <cctype>
#include <filesystem>

#include "base/cp1251.h"
#ifndef _WIN32
#include "platform/posix/pathmap.h"
#endif

namespace tools {

#ifndef _WIN32
namespace {
bool LooksDos(const std::string& p) {
  return p.size() >= 3 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':' &&
         p[2] == '\\';
}
}  // namespace
#endif

bool ToDosPath(const std::string& arg, std::string& dos, std::string& error) {
  std::error_code ec;
#ifdef _WIN32
  const std::filesystem::path abs = std::filesystem::absolute(arg, ec);
  if (ec) {
    error = "bad path " + arg;
    return false;
  }
  dos = abs.string();
  return true;
#else
  if (LooksDos(arg)) {
    dos = cp1251::FromUtf8(arg);
    return true;
  }
  const std::string abs = std::filesystem::absolute(arg, ec).lexically_normal().string();
  if (ec || !os::posix::HostToDos(os::posix::CurrentDriveMap(), abs, dos)) {
    error = "no drive letter maps the path " + arg;
    return false;
  }
  return true;
#endif
}

std::string FromConsole(const std::string& text) {
#ifdef _WIN32
  return text;
#else
  return cp1251::FromUtf8(text);
#endif
}

std::string ToConsole(const std::string& text) {
#ifdef _WIN32
  return text;
#else
  return cp1251::ToUtf8(text);
#endif
}

}  // namespace tools
