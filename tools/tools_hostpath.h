// Paths and texts at the command line of the tools: the host's spelling outside,
// the core's DOS paths and CP1251 texts inside.
#pragma once

#include <string>

namespace tools {

// A path given on the command line as the core sees it: on Windows the absolute
// path; on Linux an absolute DOS path as given ("Z:\tmp\zum"), or a host path mapped
// through the drive map.
bool ToDosPath(const std::string& arg, std::string& dos, std::string& error);

// Command-line text to CP1251 and CP1251 text to the console (UTF-8 on Linux).
std::string FromConsole(const std::string& text);
std::string ToConsole(const std::string& text);

}  // namespace tools
