// The DOS path helpers: one row per shape of path the core meets.
#include <gtest/gtest.h>

#include "base/dos_path.h"

namespace {

struct Row {
  const char* path;
  const char* folder;   // FolderOf
  const char* parent;   // ParentOf
  const char* leaf;     // LeafOf
  const char* with;     // WithSlash
  const char* without;  // WithoutSlash
};

const Row kRows[] = {
    {"C:\\ZUM\\EXE\\zum.exe", "C:\\ZUM\\EXE\\", "C:\\ZUM\\EXE\\", "zum.exe", "C:\\ZUM\\EXE\\zum.exe\\",
     "C:\\ZUM\\EXE\\zum.exe"},
    {"C:\\ZUM\\EXE\\", "C:\\ZUM\\EXE\\", "C:\\ZUM\\", "", "C:\\ZUM\\EXE\\", "C:\\ZUM\\EXE"},
    {"C:\\ZUM\\EXE", "C:\\ZUM\\", "C:\\ZUM\\", "EXE", "C:\\ZUM\\EXE\\", "C:\\ZUM\\EXE"},
    {"C:\\", "C:\\", "", "", "C:\\", "C:"},
    {"C:", "", "", "C:", "C:\\", "C:"},
    {"zum.exe", "", "", "zum.exe", "zum.exe\\", "zum.exe"},
    {"", "", "", "", "", ""},
    {"\\\\srv\\share\\a.txt", "\\\\srv\\share\\", "\\\\srv\\share\\", "a.txt", "\\\\srv\\share\\a.txt\\",
     "\\\\srv\\share\\a.txt"},
    {"Z:\\home\\Протокол.txt", "Z:\\home\\", "Z:\\home\\", "Протокол.txt", "Z:\\home\\Протокол.txt\\",
     "Z:\\home\\Протокол.txt"},
};

TEST(DosPath, EveryShapeOfPath) {
  for (const Row& r : kRows) {
    SCOPED_TRACE(r.path);
    EXPECT_EQ(dos::FolderOf(r.path), r.folder);
    EXPECT_EQ(dos::ParentOf(r.path), r.parent);
    EXPECT_EQ(dos::LeafOf(r.path), r.leaf);
    EXPECT_EQ(dos::WithSlash(r.path), r.with);
    EXPECT_EQ(dos::WithoutSlash(r.path), r.without);
  }
}

TEST(DosPath, FolderAndLeafMakeThePathAgain) {
  for (const Row& r : kRows) {
    SCOPED_TRACE(r.path);
    EXPECT_EQ(dos::FolderOf(r.path) + dos::LeafOf(r.path), r.path);
  }
}

}  // namespace
