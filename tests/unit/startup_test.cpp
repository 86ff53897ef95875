// The names of the start-up checks: the mutexes and the installation folder of an
// installer that stands in the product's exe folder.
#include <gtest/gtest.h>

#include "product/names.h"

TEST(MutexNames, ProductMutexIsTheUpperCasedPathWithUnderscores) {
  EXPECT_EQ(product::ProductMutexName("D:\\Prog\\ZUM\\", "EXE", "zum.exe"),
            "D:_PROG_ZUM_EXE_ZUM.EXE");
  EXPECT_EQ(product::ProductMutexName("C:\\Program Files\\ZUM\\", "Exe", "zum.exe"),
            "C:_PROGRAM FILES_ZUM_EXE_ZUM.EXE");
  // Cyrillic letters are upper-cased too, so the spelling on disk does not matter.
  EXPECT_EQ(product::ProductMutexName("D:\\Программы\\Зум\\", "exe", "Zum.Exe"),
            "D:_ПРОГРАММЫ_ЗУМ_EXE_ZUM.EXE");
  EXPECT_EQ(product::ProductMutexName("d:\\программы\\зум\\exe\\zum.exe"),
            product::ProductMutexName("D:\\ПРОГРАММЫ\\ЗУМ\\", "EXE", "ZUM.EXE"));
}

TEST(MutexNames, SingleInstanceMutexKeepsTheFileName) {
  EXPECT_EQ(product::SelfMutexName("update.exe"), "ZUMUPDATEPROC_update.exe");
  EXPECT_EQ(product::SelfMutexName("Обновление.EXE"), "ZUMUPDATEPROC_Обновление.EXE");
}

TEST(InstallDirOfExeFolder, OnlyAFolderEndingInItsFirstExe) {
  struct Case {
    const char* dir;
    const char* installDir;  // nullptr: not an exe folder
  };
  const Case cases[] = {
      {"D:\\Prog\\ZUM\\EXE\\", "D:\\Prog\\ZUM\\"},
      {"D:\\Prog\\ZUM\\exe\\", "D:\\Prog\\ZUM\\"},
      {"C:\\Exe\\", "C:\\"},
      {"D:\\exec\\ZUM\\EXE\\", nullptr},   // the first "exe" is not the last
      {"D:\\Prog\\ZUM\\", nullptr},
      {"D:\\Prog\\EXE\\ZUM\\", nullptr},
      {"D:\\Prog\\ZUM\\EXE", nullptr},     // not a folder text
      {"", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir);
    std::string installDir = "unchanged";
    EXPECT_EQ(product::InstallDirOfExeFolder(c.dir, installDir), c.installDir != nullptr);
    EXPECT_EQ(installDir, c.installDir ? c.installDir : "unchanged");
  }
}
