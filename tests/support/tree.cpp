#include "support/tree.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/cp1251.h"
#include "format/checksum.h"

namespace fs = std::filesystem;

namespace zt {

std::string Digest(const std::string& bytes) {
  return std::to_string(bytes.size()) + " bytes, sum " +
         std::to_string(pkg::AddSum(bytes.data(), bytes.size()));
}

Tree Snapshot(const std::string& hostDir, const SnapshotOptions& options) {
  const std::string protocol = cp1251::ToUtf8("Протокол");
  Tree tree;
  std::error_code ec;
  if (!fs::exists(hostDir, ec)) return tree;
  for (auto it = fs::recursive_directory_iterator(hostDir, ec); it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const fs::path rel = fs::relative(it->path(), hostDir, ec);
    if (options.leaveOutProtocols && rel.generic_string().find(protocol) != std::string::npos)
      continue;
    if (it->is_directory(ec)) {
      tree[rel.generic_string() + "/"] = "";
    } else {
      std::ifstream in(it->path(), std::ios::binary);
      std::ostringstream data;
      data << in.rdbuf();
      tree[rel.generic_string()] = options.digests ? Digest(data.str()) : data.str();
    }
  }
  return tree;
}

std::string Diff(const Tree& expected, const Tree& actual) {
  std::string out;
  for (const auto& [name, data] : expected) {
    auto it = actual.find(name);
    if (it == actual.end())
      out += "missing: " + name + "\n";
    else if (it->second != data)
      out += "changed: " + name + " (" + std::to_string(data.size()) + " -> " +
             std::to_string(it->second.size()) + " bytes)\n";
  }
  for (const auto& [name, data] : actual)
    if (!expected.count(name)) out += "extra: " + name + "\n";
  return out;
}

}  // namespace zt
