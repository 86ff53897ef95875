#include "platform/posix/pathmap.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>

#include "base/cp1251.h"

namespace os::posix {

namespace {

int LetterIndex(char letter) {
  if (letter >= 'A' && letter <= 'Z') return letter - 'A';
  if (letter >= 'a' && letter <= 'z') return letter - 'a';
  return -1;
}

std::string Join(const std::string& folder, const std::string& name) {
  if (folder == "/") return "/" + name;
  return folder + "/" + name;
}

// The entry of `folder` whose name equals `name` (CP1251) without regard to case, as
// the host spells it; empty when there is none.
std::string FindNoCase(const std::string& folder, const std::string& name) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return {};
  std::string best;
  while (dirent* e = readdir(dir)) {
    std::string_view host = e->d_name;
    if (host == "." || host == "..") continue;
    bool ok = true;
    std::string cp = cp1251::FromUtf8(host, &ok);
    if (!ok || !cp1251::EqualNoCase(cp, name)) continue;
    if (best.empty() || host < best) best = host;
  }
  closedir(dir);
  return best;
}

// '*' and '?' matching, letters compared as CP1251 case pairs.
bool Glob(std::string_view mask, std::string_view name) {
  size_t m = 0, n = 0;
  size_t starMask = std::string_view::npos, starName = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') {
      starMask = m++;
      starName = n;
    } else if (m < mask.size() &&
               (mask[m] == '?' || cp1251::ToLower(mask[m]) == cp1251::ToLower(name[n]))) {
      ++m;
      ++n;
    } else if (starMask != std::string_view::npos) {
      m = starMask + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

uint64_t Fnv1a64(std::string_view text) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  return h;
}

}  // namespace

const std::string& DriveMap::Root(char letter) const {
  static const std::string kNone;
  int i = LetterIndex(letter);
  return i < 0 ? kNone : roots[i];
}

uint32_t DriveMap::Letters() const {
  uint32_t bits = 0;
  for (int i = 0; i < 26; ++i)
    if (!roots[i].empty()) bits |= 1u << i;
  return bits;
}

DriveMap ParseDriveMap(std::string_view list) {
  DriveMap map;
  map.roots['Z' - 'A'] = "/";
  while (!list.empty()) {
    size_t end = list.find(';');
    std::string_view entry = list.substr(0, end);
    list = end == std::string_view::npos ? std::string_view() : list.substr(end + 1);
    if (entry.size() < 2 || entry[1] != '=') continue;
    int i = LetterIndex(entry[0]);
    if (i < 0) continue;
    std::string root(entry.substr(2));
    if (root.empty()) {
      map.roots[i].clear();
      continue;
    }
    if (root[0] != '/') continue;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    map.roots[i] = root;
  }
  return map;
}

DriveMap CurrentDriveMap() {
  const char* list = std::getenv("ZUM_DRIVES");
  return ParseDriveMap(list ? list : "");
}

bool IsValidName(std::string_view name, bool allowWildcards) {
  if (name.empty()) return false;
  for (unsigned char c : name) {
    if (c < 0x20) return false;
    switch (c) {
      case '<': case '>': case ':': case '"': case '|': case '/': case '\\':
        return false;
      case '?': case '*':
        if (!allowWildcards) return false;
        break;
      default:
        break;
    }
  }
  return true;
}

std::string ParseDosPath(std::string_view text, DosPath& out) {
  out = DosPath();
  if (text.size() < 3 || LetterIndex(text[0]) < 0 || text[1] != ':' || text[2] != '\\')
    return "не полный путь (X:\\...)";
  out.drive = static_cast<char>('A' + LetterIndex(text[0]));
  std::string_view rest = text.substr(3);
  bool lastWasName = false;
  while (!rest.empty()) {
    size_t end = rest.find('\\');
    std::string_view name = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (name.empty()) continue;
    lastWasName = false;
    if (name == ".") continue;
    if (name == "..") {
      if (!out.names.empty()) out.names.pop_back();
      continue;
    }
    if (!IsValidName(name)) {
      if (name.find('/') != std::string_view::npos)
        return "прямая косая черта в имени";
      return "недопустимый символ в имени";
    }
    out.names.emplace_back(name);
    lastWasName = true;
  }
  out.trailingSeparator = lastWasName && text.back() == '\\';
  return {};
}

std::string ResolveHostPath(const std::string& root, const DosPath& path) {
  std::string host = root;
  bool parentExists = true;
  for (const std::string& name : path.names) {
    std::string utf8 = cp1251::ToUtf8(name);
    std::string exact = Join(host, utf8);
    if (parentExists) {
      struct stat st;
      if (lstat(exact.c_str(), &st) == 0) {
        host = exact;
        continue;
      }
      std::string found = FindNoCase(host, name);
      if (!found.empty()) {
        host = Join(host, found);
        continue;
      }
      parentExists = false;  // nothing below a missing folder can exist
    }
    host = exact;
  }
  if (path.trailingSeparator && !path.names.empty()) host += '/';
  return host;
}

bool HostToDos(const DriveMap& map, std::string_view host, std::string& dos) {
  if (host.empty() || host[0] != '/') return false;
  int best = -1;
  size_t bestLen = 0;
  for (int i = 0; i < 26; ++i) {
    const std::string& root = map.roots[i];
    if (root.empty()) continue;
    size_t len;
    if (root == "/") {
      len = 0;
    } else if (host.substr(0, root.size()) == root &&
               (host.size() == root.size() || host[root.size()] == '/')) {
      len = root.size();
    } else {
      continue;
    }
    if (best < 0 || len > bestLen) {
      best = i;
      bestLen = len;
    }
  }
  if (best < 0) return false;

  std::string_view rest = host.substr(bestLen);
  std::string out;
  out += static_cast<char>('A' + best);
  out += ":\\";
  bool any = false;
  while (!rest.empty()) {
    size_t end = rest.find('/');
    std::string_view name = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (name.empty()) continue;
    bool ok = true;
    std::string cp = cp1251::FromUtf8(name, &ok);
    if (!ok || cp.find('\\') != std::string::npos) return false;
    if (any) out += '\\';
    out += cp;
    any = true;
  }
  if (any && host.back() == '/') out += '\\';
  dos = out;
  return true;
}

bool MatchMask(std::string_view mask, std::string_view name) {
  if (mask.empty()) return false;
  if (Glob(mask, name)) return true;
  size_t n = mask.size();
  if (n >= 2 && mask.substr(n - 2) == ".*" && Glob(mask.substr(0, n - 2), name)) return true;
  if (mask.back() == '.' && name.find('.') == std::string_view::npos &&
      Glob(mask.substr(0, n - 1), name))
    return true;
  return false;
}

std::string MutexFileName(std::string_view name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
        c == '_' || c == '-') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  // Host names are limited to 255 bytes; keep well below and stay unique by the hash.
  if (out.size() > 200) {
    uint64_t h = Fnv1a64(name);
    out.resize(180);
    out += '~';
    for (int shift = 60; shift >= 0; shift -= 4) out += kHex[(h >> shift) & 15];
  }
  return out + ".lock";
}

}  // namespace os::posix
