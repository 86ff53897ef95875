// The fault layer of the platform, in one process (and, for the kill, a child
// process of this program): what it counts, what it logs, the failures it injects
// and how the platform reports them. Runs on Linux and in the Windows build under
// Wine.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "platform/os.h"
#include "support/test_support.h"

#ifdef _WIN32
#include <windows.h>
// The platform interface's names, not the system's A/W macros.
#undef MoveFile
#undef DeleteFile
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using os::fault::Configure;

// Turns the layer off again whatever a test did.
struct Layer : ::testing::Test {
  void TearDown() override { Configure(""); }
  zt::TempDir dir;
};

std::vector<std::string> ReadLines(const std::string& hostPath) {
  std::ifstream in(hostPath, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> out;
  std::stringstream in(line);
  for (std::string f; std::getline(in, f, '\t');) out.push_back(f);
  if (!line.empty() && line.back() == '\t') out.push_back("");
  return out;
}

TEST_F(Layer, RefusesSettingsItCannotRead) {
  for (const char* bad : {"kill@0", "kill@", "fail@3", "fail@x:io", "fail@3:full", "fail@+:io",
                          "log=", "free=many", "bogus", "kill@17;log=x"})
    EXPECT_FALSE(Configure(bad)) << bad;
  for (const char* good : {"kill@17", "fail@17:diskfull", "fail@17+:io", "fail@1:access,free=0",
                           "fail@2+:sharing", "free=1000", "nosleep,kill@3"})
    EXPECT_TRUE(Configure(good)) << good;
}

TEST_F(Layer, CountsAndLogsEveryChangeButNoRead) {
  const std::string log = dir.Host() + "ops.log";
  ASSERT_TRUE(Configure("log=" + log));
  const std::string a = dir.Dos() + "a", b = dir.Dos() + "b";
  ASSERT_TRUE(os::CreateDir(a));                                    // 1
  {
    os::File f;
    ASSERT_TRUE(f.Open(a + "\\x.txt", os::kWrite, os::kShareNone,    // 2
                       os::Disposition::CreateAlways));
    ASSERT_TRUE(f.Write("abc", 3));                                   // 3
    ASSERT_TRUE(f.Flush());                                           // 4
  }
  {
    os::File r;  // reading changes nothing and is not counted
    ASSERT_TRUE(r.Open(a + "\\x.txt", os::kRead, os::kShareAll, os::Disposition::OpenExisting));
    char c[3];
    ASSERT_TRUE(r.ReadExact(c, 3));
  }
  ASSERT_TRUE(os::MoveFile(a + "\\x.txt", a + "\\y.txt"));          // 5
  ASSERT_TRUE(os::DeleteFile(a + "\\y.txt"));                        // 6
  ASSERT_TRUE(os::RemoveDir(a));                                     // 7
  {
    os::Mapping m;
    ASSERT_TRUE(m.CreateReadWrite(b, 4));                            // 8
    m.writable()[0] = 'z';
    ASSERT_TRUE(m.Flush());                                          // 9
  }
  EXPECT_EQ(os::fault::Count(), 9u);

  const auto lines = ReadLines(log);
  ASSERT_EQ(lines.size(), 9u);
  const char* ops[] = {"mkdir", "create", "write", "flush",    "move",
                       "delete", "rmdir", "mapcreate", "mapflush"};
  for (size_t i = 0; i < lines.size(); ++i) {
    const auto f = Fields(lines[i]);
    ASSERT_EQ(f.size(), 6u) << lines[i];
    EXPECT_EQ(f[0], std::to_string(i + 1));
    EXPECT_EQ(f[1], ops[i]);
  }
  EXPECT_EQ(Fields(lines[2])[4], "3");
  EXPECT_EQ(Fields(lines[2])[5], "616263");  // the bytes written
  EXPECT_EQ(Fields(lines[4])[3], a + "\\y.txt");
}

TEST_F(Layer, InjectsEachErrorOnceOrFromThenOn) {
  struct Case {
    const char* name;
    os::ErrorKind kind;
  };
  const Case cases[] = {{"diskfull", os::ErrorKind::DiskFull},
                        {"io", os::ErrorKind::Io},
                        {"access", os::ErrorKind::Access},
                        {"sharing", os::ErrorKind::Sharing}};
  int n = 0;
  for (const Case& c : cases) {
    for (bool sticky : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (sticky ? " sticky" : " once"));
      const std::string base = dir.Dos() + "d" + std::to_string(n++);
      ASSERT_TRUE(Configure(std::string("fail@2") + (sticky ? "+" : "") + ":" + c.name));
      ASSERT_TRUE(os::CreateDir(base));
      const std::string victim = base + "\\second";
      EXPECT_FALSE(os::CreateDir(victim));
      EXPECT_EQ(os::LastError().kind, c.kind);
      EXPECT_NE(os::LastError().code, 0u);
      EXPECT_NE(os::LastError().text.find(victim), std::string::npos) << os::LastError().text;
      // Kept apart from later failed look-ups.
      EXPECT_FALSE(os::FileExists(base + "\\absent"));
      EXPECT_EQ(os::LastError().kind, os::ErrorKind::NotFound);
      EXPECT_NE(os::FirstChangeError().kind, os::ErrorKind::None);
      EXPECT_FALSE(os::DirectoryExists(victim)) << "the refused operation was performed";

      os::File f;
      const bool third =
          f.Open(base + "\\third.txt", os::kWrite, os::kShareNone, os::Disposition::CreateAlways);
      EXPECT_EQ(third, !sticky);
      if (sticky) {
        EXPECT_EQ(os::LastError().kind, c.kind);
      }
    }
  }
}

TEST_F(Layer, CapsTheFreeSpace) {
  uint64_t before = 0, capped = 0;
  ASSERT_TRUE(os::FreeSpace(dir.Dos(), before));
  ASSERT_GT(before, 1000u);
  ASSERT_TRUE(Configure("free=1000"));
  ASSERT_TRUE(os::FreeSpace(dir.Dos(), capped));
  EXPECT_EQ(capped, 1000u);
}

// Run only as the child of the next test: makes folders "1" to "3" in the folder it
// is given, with the layer configured from the environment as any program would be.
TEST(FaultChild, MakesThreeFolders) {
  const char* where = std::getenv("ZUM_FAULT_CHILD_DIR");
  if (!where) GTEST_SKIP() << "started by KillEndsTheProcessBeforeTheOperation";
  for (int i = 1; i <= 3; ++i) os::CreateDir(std::string(where) + std::to_string(i));
  std::exit(0);
}

// Starts this program again with `env` added; returns its exit status.
int RunSelfChild(const std::vector<std::pair<std::string, std::string>>& env) {
  const std::string filter = "--gtest_filter=FaultChild.MakesThreeFolders";
#ifdef _WIN32
  for (const auto& [k, v] : env) ::SetEnvironmentVariableA(k.c_str(), v.c_str());
  std::string cmd = "\"" + os::ModulePath() + "\" " + filter;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  const BOOL started = ::CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                        nullptr, &si, &pi);
  for (const auto& [k, v] : env) ::SetEnvironmentVariableA(k.c_str(), nullptr);
  if (!started) return -1;
  ::WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(pi.hProcess, &code);
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  return static_cast<int>(code);
#else
  const pid_t child = fork();
  if (child == 0) {
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    execl("/proc/self/exe", "zum_fault_tests", filter.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

TEST_F(Layer, KillEndsTheProcessBeforeTheOperation) {
  const std::string log = dir.Host() + "child.log";
  const int status = RunSelfChild({{"ZUM_FAULT", "kill@2,log=" + log},
                                   {"ZUM_FAULT_CHILD_DIR", dir.Dos()}});
  EXPECT_EQ(status, os::fault::kKillExitCode);
  EXPECT_TRUE(os::DirectoryExists(dir.Dos() + "1"));
  EXPECT_FALSE(os::DirectoryExists(dir.Dos() + "2"));
  EXPECT_FALSE(os::DirectoryExists(dir.Dos() + "3"));
  EXPECT_EQ(ReadLines(log).size(), 1u);  // the line of operation 1, nothing after it

  // Without the variable the same child makes all three.
  zt::TempDir other;
  EXPECT_EQ(RunSelfChild({{"ZUM_FAULT_CHILD_DIR", other.Dos()}}), 0);
  EXPECT_TRUE(os::DirectoryExists(other.Dos() + "3"));
}

}  // namespace
