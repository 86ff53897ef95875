// The Windows platform layer, run under Wine with the Russian locale (ANSI code
// page 1251): share modes, mappings, moves, attribute-filtered searches, named
// mutexes seen from another process, Cyrillic names and the error texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/os.h"
#include "platform/win32/handles.h"
#include "support/test_support.h"

namespace {

// ---- a copy of this program as the other process ------------------------------------
//
// os::StartProcess passes no command line, so the copy is told what to do through
// inherited environment variables and is recognised before GoogleTest starts. It
// tries the mutex, reports what it saw in a file and signals an event.

constexpr char kChildReportVar[] = "ZUM_W32TEST_REPORT";
constexpr char kChildMutexVar[] = "ZUM_W32TEST_MUTEX";
constexpr char kChildEventVar[] = "ZUM_W32TEST_EVENT";

std::string GetEnv(const char* name) {
  char buffer[4096];
  const DWORD n = ::GetEnvironmentVariableA(name, buffer, sizeof buffer);
  return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
}

int RunAsChild(const std::string& reportPath) {
  std::ostringstream report;
  {
    // Closed before the parent is told, so its next look sees only its own handle.
    os::NamedMutex mutex;
    bool existed = false;
    const bool created = mutex.Create(GetEnv(kChildMutexVar), existed);
    report << "created=" << created << "\nexisted=" << existed << "\n";
  }
  char cwd[MAX_PATH] = {};
  ::GetCurrentDirectoryA(sizeof cwd, cwd);
  STARTUPINFOA si;
  ::GetStartupInfoA(&si);
  report << "cwd=" << cwd << "\n";
  report << "show=" << ((si.dwFlags & STARTF_USESHOWWINDOW) ? int(si.wShowWindow) : -1) << "\n";
  const bool written = zt::WriteAll(reportPath, report.str());
  HANDLE done = ::OpenEventA(EVENT_MODIFY_STATE, FALSE, GetEnv(kChildEventVar).c_str());
  if (done != nullptr) {
    ::SetEvent(done);
    ::CloseHandle(done);
  }
  return written ? 0 : 1;
}

[[maybe_unused]] const bool g_isChild = [] {
  const std::string report = GetEnv(kChildReportVar);
  if (!report.empty()) ::ExitProcess(RunAsChild(report));
  return false;
}();

// Starts a copy of this program in `workDir` with the mutex name to try and
// returns its report (empty when it did not report).
std::map<std::string, std::string> ProbeFromChild(const std::string& mutexName,
                                                  const std::string& workDir,
                                                  const std::string& reportPath) {
  static int serial = 0;
  const std::string eventName = "ZumW32TestDone_" + std::to_string(::GetCurrentProcessId()) + "_" +
                                std::to_string(++serial);
  os::win32::UniqueHandle done(::CreateEventA(nullptr, TRUE, FALSE, eventName.c_str()));
  EXPECT_TRUE(done);
  os::DeleteFile(reportPath);

  ::SetEnvironmentVariableA(kChildReportVar, reportPath.c_str());
  ::SetEnvironmentVariableA(kChildMutexVar, mutexName.c_str());
  ::SetEnvironmentVariableA(kChildEventVar, eventName.c_str());
  const bool started = os::StartProcess(os::ModulePath(), workDir, SW_SHOWMAXIMIZED);
  const std::string startError = os::LastErrorText();
  ::SetEnvironmentVariableA(kChildReportVar, nullptr);
  ::SetEnvironmentVariableA(kChildMutexVar, nullptr);
  ::SetEnvironmentVariableA(kChildEventVar, nullptr);

  std::map<std::string, std::string> result;
  EXPECT_TRUE(started) << startError;
  if (!started || !done) return result;
  // Only a guard against a child that never reports; no timing is measured.
  EXPECT_EQ(::WaitForSingleObject(done.get(), 120000), WAIT_OBJECT_0);
  std::string text;
  EXPECT_TRUE(zt::ReadAll(reportPath, text)) << os::LastErrorText();
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) result[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return result;
}

// ---- helpers ----------------------------------------------------------------------

std::set<std::string> Names(const std::vector<os::FindEntry>& entries) {
  std::set<std::string> names;
  for (const auto& e : entries) names.insert(e.name);
  return names;
}

std::string ReadBack(const std::string& path) {
  std::string bytes;
  EXPECT_TRUE(zt::ReadAll(path, bytes)) << os::LastErrorText();
  return bytes;
}

void ExpectError(os::ErrorKind kind, uint32_t code, const std::string& operation,
                 const std::string& path) {
  const os::Error& e = os::LastError();
  EXPECT_EQ(e.kind, kind) << e.text;
  EXPECT_EQ(e.code, code) << e.text;
  EXPECT_NE(e.text.find(operation), std::string::npos) << e.text;
  EXPECT_NE(e.text.find(path), std::string::npos) << e.text;
}

// ---- files and share modes --------------------------------------------------------

TEST(Win32Files, ShareModesDecideWhetherASecondOpenIsRefused) {
  zt::TempDir dir;
  const std::string path = dir.Dos() + "shared.bin";
  ASSERT_TRUE(zt::WriteAll(path, "data"));

  struct Case {
    const char* what;
    unsigned firstAccess, firstShare, secondAccess, secondShare;
    bool allowed;
  };
  const Case cases[] = {
      {"exclusive open while a reader is open", os::kRead, os::kShareAll, os::kRead,
       os::kShareNone, false},
      {"reader against an exclusive holder", os::kRead, os::kShareNone, os::kRead, os::kShareAll,
       false},
      {"writer against a holder sharing reads", os::kRead, os::kShareRead, os::kWrite,
       os::kShareAll, false},
      {"reader against a holder sharing reads", os::kRead, os::kShareRead, os::kRead,
       os::kShareAll, true},
      {"writer against a holder sharing everything", os::kRead, os::kShareAll, os::kWrite,
       os::kShareAll, true},
      {"reader denying writers while a writer is open", os::kWrite, os::kShareAll, os::kRead,
       os::kShareRead, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    os::File first, second;
    ASSERT_TRUE(first.Open(path, c.firstAccess, c.firstShare, os::Disposition::OpenExisting))
        << os::LastErrorText();
    EXPECT_EQ(second.Open(path, c.secondAccess, c.secondShare, os::Disposition::OpenExisting),
              c.allowed);
    if (!c.allowed) {
      EXPECT_FALSE(second.IsOpen());
      ExpectError(os::ErrorKind::Sharing, ERROR_SHARING_VIOLATION, "CreateFileA", path);
      // The refusal lasts only as long as the other handle.
      first.Close();
      EXPECT_TRUE(second.Open(path, c.secondAccess, c.secondShare, os::Disposition::OpenExisting))
          << os::LastErrorText();
    }
  }
}

TEST(Win32Files, DispositionsCreateReplaceOrRefuse) {
  zt::TempDir dir;
  const std::string path = dir.Dos() + "f.txt";
  os::File f;
  EXPECT_FALSE(f.Open(path, os::kRead, os::kShareAll, os::Disposition::OpenExisting));
  ExpectError(os::ErrorKind::NotFound, ERROR_FILE_NOT_FOUND, "CreateFileA", path);
  EXPECT_FALSE(f.Open(dir.Dos() + "missing\\f.txt", os::kWrite, os::kShareAll,
                      os::Disposition::CreateAlways));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::NotFound);
  EXPECT_EQ(os::LastError().code, uint32_t(ERROR_PATH_NOT_FOUND));

  ASSERT_TRUE(zt::WriteAll(path, "long old text"));
  EXPECT_FALSE(f.Open(path, os::kWrite, os::kShareAll, os::Disposition::CreateNew));
  ExpectError(os::ErrorKind::Exists, ERROR_FILE_EXISTS, "CreateFileA", path);

  // OpenAlways keeps the contents, CreateAlways empties the file.
  ASSERT_TRUE(f.Open(path, os::kRead | os::kWrite, os::kShareNone, os::Disposition::OpenAlways));
  uint64_t size = 0;
  ASSERT_TRUE(f.Size(size));
  EXPECT_EQ(size, 13u);
  ASSERT_TRUE(f.Open(path, os::kWrite, os::kShareNone, os::Disposition::CreateAlways));
  ASSERT_TRUE(f.Size(size));
  EXPECT_EQ(size, 0u);
}

TEST(Win32Files, ReadWriteSeekAndTruncateWithPositionsBeyond4GiB) {
  zt::TempDir dir;
  const std::string path = dir.Dos() + "big.bin";
  os::File f;
  ASSERT_TRUE(f.Open(path, os::kRead | os::kWrite, os::kShareNone, os::Disposition::CreateNew));
  ASSERT_TRUE(f.Write("0123456789", 10));

  // A short read is normal at the end; an exact read that runs out is an error.
  char buffer[16] = {};
  size_t got = 0;
  ASSERT_TRUE(f.Seek(6));
  ASSERT_TRUE(f.Read(buffer, sizeof buffer, got));
  EXPECT_EQ(std::string(buffer, got), "6789");
  ASSERT_TRUE(f.Seek(6));
  EXPECT_FALSE(f.ReadExact(buffer, 5));
  ExpectError(os::ErrorKind::Io, ERROR_HANDLE_EOF, "ReadFile", path);

  ASSERT_TRUE(f.Seek(4));
  ASSERT_TRUE(f.Truncate());
  uint64_t pos = 0;
  ASSERT_TRUE(f.SeekEnd(pos));
  EXPECT_EQ(pos, 4u);

  // Sizes and positions past 32 bits (the file is sparse on the host).
  const uint64_t beyond = (uint64_t(5) << 30) + 3;
  ASSERT_TRUE(f.Seek(beyond));
  ASSERT_TRUE(f.Write("Z", 1));
  ASSERT_TRUE(f.Tell(pos));
  EXPECT_EQ(pos, beyond + 1);
  uint64_t size = 0;
  ASSERT_TRUE(f.Size(size));
  EXPECT_EQ(size, beyond + 1);
  ASSERT_TRUE(f.Seek(beyond));
  ASSERT_TRUE(f.ReadExact(buffer, 1));
  EXPECT_EQ(buffer[0], 'Z');
  ASSERT_TRUE(f.Seek(4));
  ASSERT_TRUE(f.Truncate());
  ASSERT_TRUE(f.Flush());
  ASSERT_TRUE(f.Size(size));
  EXPECT_EQ(size, 4u);

  // A moved file leaves a closed one behind, which refuses work instead of crashing.
  os::File moved(std::move(f));
  EXPECT_TRUE(moved.IsOpen());
  EXPECT_FALSE(f.IsOpen());
  EXPECT_FALSE(f.Write("x", 1));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::Invalid);
}

// ---- mappings -----------------------------------------------------------------------

TEST(Win32Mapping, CreateReadWriteGivesTheFileExactlyTheRequestedLength) {
  zt::TempDir dir;
  const std::string path = dir.Dos() + "out.bin";
  ASSERT_TRUE(zt::WriteAll(path, std::string(100000, 'o')));  // replaced, not reused

  os::Mapping m;
  ASSERT_TRUE(m.CreateReadWrite(path, 70001)) << os::LastErrorText();
  ASSERT_NE(m.writable(), nullptr);
  EXPECT_EQ(m.size(), 70001u);
  EXPECT_TRUE(std::all_of(m.data(), m.data() + m.size(), [](uint8_t b) { return b == 0; }));
  for (uint64_t i = 0; i < m.size(); ++i) m.writable()[i] = uint8_t(i * 7);
  ASSERT_TRUE(m.Flush()) << os::LastErrorText();

  // Others may read the file meanwhile, but not write it.
  os::File other;
  EXPECT_TRUE(other.Open(path, os::kRead, os::kShareAll, os::Disposition::OpenExisting));
  other.Close();
  EXPECT_FALSE(other.Open(path, os::kWrite, os::kShareAll, os::Disposition::OpenExisting));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::Sharing);

  os::Mapping moved = std::move(m);
  EXPECT_FALSE(m.IsOpen());
  moved.Close();
  const std::string bytes = ReadBack(path);
  ASSERT_EQ(bytes.size(), 70001u);
  for (size_t i = 0; i < bytes.size(); ++i) ASSERT_EQ(uint8_t(bytes[i]), uint8_t(i * 7)) << i;
}

TEST(Win32Mapping, CreateReadWriteThatCannotMapLeavesNoFileBehind) {
  zt::TempDir dir;
  const std::string path = dir.Dos() + "huge.bin";
  ASSERT_TRUE(zt::WriteAll(path, "old"));
  os::Mapping m;
  // A petabyte: more than the file system or the address space will take.
  EXPECT_FALSE(m.CreateReadWrite(path, uint64_t(1) << 50));
  EXPECT_FALSE(m.IsOpen());
  EXPECT_NE(os::LastError().kind, os::ErrorKind::None);
  EXPECT_NE(os::LastErrorText().find(path), std::string::npos) << os::LastErrorText();
  EXPECT_FALSE(os::FileExists(path));
}

TEST(Win32Mapping, ReadAndReadWriteViewsOfExistingFiles) {
  zt::TempDir dir;
  const std::string path = dir.Dos() + "in.bin";
  ASSERT_TRUE(zt::WriteAll(path, "abcdef"));

  os::Mapping ro;
  ASSERT_TRUE(ro.OpenRead(path)) << os::LastErrorText();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(ro.data()), ro.size()), "abcdef");
  EXPECT_EQ(ro.writable(), nullptr);
  // A read-only view shares reads and writes with others.
  os::File writer;
  EXPECT_TRUE(writer.Open(path, os::kWrite, os::kShareAll, os::Disposition::OpenExisting))
      << os::LastErrorText();
  writer.Close();
  ro.Close();

  os::Mapping rw;
  ASSERT_TRUE(rw.OpenReadWrite(path)) << os::LastErrorText();
  ASSERT_EQ(rw.size(), 6u);
  rw.writable()[0] = 'X';
  ASSERT_TRUE(rw.Flush());
  rw.Close();
  EXPECT_EQ(ReadBack(path), "Xbcdef");

  EXPECT_FALSE(ro.OpenRead(dir.Dos() + "none.bin"));
  EXPECT_FALSE(ro.IsOpen());
  ExpectError(os::ErrorKind::NotFound, ERROR_FILE_NOT_FOUND, "CreateFileA", dir.Dos() + "none.bin");
}

TEST(Win32Mapping, EmptyFilesMapToAnOpenEmptyView) {
  zt::TempDir dir;
  const std::string path = dir.Dos() + "empty.bin";
  ASSERT_TRUE(zt::WriteAll(path, ""));

  os::Mapping ro, rw;
  ASSERT_TRUE(ro.OpenRead(path)) << os::LastErrorText();
  EXPECT_TRUE(ro.IsOpen());
  EXPECT_EQ(ro.data(), nullptr);
  EXPECT_EQ(ro.size(), 0u);
  ro.Close();

  ASSERT_TRUE(rw.OpenReadWrite(path)) << os::LastErrorText();
  EXPECT_TRUE(rw.IsOpen());
  EXPECT_EQ(rw.size(), 0u);
  EXPECT_TRUE(rw.Flush()) << os::LastErrorText();
  rw.Close();

  // Creating at 0 bytes empties an existing file.
  ASSERT_TRUE(zt::WriteAll(path, "old"));
  ASSERT_TRUE(rw.CreateReadWrite(path, 0)) << os::LastErrorText();
  EXPECT_TRUE(rw.IsOpen());
  EXPECT_EQ(rw.size(), 0u);
  rw.Close();
  EXPECT_EQ(ReadBack(path), "");
}

// ---- moves, folders, attributes ----------------------------------------------------

TEST(Win32Folders, MovesAcrossFoldersAndRefusesAnExistingTarget) {
  zt::TempDir dir;
  const std::string a = dir.Dos() + "a\\", b = dir.Dos() + "b\\";
  ASSERT_TRUE(os::CreateDir(a));
  ASSERT_TRUE(os::CreateDir(b));
  ASSERT_TRUE(zt::WriteAll(a + "work.bin", "new contents"));
  ASSERT_TRUE(zt::WriteAll(b + "target.bin", "old contents"));

  EXPECT_FALSE(os::MoveFile(a + "work.bin", b + "target.bin"));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::Exists) << os::LastErrorText();
  EXPECT_NE(os::LastErrorText().find(b + "target.bin"), std::string::npos);
  EXPECT_EQ(ReadBack(b + "target.bin"), "old contents");
  EXPECT_TRUE(os::FileExists(a + "work.bin"));

  ASSERT_TRUE(os::MoveFile(a + "work.bin", b + "moved.bin")) << os::LastErrorText();
  EXPECT_FALSE(os::FileExists(a + "work.bin"));
  EXPECT_EQ(ReadBack(b + "moved.bin"), "new contents");

  // A whole folder moves with what it holds.
  ASSERT_TRUE(os::MoveFile(b, a + "inner")) << os::LastErrorText();
  EXPECT_FALSE(os::DirectoryExists(b));
  EXPECT_EQ(ReadBack(a + "inner\\moved.bin"), "new contents");

  EXPECT_FALSE(os::MoveFile(a + "nothing.bin", a + "x.bin"));
  ExpectError(os::ErrorKind::NotFound, ERROR_FILE_NOT_FOUND, "MoveFileA", a + "nothing.bin");
}

TEST(Win32Folders, FolderAndAttributeOperationsReportTheirFailures) {
  zt::TempDir dir;
  const std::string sub = dir.Dos() + "sub\\";
  ASSERT_TRUE(os::CreateDir(sub));
  EXPECT_TRUE(os::DirectoryExists(sub));
  EXPECT_TRUE(os::DirectoryExists(dir.Dos() + "sub"));
  EXPECT_FALSE(os::FileExists(sub));

  EXPECT_FALSE(os::CreateDir(sub));
  ExpectError(os::ErrorKind::Exists, ERROR_ALREADY_EXISTS, "CreateDirectoryA", sub);
  EXPECT_FALSE(os::CreateDir(dir.Dos() + "no\\such"));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::NotFound);

  const std::string file = sub + "ro.txt";
  ASSERT_TRUE(zt::WriteAll(file, "x"));
  EXPECT_TRUE(os::FileExists(file));
  EXPECT_FALSE(os::DirectoryExists(file));
  EXPECT_FALSE(os::RemoveDir(sub));  // not empty
  EXPECT_EQ(os::LastError().code, uint32_t(ERROR_DIR_NOT_EMPTY));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::Io);

  ASSERT_TRUE(os::SetReadOnly(file, true));
  uint32_t attr = 0;
  ASSERT_TRUE(os::GetAttributes(file, attr));
  EXPECT_TRUE(attr & os::kAttrReadOnly);
  // (Opening it for writing is not tried: Wine run as root would allow it.)
  EXPECT_FALSE(os::DeleteFile(file));
  ExpectError(os::ErrorKind::Access, ERROR_ACCESS_DENIED, "DeleteFileA", file);

  ASSERT_TRUE(os::SetReadOnly(file, false));
  ASSERT_TRUE(os::GetAttributes(file, attr));
  EXPECT_FALSE(attr & os::kAttrReadOnly);
  EXPECT_TRUE(os::DeleteFile(file)) << os::LastErrorText();
  EXPECT_TRUE(os::RemoveDir(sub)) << os::LastErrorText();
  EXPECT_FALSE(os::GetAttributes(sub, attr));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::NotFound);
}

TEST(Win32Folders, FindFilesFiltersHiddenSystemAndDirectoryEntries) {
  zt::TempDir dir;
  const std::string d = dir.Dos();
  ASSERT_TRUE(zt::WriteAll(d + "plain.txt", "12345"));
  ASSERT_TRUE(zt::WriteAll(d + "ro.txt", "1"));
  ASSERT_TRUE(zt::WriteAll(d + "hidden.txt", "1"));
  ASSERT_TRUE(zt::WriteAll(d + "system.dat", "1"));
  ASSERT_TRUE(os::CreateDir(d + "Exe"));
  ASSERT_TRUE(os::CreateDir(d + "secret"));
  ASSERT_TRUE(os::SetReadOnly(d + "ro.txt", true));
  ASSERT_TRUE(::SetFileAttributesA((d + "hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(::SetFileAttributesA((d + "system.dat").c_str(), FILE_ATTRIBUTE_SYSTEM));
  ASSERT_TRUE(::SetFileAttributesA((d + "secret").c_str(),
                                   FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));

  struct Case {
    const char* pattern;
    uint32_t mask;
    std::set<std::string> expected;
  };
  const Case cases[] = {
      // Ordinary files (read-only ones included) match whatever the mask says.
      {"*", 0, {"plain.txt", "ro.txt"}},
      {"*", os::kAttrReadOnly | os::kAttrArchive, {"plain.txt", "ro.txt"}},
      {"*", os::kAttrHidden, {"plain.txt", "ro.txt", "hidden.txt"}},
      {"*", os::kAttrSystem, {"plain.txt", "ro.txt", "system.dat"}},
      {"*", os::kAttrDirectory, {"plain.txt", "ro.txt", "Exe"}},
      // A hidden folder needs both attributes in the mask.
      {"*", os::kAttrDirectory | os::kAttrHidden, {"plain.txt", "ro.txt", "hidden.txt", "Exe", "secret"}},
      {"*", os::kAttrAny,
       {"plain.txt", "ro.txt", "hidden.txt", "system.dat", "Exe", "secret"}},
      // The mask ignores letter case; names come back as the disk spells them.
      {"*.TXT", os::kAttrAny, {"plain.txt", "ro.txt", "hidden.txt"}},
      {"exe", os::kAttrDirectory, {"Exe"}},
      {"exe", 0, {}},
      {"nothing*", os::kAttrAny, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " mask " + std::to_string(c.mask));
    std::vector<os::FindEntry> found;
    ASSERT_TRUE(os::FindFiles(d + c.pattern, c.mask, found)) << os::LastErrorText();
    EXPECT_EQ(Names(found), c.expected);
  }

  std::vector<os::FindEntry> found;
  ASSERT_TRUE(os::FindFiles(d + "*", os::kAttrAny, found));
  for (const auto& e : found) {
    if (e.name == "plain.txt") {
      EXPECT_EQ(e.size, 5u);
      EXPECT_EQ(e.attr & (os::kAttrDirectory | os::kAttrHidden), 0u);
    }
    if (e.name == "secret") {
      EXPECT_EQ(e.attr & (os::kAttrDirectory | os::kAttrHidden), 0x12u);
    }
    if (e.name == "ro.txt") {
      EXPECT_TRUE(e.attr & os::kAttrReadOnly);
    }
  }

  // A missing folder is an empty answer, not a failure; the old list is not kept.
  EXPECT_TRUE(os::FindFiles(d + "missing\\*", os::kAttrAny, found)) << os::LastErrorText();
  EXPECT_TRUE(found.empty());

  ASSERT_TRUE(os::SetReadOnly(d + "ro.txt", false));  // so the folder can be removed
}

// ---- Cyrillic names -----------------------------------------------------------------

TEST(Win32Names, CyrillicNamesReachTheDiskAsTheirCharacters) {
  // Everything below depends on Wine running with the Russian locale.
  ASSERT_EQ(::GetACP(), 1251u) << "run with LANG=ru_RU.UTF-8 (and the locale generated)";
  zt::TempDir dir;
  const std::string name = "Протокол.txt";
  ASSERT_EQ(name.size(), 12u);  // one byte a letter: the literal is CP1251
  EXPECT_EQ(uint8_t(name[0]), 0xCF);

  const std::string path = dir.Dos() + name;
  ASSERT_TRUE(zt::WriteAll(path, "строка\r\n")) << os::LastErrorText();

  // The wide API sees the same letters, so the name was not stored as Latin-1 bytes.
  wchar_t wdir[MAX_PATH];
  ASSERT_GT(::MultiByteToWideChar(CP_ACP, 0, dir.Dos().c_str(), -1, wdir, MAX_PATH), 0);
  const std::wstring wpath = std::wstring(wdir) + L"Протокол.txt";
  EXPECT_NE(::GetFileAttributesW(wpath.c_str()), INVALID_FILE_ATTRIBUTES);

  std::vector<os::FindEntry> found;
  ASSERT_TRUE(os::FindFiles(dir.Dos() + "*.txt", 0, found));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].name, name);
  // Letter case is ignored for Cyrillic letters as well.
  ASSERT_TRUE(os::FindFiles(dir.Dos() + "ПРОТОКОЛ.TXT", 0, found));
  EXPECT_EQ(Names(found), std::set<std::string>{name});

  os::Mapping m;
  ASSERT_TRUE(m.OpenRead(path)) << os::LastErrorText();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.data()), m.size()), "строка\r\n");
  m.Close();

  const std::string folder = dir.Dos() + "Копия\\";
  ASSERT_TRUE(os::CreateDir(folder));
  ASSERT_TRUE(os::MoveFile(path, folder + "Протокол_zum_5.1.12.txt")) << os::LastErrorText();
  EXPECT_TRUE(os::FileExists(folder + "протокол_ZUM_5.1.12.TXT"));

  // Error texts carry the name in CP1251 too.
  EXPECT_FALSE(os::DeleteFile(folder + "Нет.txt"));
  EXPECT_NE(os::LastErrorText().find("Нет.txt"), std::string::npos) << os::LastErrorText();
}

// ---- errors -------------------------------------------------------------------------

TEST(Win32Errors, TextNamesTheOperationThePathAndTheSystemsReason) {
  zt::TempDir dir;
  const std::string path = dir.Dos() + "absent.bin";
  EXPECT_FALSE(os::DeleteFile(path));
  const std::string text = os::LastErrorText();
  const std::string head = "DeleteFileA \"" + path + "\": ";
  ASSERT_EQ(text.compare(0, head.size(), head), 0) << text;
  const std::string reason = text.substr(head.size());
  EXPECT_FALSE(reason.empty());
  EXPECT_EQ(reason.find_first_of("\r\n"), std::string::npos) << text;
  EXPECT_NE(reason.back(), ' ');

  // Each thread keeps its own last error.
  std::thread other([] { os::SetLastError(os::ErrorKind::DiskFull, 112, "elsewhere"); });
  other.join();
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::NotFound);
  EXPECT_EQ(os::LastErrorText(), text);
}

// ---- mutexes and processes --------------------------------------------------------

TEST(Win32Process, NamedMutexIsSeenAsExistingFromAnotherProcessUntilClosed) {
  zt::TempDir dir;
  const std::string work = dir.Dos() + "Рабочая папка\\";
  ASSERT_TRUE(os::CreateDir(work));
  // A product mutex name as the installer builds it, Cyrillic letters included.
  const std::string name =
      "C:_ПРОГРАММЫ_ZUM_" + std::to_string(::GetCurrentProcessId()) + "_EXE_ZUM.EXE";

  os::NamedMutex held;
  bool existed = true;
  ASSERT_TRUE(held.Create(name, existed)) << os::LastErrorText();
  EXPECT_FALSE(existed);
  EXPECT_TRUE(held.IsHeld());

  // A second handle in this process sees it and is kept until closed.
  os::NamedMutex second;
  ASSERT_TRUE(second.Create(name, existed));
  EXPECT_TRUE(existed);
  EXPECT_TRUE(second.IsHeld());
  second.Close();
  EXPECT_FALSE(second.IsHeld());

  auto report = ProbeFromChild(name, work, dir.Dos() + "report1.txt");
  EXPECT_EQ(report["created"], "1");
  EXPECT_EQ(report["existed"], "1");
  // The child ran in the given folder, maximised.
  std::string expectedCwd = work;
  expectedCwd.pop_back();
  EXPECT_EQ(report["cwd"], expectedCwd);
  EXPECT_EQ(report["show"], std::to_string(SW_SHOWMAXIMIZED));

  os::NamedMutex moved(std::move(held));
  EXPECT_FALSE(held.IsHeld());
  moved.Close();
  report = ProbeFromChild(name, work, dir.Dos() + "report2.txt");
  EXPECT_EQ(report["created"], "1");
  EXPECT_EQ(report["existed"], "0");
}

TEST(Win32Process, StartAndMutexFailuresAreReported) {
  zt::TempDir dir;
  EXPECT_FALSE(os::StartProcess(dir.Dos() + "none.exe", dir.Dos(), 1));
  ExpectError(os::ErrorKind::NotFound, ERROR_FILE_NOT_FOUND, "CreateProcessA", dir.Dos() + "none.exe");

  os::NamedMutex m;
  bool existed = true;
  EXPECT_FALSE(m.Create("", existed));
  EXPECT_FALSE(existed);
  EXPECT_FALSE(m.IsHeld());
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::Invalid);

  const std::string self = os::ModulePath();
  EXPECT_TRUE(os::FileExists(self)) << self;
  ASSERT_GT(self.size(), 4u);
  EXPECT_EQ(self.substr(self.size() - 4), ".exe");
}

TEST(Win32System, ErrorModeIsSwitchedAndRestored) {
  const unsigned original = ::GetErrorMode();
  ::SetErrorMode(SEM_NOGPFAULTERRORBOX);
  const unsigned previous = os::SetFailCriticalErrors();
  EXPECT_EQ(previous, unsigned(SEM_NOGPFAULTERRORBOX));
  // The flag is added to what the process had, not put in its place.
  EXPECT_EQ(::GetErrorMode(), unsigned(SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS));
  os::RestoreErrorMode(previous);
  EXPECT_EQ(::GetErrorMode(), unsigned(SEM_NOGPFAULTERRORBOX));
  ::SetErrorMode(original);
}

// ---- disks --------------------------------------------------------------------------

TEST(Win32Disks, DrivesTypesFreeSpaceAndTheWindowsFolder) {
  const uint32_t drives = os::LogicalDrives();
  EXPECT_TRUE(drives & (1u << 2)) << "no C: drive";
  EXPECT_EQ(os::GetDriveType("C:\\"), os::DriveType::Fixed);
  for (int letter = 25; letter >= 0; --letter) {
    if (drives & (1u << letter)) continue;
    const std::string root = std::string(1, char('A' + letter)) + ":\\";
    EXPECT_EQ(os::GetDriveType(root), os::DriveType::NoRoot) << root;
    uint64_t free = 0;
    EXPECT_FALSE(os::FreeSpace(root + "folder\\", free)) << root;
    EXPECT_NE(os::LastErrorText().find(root + "folder\\"), std::string::npos);
    break;
  }

  zt::TempDir dir;
  uint64_t free = 0;
  ASSERT_TRUE(os::FreeSpace(dir.Dos(), free)) << os::LastErrorText();
  EXPECT_GT(free, 0u);
  // A folder that is yet to be made is measured on the disk that will hold it.
  uint64_t freeLater = 0;
  EXPECT_TRUE(os::FreeSpace(dir.Dos() + "Новая\\копия\\", freeLater)) << os::LastErrorText();
  EXPECT_GT(freeLater, 0u);

  const std::string windows = os::WindowsDir();
  ASSERT_FALSE(windows.empty());
  EXPECT_TRUE(os::DirectoryExists(windows)) << windows;
  EXPECT_EQ(windows.substr(1, 2), ":\\");
}

}  // namespace
