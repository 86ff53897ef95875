// The installer against a prepared installation folder: forged journals (each one
// sealed as the installer seals its own) and links planted where the installer
// works. Beside the installation stands a canary tree, and the desktop holds the
// user's files; after every case both must be byte for byte and attribute for
// attribute what they were, and the installation unchanged. The figure counts the
// cases in which a canary changed (the goal is none).
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>

#include "base/cp1251.h"
#include "base/dos_path.h"
#include "files/folders.h"
#include "format/checksum.h"
#include "format/journal_record.h"
#include "installer/form1.h"
#include "sample/sample.h"
#include "support/installer_run.h"
#include "support/package_builder.h"
#include "support/test_support.h"
#include "support/tree.h"
#include "frontends/scripted/scripted.h"

namespace {

namespace fs = std::filesystem;

// Names, contents and permission bits of a host tree; links as their targets.
std::map<std::string, std::string> Canary(const std::string& hostDir) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  if (!fs::exists(hostDir, ec)) return out;
  for (auto it = fs::recursive_directory_iterator(hostDir, ec); it != fs::end(it); it.increment(ec)) {
    const fs::path& p = it->path();
    const std::string rel = fs::relative(p, hostDir).string();
    const fs::file_status st = fs::symlink_status(p);
    const std::string mode = std::to_string(static_cast<unsigned>(st.permissions()));
    if (fs::is_symlink(st)) {
      out[rel] = "link " + fs::read_symlink(p).string();
    } else if (fs::is_directory(st)) {
      out[rel + "/"] = mode;
    } else {
      std::string bytes;
      zt::ReadAll(p.string(), bytes);  // host paths are DOS paths under Z:
      out[rel] = mode + " " + bytes;
    }
  }
  return out;
}

// One installation with its canary tree and desktop, in a folder of its own.
class Place {
 public:
  bool Make(std::string& error) {
    if (!sample::MakeSampleInstallation(Install(), {}, error)) return false;
    plan.files = {{5, "Doc\\Новое\\Описание.txt", "a file in a folder the update adds", 0},
                  {5, "Base\\std3", std::string(3000, '\x33'), 0}};
    if (!zt::MakePackage(Install() + "update.exe", plan, error)) return false;
    fs::create_directories(Host("canary/sub"));
    fs::create_directories(Host("home/Desktop"));
    zt::WriteAll(Dos("canary\\a.txt"), "canary a");
    zt::WriteAll(Dos("canary\\sub\\b.txt"), "canary b");
    zt::WriteAll(Dos("canary\\ro.txt"), "read-only canary");
    fs::permissions(Host("canary/ro.txt"), fs::perms::owner_write, fs::perm_options::remove);
    zt::WriteAll(Dos("home\\Desktop\\notes.txt"), "the user's notes");
    if (!os::CreateShellLink(Dos("canary\\a.txt"), Dos("home\\Desktop\\ZUM5.LNK"), "x",
                             Dos("canary\\"))) {
      error = os::LastErrorText();
      return false;
    }
    return true;
  }

  std::string Host(const std::string& rel) const { return dir.Host() + rel; }
  std::string Dos(const std::string& rel) const { return dir.Dos() + rel; }
  std::string Install() const { return dir.Dos() + "ZUM\\"; }
  std::string Temp() const { return Install() + "ZUMUPDTA.TMP\\"; }
  std::string Journal() const { return Install() + "zum_3.0.7.1.txt"; }
  std::string Desktop() const { return Dos("home\\Desktop\\"); }

  // The installation without what the installer itself leaves or plants.
  zt::Tree Installation() const {
    zt::Tree tree = zt::Snapshot(dir.Host() + "ZUM", {true, true});
    for (auto it = tree.begin(); it != tree.end();) {
      const std::string& p = it->first;
      const bool own = p.rfind("zum_3.0.7.1.txt", 0) == 0 || p.rfind("ZUMUPDTA.TMP", 0) == 0 ||
                       p.rfind("Data", 0) == 0 || p.rfind("Doc/link.txt", 0) == 0;
      it = own ? tree.erase(it) : std::next(it);
    }
    return tree;
  }

  // Records of a journal, framed and sealed as the installer writes them.
  std::string Records(const std::vector<std::pair<int, std::string>>& records) const {
    std::string bytes;
    int ms = 0;
    for (const auto& [kind, text] : records) {
      os::LocalTime t{2026, 3, 7, 9, 5, 4, ms += 10};
      bytes += journal::FrameCommand(journal::MakeCommand(t, kind, text), bytes.size());
    }
    return bytes;
  }
  // A backup planted in the temporary folder, and its restore record text.
  std::string PlantedRestore(const std::string& target, const std::string& backupRel,
                             const std::string& bytes) {
    const std::string backup = Temp() + "BAK1\\" + backupRel;
    std::string made;
    MakeFolderPath(dos::FolderOf(backup), made);
    zt::WriteAll(backup, bytes);
    return journal::MakeRestoreText(target, backup, pkg::AddSum(bytes.data(), bytes.size()),
                                    static_cast<uint32_t>(bytes.size()));
  }

  zt::TempDir dir;
  zt::PackagePlan plan;
};

struct Case {
  const char* what;
  // Plants the links and files of the case and returns the journal's bytes ("" for
  // no journal: an ordinary run).
  std::function<std::string(Place&, const std::string& variant)> prepare;
};

}  // namespace

TEST(Canary, NoPreparedFolderOrForgedJournalChangesAnythingOutside) {
  zt::ScopedEnv configEnv("XDG_CONFIG_HOME", std::nullopt);
  const std::string zeros(20, '0');
  // Filled in per run: the canary folder of the run's place.
  std::string canary;
  auto start = [](Place& t, const std::string& variant) {
    return std::vector<std::pair<int, std::string>>{{journal::kCmdStart, journal::StartText()},
                                                    {journal::kCmdVariant, variant},
                                                    {journal::kCmdTempDir, t.Temp()}};
  };
  auto linkInInstall = [](Place& t, const char* name, const std::string& target) {
    ASSERT_EQ(symlink(target.c_str(), (t.Host("ZUM/") + name).c_str()), 0);
  };
  const Case cases[] = {
      {"a copy folder outside, declared and nothing else",
       [&](Place& t, const std::string& v) {
         auto r = start(t, v);
         r.push_back({journal::kCmdCopyDir, canary});
         return t.Records(r);
       }},
      {"removals and restores inside a declared copy folder",
       [&](Place& t, const std::string& v) {
         auto r = start(t, v);
         r.push_back({journal::kCmdCopyDir, canary});
         r.push_back({journal::kCmdDrop, "z<" + canary + "a.txt" + zeros});
         r.push_back({journal::kCmdRestore, t.PlantedRestore(canary + "sub\\b.txt", "sub\\b.txt", "forged")});
         r.push_back({journal::kCmdReadOnly, canary + "a.txt"});
         return t.Records(r);
       }},
      {"a forged ownership record without the mark",
       [&](Place& t, const std::string& v) {
         auto r = start(t, v);
         r.push_back({journal::kCmdCopyDir, canary});
         r.push_back({journal::kCmdOwner, journal::MakeOwnerText(canary, std::string(32, 'f'), true)});
         r.push_back({journal::kCmdDrop, "z<" + canary + "sub\\b.txt" + zeros});
         return t.Records(r);
       }},
      {"a planted desktop shortcut restored",
       [&](Place& t, const std::string& v) {
         auto r = start(t, v);
         r.push_back({journal::kCmdCopyDir, canary});
         r.push_back({journal::kCmdRestore, t.PlantedRestore(t.Desktop() + "ZUM5.LNK", "ZUM5.LNK", "planted")});
         return t.Records(r);
       }},
      {"the user's desktop shortcut removed",
       [&](Place& t, const std::string& v) {
         auto r = start(t, v);
         r.push_back({journal::kCmdCopyDir, canary});
         r.push_back({journal::kCmdDrop, "z<" + t.Desktop() + "ZUM5.LNK" + zeros});
         return t.Records(r);
       }},
      {"a removal through a linked subfolder",
       [&](Place& t, const std::string& v) {
         linkInInstall(t, "Data", t.Host("canary"));
         auto r = start(t, v);
         r.push_back({journal::kCmdDrop, "z<" + t.Install() + "Data\\a.txt" + zeros});
         r.push_back({journal::kCmdDrop, "z<" + t.Install() + "Data\\sub" + zeros});
         return t.Records(r);
       }},
      {"a restore through a linked subfolder",
       [&](Place& t, const std::string& v) {
         linkInInstall(t, "Data", t.Host("canary"));
         auto r = start(t, v);
         r.push_back({journal::kCmdRestore,
                      t.PlantedRestore(t.Install() + "Data\\sub\\b.txt", "Data\\sub\\b.txt", "forged")});
         return t.Records(r);
       }},
      {"a restore onto a link to a file",
       [&](Place& t, const std::string& v) {
         linkInInstall(t, "Doc/link.txt", t.Host("canary/a.txt"));
         auto r = start(t, v);
         r.push_back({journal::kCmdRestore,
                      t.PlantedRestore(t.Install() + "Doc\\link.txt", "Doc\\link.txt", "forged")});
         r.push_back({journal::kCmdReadOnly, t.Install() + "Doc\\link.txt"});
         return t.Records(r);
       }},
      {"the temporary folder a link",
       [&](Place& t, const std::string& v) {
         linkInInstall(t, "ZUMUPDTA.TMP", t.Host("canary"));
         auto r = start(t, v);
         r.push_back({journal::kCmdDrop, "z<" + t.Temp() + "sub" + zeros});
         return t.Records(r);
       }},
      {"not a journal at the journal's name",
       [&](Place&, const std::string&) { return std::string("a letter, not a journal\r\n"); }},
      {"the journal's name a link to a file outside",
       [&](Place& t, const std::string&) {
         linkInInstall(t, "zum_3.0.7.1.txt", t.Host("canary/a.txt"));
         return std::string();
       }},
      {"an ordinary run with the temporary folder a link",
       [&](Place& t, const std::string&) {
         linkInInstall(t, "ZUMUPDTA.TMP", t.Host("canary"));
         return std::string();
       }},
      {"an ordinary run writing through a linked folder",
       [&](Place& t, const std::string&) {
         fs::create_directories(t.Host("ZUM/Doc"));
         linkInInstall(t, cp1251::ToUtf8("Doc/Новое").c_str(), t.Host("canary"));
         return std::string();
       }},
  };

  int changed = 0, runs = 0;
  for (const Case& c : cases) {
    for (const std::string variant : {"0", "1"}) {
      SCOPED_TRACE(std::string(c.what) + ", variant " + variant);
      // A fresh installation, canary and desktop for each run.
      Place p;
      std::string error;
      ASSERT_TRUE(p.Make(error)) << error;
      zt::ScopedEnv homeEnv("HOME", p.Host("home"));
      canary = p.Dos("canary\\");
      const std::string journal = c.prepare(p, variant);
      if (!journal.empty()) {
        ASSERT_TRUE(zt::WriteAll(p.Journal(), journal));
      }
      const auto canaryBefore = Canary(p.Host("canary"));
      const auto desktopBefore = Canary(p.Host("home"));
      const zt::Tree before = p.Installation();

      ui::ScriptedToolkit tk;
      tk.answers = {true, false, false};  // 3001: roll back; 3003 / 3009: no
      const zt::TRun run = zt::RunInstaller(tk, p.Install() + "update.exe");
      ++runs;
      const bool same =
          Canary(p.Host("canary")) == canaryBefore && Canary(p.Host("home")) == desktopBefore;
      if (!same) ++changed;
      EXPECT_TRUE(same) << ::testing::PrintToString(run.lines);
      // The ordinary run with a linked temporary folder finishes its update (the
      // link removed, a folder of its own made); anything else leaves the
      // installation as it was.
      if (std::string(c.what) == "an ordinary run with the temporary folder a link") {
        EXPECT_TRUE(run.ok) << ::testing::PrintToString(run.lines);
        EXPECT_EQ(p.Installation().count(cp1251::ToUtf8("Doc/Новое/Описание.txt")), 1u);
      } else {
        EXPECT_EQ(zt::Diff(before, p.Installation()), "");
      }
    }
  }
  std::printf("canary-figure: %d canary changes over %d runs (%zu cases, in place and in copy mode)\n",
              changed, runs, std::size(cases));
  EXPECT_EQ(changed, 0);
}

#endif  // _WIN32
