// Entry names are input: only safe relative paths inside the installation pass.
#include <gtest/gtest.h>

#include "format/entry_name.h"

TEST(EntryName, HostileNamesAreRefused) {
  const char* const hostile[] = {
      "..\\x", "a\\..\\..\\x", "\\x", "/x", "C:\\x", "C:x", "\\\\srv\\s\\x", "\\\\?\\C:\\x",
      "\\\\.\\PhysicalDrive0", "CON", "nul.txt", "COM1", "LPT1.dat", "a\\aux", "f:stream",
      "f::$DATA", "file.", "file ", "dir.\\x", "a\\\\b", "a\\", ".\\x", "a\\b\x01", "a/b",
      "zum_3.0.7.1.txt", "ZUMUPDTA.TMP\\WRK\\x", "zumupdt.tmp\\x", "",
      "Протокол_zum_3.0.7.1.txt", "протокол_ZUM_3.0.7.1.TXT",
      // short aliases that may stand for the journal or a temporary folder
      "ZUM_30~1.TXT", "zumupd~1.tmp\\x", "CLOCK$", "a\\conin$.txt",
  };
  for (const char* name : hostile)
    EXPECT_FALSE(pkg::CheckEntryName(name, "zum_3.0.7.1.txt").empty()) << name;
  EXPECT_FALSE(pkg::CheckEntryName(std::string(250, 'a'), "zum_1.txt").empty());
}

TEST(EntryName, LegalNamesPass) {
  const char* const legal[] = {
      "base\\std1", "cfg\\klsstd.zum", "EXE\\zum.exe", "Doc\\Руководство пользователя.pdf",
      "a b\\c d.txt", "Rus\\Data\\x\\y\\z\\w\\deep.dat", "console.txt", "com10", "lpt.txt",
      "sub\\zum_3.0.7.1.txt", "sub\\Протокол_zum_3.0.7.1.txt", ".hidden", "Rus\\ZUM_30~1.TXT", "FILE~1.TXT", "zum~.txt",
  };
  for (const char* name : legal)
    EXPECT_EQ(pkg::CheckEntryName(name, "zum_3.0.7.1.txt"), "") << name;
}

// The same rules judge paths below a folder a journal declares, where the length
// limit is the caller's.
TEST(EntryName, RelativePathsBelowAFolder) {
  EXPECT_EQ(pkg::CheckRelativePath(std::string(300, 'a'), 32767), "");
  EXPECT_NE(pkg::CheckRelativePath(std::string(300, 'a')), "");
  EXPECT_EQ(pkg::CheckRelativePath("ZUMUPDTA.TMP\\BAK1\\x"), "");  // no reserved names here
  for (const char* bad : {"..\\x", "a\\.\\b", "a\\nul", "a:b", "a\\b.", ""})
    EXPECT_NE(pkg::CheckRelativePath(bad, 32767), "") << bad;
}
