// The desktop shortcut of a copy: where the desktop folder is found, the shortcut's
// target, working folder and description, and a failure that fails the step. On
// Linux the Shell Link file is checked field by field and read back by lnkinfo
// (liblnk-utils); on Windows the shell's own link object reads it back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "base/bytes.h"
#include "installer/shortcut.h"
#include "platform/os.h"
#include "support/test_support.h"

#ifdef _WIN32
#include "platform/win32/handles.h"

#include <objbase.h>
#include <shlobj.h>
#else
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "installer/form1.h"
#include "format/protocol_record.h"
#include "base/cp1251.h"
#include "installer/selku.h"
#include "platform/posix/shell_link.h"
#include "frontends/scripted/scripted.h"
#endif

namespace {

// A little-endian 32-bit field of a shortcut file.
}  // namespace

#ifndef _WIN32

namespace {

namespace fs = std::filesystem;

// lnkinfo's report of a shortcut (strings read as CP1251), in UTF-8; nullopt when
// the tool is not installed.
std::optional<std::string> LnkInfo(const std::string& hostPath) {
  if (std::system("command -v lnkinfo >/dev/null 2>&1") != 0) return std::nullopt;
  const std::string command = "lnkinfo -c windows-1251 '" + hostPath + "' 2>&1";
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    pclose(p);
  }
  return out;
}

// The value lnkinfo gives for `field` ("Local path"), converted to CP1251.
std::string LnkField(const std::string& report, const std::string& field) {
  size_t pos = report.find("\t" + field + "\t");
  if (pos == std::string::npos) return "<missing>";
  pos = report.find(": ", pos);
  const size_t end = report.find('\n', pos);
  return cp1251::FromUtf8(report.substr(pos + 2, end - pos - 2));
}

class DesktopTest : public ::testing::Test {
 protected:
  std::string HomeHost() const { return dir.Host() + "home"; }
  std::string HomeDos() const { return dir.Dos() + "home"; }
  void WriteUserDirs(const std::string& folder, const std::string& text) {
    fs::create_directories(folder);
    std::ofstream(folder + "/user-dirs.dirs") << text;
  }
  // The journal and temporary folder of a run, which the shortcut step writes to.
  void StartRun(TForm1& form) {
    form.InstallDir = dir.Dos() + "ZUM\\";
    form.TempDir = dir.Dos() + "ZUMUPDT.TMP\\";
    form.JournalFile = form.InstallDir + "zum_1.txt";
    ASSERT_TRUE(os::CreateDir(form.InstallDir));
    ASSERT_TRUE(os::CreateDir(form.TempDir));
    form.JournalMuted = false;
    ASSERT_TRUE(form.JournalStart());
  }
  std::string Journal(TForm1& form) {
    form.JournalEnd();
    std::string bytes;
    zt::ReadAll(form.JournalFile, bytes);
    return bytes;
  }
  zt::TempDir dir;
  zt::ScopedEnv home{"HOME", HomeHost()};
  zt::ScopedEnv config{"XDG_CONFIG_HOME", std::nullopt};
  zt::ScopedEnv windows{"ZUM_WINDOWS_DIR", std::nullopt};
};

}  // namespace

TEST(ShellLinkFile, HeaderLinkInfoAndAnsiStrings) {
  os::posix::ShellLinkFields link;
  link.target = "D:\\Programs\\ZUM5_3071\\EXE\\zum.exe";
  link.workDir = "D:\\Programs\\ZUM5_3071\\";
  link.description = "ZUM5_3071.LNK";
  link.targetSize = 1234;
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(os::posix::MakeShellLink(link, bytes));
  const std::string b(bytes.begin(), bytes.end());
  EXPECT_EQ(le::Get32(reinterpret_cast<const uint8_t*>(b.data()) + 0), 0x4Cu);  // HeaderSize
  EXPECT_EQ(b.substr(4, 16),       // LinkCLSID {00021401-0000-0000-C000-000000000046}
            std::string("\x01\x14\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46", 16));
  EXPECT_EQ(le::Get32(reinterpret_cast<const uint8_t*>(b.data()) + 0x14), os::posix::kHasLinkInfo | os::posix::kHasName |
                                os::posix::kHasWorkingDir);  // not IsUnicode: ANSI strings
  EXPECT_EQ(le::Get32(reinterpret_cast<const uint8_t*>(b.data()) + 0x34), 1234u);                          // FileSize
  EXPECT_EQ(le::Get32(reinterpret_cast<const uint8_t*>(b.data()) + 0x3C), 5u);                             // ShowCommand
  // LinkInfo: size, header size 0x1C, VolumeIDAndLocalBasePath, the base path.
  const uint32_t info = 0x4C, infoSize = le::Get32(reinterpret_cast<const uint8_t*>(b.data()) + info);
  EXPECT_EQ(le::Get32(reinterpret_cast<const uint8_t*>(b.data()) + info + 4), 0x1Cu);
  EXPECT_EQ(le::Get32(reinterpret_cast<const uint8_t*>(b.data()) + info + 8), 1u);
  EXPECT_EQ(b.substr(info + le::Get32(reinterpret_cast<const uint8_t*>(b.data()) + info + 16), link.target.size() + 1),
            link.target + std::string(1, '\0'));
  // StringData: NAME_STRING, then WORKING_DIR, each a 16-bit count and the bytes;
  // then the terminal block.
  size_t at = info + infoSize;
  EXPECT_EQ(static_cast<uint8_t>(b[at]), link.description.size());
  EXPECT_EQ(b.substr(at + 2, link.description.size()), link.description);
  at += 2 + link.description.size();
  EXPECT_EQ(static_cast<uint8_t>(b[at]), link.workDir.size());
  EXPECT_EQ(b.substr(at + 2, link.workDir.size()), link.workDir);
  at += 2 + link.workDir.size();
  EXPECT_EQ(b.size(), at + 4);
  EXPECT_EQ(le::Get32(reinterpret_cast<const uint8_t*>(b.data()) + at), 0u);

  link.description = std::string("a\0b", 3);
  EXPECT_FALSE(os::posix::MakeShellLink(link, bytes));
}

TEST_F(DesktopTest, DesktopFolderOfTheUserDirectories) {
  struct Case {
    const char* what;
    std::string config;  // user-dirs.dirs in $HOME/.config, "" for none
    std::string desktop;
  };
  const Case cases[] = {
      {"none registered", "", HomeDos() + "\\Desktop"},
      {"under $HOME", "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Рабочий стол\"\n",
       HomeDos() + "\\Рабочий стол"},
      {"absolute, with escapes, the last line counts",
       "XDG_DESKTOP_DIR=\"$HOME/first\"\n  XDG_DESKTOP_DIR=\"" + dir.Host() + "d\\$q/\"\n",
       dir.Dos() + "d$q"},
      {"not a path: the default", "XDG_DESKTOP_DIR=\"Desktop\"\nXDG_MUSIC_DIR=\"$HOME/m\"\n",
       HomeDos() + "\\Desktop"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(HomeHost() + "/.config");
    if (!c.config.empty()) WriteUserDirs(HomeHost() + "/.config", cp1251::ToUtf8(c.config));
    EXPECT_EQ(os::ReadDesktopFolder(), c.desktop);
  }
  // $XDG_CONFIG_HOME takes the place of $HOME/.config when it is absolute.
  WriteUserDirs(dir.Host() + "cfg", "XDG_DESKTOP_DIR=\"$HOME/elsewhere\"\n");
  {
    zt::ScopedEnv xdg("XDG_CONFIG_HOME", dir.Host() + "cfg");
    EXPECT_EQ(os::ReadDesktopFolder(), HomeDos() + "\\elsewhere");
  }
  zt::ScopedEnv noHome("HOME", std::nullopt);
  EXPECT_EQ(os::ReadDesktopFolder(), "");
}

// D:\Programs\ZUM5_3071\ in small: the shortcut ZUM5_3071.LNK on the desktop, read
// back by lnkinfo.
TEST_F(DesktopTest, CreateDesktopLinkWritesTheShortcutOfTheCopy) {
  ui::ScriptedToolkit tk;
  TForm1 form(&tk);
  form.CopyDir = dir.Dos() + "Programs\\Копия ZUM\\";
  Frm_SelKU().LinkName = "ZUM5_3071";
  StartRun(form);
  WriteUserDirs(HomeHost() + "/.config", cp1251::ToUtf8("XDG_DESKTOP_DIR=\"$HOME/Рабочий стол\"\n"));
  // The desktop folder is not made yet: it is made for the shortcut.
  ASSERT_TRUE(form.CreateDesktopLink());
  const std::string link = HomeDos() + "\\Рабочий стол\\ZUM5_3071.LNK";
  std::string bytes;
  ASSERT_TRUE(zt::ReadAll(link, bytes));
  EXPECT_EQ(le::Get32(reinterpret_cast<const uint8_t*>(bytes.data()) + 0x3C), 5u);
  for (const std::string& line : form.ProtLines())
    EXPECT_NE(line.rfind(prot::MakeLine(prot::kProtEmergency, ""), 0), 0u) << line;  // no error line
  // Journalled first, to be removed by a rollback.
  EXPECT_NE(Journal(form).find("*9#z<" + link), std::string::npos);

  const auto report = LnkInfo(cp1251::ToUtf8(HomeHost() + "/Рабочий стол/ZUM5_3071.LNK"));
  if (!report) GTEST_SKIP() << "lnkinfo (liblnk-utils) is not installed";
  EXPECT_EQ(LnkField(*report, "Local path"), form.CopyDir + "EXE\\zum.exe") << *report;
  EXPECT_EQ(LnkField(*report, "Working directory"), form.CopyDir);
  EXPECT_EQ(LnkField(*report, "Description"), "ZUM5_3071.LNK");
  EXPECT_EQ(LnkField(*report, "Drive type"), "Fixed (3)");
}

// A desktop item that stands at the shortcut's name is the user's: it is left as it
// is, and the shortcut takes the next free name, journalled for removal first. The
// shortcut names the copy's program, which is what lets a rollback remove it.
TEST_F(DesktopTest, ATakenNameIsLeftAloneAndTheNextFreeOneIsUsed) {
  ui::ScriptedToolkit tk;
  TForm1 form(&tk);
  form.CopyDir = dir.Dos() + "copy\\";
  Frm_SelKU().LinkName = "ZUM5_310";
  StartRun(form);
  const std::string desktop = HomeDos() + "\\Desktop\\";
  ASSERT_TRUE(os::CreateDir(HomeDos()));
  ASSERT_TRUE(os::CreateDir(desktop));
  ASSERT_TRUE(zt::WriteAll(desktop + "ZUM5_310.LNK", "an older shortcut"));
  ASSERT_TRUE(os::CreateDir(desktop + "ZUM5_310 (2).LNK"));
  ASSERT_TRUE(form.CreateDesktopLink());
  std::string bytes;
  ASSERT_TRUE(zt::ReadAll(desktop + "ZUM5_310.LNK", bytes));
  EXPECT_EQ(bytes, "an older shortcut");
  const std::string link = desktop + "ZUM5_310 (3).LNK";
  EXPECT_NE(Journal(form).find("*9#z<" + link), std::string::npos);
  EXPECT_EQ(Journal(form).find("*6#"), std::string::npos);
  EXPECT_TRUE(ShortcutPointsInto(link, form.CopyDir));
  EXPECT_TRUE(ShortcutPointsInto(link, dir.Dos() + "COPY"));  // letter case aside
  EXPECT_FALSE(ShortcutPointsInto(link, dir.Dos() + "cop\\"));
  EXPECT_FALSE(ShortcutPointsInto(desktop + "ZUM5_310.LNK", form.CopyDir));
}

// The shortcut's strings in either form: ANSI bytes, or UTF-16LE as the shell
// writes them on Windows.
TEST(ShortcutBytes, NameTheProgramInEitherForm) {
  const std::string path = "D:\\Копия\\EXE\\zum.exe";
  auto bytes = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
  EXPECT_TRUE(ShortcutBytesName(bytes("xx" + path + "yy"), path));
  EXPECT_TRUE(ShortcutBytesName(bytes(cp1251::Upper(path)), path));
  EXPECT_FALSE(ShortcutBytesName(bytes("D:\\Копия\\EXE\\zum.ex"), path));
  // UTF-16LE, at an odd offset too.
  for (size_t pad : {0u, 1u}) {
    std::vector<uint8_t> wide(pad, 0x41);
    for (char c : std::string("D:\\Копия\\EXE\\ZUM.EXE")) {
      const unsigned char b = static_cast<unsigned char>(c);
      // CP1251 letters А..я are U+0410..U+044F.
      const uint32_t unit = b >= 0xC0 ? 0x410 + (b - 0xC0) : b;
      wide.push_back(static_cast<uint8_t>(unit & 0xFF));
      wide.push_back(static_cast<uint8_t>(unit >> 8));
    }
    EXPECT_TRUE(ShortcutBytesName(wide, path)) << pad;
  }
  EXPECT_FALSE(ShortcutBytesName({}, path));
}

TEST_F(DesktopTest, WithoutARegisteredDesktopTheWindowsFolderGivesIt) {
  zt::ScopedEnv noHome("HOME", std::nullopt);
  const std::string windows = dir.Dos() + "WINDOWS";
  zt::ScopedEnv win("ZUM_WINDOWS_DIR", cp1251::ToUtf8(windows));
  ASSERT_TRUE(os::CreateDir(windows));
  // Neither DESKTOP nor Рабочий стол: no desktop at all.
  EXPECT_FALSE(MakeDesktopShortcut("C:\\z\\EXE\\zum.exe", "z.LNK", "C:\\z\\"));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::NotFound);

  ASSERT_TRUE(os::CreateDir(windows + "\\Рабочий стол"));
  ASSERT_TRUE(MakeDesktopShortcut("C:\\z\\EXE\\zum.exe", "z.LNK", "C:\\z\\"));
  EXPECT_TRUE(os::FileExists(windows + "\\Рабочий стол\\z.LNK"));

  ASSERT_TRUE(os::CreateDir(windows + "\\Desktop"));  // found as DESKTOP, tried first
  ASSERT_TRUE(MakeDesktopShortcut("C:\\z\\EXE\\zum.exe", "z.LNK", "C:\\z\\"));
  EXPECT_TRUE(os::FileExists(windows + "\\Desktop\\z.LNK"));
}

// A shortcut that cannot be written fails the step, with the reason in the
// protocol, rather than passing as made.
TEST_F(DesktopTest, AShortcutThatCannotBeWrittenFailsTheStep) {
  ui::ScriptedToolkit tk;
  TForm1 form(&tk);
  form.CopyDir = dir.Dos() + "copy\\";
  Frm_SelKU().LinkName = "ZUM5_310";
  StartRun(form);
  fs::create_directories(HomeHost());
  std::ofstream(HomeHost() + "/Desktop") << "a file in the desktop folder's way";
  EXPECT_FALSE(form.CreateDesktopLink());
  ASSERT_FALSE(form.ProtLines().empty());
  const std::string& last = form.ProtLines().back();
  EXPECT_EQ(last.rfind(prot::MakeLine(prot::kProtEmergency, ""), 0), 0u) << last;
  // The step that failed: the desktop folder could not be made for the shortcut.
  EXPECT_NE(last.find(HomeDos() + "\\Desktop"), std::string::npos) << last;
}

#else  // _WIN32

namespace {

template <class I>
struct Released {
  I* p = nullptr;
  ~Released() {
    if (p) p->Release();
  }
};

}  // namespace

// The shell's link object writes the shortcut and reads back what was given.
TEST(ShellLinkWin32, CreateShellLinkWritesWhatTheShellReadsBack) {
  zt::TempDir dir;
  const std::string copy = dir.Dos() + "Копия ZUM\\";
  const std::string link = dir.Dos() + "ZUM5_3071.LNK";
  ASSERT_TRUE(os::CreateShellLink(copy + "EXE\\zum.exe", link, "ZUM5_3071.LNK", copy))
      << os::LastErrorText();
  ASSERT_TRUE(os::FileExists(link));

  ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
  {
    Released<IShellLinkA> shell;
    Released<IPersistFile> file;
    ASSERT_TRUE(SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_IShellLinkA, reinterpret_cast<void**>(&shell.p))));
    ASSERT_TRUE(SUCCEEDED(shell.p->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file.p))));
    wchar_t wide[MAX_PATH] = {};
    MultiByteToWideChar(CP_ACP, 0, link.c_str(), -1, wide, MAX_PATH);
    ASSERT_TRUE(SUCCEEDED(file.p->Load(wide, STGM_READ)));
    char text[MAX_PATH] = {};
    ASSERT_TRUE(SUCCEEDED(shell.p->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH)));
    EXPECT_EQ(std::string(text), copy + "EXE\\zum.exe");
    ASSERT_TRUE(SUCCEEDED(shell.p->GetWorkingDirectory(text, MAX_PATH)));
    EXPECT_EQ(std::string(text), copy);
    ASSERT_TRUE(SUCCEEDED(shell.p->GetDescription(text, MAX_PATH)));
    EXPECT_EQ(std::string(text), "ZUM5_3071.LNK");
  }
  CoUninitialize();
  // The show command as stored (a reader may show any value but 1, 3 and 7 as 1).
  std::string bytes;
  ASSERT_TRUE(zt::ReadAll(link, bytes));
  ASSERT_GE(bytes.size(), 0x4Cu);
  EXPECT_EQ(le::Get32(reinterpret_cast<const uint8_t*>(bytes.data()) + 0x3C), 5u);

  // A folder that does not exist cannot take it: the failure is reported.
  EXPECT_FALSE(os::CreateShellLink(copy + "EXE\\zum.exe", dir.Dos() + "none\\x.LNK", "x", copy));
  EXPECT_FALSE(os::LastErrorText().empty());
}

// The registered desktop is taken as it is, whether the folder exists or not.
TEST(ShellLinkWin32, RegisteredDesktopIsUsedEvenWhenMissing) {
  const char* key = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                            &k, nullptr),
            ERROR_SUCCESS);
  char old[MAX_PATH] = {};
  DWORD oldSize = sizeof old, oldType = 0;
  const bool hadOld =
      RegQueryValueExA(k, "Desktop", nullptr, &oldType, reinterpret_cast<BYTE*>(old), &oldSize) ==
      ERROR_SUCCESS;
  zt::TempDir dir;
  const std::string missing = dir.Dos() + "Рабочий стол пользователя";
  RegSetValueExA(k, "Desktop", 0, REG_SZ, reinterpret_cast<const BYTE*>(missing.c_str()),
                 static_cast<DWORD>(missing.size() + 1));
  EXPECT_EQ(os::ReadDesktopFolder(), missing);
  // Another type than a plain string does not count.
  RegSetValueExA(k, "Desktop", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(missing.c_str()),
                 static_cast<DWORD>(missing.size() + 1));
  EXPECT_EQ(os::ReadDesktopFolder(), "");
  if (hadOld)
    RegSetValueExA(k, "Desktop", 0, oldType, reinterpret_cast<BYTE*>(old), oldSize);
  else
    RegDeleteValueA(k, "Desktop");
  RegCloseKey(k);
}

#endif  // _WIN32
