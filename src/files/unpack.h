// A payload unpacked from a file (read through a mapping) into a file (written in pieces).
#pragma once

#include <cstdint>
#include <string>

#include "format/payload.h"

// Unpacks the payload that starts at `offset` in the file `inPath` into the file
// `outPath`, which is replaced and created at exactly the declared unpacked size.
// Returns the number of bytes produced (which is smaller than the declared size
// when an end marker came first; the file's tail is then zeros), or 0 on any
// failure, in which case `outPath` is deleted whether or not this call made it and
// os::LastError() says why: "Сжатые данные повреждены: " and what is wrong with the
// payload, or the system's refusal. The input file is never changed. `progress`
// may be empty.
uint32_t UnpackPayload(const std::string& outPath, const std::string& inPath, uint32_t offset,
                       const payload::ProgressFn& progress);
