// The patcher on files: the old file and the patch mapped whole, the output written in
// pieces, with the protocol lines and the progress bar of the main window.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class TForm1;

// The two patch formats: BDT (format/patch.h) for BINDIFF, DBBDIFF, PE1DIFF and
// PE2DIFF entries, BDX (format/bdx_patch.h) for EXTDIFF entries.
enum class PatchFormat { Bdt, Bdx };
PatchFormat PatchFormatOf(uint8_t kind);

// Builds `outPath` from the old file and the patch, both mapped whole. Writes the
// protocol lines of every failure (kind 26, with the path as a kind 0 line where a
// file cannot be opened, created or written or the patch is refused) and drives the form's
// progress bar. A patch that breaks its rules is refused before the output is
// created. An output file created before a later failure is left on disk.
bool PatchFile(TForm1& form, const std::string& oldPath, const std::string& outPath,
               const std::string& patchPath, PatchFormat format = PatchFormat::Bdt);

// Checks the unpacked patch of a difference entry before anything is changed for
// it: the records against an old file of `oldSize` bytes, and the size it produces
// against the entry's `newSize`. A refused patch gets the same protocol lines as a
// patch that PatchFile refuses.
bool CheckPatchFile(TForm1& form, const std::string& patchPath, uint64_t oldSize,
                    uint32_t newSize, PatchFormat format = PatchFormat::Bdt);
