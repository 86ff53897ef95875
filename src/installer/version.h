// The version match: does the package fit the installation it found?
// TForm1::CheckVersion (version.cpp) reads Cfg\CFG.ZUM into the configuration buffer,
// compares the installed version with the package's source version and looks for
// the product executable's link time stamp among the package's build stamps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/os.h"

namespace pkg {

// Cfg\CFG.ZUM as the installer keeps it: the first 1,411 bytes of the file.
constexpr size_t kConfigSize = 1411;
constexpr size_t kConfigVersionText = 38;  // the installed version, zero-terminated
constexpr size_t kConfigEditionText = 36;  // the text shown on an update-mode mismatch
constexpr size_t kConfigEditionByte = 120;

// The zero-terminated text at `offset` of the buffer (cut at the buffer's end).
std::string ConfigText(const std::vector<uint8_t>& config, size_t offset);

// The TimeDateStamp of the PE file header of the open file; with `fromStart` the DOS
// header is read at offset 0, otherwise at the current position. Throws EZumError
// when the file is not a PE file or its headers are not all there.
uint32_t GetLinkStamp(os::File& stream, bool fromStart);

}  // namespace pkg
