// The POSIX platform layer: DOS paths on a Linux file system, Windows share modes
// between handles and processes, mappings, attribute-filtered searches, moves, named
// mutexes, process start and the drive map.
//
// Literals here are CP1251 (the execution character set); names as they lie on the
// disk are written as u8"" literals.
#ifndef _WIN32

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/os.h"
#include "platform/posix/pathmap.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using os::posix::DosPath;
using os::posix::DriveMap;

std::string Utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

// A fresh host folder (removed afterwards), with its DOS path on the default Z: drive.
class Sandbox {
 public:
  explicit Sandbox(const char* base = "/tmp") {
    std::string tmpl = std::string(base) + "/zumposix-XXXXXX";
    if (mkdtemp(tmpl.data())) host_ = tmpl;
  }
  ~Sandbox() {
    if (host_.empty()) return;
    std::error_code ec;
    // Read-only entries are left by some tests; make them removable again.
    for (auto& e : fs::recursive_directory_iterator(host_, ec))
      fs::permissions(e.path(), fs::perms::owner_write, fs::perm_options::add, ec);
    fs::remove_all(host_, ec);
  }
  bool ok() const { return !host_.empty(); }
  // Host path of a relative name ("a/b"), UTF-8.
  std::string Host(const std::string& rel = "") const { return rel.empty() ? host_ : host_ + "/" + rel; }
  // DOS path on Z: of a relative name given with backslashes ("a\\b"), CP1251.
  std::string Dos(const std::string& rel = "") const {
    std::string dos = "Z:";
    for (char c : host_) dos += c == '/' ? '\\' : c;
    return rel.empty() ? dos + "\\" : dos + "\\" + rel;
  }

 private:
  std::string host_;
};

void PutHost(const std::string& host, const std::string& bytes) {
  std::ofstream(host, std::ios::binary) << bytes;
}

std::string GetHost(const std::string& host) {
  std::ifstream in(host, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Runs `hold` in a child process that then waits until told to end. The child
// reports 'y' when `hold` succeeded.
class Holder {
 public:
  template <typename F>
  explicit Holder(F hold) {
    int up[2], down[2];
    if (pipe(up) != 0 || pipe(down) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(up[0]);
      close(down[1]);
      char result = hold() ? 'y' : 'n';
      if (write(up[1], &result, 1) != 1) _exit(2);
      char c;
      while (read(down[0], &c, 1) < 0 && errno == EINTR) {
      }
      _exit(0);  // the child's handles go with it
    }
    close(up[1]);
    close(down[0]);
    char result = 0;
    while (read(up[0], &result, 1) < 0 && errno == EINTR) {
    }
    held_ = result == 'y';
    close(up[0]);
    release_ = down[1];
  }
  ~Holder() { End(); }
  bool held() const { return held_; }
  // Tells the child to end and waits for it.
  void End() {
    if (pid_ <= 0) return;
    close(release_);
    int status;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
  bool held_ = false;
};

std::vector<std::string> Names(const std::vector<os::FindEntry>& entries) {
  std::vector<std::string> names;
  for (const auto& e : entries) names.push_back(e.name);
  return names;
}

// ---- path mapping --------------------------------------------------------------------

TEST(DriveMap, DefaultAndEntries) {
  DriveMap plain = os::posix::ParseDriveMap("");
  EXPECT_EQ(plain.Root('Z'), "/");
  EXPECT_EQ(plain.Letters(), 1u << 25);

  DriveMap map = os::posix::ParseDriveMap("D=/tmp/d;e=/mnt/e//;Z=;1=/x;Q=relative;R;;C=/a;C=/b");
  EXPECT_EQ(map.Root('d'), "/tmp/d");
  EXPECT_EQ(map.Root('E'), "/mnt/e");    // trailing slashes dropped
  EXPECT_EQ(map.Root('Z'), "");          // unmapped
  EXPECT_EQ(map.Root('Q'), "");          // relative: ignored
  EXPECT_EQ(map.Root('C'), "/b");        // the later entry wins
  EXPECT_EQ(map.Letters(), (1u << 2) | (1u << 3) | (1u << 4));
}

TEST(DosPath, ParseTable) {
  struct Case {
    const char* text;
    bool ok;
    std::vector<std::string> names;
    bool trailing;
  };
  const Case cases[] = {
      {"Z:\\a\\b", true, {"a", "b"}, false},
      {"z:\\Exe\\\\zum.exe\\", true, {"Exe", "zum.exe"}, true},
      {"Z:\\a\\.\\..\\b", true, {"b"}, false},
      {"Z:\\..\\..\\etc", true, {"etc"}, false},   // never above the drive's root
      {"Z:\\", true, {}, false},
      {"Z:\\Протокол.txt", true, {"Протокол.txt"}, false},
      {"Z:", false, {}, false},
      {"Z:a\\b", false, {}, false},
      {"\\\\server\\share", false, {}, false},
      {"1:\\a", false, {}, false},
      {"/tmp/x", false, {}, false},
      {"Z:\\a/b", false, {}, false},               // not a separator, not a name character
      {"Z:\\a*b", false, {}, false},
      {"Z:\\a?", false, {}, false},
      {"Z:\\a:b", false, {}, false},
      {"Z:\\a\tb", false, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    DosPath p;
    std::string why = os::posix::ParseDosPath(c.text, p);
    EXPECT_EQ(why.empty(), c.ok) << why;
    if (!c.ok) continue;
    EXPECT_EQ(p.drive, 'Z');
    EXPECT_EQ(p.names, c.names);
    EXPECT_EQ(p.trailingSeparator, c.trailing);
  }
  DosPath p;
  EXPECT_NE(os::posix::ParseDosPath("Z:\\a/b", p).find("прямая косая черта"), std::string::npos);
}

TEST(PathMap, CaseInsensitiveLookupOfExistingComponents) {
  Sandbox box;
  ASSERT_TRUE(box.ok());
  fs::create_directories(box.Host("Exe"));
  PutHost(box.Host("Exe/zum.exe"), "x");
  PutHost(box.Host(Utf8(u8"Протокол.txt")), "p");
  fs::create_directories(box.Host("Data"));
  fs::create_directories(box.Host("data"));

  struct Case {
    const char* dos;
    std::string host;
  };
  const Case cases[] = {
      {"X:\\EXE\\ZUM.EXE", "/Exe/zum.exe"},
      {"X:\\exe\\Zum.Exe\\", "/Exe/zum.exe/"},
      {"X:\\ПРОТОКОЛ.TXT", Utf8(u8"/Протокол.txt")},
      {"X:\\протокол.txt", Utf8(u8"/Протокол.txt")},
      {"X:\\EXE\\New\\Deeper.TXT", "/Exe/New/Deeper.TXT"},  // missing tail kept as given
      {"X:\\Новая папка\\Файл", Utf8(u8"/Новая папка/Файл")},
      {"X:\\data", "/data"},   // the exact spelling wins
      {"X:\\DATA", "/Data"},   // else the first of the case variants by bytes
      {"X:\\", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dos);
    DosPath p;
    ASSERT_EQ(os::posix::ParseDosPath(c.dos, p), "");
    EXPECT_EQ(os::posix::ResolveHostPath(box.Host(), p), box.Host() + c.host);
  }

  // The same through the interface, with the sandbox mapped as a drive of its own.
  zt::ScopedEnv drives("ZUM_DRIVES", "T=" + box.Host());
  EXPECT_TRUE(os::FileExists("T:\\EXE\\ZUM.EXE"));
  EXPECT_TRUE(os::FileExists("t:\\протокол.TXT"));
  os::File f;
  ASSERT_TRUE(f.Open("T:\\ПРОТОКОЛ.txt", os::kRead, os::kShareAll, os::Disposition::OpenExisting));
  char c = 0;
  ASSERT_TRUE(f.ReadExact(&c, 1));
  EXPECT_EQ(c, 'p');
  // A new Cyrillic name reaches the disk as UTF-8.
  os::File g;
  ASSERT_TRUE(g.Open("T:\\Exe\\Журнал.log", os::kWrite, os::kShareNone, os::Disposition::CreateNew));
  EXPECT_TRUE(fs::exists(box.Host(Utf8(u8"Exe/Журнал.log"))));
}

TEST(PathMap, HostToDos) {
  DriveMap map = os::posix::ParseDriveMap("D=/tmp/d");
  struct Case {
    std::string host;
    bool ok;
    const char* dos;
  };
  const Case cases[] = {
      {"/tmp/d/x/y", true, "D:\\x\\y"},
      {"/tmp/d", true, "D:\\"},
      {"/tmp/d/sub/", true, "D:\\sub\\"},
      {"/tmp/dd/x", true, "Z:\\tmp\\dd\\x"},  // a prefix only at a component boundary
      {"/", true, "Z:\\"},
      {Utf8(u8"/tmp/d/Протокол.txt"), true, "D:\\Протокол.txt"},
      {"/tmp/a\\b", false, ""},               // would read back as two names
      {"/tmp/\xff", false, ""},               // not UTF-8
      {Utf8(u8"/tmp/日本"), false, ""},        // not expressible in CP1251
      {"relative/x", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    std::string dos;
    EXPECT_EQ(os::posix::HostToDos(map, c.host, dos), c.ok);
    if (c.ok) {
      EXPECT_EQ(dos, c.dos);
    }
  }
  std::string dos;
  EXPECT_FALSE(os::posix::HostToDos(os::posix::ParseDriveMap("Z=;D=/tmp/d"), "/usr/bin", dos));
}

TEST(PathMap, MaskMatching) {
  struct Case {
    const char* mask;
    const char* name;
    bool match;
  };
  const Case cases[] = {
      {"*", "anything.txt", true},      {"*.*", "noext", true},
      {"*.*", "a.b.c", true},           {"*.txt", "README.TXT", true},
      {"*.txt", "readme.txt.bak", false}, {"exe", "EXE", true},
      {"exe", "exe1", false},           {"?.dat", "a.dat", true},
      {"?.dat", "ab.dat", false},       {"x.*", "x", true},
      {"*.", "readme", true},           {"*.", "readme.txt", false},
      {"a*b*c", "aXXbYYc", true},       {"a*b*c", "aXXbYY", false},
      {"ПРОТОКОЛ*", "протокол.txt", true}, {"ё*", "Ёлка", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mask) + " ~ " + c.name);
    EXPECT_EQ(os::posix::MatchMask(c.mask, c.name), c.match);
  }
}

TEST(PathMap, MutexFileNames) {
  using os::posix::MutexFileName;
  EXPECT_EQ(MutexFileName("D:_PROG_ZUM_EXE_ZUM.EXE"), "D%3A_PROG_ZUM_EXE_ZUM.EXE.lock");
  EXPECT_EQ(MutexFileName("a/b c"), "a%2Fb%20c.lock");
  EXPECT_NE(MutexFileName("zum"), MutexFileName("ZUM"));  // mutex names are case-sensitive
  EXPECT_NE(MutexFileName("a%2F"), MutexFileName("a/"));  // the escape is escaped too
  EXPECT_EQ(MutexFileName(".."), "...lock");               // never "." or ".."
  std::string longA(300, 'Ж'), longB = longA;
  longB.back() = 'Щ';
  EXPECT_LE(MutexFileName(longA).size(), 255u);
  EXPECT_NE(MutexFileName(longA), MutexFileName(longB));
}

// ---- errors ----------------------------------------------------------------------------

TEST(PosixErrors, TextNamesOperationPathAndReason) {
  Sandbox box;
  ASSERT_TRUE(box.ok());
  os::File f;
  std::string path = box.Dos("missing.bin");
  EXPECT_FALSE(f.Open(path, os::kRead, os::kShareAll, os::Disposition::OpenExisting));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::NotFound);
  EXPECT_EQ(os::LastError().code, static_cast<uint32_t>(ENOENT));
  EXPECT_EQ(os::LastErrorText(), "CreateFile " + path + ": " + os::SystemErrorText(ENOENT));

  const char* invalid[] = {"relative\\x", "Z:/tmp/x", "Z:\\tmp\\a/b"};
  for (const char* p : invalid) {
    SCOPED_TRACE(p);
    EXPECT_FALSE(f.Open(p, os::kRead, os::kShareAll, os::Disposition::OpenExisting));
    EXPECT_EQ(os::LastError().kind, os::ErrorKind::Invalid);
  }
  {
    zt::ScopedEnv drives("ZUM_DRIVES", "Z=");
    EXPECT_FALSE(os::CreateDir(box.Dos("x")));
    EXPECT_EQ(os::LastError().kind, os::ErrorKind::NotFound);
  }

  // The last error belongs to the thread.
  os::SetLastError(os::ErrorKind::Io, 5, "here");
  os::ErrorKind seen = os::ErrorKind::Io;
  std::thread([&] { seen = os::LastError().kind; }).join();
  EXPECT_EQ(seen, os::ErrorKind::None);
  EXPECT_EQ(os::LastErrorText(), "here");
}

// ---- files -------------------------------------------------------------------------

TEST(PosixFile, Dispositions) {
  Sandbox box;
  ASSERT_TRUE(box.ok());
  const std::string path = box.Dos("f.bin");
  os::File f;

  EXPECT_FALSE(f.Open(path, os::kRead, os::kShareAll, os::Disposition::OpenExisting));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::NotFound);

  ASSERT_TRUE(f.Open(path, os::kWrite, os::kShareAll, os::Disposition::CreateNew));
  ASSERT_TRUE(f.Write("hello world", 11));
  f.Close();
  EXPECT_FALSE(f.Open(path, os::kWrite, os::kShareAll, os::Disposition::CreateNew));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::Exists);

  ASSERT_TRUE(f.Open(path, os::kRead | os::kWrite, os::kShareAll, os::Disposition::OpenAlways));
  uint64_t size = 0;
  ASSERT_TRUE(f.Size(size));
  EXPECT_EQ(size, 11u);  // kept
  f.Close();

  ASSERT_TRUE(f.Open(path, os::kWrite, os::kShareAll, os::Disposition::CreateAlways));
  ASSERT_TRUE(f.Size(size));
  EXPECT_EQ(size, 0u);  // emptied
  f.Close();

  ASSERT_TRUE(f.Open(box.Dos("new.bin"), os::kWrite, os::kShareAll, os::Disposition::OpenAlways));
  EXPECT_TRUE(fs::exists(box.Host("new.bin")));
  f.Close();

  // A folder is no file.
  fs::create_directories(box.Host("dir"));
  EXPECT_FALSE(f.Open(box.Dos("dir"), os::kRead, os::kShareAll, os::Disposition::OpenExisting));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::Access);
  EXPECT_FALSE(f.Open(box.Dos("dir"), os::kWrite, os::kShareAll, os::Disposition::CreateAlways));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::Access);
}

TEST(PosixFile, ReadWriteSeekTruncate) {
  Sandbox box;
  ASSERT_TRUE(box.ok());
  const std::string path = box.Dos("rw.bin");
  os::File f;
  ASSERT_TRUE(f.Open(path, os::kRead | os::kWrite, os::kShareNone, os::Disposition::CreateNew));
  ASSERT_TRUE(f.Write("0123456789", 10));
  uint64_t pos = 0;
  ASSERT_TRUE(f.Tell(pos));
  EXPECT_EQ(pos, 10u);

  ASSERT_TRUE(f.Seek(4));
  char buf[16] = {};
  size_t got = 0;
  ASSERT_TRUE(f.Read(buf, sizeof buf, got));
  EXPECT_EQ(std::string(buf, got), "456789");  // short only at the end

  ASSERT_TRUE(f.Seek(8));
  EXPECT_FALSE(f.ReadExact(buf, 3));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::Io);

  ASSERT_TRUE(f.Seek(3));
  ASSERT_TRUE(f.Truncate());
  ASSERT_TRUE(f.SeekEnd(pos));
  EXPECT_EQ(pos, 3u);
  ASSERT_TRUE(f.Flush());

  // Positions and sizes past 4 GiB (a sparse file).
  const uint64_t far = (5ull << 30) + 7;
  ASSERT_TRUE(f.Seek(far));
  ASSERT_TRUE(f.Write("Z", 1));
  uint64_t size = 0;
  ASSERT_TRUE(f.Size(size));
  EXPECT_EQ(size, far + 1);
  ASSERT_TRUE(f.Seek(far));
  ASSERT_TRUE(f.ReadExact(buf, 1));
  EXPECT_EQ(buf[0], 'Z');
  f.Close();
  char head[4] = {};
  std::ifstream(box.Host("rw.bin"), std::ios::binary).read(head, 3);
  EXPECT_STREQ(head, "012");
}

TEST(PosixFile, ReadOnlyAttributeBindsEveryone) {
  Sandbox box;
  ASSERT_TRUE(box.ok());
  const std::string path = box.Dos("ro.txt");
  PutHost(box.Host("ro.txt"), "keep");
  ASSERT_TRUE(os::SetReadOnly(path, true));
  uint32_t attr = 0;
  ASSERT_TRUE(os::GetAttributes(path, attr));
  EXPECT_TRUE(attr & os::kAttrReadOnly);

  os::File f;
  EXPECT_TRUE(f.Open(path, os::kRead, os::kShareAll, os::Disposition::OpenExisting));
  f.Close();
  EXPECT_FALSE(f.Open(path, os::kWrite, os::kShareAll, os::Disposition::OpenExisting));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::Access);
  EXPECT_FALSE(f.Open(path, os::kWrite, os::kShareAll, os::Disposition::CreateAlways));
  EXPECT_FALSE(os::DeleteFile(path));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::Access);
  EXPECT_EQ(GetHost(box.Host("ro.txt")), "keep");

  ASSERT_TRUE(os::SetReadOnly(path, false));
  ASSERT_TRUE(os::GetAttributes(path, attr));
  EXPECT_FALSE(attr & os::kAttrReadOnly);
  EXPECT_TRUE(os::DeleteFile(path));
}

// ---- share modes -----------------------------------------------------------------------

TEST(ShareModes, ConflictsBetweenHandles) {
  Sandbox box;
  ASSERT_TRUE(box.ok());
  const std::string path = box.Dos("s.bin");
  PutHost(box.Host("s.bin"), "data");
  using os::kRead;
  using os::kWrite;
  struct Case {
    unsigned access1, share1, access2, share2;
    bool second;
  };
  const Case cases[] = {
      {kRead, os::kShareNone, kRead, os::kShareAll, false},   // exclusive holder
      {kRead, os::kShareAll, kRead, os::kShareNone, false},   // exclusive newcomer
      {kRead, os::kShareRead, kRead, os::kShareRead, true},   // two readers
      {kRead, os::kShareRead, kWrite, os::kShareAll, false},  // writes not shared
      {kRead | kWrite, os::kShareRead, kRead, os::kShareRead, false},  // newcomer denies the writer
      {kWrite, os::kShareRead | os::kShareWrite, kRead | kWrite, os::kShareRead | os::kShareWrite,
       true},
      {kRead, os::kShareRead, kRead, os::kShareRead | os::kShareWrite, true},
      {kWrite, os::kShareWrite, kRead, os::kShareAll, false},  // reads not shared
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.access1 << "/" << c.share1 << " then " << c.access2
                                    << "/" << c.share2);
    os::File first, second;
    ASSERT_TRUE(first.Open(path, c.access1, c.share1, os::Disposition::OpenExisting));
    EXPECT_EQ(second.Open(path, c.access2, c.share2, os::Disposition::OpenExisting), c.second);
    if (!c.second) {
      EXPECT_EQ(os::LastError().kind, os::ErrorKind::Sharing);
      EXPECT_EQ(os::LastError().code, 32u);
      first.Close();
      EXPECT_TRUE(second.Open(path, c.access2, c.share2, os::Disposition::OpenExisting));
    }
  }

  // A refused CreateAlways leaves the file as it was.
  os::File holder, replacer;
  ASSERT_TRUE(holder.Open(path, kRead, os::kShareRead, os::Disposition::OpenExisting));
  EXPECT_FALSE(replacer.Open(path, kWrite, os::kShareAll, os::Disposition::CreateAlways));
  EXPECT_EQ(GetHost(box.Host("s.bin")), "data");
}

TEST(ShareModes, HoldAcrossProcesses) {
  Sandbox box;
  ASSERT_TRUE(box.ok());
  const std::string path = box.Dos("p.bin");
  PutHost(box.Host("p.bin"), "data");

  os::File mine;
  {
    os::File childFile;
    Holder child([&] {
      return childFile.Open(path, os::kRead, os::kShareNone, os::Disposition::OpenExisting);
    });
    ASSERT_TRUE(child.held());
    EXPECT_FALSE(mine.Open(path, os::kRead, os::kShareAll, os::Disposition::OpenExisting));
    EXPECT_EQ(os::LastError().kind, os::ErrorKind::Sharing);
    child.End();  // the child's handle goes with the child
    EXPECT_TRUE(mine.Open(path, os::kRead, os::kShareRead, os::Disposition::OpenExisting));
  }
  // Now this process holds a reader that denies writes: the child may read, not write.
  os::File f;
  Holder reader([&] { return f.Open(path, os::kRead, os::kShareRead, os::Disposition::OpenExisting); });
  EXPECT_TRUE(reader.held());
  Holder writer([&] { return f.Open(path, os::kWrite, os::kShareAll, os::Disposition::OpenExisting); });
  EXPECT_FALSE(writer.held());
}

TEST(ShareModes, DeleteAndMoveNeedSharedDeletes) {
  Sandbox box;
  ASSERT_TRUE(box.ok());
  PutHost(box.Host("d.bin"), "d");
  os::File f;
  ASSERT_TRUE(f.Open(box.Dos("d.bin"), os::kRead, os::kShareRead, os::Disposition::OpenExisting));
  EXPECT_FALSE(os::DeleteFile(box.Dos("d.bin")));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::Sharing);
  EXPECT_FALSE(os::MoveFile(box.Dos("d.bin"), box.Dos("e.bin")));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::Sharing);
  EXPECT_TRUE(fs::exists(box.Host("d.bin")));
  f.Close();
  ASSERT_TRUE(f.Open(box.Dos("d.bin"), os::kRead, os::kShareAll, os::Disposition::OpenExisting));
  EXPECT_TRUE(os::MoveFile(box.Dos("d.bin"), box.Dos("e.bin")));
  EXPECT_TRUE(os::DeleteFile(box.Dos("e.bin")));
}

// ---- mappings ----------------------------------------------------------------------

TEST(PosixMapping, CreateReadWriteAndReadBack) {
  Sandbox box;
  ASSERT_TRUE(box.ok());
  const std::string path = box.Dos("m.bin");
  PutHost(box.Host("m.bin"), std::string(100, 'o'));  // replaced, not kept

  os::Mapping m;
  ASSERT_TRUE(m.CreateReadWrite(path, 6));
  ASSERT_TRUE(m.IsOpen());
  ASSERT_NE(m.writable(), nullptr);
  ASSERT_EQ(m.size(), 6u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(m.data()[i], 0);
  std::memcpy(m.writable(), "mapped", 6);
  ASSERT_TRUE(m.Flush());
  m.Close();
  EXPECT_EQ(GetHost(box.Host("m.bin")), "mapped");

  ASSERT_TRUE(m.OpenRead(path));
  EXPECT_EQ(m.writable(), nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.data()), m.size()), "mapped");

  // While mapped the file may be opened for writing, but not cut short under the view.
  os::File f;
  ASSERT_TRUE(f.Open(path, os::kWrite, os::kShareAll, os::Disposition::OpenExisting));
  ASSERT_TRUE(f.Seek(2));
  EXPECT_FALSE(f.Truncate());
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::Access);
  f.Close();
  m.Close();

  ASSERT_TRUE(m.OpenReadWrite(path));
  m.writable()[0] = 'M';
  os::Mapping moved = std::move(m);
  EXPECT_FALSE(m.IsOpen());
  moved.Close();
  EXPECT_EQ(GetHost(box.Host("m.bin")), "Mapped");
}

TEST(PosixMapping, ReleasedPagesReadBackUnchanged) {
  Sandbox box;
  ASSERT_TRUE(box.ok());
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  std::string bytes(5 * page + 100, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / page);
  PutHost(box.Host("r.bin"), bytes);
  os::Mapping m;
  ASSERT_TRUE(m.OpenRead(box.Dos("r.bin")));
  auto view = [&] { return std::string(reinterpret_cast<const char*>(m.data()), m.size()); };
  ASSERT_EQ(view(), bytes);
  // Inside one page, across pages, the last part page, past the end, all of it.
  const std::pair<uint64_t, uint64_t> ranges[] = {
      {10, 20}, {page / 2, 2 * page}, {5 * page, 100}, {4 * page, 1u << 30}, {99 * page, 1}, {0, m.size()}};
  for (const auto& [offset, length] : ranges) {
    m.ReleasePages(offset, length);
    EXPECT_EQ(view(), bytes) << offset << "+" << length;
  }
  // A writable view keeps what was written and not yet flushed.
  ASSERT_TRUE(m.OpenReadWrite(box.Dos("r.bin")));
  m.writable()[page] = 'W';
  m.ReleasePages(0, m.size());
  EXPECT_EQ(m.data()[page], 'W');
}

TEST(PosixMapping, EmptyFilesAndFailures) {
  Sandbox box;
  ASSERT_TRUE(box.ok());
  PutHost(box.Host("empty.bin"), "");
  os::Mapping m;
  ASSERT_TRUE(m.OpenRead(box.Dos("empty.bin")));
  EXPECT_TRUE(m.IsOpen());
  EXPECT_EQ(m.data(), nullptr);
  EXPECT_EQ(m.size(), 0u);

  ASSERT_TRUE(m.CreateReadWrite(box.Dos("zero.bin"), 0));
  EXPECT_TRUE(m.IsOpen());
  EXPECT_EQ(m.size(), 0u);
  EXPECT_TRUE(fs::exists(box.Host("zero.bin")));
  m.Close();

  EXPECT_FALSE(m.OpenRead(box.Dos("missing.bin")));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::NotFound);
  EXPECT_FALSE(m.IsOpen());

  // The output of a mapping is not shared for writing.
  ASSERT_TRUE(m.CreateReadWrite(box.Dos("out.bin"), 4));
  os::File f;
  EXPECT_FALSE(f.Open(box.Dos("out.bin"), os::kWrite, os::kShareAll, os::Disposition::OpenExisting));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::Sharing);
  EXPECT_TRUE(f.Open(box.Dos("out.bin"), os::kRead, os::kShareAll, os::Disposition::OpenExisting));
}

// ---- searches, attributes, folders ---------------------------------------------------------

TEST(PosixMemory, LargeBlocksAreWholeAndApart) {
  // Sizes that are no whole number of pages or huge pages: every byte of each
  // block is the caller's, and no two blocks overlap.
  std::vector<os::LargeBlock> blocks;
  for (size_t size : {size_t{1}, size_t{4097}, (size_t{3} << 20) + 5, size_t{2} << 20}) {
    blocks.emplace_back(size);
    ASSERT_NE(blocks.back().data(), nullptr) << size;
    std::memset(blocks.back().data(), static_cast<int>(blocks.size()), size);
  }
  for (size_t i = 0; i < blocks.size(); ++i) {
    const uint8_t* p = blocks[i].data();
    for (size_t k = 0; k < blocks[i].size(); k += 4093) ASSERT_EQ(p[k], i + 1) << i << " " << k;
    EXPECT_EQ(p[blocks[i].size() - 1], i + 1);
  }
  EXPECT_EQ(os::AllocateLarge(0), nullptr);
  EXPECT_EQ(os::AllocateLarge(SIZE_MAX - 4096), nullptr);
}

TEST(PosixFind, AttributeFilterAndMasks) {
  Sandbox box;
  ASSERT_TRUE(box.ok());
  PutHost(box.Host("a.txt"), "aa");
  PutHost(box.Host("B.TXT"), "b");
  PutHost(box.Host("noext"), "");
  PutHost(box.Host(".hidden"), "h");
  PutHost(box.Host("ro.dat"), "r");
  chmod(box.Host("ro.dat").c_str(), 0444);
  fs::create_directories(box.Host("sub"));
  fs::create_directories(box.Host(".hdir"));

  using V = std::vector<std::string>;
  struct Case {
    const char* mask;
    uint32_t attr;
    V names;
  };
  const Case cases[] = {
      {"*", 0, V{"a.txt", "B.TXT", "noext", "ro.dat"}},
      {"*.*", os::kAttrDirectory, V{"a.txt", "B.TXT", "noext", "ro.dat", "sub"}},
      {"*", os::kAttrHidden, V{".hidden", "a.txt", "B.TXT", "noext", "ro.dat"}},
      {"*", os::kAttrAny, V{".hdir", ".hidden", "a.txt", "B.TXT", "noext", "ro.dat", "sub"}},
      {"*.TXT", 0, V{"a.txt", "B.TXT"}},
      {"SUB", os::kAttrDirectory, V{"sub"}},
      {"SUB", 0, V{}},
      {"*.", os::kAttrDirectory, V{"noext", "sub"}},
      {"ro.dat", os::kAttrReadOnly, V{"ro.dat"}},  // read-only never filters
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mask);
    std::vector<os::FindEntry> found;
    ASSERT_TRUE(os::FindFiles(box.Dos(c.mask), c.attr, found));
    EXPECT_EQ(Names(found), c.names);
  }

  std::vector<os::FindEntry> all;
  ASSERT_TRUE(os::FindFiles(box.Dos("*"), os::kAttrAny, all));
  for (const auto& e : all) {
    SCOPED_TRACE(e.name);
    uint32_t expected = e.name == "sub"      ? os::kAttrDirectory
                        : e.name == ".hdir"  ? os::kAttrDirectory | os::kAttrHidden
                        : e.name == ".hidden" ? os::kAttrArchive | os::kAttrHidden
                        : e.name == "ro.dat" ? os::kAttrArchive | os::kAttrReadOnly
                                             : os::kAttrArchive;
    EXPECT_EQ(e.attr, expected);
    if (e.name == "a.txt") {
      EXPECT_EQ(e.size, 2u);
    }
  }

  std::vector<os::FindEntry> none;
  EXPECT_TRUE(os::FindFiles(box.Dos("nowhere\\*"), os::kAttrAny, none));
  EXPECT_TRUE(none.empty());
  EXPECT_FALSE(os::FindFiles(box.Dos("a/b"), os::kAttrAny, none));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::Invalid);
}

TEST(PosixFind, CyrillicNamesComeBackAsCp1251) {
  Sandbox box;
  ASSERT_TRUE(box.ok());
  PutHost(box.Host(Utf8(u8"Протокол.txt")), "p");
  std::vector<os::FindEntry> found;
  ASSERT_TRUE(os::FindFiles(box.Dos("ПРОТОКОЛ.*"), 0, found));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].name, "Протокол.txt");
}

TEST(PosixFolders, ExistsCreateRemoveDelete) {
  Sandbox box;
  ASSERT_TRUE(box.ok());
  PutHost(box.Host("file"), "f");
  EXPECT_TRUE(os::FileExists(box.Dos("FILE")));
  EXPECT_FALSE(os::FileExists(box.Dos("file\\")));  // a trailing backslash means a folder
  EXPECT_FALSE(os::DirectoryExists(box.Dos("file")));

  ASSERT_TRUE(os::CreateDir(box.Dos("Dir")));
  EXPECT_TRUE(os::DirectoryExists(box.Dos("dir\\")));
  EXPECT_FALSE(os::FileExists(box.Dos("dir")));
  EXPECT_FALSE(os::CreateDir(box.Dos("DIR")));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::Exists);
  EXPECT_FALSE(os::CreateDir(box.Dos("no\\such")));  // one level only
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::NotFound);

  PutHost(box.Host("Dir/inner"), "i");
  EXPECT_FALSE(os::RemoveDir(box.Dos("dir")));  // not empty
  EXPECT_FALSE(os::DeleteFile(box.Dos("dir")));  // a folder is not deleted as a file
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::Access);
  EXPECT_TRUE(fs::exists(box.Host("Dir/inner")));
  EXPECT_TRUE(os::DeleteFile(box.Dos("DIR\\INNER")));
  EXPECT_TRUE(os::RemoveDir(box.Dos("dir\\")));
  EXPECT_FALSE(fs::exists(box.Host("Dir")));
  EXPECT_FALSE(os::DeleteFile(box.Dos("dir")));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::NotFound);
}

TEST(PosixMove, RefusesExistingTargetAndMoves) {
  Sandbox box;
  ASSERT_TRUE(box.ok());
  PutHost(box.Host("a.txt"), "A");
  PutHost(box.Host("b.txt"), "B");
  fs::create_directories(box.Host("Sub"));

  EXPECT_FALSE(os::MoveFile(box.Dos("a.txt"), box.Dos("B.TXT")));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::Exists);
  EXPECT_EQ(GetHost(box.Host("a.txt")), "A");
  EXPECT_EQ(GetHost(box.Host("b.txt")), "B");

  EXPECT_TRUE(os::MoveFile(box.Dos("A.TXT"), box.Dos("sub\\moved.txt")));
  EXPECT_FALSE(fs::exists(box.Host("a.txt")));
  EXPECT_EQ(GetHost(box.Host("Sub/moved.txt")), "A");

  // A change of letter case only renames.
  EXPECT_TRUE(os::MoveFile(box.Dos("b.txt"), box.Dos("B.TXT")));
  EXPECT_TRUE(fs::exists(box.Host("B.TXT")));
  EXPECT_FALSE(fs::exists(box.Host("b.txt")));

  EXPECT_TRUE(os::MoveFile(box.Dos("sub"), box.Dos("Folder")));  // folders move too
  EXPECT_TRUE(fs::is_directory(box.Host("Folder")));

  EXPECT_FALSE(os::MoveFile(box.Dos("missing"), box.Dos("x")));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::NotFound);
}

TEST(PosixMove, AcrossFileSystems) {
  Sandbox disk;
  Sandbox memory("/dev/shm");
  ASSERT_TRUE(disk.ok());
  if (!memory.ok()) GTEST_SKIP() << "no /dev/shm";
  struct stat a, b;
  ASSERT_EQ(stat(disk.Host().c_str(), &a), 0);
  ASSERT_EQ(stat(memory.Host().c_str(), &b), 0);
  if (a.st_dev == b.st_dev) GTEST_SKIP() << "/tmp and /dev/shm are one file system";

  std::string bytes(3 << 20, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + 7);
  PutHost(disk.Host("big.bin"), bytes);
  chmod(disk.Host("big.bin").c_str(), 0640);
  struct timespec times[2] = {{1000000000, 0}, {1200000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, disk.Host("big.bin").c_str(), times, 0), 0);

  ASSERT_TRUE(os::MoveFile(disk.Dos("big.bin"), memory.Dos("big.bin")));
  EXPECT_FALSE(fs::exists(disk.Host("big.bin")));
  EXPECT_EQ(GetHost(memory.Host("big.bin")), bytes);
  struct stat moved;
  ASSERT_EQ(stat(memory.Host("big.bin").c_str(), &moved), 0);
  EXPECT_EQ(moved.st_mtim.tv_sec, 1200000000);
  EXPECT_EQ(moved.st_mode & 0777, 0640u);

  // Folders do not cross file systems (as on Windows), and nothing is left behind.
  fs::create_directories(disk.Host("dir"));
  EXPECT_FALSE(os::MoveFile(disk.Dos("dir"), memory.Dos("dir")));
  EXPECT_TRUE(fs::exists(disk.Host("dir")));
  EXPECT_FALSE(fs::exists(memory.Host("dir")));
}

// ---- mutexes, processes ------------------------------------------------------------------

TEST(PosixMutex, ExistedWithinAndAcrossProcesses) {
  Sandbox box;
  ASSERT_TRUE(box.ok());
  zt::ScopedEnv runtime("ZUM_RUNTIME_DIR", box.Host("run"));
  const std::string name = "Z:_ПРОГ_ZUM_EXE_ZUM.EXE";

  bool existed = true;
  os::NamedMutex first;
  ASSERT_TRUE(first.Create(name, existed));
  EXPECT_FALSE(existed);
  EXPECT_TRUE(first.IsHeld());

  os::NamedMutex second;
  ASSERT_TRUE(second.Create(name, existed));
  EXPECT_TRUE(existed);  // a second handle in this process sees it taken

  os::NamedMutex other;
  ASSERT_TRUE(other.Create("z:_прог_zum_exe_zum.exe", existed));
  EXPECT_FALSE(existed);  // names are case-sensitive
  other.Close();

  first.Close();
  second.Close();

  os::NamedMutex childMutex;
  Holder child([&] {
    bool e = true;
    return childMutex.Create(name, e) && !e;
  });
  ASSERT_TRUE(child.held());
  os::NamedMutex mine;
  ASSERT_TRUE(mine.Create(name, existed));
  EXPECT_TRUE(existed);
  mine.Close();
  child.End();  // the holder ends without closing anything
  ASSERT_TRUE(mine.Create(name, existed));
  EXPECT_FALSE(existed);

  // The child cannot take it now.
  Holder late([&] {
    bool e = false;
    return childMutex.Create(name, e) && !e;
  });
  EXPECT_FALSE(late.held());
}

TEST(PosixProcess, ModulePathIsThisProgram) {
  std::string path = os::ModulePath();
  ASSERT_GE(path.size(), 4u);
  EXPECT_EQ(path.substr(0, 3), "Z:\\");
  EXPECT_TRUE(os::FileExists(path));
  char host[4096];
  ssize_t n = readlink("/proc/self/exe", host, sizeof host - 1);
  ASSERT_GT(n, 0);
  std::string base = fs::path(std::string(host, n)).filename().string();
  EXPECT_EQ(path.substr(path.size() - base.size()), base);
}

TEST(PosixProcess, StartsDetachedInItsFolder) {
  Sandbox box;
  ASSERT_TRUE(box.ok());
  fs::create_directories(box.Host("work"));
  PutHost(box.Host("prog.sh"), "#!/bin/sh\n"
                               "{ pwd; echo \"$PPID\"; echo \"$#\"; } > report.tmp\n"
                               "mv report.tmp report\n");
  chmod(box.Host("prog.sh").c_str(), 0755);

  ASSERT_TRUE(os::StartProcess(box.Dos("PROG.SH"), box.Dos("Work\\"), 3));
  // Nothing of ours is left to reap: the program is not our child.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  // Wait for the program to report (no time limit that matters: it ends at once).
  for (int i = 0; i < 6000 && !fs::exists(box.Host("work/report")); ++i) os::SleepMs(10);
  std::istringstream report(GetHost(box.Host("work/report")));
  std::string cwd, ppid, argc;
  std::getline(report, cwd);
  std::getline(report, ppid);
  std::getline(report, argc);
  EXPECT_EQ(fs::canonical(cwd), fs::canonical(box.Host("work")));
  EXPECT_NE(ppid, std::to_string(getpid()));
  EXPECT_EQ(argc, "0");

  PutHost(box.Host("plain.txt"), "not a program");
  EXPECT_FALSE(os::StartProcess(box.Dos("plain.txt"), box.Dos("work"), 3));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::Access);
  EXPECT_FALSE(os::StartProcess(box.Dos("missing"), box.Dos("work"), 3));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::NotFound);
  EXPECT_FALSE(os::StartProcess(box.Dos("prog.sh"), box.Dos("nowhere"), 3));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::NotFound);
  EXPECT_NE(os::LastErrorText().find("nowhere"), std::string::npos);
}

// ---- disks and clocks ----------------------------------------------------------------------

TEST(PosixDisks, DriveMapTypesAndFreeSpace) {
  Sandbox box;
  ASSERT_TRUE(box.ok());
  zt::ScopedEnv drives("ZUM_DRIVES", "D=" + box.Host() + ";E=" + box.Host("absent"));
  EXPECT_EQ(os::LogicalDrives(), (1u << 3) | (1u << 4) | (1u << 25));
  EXPECT_EQ(os::GetDriveType("D:\\"), os::DriveType::Fixed);
  EXPECT_EQ(os::GetDriveType("d:"), os::DriveType::Fixed);
  EXPECT_EQ(os::GetDriveType("E:\\"), os::DriveType::NoRoot);  // mapped, root missing
  EXPECT_EQ(os::GetDriveType("Q:\\"), os::DriveType::NoRoot);
  {
    zt::ScopedEnv types("ZUM_DRIVE_TYPES", "D=removable;Q=remote");
    EXPECT_EQ(os::GetDriveType("D:\\"), os::DriveType::Removable);
    EXPECT_EQ(os::GetDriveType("Q:\\"), os::DriveType::Remote);
  }

  uint64_t free = 0;
  ASSERT_TRUE(os::FreeSpace("D:\\not\\made\\yet\\", free));  // counted on the drive's disk
  EXPECT_GT(free, 0u);
  EXPECT_FALSE(os::FreeSpace("E:\\x", free));
  EXPECT_EQ(os::LastError().kind, os::ErrorKind::NotFound);

  {
    zt::ScopedEnv win("ZUM_WINDOWS_DIR", "C:\\Windows");
    EXPECT_EQ(os::WindowsDir(), "C:\\Windows");
  }
  zt::ScopedEnv noWin("ZUM_WINDOWS_DIR", std::nullopt);
  EXPECT_EQ(os::WindowsDir(), "");
}

TEST(PosixClock, TicksAndLocalTime) {
  uint64_t before = os::TickMs();
  os::SleepMs(20);
  EXPECT_GE(os::TickMs() - before, 20u);  // sleeping never takes less
  os::LocalTime t = os::Now();
  EXPECT_GE(t.year, 2020);
  EXPECT_TRUE(t.month >= 1 && t.month <= 12);
  EXPECT_TRUE(t.day >= 1 && t.day <= 31);
  EXPECT_TRUE(t.millisecond >= 0 && t.millisecond <= 999);
}

}  // namespace

#endif  // _WIN32
