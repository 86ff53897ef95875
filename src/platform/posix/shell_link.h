// The Shell Link file that stands for a Windows shortcut on Linux: the published
// binary layout (a header, a LinkInfo with the target as a local path, and the
// strings), in its ANSI form, so that the texts are CP1251 as the core has them.
// A pure function of its arguments.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace os::posix {

struct ShellLinkFields {
  std::string target;       // DOS path of the program (LinkInfo's LocalBasePath)
  std::string workDir;      // working folder (StringData WORKING_DIR)
  std::string description;  // StringData NAME_STRING
  uint32_t targetSize = 0;  // the header's FileSize
  uint32_t showCommand = 5;
};

// The file's bytes. False (and `out` untouched) when a text holds a zero byte, the
// target is empty, or a string is longer than its 16-bit count can say.
bool MakeShellLink(const ShellLinkFields& link, std::vector<uint8_t>& out);

// Offsets of the fields a reader needs, as written by MakeShellLink.
inline constexpr uint32_t kShellLinkHeaderSize = 0x4C;
inline constexpr uint32_t kLinkFlagsOffset = 0x14;
inline constexpr uint32_t kShowCommandOffset = 0x3C;
// LinkFlags bits.
inline constexpr uint32_t kHasLinkInfo = 0x00000002;
inline constexpr uint32_t kHasName = 0x00000004;
inline constexpr uint32_t kHasWorkingDir = 0x00000010;
inline constexpr uint32_t kIsUnicode = 0x00000080;

}  // namespace os::posix
