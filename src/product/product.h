// The installed product ZUM as the installer knows it: the names of its folders and
// files, the fields of its configuration file, and the keys of its base files.
// Everything here belongs to the product; the installer only relies on it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace product {

// ---- folders and files --------------------------------------------------------------

// The installation folder holds an entry of this name (any letter case) with the
// product executable in it; the installer may stand in either folder.
inline constexpr const char* kExeDirName = "exe";
inline constexpr const char* kExeFileName = "zum.exe";
// Relative to the installation folder.
inline constexpr const char* kConfigFile = "Cfg\\CFG.ZUM";
// The product executable relative to the installation folder, as the product's start
// and the copy's desktop shortcut name it.
inline constexpr const char* kExePath = "EXE\\zum.exe";

// The installer's temporary folders: in the installation folder, in the root of
// another drive, and in a folder the user chose.
inline constexpr const char* kTempInInstall = "ZUMUPDTA.TMP";
inline constexpr const char* kTempOnDrive = "ZUMUPDT.TMP";
inline constexpr const char* kTempChosen = "ZUMUPDTM.TMP";
// The ownership mark the installer puts into a copy or temporary folder outside the
// installation, to prove to a later recovery that the folder is its own.
inline constexpr const char* kOwnerMark = "ZUMUPD.OWN";

// The folders of an installation, in the order the clean copy knows them. The last
// two are the AutoSave folders.
inline constexpr const char* kInstallFolders[] = {
    "Base",       "Cfg",         "Doc",         "Exe",
    "Rus\\LBN",   "Rus\\Data",   "Rus\\Etalon", "Rus\\Frg_Std", "Rus\\Updt",
    "Ukr\\LBN",   "Ukr\\Data",   "Ukr\\Etalon", "Ukr\\Frg_Std", "Ukr\\Updt",
    "Rus\\AutoSave", "Ukr\\AutoSave",
};
inline constexpr size_t kInstallFolderCount = sizeof(kInstallFolders) / sizeof(kInstallFolders[0]);
inline constexpr size_t kFirstAutoSaveFolder = 14;

// ---- Cfg\CFG.ZUM ----------------------------------------------------------------------
//
// The product's configuration record (little-endian numbers):
//   0    u32   option flags
//   4    32    product name, zero-padded ("ПК ZUM")
//   36   2     the product generation as two characters, "5 ": the text that starts
//              here runs on into the version and reads "5 3.0.7", which the installer
//              shows after "ZUM-" on a version mismatch
//   38   32    version text, dot-separated, zero-terminated (at most 31 characters)
//   70   50    licensee, zero-padded
//   120  1     edition: 0 first edition, anything else the second
//   121  30    language and display settings
//   151  u32   feature flags A
//   155  u32   feature flags B
//   159  42    paths and options
//   201  u32   data format level
//   205  ...   further settings up to the record's size
// Only the offsets below are relied on by the installer.
inline constexpr size_t kConfigSize = 1411;
inline constexpr size_t kConfigFlagsOffset = 0;
inline constexpr size_t kConfigVersionTextOffset = 36;  // the text shown on a mismatch
inline constexpr size_t kConfigVersionOffset = 38;
inline constexpr size_t kConfigVersionField = 32;        // bytes 38..69, the zero included
inline constexpr size_t kConfigEditionOffset = 120;
inline constexpr size_t kConfigFlagsAOffset = 151;
inline constexpr size_t kConfigFlagsBOffset = 155;
inline constexpr size_t kConfigFormatLevelOffset = 201;
// Bytes 36 and 37 of the product's configuration.
inline constexpr char kConfigGeneration[2] = {'5', ' '};

// ---- base files --------------------------------------------------------------------------
//
// The six base-file keys and the two multipliers are provisioned with the product at
// build time.
#if !defined(ZUM_BASE_KEY1) || !defined(ZUM_BASE_KEY2) || !defined(ZUM_BASE_KEY3) || \
    !defined(ZUM_BASE_KEY4) || !defined(ZUM_BASE_KEY5) || !defined(ZUM_BASE_KEY6) || \
    !defined(ZUM_BASE_M1) || !defined(ZUM_BASE_M2)
#error "The product's base-file keys (ZUM_BASE_KEY1..6, ZUM_BASE_M1, ZUM_BASE_M2) are not provisioned"
#endif

inline constexpr uint32_t kBaseKeys[6] = {
    static_cast<uint32_t>(ZUM_BASE_KEY1), static_cast<uint32_t>(ZUM_BASE_KEY2),
    static_cast<uint32_t>(ZUM_BASE_KEY3), static_cast<uint32_t>(ZUM_BASE_KEY4),
    static_cast<uint32_t>(ZUM_BASE_KEY5), static_cast<uint32_t>(ZUM_BASE_KEY6),
};
inline constexpr uint32_t kBaseM1 = static_cast<uint32_t>(ZUM_BASE_M1);
inline constexpr uint32_t kBaseM2 = static_cast<uint32_t>(ZUM_BASE_M2);

}  // namespace product
