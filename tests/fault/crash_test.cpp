// The real installer (the terminal program with a package appended) run as a child
// process under the fault layer: killed before every mutating operation, its
// recovery killed at every operation of its own, refused with each system error,
// and given a little less free space than it needs. Also the order of the writes
// in the fault layer's log: no change before a journal record that covers it is on
// the disk.
//
// Each test prints its figures ("fault-figure: ...") for the README.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "format/protocol_record.h"
#include "base/cp1251.h"
#include "format/journal_record.h"
#include "platform/fault.h"
#include "platform/os.h"
#include "support/test_support.h"
#include "support/tree.h"

namespace fs = std::filesystem;

namespace {

const int kKilled = os::fault::kKillExitCode;

// ---- child processes -------------------------------------------------------------

struct Child {
  int status = -1;     // exit status; -1 when it did not exit normally
  std::string output;  // standard output and error (UTF-8)
};

// Runs `program` in `cwd` with `input` on standard input and the extra environment.
Child Run(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
          const std::string& input, const std::vector<std::pair<std::string, std::string>>& env) {
  static int serial = 0;
  const std::string base = fs::temp_directory_path().string() + "/zumfault-" +
                           std::to_string(getpid()) + "-" + std::to_string(++serial);
  const std::string in = base + ".in", out = base + ".out";
  std::ofstream(in, std::ios::binary) << input;
  Child result;
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    const int fi = open(in.c_str(), O_RDONLY);
    const int fo = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fi < 0 || fo < 0) _exit(126);
    dup2(fi, 0);
    dup2(fo, 1);
    dup2(fo, 2);
    unsetenv("ZUM_FAULT");
    setenv("LC_ALL", "C.UTF-8", 1);
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  std::ifstream o(out, std::ios::binary);
  std::ostringstream data;
  data << o.rdbuf();
  result.output = data.str();
  fs::remove(in);
  fs::remove(out);
  return result;
}

// ---- the fault layer's log ----------------------------------------------------------

struct LogOp {
  uint64_t k = 0;
  std::string op, path, path2;  // paths CP1251, as the program named them
  std::string data;             // bytes written, when logged
};

std::vector<LogOp> ReadLog(const std::string& file) {
  std::vector<LogOp> ops;
  std::ifstream in(file, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> f;
    size_t pos = 0;
    for (;;) {
      const size_t tab = line.find('\t', pos);
      f.push_back(line.substr(pos, tab == std::string::npos ? std::string::npos : tab - pos));
      if (tab == std::string::npos) break;
      pos = tab + 1;
    }
    if (f.size() != 6) continue;
    LogOp op;
    op.k = std::stoull(f[0]);
    op.op = f[1];
    op.path = f[2];
    op.path2 = f[3];
    for (size_t i = 0; i + 1 < f[5].size(); i += 2)
      op.data += static_cast<char>(std::stoi(f[5].substr(i, 2), nullptr, 16));
    ops.push_back(std::move(op));
  }
  return ops;
}

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

std::string NameOf(const std::string& dosPath) {
  const size_t slash = dosPath.find_last_of('\\');
  return slash == std::string::npos ? dosPath : dosPath.substr(slash + 1);
}

bool IsJournal(const std::string& dosPath) {
  const std::string name = Upper(NameOf(dosPath));
  return name.rfind("ZUM_", 0) == 0 && name.size() > 8 && name.substr(name.size() - 4) == ".TXT";
}

// The protocol file the end block saves ("Протокол_..." beside the journal).
bool IsProtocolFile(const std::string& dosPath) {
  return NameOf(dosPath).rfind("Протокол", 0) == 0;
}

// The files that vanish with their handles, belonging to no installation: the one
// with which the variant dialog measures a disk, and the one with which the run
// checks that it may write in the installation folder.
bool IsSpeedTestFile(const std::string& dosPath) { return Upper(NameOf(dosPath)) == "~ZUMTMP.TMP"; }
bool IsProbeFile(const std::string& dosPath) {
  return IsSpeedTestFile(dosPath) || Upper(NameOf(dosPath)) == "~ZUMWRT.TMP";
}

bool Under(const std::string& path, std::string folder) {
  const std::string p = Upper(path);
  folder = Upper(folder);
  if (!folder.empty() && folder.back() == '\\') folder.pop_back();
  return p == folder || p.rfind(folder + "\\", 0) == 0;
}

size_t FindOp(const std::vector<LogOp>& ops, const std::string& op, bool (*match)(const std::string&),
              bool last) {
  size_t found = 0;
  for (size_t i = 0; i < ops.size(); ++i)
    if (ops[i].op == op && match(ops[i].path)) {
      found = ops[i].k;
      if (!last) break;
    }
  return found;
}

struct OrderReport {
  std::vector<std::string> violations;
  int commandRecords = 0, flushes = 0;
};

// Every change must come after a journal record that covers it and that a flush of
// the journal has put on the disk; after the journal is deleted only the temporary
// folder and the protocol file may change.
OrderReport CheckOrder(const std::vector<LogOp>& ops) {
  struct Record {
    int kind;
    std::string text;
    bool durable = false;
  };
  std::vector<Record> records;
  OrderReport report;
  bool journalDeleted = false;
  std::string tempDir;  // the last command 8
  auto covered = [&](const std::string& path) {
    for (const Record& r : records) {
      if (!r.durable) continue;
      std::string target, backup, drop;
      uint32_t sum, size;
      if (r.kind == journal::kCmdRestore &&
          journal::ParseRestoreText(r.text, target, backup, sum, size) && Upper(target) == Upper(path))
        return true;
      if (r.kind == journal::kCmdDrop && journal::ParseDropText(r.text, drop) && Under(path, drop))
        return true;
      if ((r.kind == journal::kCmdTempDir || r.kind == journal::kCmdCopyDir) && Under(path, r.text))
        return true;
    }
    return false;
  };
  for (const LogOp& op : ops) {
    if (IsJournal(op.path)) {
      if (op.op == "write") {
        std::string text = op.data;
        text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
        text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
        int kind;
        std::string body;
        if (journal::IsCommandLine(text) && prot::IsSealed(text) && prot::StripSeal(text) &&
            journal::ParseCommand(text, kind, body)) {
          records.push_back({kind, body});
          ++report.commandRecords;
          if (kind == journal::kCmdTempDir) tempDir = body;
        }
      } else if (op.op == "flush") {
        ++report.flushes;
        for (Record& r : records) r.durable = true;
      } else if (op.op == "delete") {
        journalDeleted = true;
      }
      continue;
    }
    if (IsProtocolFile(op.path) || IsProbeFile(op.path)) continue;
    for (const std::string& p : {op.path, op.path2}) {
      if (p.empty()) continue;
      if (journalDeleted) {
        // The temporary folder goes after the journal, and so does the ownership
        // mark of a finished copy: with the journal gone nothing needs proving.
        const bool ownerMark = Upper(p.substr(p.find_last_of('\\') + 1)) == "ZUMUPD.OWN";
        if ((tempDir.empty() || !Under(p, tempDir)) && !ownerMark)
          report.violations.push_back(std::to_string(op.k) + " " + op.op + " " + p +
                                      ": after the journal was deleted");
      } else if (!covered(p)) {
        report.violations.push_back(std::to_string(op.k) + " " + op.op + " " + p +
                                    ": no journal record on the disk covers it");
      }
    }
  }
  return report;
}

// ---- trees ------------------------------------------------------------------------

// A snapshot without the protocol files the runs leave beside the journal and, when
// asked, without the temporary folder.
zt::Tree Installation(const std::string& host, bool withoutTemp = false) {
  zt::Tree t = zt::Snapshot(host);
  const std::string protocol = cp1251::ToUtf8("Протокол");
  for (auto it = t.begin(); it != t.end();) {
    const bool temp = withoutTemp && it->first.rfind("ZUMUPDTA.TMP/", 0) == 0;
    if (it->first.rfind(protocol, 0) == 0 || temp)
      it = t.erase(it);
    else
      ++it;
  }
  return t;
}

void Copy(const std::string& from, const std::string& to) {
  fs::remove_all(to);
  fs::create_directories(fs::path(to).parent_path());
  fs::copy(from, to, fs::copy_options::recursive);
}

void Spit(const std::string& host, const std::string& bytes) {
  fs::create_directories(fs::path(host).parent_path());
  std::ofstream(host, std::ios::binary) << bytes;
}

std::string Noise(uint32_t seed, size_t n) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// ---- the installer under test ---------------------------------------------------------

// The loops run the Linux installer itself (Crash), or the Windows build's console
// installer (CrashWine) under Wine through scripts/wine-run.sh, when
// ZUM_FAULT_WINE_PROGRAM names it. Either way the packages are made here, by the
// Linux zumpack, with that program as their stub.
struct Target {
  bool wine = false;
  std::string program;  // the installer; empty when not given
  std::string wineRun;  // scripts/wine-run.sh
  std::string prefix;   // the Wine prefix, an absolute path
};

const Target& LinuxTarget() {
  static const Target t{false, ZUM_UPDATER_PATH, "", ""};
  return t;
}

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

const Target& WineTarget() {
  static const Target t = [] {
    Target w;
    w.wine = true;
    w.program = Env("ZUM_FAULT_WINE_PROGRAM");
    w.wineRun = Env("ZUM_WINE_RUN").empty() ? std::string(ZUM_WINE_RUN_PATH) : Env("ZUM_WINE_RUN");
    // The prefix wine-run.sh would take; absolute, since the runs start elsewhere.
    w.prefix = Env("ZUM_WINEPREFIX");
    if (w.prefix.empty())
      w.prefix = (fs::path(w.wineRun).parent_path().parent_path() / "build/wineprefix/default").string();
    w.prefix = fs::absolute(w.prefix).string();
    return w;
  }();
  return t;
}

const Target* g_target = &LinuxTarget();
const Target& T() { return *g_target; }

// The DOS path under which the installer sees a host path (Z: is "/" on both).
std::string DosOf(const std::string& host) {
  std::string dos = "Z:" + host;
  std::replace(dos.begin(), dos.end(), '/', '\\');
  return dos;
}

// The host path of a DOS path (CP1251) under Wine: its drive as the prefix maps it.
std::string WineHostOf(const std::string& dos) {
  if (dos.size() < 2 || dos[1] != ':') return "";
  std::string rest = cp1251::ToUtf8(dos.substr(2));
  std::replace(rest.begin(), rest.end(), '\\', '/');
  const char drive = static_cast<char>(std::tolower(static_cast<unsigned char>(dos[0])));
  return T().prefix + "/dosdevices/" + drive + ":" + rest;
}

// ---- the sample installations and their updates -------------------------------------

// Made once for the whole program: a ZUM 3.0.7 installation with extra files (one of
// 0 bytes that the update fills, one larger than the copy buffer that the update
// changes), its two other editions, the 3.0.7.1 and 3.1.0
// releases, a correction package 3.0.7 -> 3.0.7.1 and an update 3.0.7.1 -> 3.1.0.
// The folder of the samples and the runs: under ZUM_FAULT_WORK when given (the
// Wine runs need a folder that no mount point lies on, and their own TMPDIR must stay
// as it is: Wine keeps a prefix's server socket under it, so another TMPDIR would
// mean a second server for the same prefix), else in the temporary folder.
std::unique_ptr<zt::TempDir> WorkDir() {
  const std::string work = Env("ZUM_FAULT_WORK");
  std::optional<zt::ScopedEnv> tmp;
  if (!work.empty()) tmp.emplace("TMPDIR", fs::absolute(work).string());
  return std::make_unique<zt::TempDir>();
}

struct Samples {
  std::unique_ptr<zt::TempDir> dir = WorkDir();
  std::string root, orig, current, correction, update, stub;
  std::string error;

  bool Sample(const std::string& name, std::vector<std::string> args) {
    args.insert(args.begin(), root + name);
    args.insert(args.end(), {"--base-size", "40000"});
    Child c = Run(ZUM_SAMPLE_PATH, args, root, "", {});
    if (c.status != 0) error = "zumsample " + name + ": " + c.output;
    return c.status == 0;
  }
  void Extras(const std::string& name, bool next) {
    const std::string d = root + name + "/Doc/";
    Spit(d + "filled.dat", next ? "filled by the update" : "");
    std::string big = Noise(7, 1536 * 1024 + 77);
    if (next)
      for (size_t i = 1000; i < big.size(); i += 150000) big[i] ^= 0x5A;
    Spit(d + "big.dat", big);
  }
  bool Pack(const std::vector<std::string>& olds, const std::string& next, const std::string& from,
            const std::string& to, const std::string& out) {
    std::vector<std::string> args{"build"};
    for (const auto& o : olds) args.insert(args.end(), {"--old", root + o});
    args.insert(args.end(), {"--new", root + next, "--from", from, "--to", to, "--stub",
                             stub, "-o", out, "--level", "1"});
    Child c = Run(ZUM_ZUMPACK_PATH, args, root, "", {});
    if (c.status != 0) error = "zumpack: " + c.output;
    return c.status == 0;
  }

  Samples() {
    root = dir->Host();
    orig = root + "orig";
    current = root + "cur";
    correction = root + "update-3.0.7.1";
    update = root + "update-3.1.0";
    // The installer without its debugging sections: every run reads and checks the
    // whole file. The Windows program is linked stripped.
    stub = root + (T().wine ? "zumupd_con.exe" : "zumupd");
    if (T().wine || Run("strip", {"-o", stub, T().program}, root, "", {}).status != 0) {
      fs::copy_file(T().program, stub);
    }
    if (!Sample("orig", {"--version", "3.0.7"}) ||
        !Sample("ed1", {"--version", "3.0.7", "--edition", "1"}) ||
        !Sample("ed2", {"--version", "3.0.7", "--edition", "2"}) ||
        !Sample("next1", {"--version", "3.0.7.1", "--release", "1"}) ||
        !Sample("cur", {"--version", "3.0.7.1", "--release", "1"}) ||
        !Sample("next2", {"--version", "3.1.0", "--release", "2"}))
      return;
    for (const char* n : {"orig", "ed1", "ed2"}) Extras(n, false);
    for (const char* n : {"next1", "next2"}) Extras(n, true);
    if (!Pack({"orig", "ed1", "ed2"}, "next1", "3.0.7", "3.0.7.1", correction)) return;
    Pack({"next1"}, "next2", "3.0.7.1", "3.1.0", update);
  }
};

// Made once for each installer, removed when the program ends.
Samples& S() {
  static std::map<const Target*, std::unique_ptr<Samples>> made;
  std::unique_ptr<Samples>& s = made[&T()];
  if (!s) s = std::make_unique<Samples>();
  return *s;
}

// One place to run the installer: an installation with the update file in it, and
// for copy mode a folder for copies and a desktop (under Wine the desktop is the
// prefix's own).
class Place {
 public:
  Place(const std::string& name, const std::string& from, const std::string& updateFile) {
    root_ = S().root + "runs/" + name + "/";
    fs::remove_all(root_);
    Copy(from, Install());
    fs::create_hard_link(updateFile, UpdateFile());
    fs::create_directories(root_ + "Programs");
    fs::create_directories(root_ + "home/Desktop");
    fs::create_directories(root_ + "disk");
  }
  ~Place() { fs::remove_all(root_); }

  std::string Install() const { return root_ + "inst"; }
  std::string Programs() const { return root_ + "Programs"; }
  std::string Desktop() const { return root_ + "home/Desktop"; }
  std::string Log() const { return root_ + "ops.log"; }
  std::string UpdateFile() const { return Install() + (T().wine ? "/update.exe" : "/update"); }

  // Starts the installer. `fault` is ZUM_FAULT without the log (added when `log`).
  Child Start(const std::string& answers, std::string fault = "", bool log = false) const {
    fault += (fault.empty() ? "" : ",") + std::string("nosleep");
    if (log) fault += ",log=" + (T().wine ? DosOf(Log()) : Log());
    // No Linux launcher from Wine's menu builder for the shortcut on the desktop:
    // that file would be Wine's doing, not the installer's.
    if (T().wine)
      return Run(T().wineRun, {UpdateFile()}, Install(), cp1251::ToUtf8(answers),
                 {{"ZUM_FAULT", fault}, {"ZUM_WINEPREFIX", T().prefix},
                  {"WINEDLLOVERRIDES", "winemenubuilder.exe=d"}});
    std::vector<std::pair<std::string, std::string>> env{
        {"HOME", root_ + "home"}, {"XDG_CONFIG_HOME", root_ + "home/.config"},
        // A disk of its own for the dialog's disk scan; the root is not scanned.
        {"ZUM_DRIVES", "Y=" + root_ + "disk"}, {"ZUM_DRIVE_TYPES", "Z=remote"}};
    env.push_back({"ZUM_FAULT", fault});
    return Run(UpdateFile(), {}, Install(), cp1251::ToUtf8(answers), env);
  }
  // The folder for copies as the installer's dialog takes it.
  std::string ProgramsDos() const { return DosOf(Programs() + "/"); }

 private:
  std::string root_;
};

// Answers on the terminal (CP1251 here, given to the program as UTF-8).
const char kNoStart[] = "нет\n";        // 3009: do not start the product
const char kRollBack[] = "да\nнет\n";   // 3001: roll back; 3003: do not go on

class Crash : public ::testing::Test {
 protected:
  void SetUp() override {
    g_target = &LinuxTarget();
    ASSERT_TRUE(S().error.empty()) << S().error;
  }
};

// The same loops on the Windows build's console installer under Wine, each with a
// sample of the points (every start under Wine is slow). Skipped unless
// ZUM_FAULT_WINE_PROGRAM names the program (the Windows build's CTest does).
class CrashWine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (WineTarget().program.empty())
      GTEST_SKIP() << "ZUM_FAULT_WINE_PROGRAM does not name the Windows console installer";
    ASSERT_TRUE(fs::is_regular_file(WineTarget().program))
        << WineTarget().program << " is missing: build the windows preset";
    ASSERT_TRUE(fs::is_regular_file(WineTarget().wineRun)) << WineTarget().wineRun << " is missing";
    g_target = &WineTarget();
    ASSERT_TRUE(S().error.empty()) << S().error;
  }
  void TearDown() override { g_target = &LinuxTarget(); }
};

void Figure(const std::string& text) {
  const std::string line = (T().wine ? "Windows build under Wine, " : "") + text;
  std::printf("fault-figure: %s\n", line.c_str());
  ::testing::Test::RecordProperty("figure", line);
}

// The in-place update once, logged: the reference run of the tests below.
struct Reference {
  std::vector<LogOp> ops;
  size_t journalCreated = 0, journalDeleted = 0;
  zt::Tree before, after;
  std::string output;  // the run's terminal output
  std::string error;
};

// Runs the update in `p` once, without faults, logging every operation.
Reference* RunReference(const Place& p, const std::string& answers, const std::string& what) {
  auto* ref = new Reference;
  ref->before = Installation(p.Install());
  const Child c = p.Start(answers, "", true);
  ref->output = c.output;
  if (c.status != 0) ref->error = what + " failed:\n" + c.output;
  ref->ops = ReadLog(p.Log());
  ref->after = Installation(p.Install());
  ref->journalCreated = FindOp(ref->ops, "create", IsJournal, false);
  ref->journalDeleted = FindOp(ref->ops, "delete", IsJournal, true);
  return ref;
}

// Made at its first use, once for each installer.
const Reference& InPlaceReference() {
  static std::map<const Target*, Reference*> made;
  Reference*& r = made[&T()];
  if (!r) {
    Place p("reference", S().orig, S().correction);
    r = RunReference(p, kNoStart, "the update");
  }
  return *r;
}

void CheckTheReference() {
  const Reference& ref = InPlaceReference();
  ASSERT_TRUE(ref.error.empty()) << ref.error;
  ASSERT_GT(ref.journalCreated, 0u);
  ASSERT_GT(ref.journalDeleted, ref.journalCreated);
  EXPECT_NE(ref.before, ref.after);
  // A file of 0 bytes filled, a new file, a changed file larger than the copy buffer.
  EXPECT_EQ(ref.before.at("Doc/filled.dat"), "");
  EXPECT_EQ(ref.after.at("Doc/filled.dat"), "filled by the update");
  EXPECT_FALSE(ref.before.count("Cfg/klsstd.zum"));
  EXPECT_TRUE(ref.after.count("Cfg/klsstd.zum"));
  EXPECT_NE(ref.after.at("Doc/big.dat"), ref.before.at("Doc/big.dat"));
  Figure("in-place update: " + std::to_string(ref.ops.size()) + " mutating operations");
}

TEST_F(Crash, TheReferenceUpdateCoversEveryEntryKindAndChangesTheInstallation) {
  CheckTheReference();
}
TEST_F(CrashWine, TheReferenceUpdateCoversEveryEntryKindAndChangesTheInstallation) {
  CheckTheReference();
}

// All the points from 1 to n, or with fewer wanted a fixed, seeded sample that keeps
// the first and the last. ZUM_FAULT_ALL=1 asks for all of them anyway.
std::vector<size_t> Points(size_t n, size_t want, uint32_t seed) {
  std::vector<size_t> all;
  for (size_t k = 1; k <= n; ++k) all.push_back(k);
  const char* every = std::getenv("ZUM_FAULT_ALL");
  if (n <= want || (every && std::string(every) == "1")) return all;
  std::mt19937 rng(seed);
  std::shuffle(all.begin() + 1, all.end() - 1, rng);
  all.resize(want);
  all.push_back(n);
  std::sort(all.begin(), all.end());
  all.erase(std::unique(all.begin(), all.end()), all.end());
  return all;
}

// For the slow runs under Wine: `want` points spread evenly over 1..n, one seeded
// point in each of `want` equal stretches, the first and the last kept.
// ZUM_FAULT_ALL=1 asks for all of them.
std::vector<size_t> Spread(size_t n, size_t want, uint32_t seed) {
  const char* every = std::getenv("ZUM_FAULT_ALL");
  if (n <= want || want < 2 || (every && std::string(every) == "1")) return Points(n, n, seed);
  std::mt19937 rng(seed);
  std::vector<size_t> points;
  for (size_t i = 0; i < want; ++i) {
    const size_t from = 1 + i * n / want, to = (i + 1) * n / want;
    points.push_back(from + rng() % (to - from + 1));
  }
  points.front() = 1;
  points.back() = n;
  return points;
}

// Points(), or under Wine Spread().
std::vector<size_t> Sample(size_t n, size_t want, uint32_t seed) {
  return T().wine ? Spread(n, want, seed) : Points(n, want, seed);
}

void Report(const std::string& what, size_t identical, size_t total,
            const std::vector<std::string>& failures) {
  Figure(what + ": " + std::to_string(identical) + " of " + std::to_string(total) +
         " trees identical");
  EXPECT_EQ(identical, total);
  for (size_t i = 0; i < failures.size() && i < 10; ++i) ADD_FAILURE() << failures[i];
}

// The update in place killed before each of `points`, then started again with Yes to
// 3001: the installation as before (or, killed after the journal's deletion, as after).
void KillInPlace(const std::vector<size_t>& points, const std::string& what) {
  const Reference& ref = InPlaceReference();
  size_t identical = 0;
  std::vector<std::string> failures;
  for (size_t k : points) {
    Place p("kill-" + std::to_string(k), S().orig, S().correction);
    const Child killed = p.Start(kNoStart, "kill@" + std::to_string(k));
    std::string why;
    if (killed.status != kKilled) {
      why = "the run was not killed (status " + std::to_string(killed.status) + ")";
    } else if (k > ref.journalDeleted) {
      // The journal is gone: the update stands; only the temporary folder may remain.
      why = zt::Diff(ref.after, Installation(p.Install(), true));
    } else {
      if (k > ref.journalCreated) {
        const Child again = p.Start(kRollBack);
        if (again.status != 0) why = "the recovery failed:\n" + again.output;
      }
      if (why.empty()) why = zt::Diff(ref.before, Installation(p.Install()));
    }
    if (why.empty())
      ++identical;
    else
      failures.push_back("kill@" + std::to_string(k) + ": " + why);
  }
  Report(what, identical, points.size(), failures);
}

TEST_F(Crash, KilledBeforeAnyOperationOfTheUpdateInPlaceIsRolledBack) {
  const Reference& ref = InPlaceReference();
  ASSERT_TRUE(ref.error.empty()) << ref.error;
  const size_t n = ref.ops.size();
  std::vector<size_t> every;
  for (size_t k = 1; k <= n; ++k) every.push_back(k);
  KillInPlace(every, "in-place update killed before each operation");
}

TEST_F(CrashWine, KilledUpdateInPlaceIsRolledBack) {
  const Reference& ref = InPlaceReference();
  ASSERT_TRUE(ref.error.empty()) << ref.error;
  const size_t n = ref.ops.size();
  const std::vector<size_t> points = Spread(n, 64, 13);
  KillInPlace(points, "in-place update killed before " + std::to_string(points.size()) +
                          " sampled of its " + std::to_string(n) +
                          " operations, then rolled back");
}

// The recovery of the whole update killed before `want` of its operations (Sample;
// all of them when it has no more), then recovered again.
void KillRecovery(size_t want) {
  const Reference& ref = InPlaceReference();
  ASSERT_TRUE(ref.error.empty()) << ref.error;
  // Killed just before the journal is deleted: every change made, all to undo.
  const std::string killUpdate = "kill@" + std::to_string(ref.journalDeleted);
  std::vector<LogOp> ops;
  {
    Place p("recovery-reference", S().orig, S().correction);
    ASSERT_EQ(p.Start(kNoStart, killUpdate).status, kKilled);
    const Child c = p.Start(kRollBack, "", true);
    ASSERT_EQ(c.status, 0) << c.output;
    ASSERT_EQ(zt::Diff(ref.before, Installation(p.Install())), "");
    ops = ReadLog(p.Log());
  }
  const size_t m = ops.size(), deleted = FindOp(ops, "delete", IsJournal, true);
  ASSERT_GT(deleted, 0u);
  Figure("recovery of the whole update: " + std::to_string(m) + " mutating operations");

  const std::vector<size_t> points = Sample(m, want, 9);
  size_t identical = 0;
  std::vector<std::string> failures;
  for (size_t k : points) {
    Place p("recovery-kill-" + std::to_string(k), S().orig, S().correction);
    std::string why;
    if (p.Start(kNoStart, killUpdate).status != kKilled) {
      why = "the update was not killed";
    } else if (const Child r = p.Start(kRollBack, "kill@" + std::to_string(k)); r.status != kKilled) {
      why = "the recovery was not killed (status " + std::to_string(r.status) + ")";
    } else if (k > deleted) {
      // The journal is gone: the installation is as before; the temporary folder
      // may not be removed yet.
      why = zt::Diff(ref.before, Installation(p.Install(), true));
    } else if (const Child again = p.Start(kRollBack); again.status != 0) {
      why = "the second recovery failed:\n" + again.output;
    } else {
      why = zt::Diff(ref.before, Installation(p.Install()));
    }
    if (why.empty())
      ++identical;
    else
      failures.push_back("recovery kill@" + std::to_string(k) + ": " + why);
  }
  Report("recovery killed before " + std::to_string(points.size()) + " of its " +
             std::to_string(m) + " operations, then recovered again",
         identical, points.size(), failures);
}

TEST_F(Crash, KilledRecoveryIsRecoveredAgainAndEndsAsBefore) { KillRecovery(200); }
TEST_F(CrashWine, KilledRecoveryIsRecoveredAgainAndEndsAsBefore) { KillRecovery(21); }

// ---- copy mode ---------------------------------------------------------------------

// Under Wine the desktop is the prefix's, shared with whatever else runs there: the
// shortcut gets a label of this process's own, and only items named like it are
// compared and cleared.
std::string WineLabel() { return "zumcrash" + std::to_string(getpid()); }

std::string CopyAnswers(const Place& p) {
  // The dialog: the folder for copies, Next; 3011: go on; 3009: do not start.
  return "folder " + p.ProgramsDos() + (T().wine ? "\nlabel " + WineLabel() : "") +
         "\nnext\nда\nнет\n";
}

// The items of a host desktop folder whose names begin with `stem`.
zt::Tree DesktopItems(const std::string& folder, const std::string& stem) {
  zt::Tree items;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind(stem, 0) != 0) continue;
    std::ifstream in(e.path(), std::ios::binary);
    std::ostringstream data;
    data << in.rdbuf();
    items[name] = data.str();
  }
  return items;
}

void ClearDesktopItems(const std::string& folder, const std::string& stem) {
  for (const auto& [name, bytes] : DesktopItems(folder, stem)) fs::remove(folder + "/" + name);
}

bool IsShortcut(const std::string& dosPath) {
  const std::string name = Upper(NameOf(dosPath));
  return name.size() > 4 && name.substr(name.size() - 4) == ".LNK";
}

// The operation that makes the shortcut (the system's shell writes it on Windows).
const LogOp* ShortcutOp(const std::vector<LogOp>& ops) {
  for (const LogOp& op : ops)
    if ((op.op == "create" || op.op == "link") && IsShortcut(op.path)) return &op;
  return nullptr;
}

// The desktop folder (host) of a shortcut the installer made under Wine.
std::string WineDesktop(const LogOp& shortcut) {
  return WineHostOf(shortcut.path.substr(0, shortcut.path.find_last_of('\\')));
}

std::string ShortcutStem(const LogOp& shortcut) {
  const std::string name = cp1251::ToUtf8(NameOf(shortcut.path));
  return name.substr(0, name.find_last_of('.'));
}

const Reference& CopyReference() {
  static std::map<const Target*, Reference*> made;
  Reference*& r = made[&T()];
  if (!r) {
    Place p("copy-reference", S().current, S().update);
    r = RunReference(p, CopyAnswers(p), "the update into a copy");
    const LogOp* shortcut = ShortcutOp(r->ops);
    if (zt::Snapshot(p.Programs()).empty() || !shortcut)
      r->error += "\nno copy or no shortcut was made:\n" + r->output;
    else if (T().wine)
      ClearDesktopItems(WineDesktop(*shortcut), ShortcutStem(*shortcut));
  }
  return *r;
}

// The update into a copy killed at `sampled` points (Sample), and at every point from
// `around` before the copy's folder is made to 2 after it and from `around` before the
// shortcut to just after the journal's deletion; at every other one of the latter a
// shortcut of the same name stands on the desktop already.
void KillCopy(size_t sampled, size_t around) {
  const Reference& ref = CopyReference();
  ASSERT_TRUE(ref.error.empty()) << ref.error;
  ASSERT_EQ(zt::Diff(ref.before, ref.after), "") << "the installation itself changed";
  const size_t n = ref.ops.size();
  std::vector<size_t> points;
  std::string measured;  // how the sample treats the measurement of the disks
  if (T().wine) {
    // Every start under Wine is slow: the sample leaves out the dialog's measurement
    // of the disks (thousands of writes to a scratch file at each disk's root, before
    // any change; under Wine C: and Z:) but for the first of them on each disk.
    std::vector<size_t> ks;
    for (const LogOp& op : ref.ops)
      if (!IsSpeedTestFile(op.path) || op.op == "create") ks.push_back(op.k);
    for (size_t i : Spread(ks.size(), sampled, 5)) points.push_back(ks[i - 1]);
    const size_t measuring = static_cast<size_t>(std::count_if(
        ref.ops.begin(), ref.ops.end(), [](const LogOp& op) { return IsSpeedTestFile(op.path); }));
    measured = " (of the " + std::to_string(measuring) +
               " that measure the disks, the first on each disk)";
  } else {
    points = Points(n, sampled, 5);
  }
  // Every point around the two changes outside the copy's files: the copy's folder,
  // which the dialog makes before message 3011, and the desktop shortcut, made last.
  const size_t folderMade = FindOp(ref.ops, "mkdir", [](const std::string&) { return true; }, false);
  const LogOp& shortcut = *ShortcutOp(ref.ops);
  const size_t link = shortcut.k;
  ASSERT_GT(folderMade, 0u);
  const std::string linkName = cp1251::ToUtf8(NameOf(shortcut.path));
  const std::string stem = ShortcutStem(shortcut);
  // The place's own desktop, or the prefix's with only the shortcut's kin in view.
  const std::string wineDesktop = T().wine ? WineDesktop(shortcut) : "";
  const auto desktopOf = [&](const Place& p) { return T().wine ? wineDesktop : p.Desktop(); };
  const auto desktop = [&](const Place& p) {
    return T().wine ? DesktopItems(wineDesktop, stem) : zt::Snapshot(p.Desktop());
  };
  for (size_t k = folderMade > around ? folderMade - around : 1; k <= folderMade + 2; ++k)
    points.push_back(k);
  for (size_t k = link > around ? link - around : 1; k <= ref.journalDeleted + 1 && k <= n; ++k)
    points.push_back(k);
  std::sort(points.begin(), points.end());
  points.erase(std::unique(points.begin(), points.end()), points.end());
  Figure("update into a copy: the copy's folder made at operation " + std::to_string(folderMade) +
         ", the shortcut at " + std::to_string(link) + ", the journal deleted at " +
         std::to_string(ref.journalDeleted));
  size_t identical = 0;
  std::vector<std::string> failures;
  std::error_code ec;
  for (size_t k : points) {
    Place p("copy-kill-" + std::to_string(k), S().current, S().update);
    // Near the shortcut, a shortcut of the same name stands there already (of an
    // earlier copy, say): the rollback must put it back as it was.
    const bool oldLink = k + around >= link && k % 2 == 0;
    if (oldLink) Spit(desktopOf(p) + "/" + linkName, "an older shortcut");
    const zt::Tree before = desktop(p);
    const Child killed = p.Start(CopyAnswers(p), "kill@" + std::to_string(k));
    std::string why;
    if (killed.status != kKilled) {
      why = "the run was not killed (status " + std::to_string(killed.status) + ")";
    } else if (k > ref.journalDeleted) {
      why = zt::Diff(ref.before, Installation(p.Install(), true));
      if (zt::Snapshot(p.Programs()).empty()) why += "the finished copy is missing";
    } else {
      if (k > ref.journalCreated) {
        const Child again = p.Start(kRollBack);
        if (again.status != 0) why = "the recovery failed:\n" + again.output;
      }
      if (why.empty()) why = zt::Diff(ref.before, Installation(p.Install()));
      if (why.empty() && !zt::Snapshot(p.Programs()).empty())
        why = "the copy is still there:\n" + zt::Diff({}, zt::Snapshot(p.Programs()));
      if (why.empty()) why = zt::Diff(before, desktop(p));
    }
    if (T().wine) {
      ClearDesktopItems(wineDesktop, stem);
      // Killed in the measurement of a disk, the run leaves its scratch file there.
      for (const LogOp& op : ref.ops)
        if (op.k == k && IsSpeedTestFile(op.path)) fs::remove(WineHostOf(op.path), ec);
    }
    if (why.empty())
      ++identical;
    else
      failures.push_back("copy kill@" + std::to_string(k) + ": " + why);
  }
  Report("update into a copy killed before " + std::to_string(points.size()) + " of its " +
             std::to_string(n) + " operations" + measured,
         identical, points.size(), failures);
}

TEST_F(Crash, KilledUpdateIntoACopyLeavesNeitherCopyNorTemporaryFolder) { KillCopy(120, 8); }
TEST_F(CrashWine, KilledUpdateIntoACopyLeavesNeitherCopyNorTemporaryFolder) { KillCopy(32, 3); }

// ---- read-only files ------------------------------------------------------------------

// Every file of the installation read-only (as copied from a CD).
void MakeAllReadOnly(const std::string& host) {
  for (const auto& e : fs::recursive_directory_iterator(host))
    if (e.is_regular_file()) fs::permissions(e.path(), fs::perms::all & ~fs::perms::owner_write &
                                                           ~fs::perms::group_write &
                                                           ~fs::perms::others_write);
}

// The permission bits of every file, to compare attributes as well as contents.
std::map<std::string, unsigned> Modes(const std::string& host) {
  std::map<std::string, unsigned> out;
  for (const auto& e : fs::recursive_directory_iterator(host)) {
    const std::string rel = fs::relative(e.path(), host).string();
    if (e.is_regular_file() && rel.rfind(cp1251::ToUtf8("Протокол"), 0) != 0 &&
        rel.rfind("ZUMUPDTA.TMP", 0) != 0)
      out[rel] = static_cast<unsigned>(e.status().permissions()) & 0222;
  }
  return out;
}

TEST_F(Crash, ReadOnlyFilesAreUpdatedAndAKilledRunRestoresThemWithTheirAttribute) {
  const Reference& ref = InPlaceReference();
  ASSERT_TRUE(ref.error.empty()) << ref.error;
  {
    Place p("read-only", S().orig, S().correction);
    MakeAllReadOnly(p.Install());
    const Child run = p.Start(kNoStart);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(zt::Diff(ref.after, Installation(p.Install())), "");
  }
  const size_t n = ref.ops.size();
  size_t identical = 0, total = 0;
  std::vector<std::string> failures;
  for (size_t k : Points(n, 40, 11)) {
    Place p("read-only-kill-" + std::to_string(k), S().orig, S().correction);
    MakeAllReadOnly(p.Install());
    const auto modes = Modes(p.Install());
    const Child killed = p.Start(kNoStart, "kill@" + std::to_string(k));
    std::string why;
    if (killed.status != kKilled) {
      why = "not killed (status " + std::to_string(killed.status) + ")";
    } else if (!fs::exists(p.Install() + "/zum_3.0.7.1.txt") && k > ref.journalCreated) {
      // Its journal made and deleted again (this run has more operations than the
      // reference: the attribute records and changes): the update stands.
      why = zt::Diff(ref.after, Installation(p.Install(), true));
    } else {
      if (k > ref.journalCreated) {
        const Child again = p.Start(kRollBack);
        if (again.status != 0) why = "the recovery failed:\n" + again.output;
      }
      if (why.empty()) why = zt::Diff(ref.before, Installation(p.Install()));
      if (why.empty() && Modes(p.Install()) != modes) why = "an attribute was not restored";
    }
    ++total;
    if (why.empty()) ++identical;
    else failures.push_back("read-only kill@" + std::to_string(k) + ": " + why);
  }
  Report("update of a read-only installation killed at " + std::to_string(total) +
             " points, then rolled back",
         identical, total, failures);
}

// ---- the order of the writes ---------------------------------------------------------

void CheckOrderOfWrites() {
  for (const Reference* ref : {&InPlaceReference(), &CopyReference()}) {
    ASSERT_TRUE(ref->error.empty()) << ref->error;
    const OrderReport r = CheckOrder(ref->ops);
    const std::string mode = ref == &InPlaceReference() ? "in place" : "into a copy";
    Figure("order of writes, update " + mode + ": " + std::to_string(r.violations.size()) +
           " violations in " + std::to_string(ref->ops.size()) + " operations (" +
           std::to_string(r.commandRecords) + " command records, " + std::to_string(r.flushes) +
           " journal flushes)");
    EXPECT_GT(r.commandRecords, 0);
    EXPECT_GT(r.flushes, 0);
    for (const std::string& v : r.violations) ADD_FAILURE() << cp1251::ToUtf8(v);
  }
}

TEST_F(Crash, EveryChangeFollowsAJournalRecordOnTheDiskAndTheJournalGoesLast) {
  CheckOrderOfWrites();
}
TEST_F(CrashWine, EveryChangeFollowsAJournalRecordOnTheDiskAndTheJournalGoesLast) {
  CheckOrderOfWrites();
}

TEST(CrashOrder, TheCheckFindsAChangeBeforeItsRecordAndOneAfterTheJournalIsGone) {
  // The checker itself, on a made-up log: a change whose record is not flushed yet,
  // one that is covered, and one after the journal's deletion.
  std::string record = journal::MakeCommand(os::LocalTime{2024, 1, 2, 3, 4, 5, 6},
                                            journal::kCmdRestore,
                                            journal::MakeRestoreText("Z:\\i\\a", "Z:\\t\\BAK1\\a", 1, 2));
  const std::string j = "Z:\\i\\zum_1.txt";
  const std::vector<LogOp> ops = {
      {1, "create", j, "", ""},
      {2, "write", j, "", record},
      {3, "delete", "Z:\\i\\a", "", ""},  // the record is not on the disk yet
      {4, "flush", j, "", ""},
      {5, "delete", "Z:\\i\\A", "", ""},  // covered (letter case aside)
      {6, "delete", "Z:\\i\\b", "", ""},  // nothing covers it
      {7, "delete", j, "", ""},
      {8, "delete", "Z:\\i\\a", "", ""},  // after the journal was deleted
  };
  const OrderReport r = CheckOrder(ops);
  ASSERT_EQ(r.violations.size(), 3u);
  EXPECT_EQ(r.violations[0].rfind("3 ", 0), 0u);
  EXPECT_EQ(r.violations[1].rfind("6 ", 0), 0u);
  EXPECT_EQ(r.violations[2].rfind("8 ", 0), 0u);
}

// ---- injected errors -------------------------------------------------------------------

// The name under which the platform reports an operation of the log.
std::string SystemOpName(const std::string& op) {
  static const std::map<std::string, std::string> names = {
      {"create", "CreateFile"},         {"write", "WriteFile"},
      {"truncate", "SetEndOfFile"},     {"flush", "FlushFileBuffers"},
      {"mapcreate", "CreateFileMapping"}, {"mapflush", "FlushViewOfFile"},
      {"move", "MoveFile"},             {"delete", "DeleteFile"},
      {"mkdir", "CreateDirectory"},     {"rmdir", "RemoveDirectory"},
      {"setattr", "SetFileAttributes"}};
  const auto it = names.find(op);
  return it == names.end() ? op : it->second;
}

TEST_F(Crash, InjectedErrorsEndTheRunWithTheSystemsErrorAndTheRecoveryRestores) {
  const Reference& ref = InPlaceReference();
  ASSERT_TRUE(ref.error.empty()) << ref.error;
  struct Err {
    const char* name;
    std::string text;
  };
  const Err errors[] = {{"diskfull", os::SystemErrorText(ENOSPC)},
                        {"io", os::SystemErrorText(EIO)},
                        {"access", os::SystemErrorText(EACCES)},
                        {"sharing", "нарушение совместного доступа"}};
  const char* every = std::getenv("ZUM_FAULT_ALL");
  const bool all = every && std::string(every) == "1";
  // Every combination at every point, or each point of a sample with the next of
  // the eight combinations in turn.
  struct Case {
    size_t k;
    int error;
    bool sticky;
  };
  std::vector<Case> cases;
  const std::vector<size_t> points = Points(ref.ops.size(), 96, 3);
  for (size_t i = 0; i < points.size(); ++i) {
    if (all) {
      for (int c = 0; c < 8; ++c) cases.push_back({points[i], c % 4, c >= 4});
    } else {
      cases.push_back({points[i], static_cast<int>(i % 4), (i / 4) % 2 == 1});
    }
  }

  size_t good = 0, succeeded = 0;
  std::vector<std::string> failures;
  for (const Case& c : cases) {
    const LogOp& op = ref.ops[c.k - 1];
    const std::string fault = "fail@" + std::to_string(c.k) + (c.sticky ? "+" : "") + ":" +
                             errors[c.error].name;
    Place p("fail-" + std::to_string(c.k), S().orig, S().correction);
    const Child run = p.Start(kNoStart, fault);
    std::string why;
    if (run.status == 0) {
      // Only a step the update does not need may fail (a protocol record of the
      // journal, the clean-up after the journal is gone); the update must then be
      // complete and the journal gone.
      ++succeeded;
      why = zt::Diff(ref.after, Installation(p.Install(), true));
    } else {
      // The reference ran in a place of its own.
      std::string path = op.path;
      const std::string from = "\\runs\\reference\\";
      if (const size_t at = path.find(from); at != std::string::npos)
        path.replace(at, from.size(), "\\runs\\fail-" + std::to_string(c.k) + "\\");
      const std::string named = cp1251::ToUtf8(SystemOpName(op.op) + " " + path);
      if (run.output.find(named) == std::string::npos ||
          run.output.find(cp1251::ToUtf8(errors[c.error].text)) == std::string::npos)
        why = "no protocol line names \"" + named + "\" and \"" + cp1251::ToUtf8(errors[c.error].text) + "\"";
      const bool journal = fs::exists(p.Install() + "/zum_3.0.7.1.txt");
      if (why.empty() && journal) {
        const Child again = p.Start(kRollBack);
        if (again.status != 0) why = "the recovery failed:\n" + again.output;
      }
      if (why.empty()) why = zt::Diff(ref.before, Installation(p.Install()));
    }
    if (why.empty())
      ++good;
    else
      failures.push_back(fault + " (" + op.op + " " + cp1251::ToUtf8(op.path) + "): " + why);
  }
  Figure("injected errors: " + std::to_string(good) + " of " + std::to_string(cases.size()) +
         " runs failed cleanly or did no harm (" + std::to_string(succeeded) +
         " ended well, the refused step not being needed), the rest restored by the recovery");
  EXPECT_EQ(good, cases.size());
  for (size_t i = 0; i < failures.size() && i < 10; ++i) ADD_FAILURE() << failures[i];
}

TEST_F(Crash, ALittleLessFreeSpaceThanNeededIsRefusedBeforeAnyChange) {
  const Reference& ref = InPlaceReference();
  ASSERT_TRUE(ref.error.empty()) << ref.error;
  // The need as the refusal states it.
  uint64_t need = 0;
  {
    Place p("space-probe", S().orig, S().correction);
    const Child c = p.Start(kNoStart, "free=0");
    ASSERT_EQ(c.status, 1) << c.output;
    const std::string marker = cp1251::ToUtf8("необходимо освободить минимум ");
    const size_t at = c.output.find(marker);
    ASSERT_NE(at, std::string::npos) << c.output;
    need = std::stoull(c.output.substr(at + marker.size()));
    ASSERT_GT(need, 0u);
  }
  Place p("space", S().orig, S().correction);
  const Child c = p.Start(kNoStart, "free=" + std::to_string(need - 1), true);
  EXPECT_EQ(c.status, 1);
  EXPECT_NE(c.output.find(cp1251::ToUtf8("НЕДОСТАТОЧНО МЕСТА")), std::string::npos) << c.output;
  // Nothing but the journal and the protocol file was written (besides the write
  // check's file, gone with its handle), and the journal, naming no change, is gone
  // again.
  for (const LogOp& op : ReadLog(p.Log()))
    EXPECT_TRUE(IsJournal(op.path) || IsProtocolFile(op.path) || IsProbeFile(op.path))
        << op.k << " " << op.op << " " << cp1251::ToUtf8(op.path);
  EXPECT_EQ(zt::Diff(ref.before, Installation(p.Install())), "");
}

}  // namespace
