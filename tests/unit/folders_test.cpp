// Folder trees: listing order and what is left out, removing a tree, making a
// folder path, and the protocol of cleaning a working folder.
//
// Hidden items are made by a leading dot: the POSIX layer reports such names as
// hidden, and so does Wine for the Windows build under test.
#include <gtest/gtest.h>

#include <algorithm>

#ifndef _WIN32
#include <unistd.h>
#else
#include "platform/win32/handles.h"

#include <winioctl.h>

#include <cstring>
#endif

#include "installer/form1.h"
#include "files/folders.h"
#include "platform/os.h"
#include "support/test_support.h"
#include "frontends/scripted/scripted.h"

namespace {

using Strings = std::vector<std::string>;

void MakeDir(const std::string& path) { ASSERT_TRUE(os::CreateDir(path)) << path; }
void MakeFile(const std::string& path, const std::string& text = "x") {
  ASSERT_TRUE(zt::WriteAll(path, text)) << path;
}

Strings Sorted(Strings s) {
  std::sort(s.begin(), s.end());
  return s;
}

// R\ a.txt b.dat .hid.txt  A\ (c.txt  A1\ d.txt)  B\  .H\ e.txt
class TreeTest : public ::testing::Test {
 protected:
  zt::TempDir dir;
  std::string R = dir.Dos() + "R\\";
  void SetUp() override {
    MakeDir(R);
    MakeFile(R + "a.txt");
    MakeFile(R + "b.dat");
    MakeFile(R + ".hid.txt");
    MakeDir(R + "A");
    MakeFile(R + "A\\c.txt");
    MakeDir(R + "A\\A1");
    MakeFile(R + "A\\A1\\d.txt");
    MakeDir(R + "B");
    MakeDir(R + ".H");
    MakeFile(R + ".H\\e.txt");
  }
};

}  // namespace

TEST_F(TreeTest, ListFoldersDepthFirstWithoutHidden) {
  Strings list{"keep"};
  ListFolders(R, list);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[0], "keep");
  EXPECT_EQ(list[1], R);
  // Siblings come in the file system's order; a parent always precedes its
  // children and a subtree is listed whole before the next sibling.
  const auto pos = [&](const std::string& s) { return std::find(list.begin(), list.end(), s) - list.begin(); };
  EXPECT_LT(pos(R + "A\\"), 5);
  EXPECT_LT(pos(R + "B\\"), 5);
  EXPECT_EQ(pos(R + "A\\A1\\"), pos(R + "A\\") + 1);

  // A missing folder yields just itself; one named without its backslash is still
  // listed inside.
  Strings missing;
  ListFolders(R + "none\\", missing);
  EXPECT_EQ(missing, Strings{R + "none\\"});
  Strings noSlash;
  ListFolders(R + "A", noSlash);
  EXPECT_EQ(noSlash, (Strings{R + "A\\", R + "A\\A1\\"}));
}

TEST_F(TreeTest, ListFilesMaskAppendAndCount) {
  Strings list{"old"};
  EXPECT_EQ(ListFiles(R, "*.*", list, false), 4);
  EXPECT_EQ(Sorted(list),
            Sorted({R + "a.txt", R + "b.dat", R + "A\\c.txt", R + "A\\A1\\d.txt"}));
  // Files of a folder come before those of its subfolders.
  EXPECT_TRUE(list[3] == R + "A\\A1\\d.txt");

  EXPECT_EQ(ListFiles(R, "*.TXT", list, true), 3);  // masks ignore letter case
  EXPECT_EQ(list.size(), 7u);
  EXPECT_EQ(ListFiles(R + "none\\", "*.*", list, false), 0);
  EXPECT_TRUE(list.empty());
}

TEST_F(TreeTest, DeleteTree) {
  // Hidden items are never listed, so they stay, and with them the folder that
  // holds them: the root is the one failure, everything else goes.
  EXPECT_EQ(DeleteTree(R), 1);
  EXPECT_TRUE(os::FileExists(R + ".hid.txt"));
  EXPECT_FALSE(os::DirectoryExists(R + "A"));
  EXPECT_FALSE(os::FileExists(R + "a.txt"));

  ASSERT_TRUE(os::DeleteFile(R + ".hid.txt"));
  ASSERT_TRUE(os::DeleteFile(R + ".H\\e.txt"));
  ASSERT_TRUE(os::RemoveDir(R + ".H"));
  MakeDir(R + "X");
  MakeFile(R + "X\\f");
  // Without the trailing backslash too.
  EXPECT_EQ(DeleteTree(dir.Dos() + "R"), 0);
  EXPECT_FALSE(os::DirectoryExists(R));
}

#ifndef _WIN32
// Links planted in a tree: an outside folder and an outside file, each reached
// through a link inside. No walk follows them; deleting the tree removes the links
// and leaves their targets whole.
TEST_F(TreeTest, LinksAreNeverFollowed) {
  zt::TempDir outside;
  MakeFile(outside.Dos() + "victim.txt", "keep");
  MakeDir(outside.Dos() + "sub");
  const std::string host = dir.Host() + "R/";
  ASSERT_EQ(symlink(outside.Host().c_str(), (host + "dirlink").c_str()), 0);
  ASSERT_EQ(symlink((outside.Host() + "victim.txt").c_str(), (host + "A/filelink").c_str()), 0);

  EXPECT_TRUE(IsLink(R + "dirlink"));
  EXPECT_TRUE(IsLink(R + "dirlink\\"));
  EXPECT_FALSE(IsLink(R + "A"));
  EXPECT_EQ(LinkOnPath(R, R + "dirlink\\sub\\x.txt"), R + "dirlink");
  EXPECT_EQ(LinkOnPath(R, R + "A\\filelink"), R + "A\\filelink");
  EXPECT_EQ(LinkOnPath(R, R + "A\\A1\\d.txt"), "");
  EXPECT_EQ(LinkOnPath(R, R + "A\\new\\deeper.txt"), "");  // nothing there yet
  EXPECT_EQ(LinkOnPath(R + "A\\", R + "dirlink\\x"), "");   // not below the root

  Strings folders, files;
  ListFolders(R, folders);
  ListFiles(R, "*.*", files, false);
  for (const std::string& f : folders) EXPECT_EQ(f.find("dirlink"), std::string::npos) << f;
  for (const std::string& f : files) EXPECT_EQ(f.find("link"), std::string::npos) << f;

  // Writing through a link at a file's name is refused.
  os::File file;
  EXPECT_FALSE(file.Open(R + "A\\filelink", os::kWrite, os::kShareNone,
                         os::Disposition::CreateAlways));

  ASSERT_TRUE(os::DeleteFile(R + ".hid.txt"));
  ASSERT_TRUE(os::DeleteFile(R + ".H\\e.txt"));
  ASSERT_TRUE(os::RemoveDir(R + ".H"));
  EXPECT_EQ(DeleteTree(R), 0);
  EXPECT_FALSE(os::DirectoryExists(R));
  EXPECT_TRUE(os::FileExists(outside.Dos() + "victim.txt"));
  EXPECT_TRUE(os::DirectoryExists(outside.Dos() + "sub"));

  // A tree that is itself a link goes as a link.
  ASSERT_EQ(symlink(outside.Host().c_str(), (dir.Host() + "L").c_str()), 0);
  EXPECT_EQ(DeleteTree(dir.Dos() + "L\\"), 0);
  EXPECT_FALSE(IsLink(dir.Dos() + "L"));
  EXPECT_TRUE(os::FileExists(outside.Dos() + "victim.txt"));
}
#endif

#ifdef _WIN32
namespace {

// Makes `link` a junction to `target` (both full DOS paths) the way the system's
// own tools do: an empty folder given a mount-point reparse point.
bool MakeJunction(const std::string& link, const std::string& target, std::string& why) {
  if (!::CreateDirectoryA(link.c_str(), nullptr)) {
    why = "CreateDirectory " + std::to_string(::GetLastError());
    return false;
  }
  HANDLE h = ::CreateFileA(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    why = "CreateFile " + std::to_string(::GetLastError());
    return false;
  }
  // The mount-point layout: tag, sizes, then the substitute name ("\??\C:\...")
  // and an empty print name, both UTF-16 and zero-terminated.
  std::wstring substitute = L"\\??\\";
  for (char c : target) substitute += static_cast<wchar_t>(static_cast<unsigned char>(c));
  std::vector<uint8_t> buffer(8 + 8 + (substitute.size() + 2) * 2, 0);
  auto put16 = [&](size_t at, size_t v) {
    buffer[at] = static_cast<uint8_t>(v);
    buffer[at + 1] = static_cast<uint8_t>(v >> 8);
  };
  const size_t nameBytes = substitute.size() * 2;
  buffer[0] = 0x03; buffer[1] = 0x00; buffer[2] = 0x00; buffer[3] = 0xA0;  // IO_REPARSE_TAG_MOUNT_POINT
  put16(4, buffer.size() - 8);
  put16(8, 0);                  // substitute name offset
  put16(10, nameBytes);         // its length
  put16(12, nameBytes + 2);     // print name offset
  put16(14, 0);                 // its length
  std::memcpy(buffer.data() + 16, substitute.data(), nameBytes);
  DWORD got = 0;
  const BOOL ok = ::DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buffer.data(),
                                    static_cast<DWORD>(buffer.size()), nullptr, 0, &got, nullptr);
  const DWORD err = ::GetLastError();
  ::CloseHandle(h);
  if (!ok) why = "FSCTL_SET_REPARSE_POINT " + std::to_string(err);
  return ok != 0;
}

}  // namespace

// The link cases with a junction, where the system under test makes one (Wine 8
// answers FSCTL_SET_REPARSE_POINT with an error: the test then says so and skips).
TEST_F(TreeTest, JunctionsAreNeverFollowed) {
  zt::TempDir outside;
  MakeFile(outside.Dos() + "victim.txt", "keep");
  std::string why;
  if (!MakeJunction(R + "junction", outside.Dos(), why)) {
    os::RemoveDir(R + "junction");
    GTEST_SKIP() << "no junction could be made here: " << why;
  }
  EXPECT_TRUE(IsLink(R + "junction"));
  EXPECT_EQ(LinkOnPath(R, R + "junction\\victim.txt"), R + "junction");
  Strings files;
  ListFiles(R, "*.*", files, false);
  for (const std::string& f : files) EXPECT_EQ(f.find("junction"), std::string::npos) << f;
  ASSERT_TRUE(os::DeleteFile(R + ".hid.txt"));
  ASSERT_TRUE(os::DeleteFile(R + ".H\\e.txt"));
  ASSERT_TRUE(os::RemoveDir(R + ".H"));
  EXPECT_EQ(DeleteTree(R), 0);
  EXPECT_TRUE(os::FileExists(outside.Dos() + "victim.txt"));
}
#endif

TEST(MakeFolderPath, CreatesMissingLevelsAndReportsTheTopmost) {
  zt::TempDir dir;
  std::string top = "untouched";
  ASSERT_TRUE(MakeFolderPath(dir.Dos() + "one\\two\\", top));
  EXPECT_TRUE(os::DirectoryExists(dir.Dos() + "one\\two"));
  EXPECT_EQ(top, dir.Dos() + "one");
  // Removing the topmost folder undoes the call.
  EXPECT_EQ(DeleteTree(top), 0);
  EXPECT_FALSE(os::DirectoryExists(dir.Dos() + "one"));

  top = "untouched";
  EXPECT_TRUE(MakeFolderPath(dir.Dos(), top));           // exists already
  EXPECT_TRUE(MakeFolderPath("Z:\\", top));              // a drive root
  EXPECT_EQ(top, "untouched");
  EXPECT_FALSE(MakeFolderPath("", top));

  // A file in the way of a level.
  MakeFile(dir.Dos() + "file");
  EXPECT_FALSE(MakeFolderPath(dir.Dos() + "file\\sub", top));
}

// ---- CleanFolder ------------------------------------------------------------------

namespace {

class CleanFolderTest : public ::testing::Test {
 protected:
  ui::ScriptedToolkit tk;
  TForm1 form{&tk};
  zt::TempDir dir;
  std::string P = dir.Dos() + "TMP\\";
  // P\ a.bin  S\ (b.bin  D\ c.bin): one item per level, so the order is fixed.
  void MakeTree() {
    if (!os::DirectoryExists(P)) MakeDir(P);
    MakeFile(P + "a.bin");
    MakeDir(P + "S");
    MakeFile(P + "S\\b.bin");
    MakeDir(P + "S\\D");
    MakeFile(P + "S\\D\\c.bin");
  }
  const Strings& Lines() const { return form.ProtLines(); }
};

}  // namespace

TEST_F(CleanFolderTest, EmptiesAndOptionallyRemoves) {
  for (bool remove : {false, true}) {
    SCOPED_TRACE(remove ? "remove" : "keep");
    MakeTree();
    const size_t before = Lines().size();
    EXPECT_TRUE(form.CleanFolder(P, remove));
    Strings expect = {
        " ...очистка " + P,
        " Успешно удалено " + P + "a.bin",
        " Успешно удалено " + P + "S\\b.bin",
        " Успешно удалено " + P + "S\\D\\c.bin",
        "...ОК ",
        " ...удаление подпапок " + P,
        " Успешно удалено " + P + "S\\D\\",
        " Успешно удалено " + P + "S\\",
        "...ОК ",
    };
    if (remove) expect.push_back("Удаление папки " + P);
    EXPECT_EQ(Strings(Lines().begin() + before, Lines().end()), expect);
    EXPECT_EQ(os::DirectoryExists(P), !remove);
    if (!remove) {
      Strings left;
      ListFolders(P, left);
      EXPECT_EQ(left, Strings{P});
    }
  }
}

TEST_F(CleanFolderTest, EmptyFolderWritesOnlyTheSubfolderPass) {
  MakeDir(P);
  EXPECT_TRUE(form.CleanFolder(P, false));
  EXPECT_EQ(Lines(), (Strings{" ...удаление подпапок " + P, "...ОК "}));
}

TEST_F(CleanFolderTest, MissingOrEmptyPath) {
  // Missing, kept: made with its missing parents, silently.
  EXPECT_TRUE(form.CleanFolder(P + "deep\\", false));
  EXPECT_TRUE(os::DirectoryExists(P + "deep"));
  // Missing, removed: nothing to do.
  EXPECT_TRUE(form.CleanFolder(dir.Dos() + "none\\", true));
  EXPECT_TRUE(form.CleanFolder("", false));
  EXPECT_TRUE(Lines().empty());

  EXPECT_FALSE(form.CleanFolder("", true));
  EXPECT_EQ(Lines(), Strings{" Попытка очистки и удаления несуществующей папки"});
}

TEST_F(CleanFolderTest, AnItemThatStaysMakesItFail) {
  MakeTree();
  // A file held open without shared deleting cannot be deleted. It is not the last
  // file of the pass: a later success must not hide the failure.
  os::File holder;
  ASSERT_TRUE(holder.Open(P + "a.bin", os::kRead, os::kShareRead, os::Disposition::OpenExisting));
  EXPECT_FALSE(form.CleanFolder(P, false));
  const Strings expect = {
      " ...очистка " + P,
      " Невозможно удалить " + P + "a.bin",
      " Успешно удалено " + P + "S\\b.bin",
      " Успешно удалено " + P + "S\\D\\c.bin",
      "...Были ошибки ",
      " ...удаление подпапок " + P,
      " Успешно удалено " + P + "S\\D\\",
      " Успешно удалено " + P + "S\\",
      "...ОК ",
  };
  EXPECT_EQ(Lines(), expect);
  EXPECT_TRUE(os::FileExists(P + "a.bin"));

  // Removing the folder fails while the file is held, and succeeds after.
  EXPECT_FALSE(form.CleanFolder(P, true));
  EXPECT_TRUE(os::DirectoryExists(P));
  holder.Close();
  EXPECT_TRUE(form.CleanFolder(P, true));
  EXPECT_FALSE(os::DirectoryExists(P));
}

TEST_F(CleanFolderTest, HiddenItemsStay) {
  MakeTree();
  MakeFile(P + "S\\D\\.keep");
  EXPECT_FALSE(form.CleanFolder(P, true));
  EXPECT_TRUE(os::FileExists(P + "S\\D\\.keep"));
  const Strings& l = Lines();
  EXPECT_NE(std::find(l.begin(), l.end(), " Невозможно удалить " + P + "S\\D\\"), l.end());
}
