// The shell on Linux: the desktop folder of the XDG user directories, shortcuts as
// Shell Link files, and host paths turned into the core's DOS paths.
#include <cstdlib>
#include <fstream>

#include "platform/os.h"
#include "platform/posix/internal.h"
#include "platform/posix/pathmap.h"
#include "platform/posix/shell_link.h"
#include "base/dos_path.h"
#include "base/bytes.h"

namespace os {

namespace posix {

namespace {

void PutZ(std::vector<uint8_t>& b, const std::string& s) {
  b.insert(b.end(), s.begin(), s.end());
  b.push_back(0);
}
// StringData in its ANSI form: a 16-bit count of characters, no terminator.
void PutCounted(std::vector<uint8_t>& b, const std::string& s) {
  le::Append16(b, static_cast<uint16_t>(s.size()));
  b.insert(b.end(), s.begin(), s.end());
}

// The shell link object's class, {00021401-0000-0000-C000-000000000046}, as stored.
const uint8_t kLinkClsid[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

constexpr uint32_t kAttrArchive = 0x20;
constexpr uint32_t kDriveFixed = 3;
constexpr uint32_t kVolumeIdAndLocalBasePath = 0x1;
constexpr uint32_t kLinkInfoHeaderSize = 0x1C;
constexpr uint32_t kVolumeIdHeaderSize = 0x10;

}  // namespace

bool MakeShellLink(const ShellLinkFields& link, std::vector<uint8_t>& out) {
  for (const std::string* s : {&link.target, &link.workDir, &link.description})
    if (s->find('\0') != std::string::npos || s->size() > 0xFFFF) return false;
  if (link.target.empty()) return false;

  std::vector<uint8_t> b;
  // ShellLinkHeader
  le::Append32(b, kShellLinkHeaderSize);
  b.insert(b.end(), kLinkClsid, kLinkClsid + 16);
  uint32_t flags = kHasLinkInfo;
  if (!link.description.empty()) flags |= kHasName;
  if (!link.workDir.empty()) flags |= kHasWorkingDir;
  le::Append32(b, flags);
  le::Append32(b, kAttrArchive);
  for (int i = 0; i < 3; ++i) {  // creation, access and write times: not known
    le::Append32(b, 0);
    le::Append32(b, 0);
  }
  le::Append32(b, link.targetSize);
  le::Append32(b, 0);  // icon index
  le::Append32(b, link.showCommand);
  le::Append16(b, 0);  // hot key
  le::Append16(b, 0);  // reserved
  le::Append32(b, 0);
  le::Append32(b, 0);

  // LinkInfo: a volume of a fixed disk and the target as its local base path.
  const size_t info = b.size();
  le::Append32(b, 0);  // LinkInfoSize, set below
  le::Append32(b, kLinkInfoHeaderSize);
  le::Append32(b, kVolumeIdAndLocalBasePath);
  le::Append32(b, kLinkInfoHeaderSize);  // VolumeIDOffset
  const size_t basePathOffset = b.size();
  le::Append32(b, 0);                    // LocalBasePathOffset, set below
  le::Append32(b, 0);                    // CommonNetworkRelativeLinkOffset
  const size_t suffixOffset = b.size();
  le::Append32(b, 0);                    // CommonPathSuffixOffset, set below
  // VolumeID with an empty label.
  le::Append32(b, kVolumeIdHeaderSize + 1);
  le::Append32(b, kDriveFixed);
  le::Append32(b, 0);  // serial number
  le::Append32(b, kVolumeIdHeaderSize);
  b.push_back(0);
  le::Set32(b, basePathOffset, static_cast<uint32_t>(b.size() - info));
  PutZ(b, link.target);
  le::Set32(b, suffixOffset, static_cast<uint32_t>(b.size() - info));
  b.push_back(0);  // empty common path suffix
  le::Set32(b, info, static_cast<uint32_t>(b.size() - info));

  // StringData, in the order of the layout: name, then working folder.
  if (flags & kHasName) PutCounted(b, link.description);
  if (flags & kHasWorkingDir) PutCounted(b, link.workDir);

  le::Append32(b, 0);  // terminal block
  out = std::move(b);
  return true;
}

}  // namespace posix

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The value of a line `XDG_DESKTOP_DIR="..."` of user-dirs.dirs as a host path:
// "$HOME/..." or an absolute path, with \" \$ \\ escapes; "" when it is neither.
std::string DesktopValue(const std::string& line, const std::string& home) {
  size_t pos = line.find_first_not_of(" \t");
  const std::string key = "XDG_DESKTOP_DIR=";
  if (pos == std::string::npos || line.compare(pos, key.size(), key) != 0) return "";
  pos += key.size();
  if (pos >= line.size() || line[pos] != '"') return "";
  std::string value;
  bool closed = false;
  for (++pos; pos < line.size(); ++pos) {
    char c = line[pos];
    if (c == '\\' && pos + 1 < line.size()) {
      value += line[++pos];
    } else if (c == '"') {
      closed = true;
      break;
    } else {
      value += c;
    }
  }
  if (!closed) return "";
  if (value.compare(0, 5, "$HOME") == 0 && (value.size() == 5 || value[5] == '/'))
    return home.empty() ? std::string() : home + value.substr(5);
  return !value.empty() && value[0] == '/' ? value : std::string();
}

std::string HostDesktop() {
  const std::string home = Env("HOME");
  std::string config = Env("XDG_CONFIG_HOME");
  if (config.empty() || config[0] != '/') config = home.empty() ? "" : home + "/.config";
  std::string desktop;
  if (!config.empty()) {
    std::ifstream in(config + "/user-dirs.dirs");
    std::string line;
    // As the shell reads the file: the last assignment counts.
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::string value = DesktopValue(line, home);
      if (!value.empty()) desktop = value;
    }
  }
  if (desktop.empty() && !home.empty()) desktop = home + "/Desktop";
  while (desktop.size() > 1 && desktop.back() == '/') desktop.pop_back();
  return desktop;
}

// Makes `folder` (no trailing backslash) and its missing parents.
bool MakeFolders(const std::string& folder) {
  if (folder.size() <= 3 || DirectoryExists(folder)) return true;
  return MakeFolders(dos::WithoutSlash(dos::FolderOf(folder))) && CreateDir(folder);
}

}  // namespace

std::string ReadDesktopFolder() {
  const std::string host = HostDesktop();
  if (host.empty()) return std::string();
  std::string dos = HostToDosPath(host);
  while (dos.size() > 3 && dos.back() == '\\') dos.pop_back();
  return dos;
}

std::string HostToDosPath(const std::string& hostPath) {
  std::string dos;
  if (!posix::HostToDos(posix::CurrentDriveMap(), hostPath, dos)) return std::string();
  return dos;
}

bool CreateShellLink(const std::string& target, const std::string& linkPath,
                     const std::string& description, const std::string& workDir) {
  const char* op = "CreateShellLink";
  posix::ShellLinkFields link;
  link.target = target;
  link.workDir = workDir;
  link.description = description;
  {
    File program;
    uint64_t size = 0;
    if (program.Open(target, kRead, kShareAll, Disposition::OpenExisting) && program.Size(size))
      link.targetSize = size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(size);
  }
  std::vector<uint8_t> bytes;
  if (!posix::MakeShellLink(link, bytes)) {
    posix::Fail(ErrorKind::Invalid, 0, op, linkPath, "текст нельзя записать в ярлык");
    return false;
  }
  if (!MakeFolders(dos::WithoutSlash(dos::FolderOf(linkPath)))) return false;
  File file;
  if (!file.Open(linkPath, kWrite, kShareNone, Disposition::CreateAlways)) return false;
  if (!file.Write(bytes.data(), bytes.size())) {
    file.Close();
    DeleteFile(linkPath);
    return false;
  }
  return true;
}

}  // namespace os
