// zumpack: makes update files of the product (an installer stub with a package
// appended) and lists, verifies and unpacks them.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include "platform/win32/handles.h"  // <windows.h> without the macros that rename os::
#else
#include <sys/stat.h>
#endif

#include "base/cp1251.h"
#include "pack/builder.h"
#include "platform/os.h"
#include "zumpack/reading.h"
#include "zumpack/output.h"
#include "../tools_hostpath.h"

namespace {

const char kMainHelp[] =
    "usage: zumpack COMMAND [OPTIONS]\n"
    "\n"
    "Makes and reads update files of the product: an installer stub (zumupd.exe,\n"
    "or zumupd on Linux) with an update package appended.\n"
    "\n"
    "commands:\n"
    "  build    make an update from old and new installation trees\n"
    "  list     print the catalogue of an update as the installer lists it\n"
    "  verify   check an update, optionally against an installation\n"
    "  extract  unpack the entries of an update into a folder\n"
    "  help     show the help of a command (zumpack help build)\n"
    "\n"
    "Every command takes --help. Exit status: 0 done, 1 failed or found problems,\n"
    "2 wrong command line.\n";

const char kBuildHelp[] =
    "usage: zumpack build --old DIR --new DIR --stub FILE -o FILE [OPTIONS]\n"
    "\n"
    "Compares the old installation tree with the new one and writes the installer\n"
    "stub with the update package appended. Files that did not change are left out;\n"
    "new files are shipped whole; changed files as differences, or whole where that\n"
    "is smaller; base files (Base\\...<digit>) are diffed in their plain form. The\n"
    "configuration file Cfg\\CFG.ZUM is never shipped: the installer stamps it.\n"
    "A changed plain file goes as an extended difference (EXTDIFF: copies with\n"
    "byte-wise differences) where that is smaller than every older form; the\n"
    "installer the package is appended to applies it.\n"
    "\n"
    "  --old DIR          an old installation; repeat it once per edition of the\n"
    "                     product (the edition is byte 120 of its Cfg\\CFG.ZUM)\n"
    "  --new DIR          the new installation; or one per --old, in the same order,\n"
    "                     when the editions' executables differ\n"
    "  --stub FILE        the installer to append the package to\n"
    "  -o, --output FILE  the update file to write (replaced when complete)\n"
    "  --from VERSION     the version the update applies to (default: the old\n"
    "                     trees' configured version)\n"
    "  --to VERSION       the version it makes (default: the new tree's)\n"
    "  --stamp N          a build stamp the update accepts; repeat for several\n"
    "                     (default: the link stamps of the old trees' Exe\\zum.exe)\n"
    "  --level N          LZMA compression level 0..9 (default 9); append 'e' for\n"
    "                     the extreme variant (9e)\n"
    "  --exe KIND         the product executable as: smaller (default: difference\n"
    "                     or whole build, whichever is smaller), diff, whole\n"
    "  --compatible       only the entry kinds installers knew before EXTDIFF\n"
    "  --no-section       no SECTION entry: backups go to the installer's BAK0\n"
    "  --block-before NAME  start a new data block (SECTION) before the entry NAME\n"
    "  --cut-stub         cut bytes that follow the stub's image (an old package)\n"
    "                     instead of refusing the stub\n"
    "  --index-memory MB  memory for the difference's suffix array (default 768);\n"
    "                     less memory sorts large files more sparsely. An old file\n"
    "                     of 32 MiB or more is matched through a block table first\n"
    "                     and only the old bytes it leaves are sorted\n"
    "  --json             print the result as JSON\n"
    "  -q, --quiet        no progress line\n";

const char kListHelp[] =
    "usage: zumpack list FILE [--json]\n"
    "\n"
    "Prints the catalogue of an update the way the installer lists it, with each\n"
    "entry's position, part record (sizes and checksums) and the package's header:\n"
    "versions, mode, temporary space, growth and build stamps.\n"
    "\n"
    "  --json       print the catalogue as JSON\n";

const char kVerifyHelp[] =
    "usage: zumpack verify FILE [--against DIR [--edition N]] [--json]\n"
    "\n"
    "Checks the trailer, the package checksum, the catalogue, every entry's name,\n"
    "checksum and part record, and unpacks every payload (differences are checked\n"
    "record by record). With --against, also runs every entry against an\n"
    "installation tree, as the installer would, without changing the tree: the\n"
    "version and build checks, the old files' checksums and the results'.\n"
    "\n"
    "  --against DIR   an installation tree to try the update on\n"
    "  --edition N     the edition to assume (default: the tree's own)\n"
    "  --json          print the findings as JSON\n"
    "  -q, --quiet     no progress line\n";

const char kExtractHelp[] =
    "usage: zumpack extract FILE -o DIR [--raw] [--json]\n"
    "\n"
    "Unpacks every entry into DIR as \"<block>.<number> <KIND>\\<name>\"; the\n"
    "differences as their BDT patches, with \".bdt\" added.\n"
    "\n"
    "  -o, --output DIR  the folder to write to (made when missing)\n"
    "  --raw             also write each payload as stored (\".lzma86\" added)\n"
    "  --json            print the files written as JSON\n"
    "  -q, --quiet       no progress line\n";

enum Exit { kOk = 0, kFailed = 1, kUsage = 2 };

std::string Console(const std::string& cp1251) { return tools::ToConsole(cp1251); }

// A CP1251 text padded to `width` characters, for the terminal.
std::string Padded(const std::string& cp1251, size_t width) {
  return Console(cp1251.size() < width ? cp1251 + std::string(width - cp1251.size(), ' ') : cp1251);
}

int Usage(const char* command, const std::string& message) {
  std::fprintf(stderr, "zumpack%s%s: %s\n", command ? " " : "", command ? command : "",
               Console(message).c_str());
  std::fprintf(stderr, "try 'zumpack %s%s--help'\n", command ? command : "", command ? " " : "");
  return kUsage;
}

int Failed(const char* command, const std::string& message) {
  std::fprintf(stderr, "zumpack %s: %s\n", command, Console(message).c_str());
  return kFailed;
}

std::string Hex(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08X", v);
  return b;
}

bool ParseU32(const std::string& text, uint32_t& out) {
  if (text.empty() || text[0] == '-') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || errno != 0 || v > 0xFFFFFFFFull) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

// The command line of one command: options with and without values, and the
// remaining arguments.
class Args {
 public:
  Args(int argc, char** argv, int from) {
    for (int i = from; i < argc; ++i) list_.emplace_back(argv[i]);
  }
  // Takes the next argument. Returns false at the end.
  bool Next(std::string& arg) {
    if (pos_ >= list_.size()) return false;
    arg = list_[pos_++];
    return true;
  }
  bool Value(std::string& value) {
    if (pos_ >= list_.size()) return false;
    value = list_[pos_++];
    return true;
  }

 private:
  std::vector<std::string> list_;
  size_t pos_ = 0;
};

bool DosPath(const std::string& arg, std::string& dos, std::string& error) {
  return tools::ToDosPath(arg, dos, error);
}

// ---- build ------------------------------------------------------------------------------

void PrintEntryLine(const pkg::TPlannedEntry& e, size_t i) {
  if (e.Kind == pkg::kSection) {
    std::printf("  %2zu  SECTION\n", i);
    return;
  }
  std::printf("  %2zu  %-7s %s %10u -> %10u  payload %10llu", i, zumpack::KindName(e.Kind).c_str(),
              Padded(e.Name, 40).c_str(), e.Record.OldSize, e.Record.NewSize,
              static_cast<unsigned long long>(e.PayloadSize));
  if (e.Kind == pkg::kAddRepM) std::printf("  variant %u", e.Record.DiffSum);
  std::printf("  (%s", Console(e.Why).c_str());
  if (e.WholeSize && e.Kind != pkg::kAddRepl && e.Kind != pkg::kAddRepM)
    std::printf("; whole %s%llu", e.WholeCut ? "over " : "",
                static_cast<unsigned long long>(e.WholeSize));
  std::printf(")\n");
}

int Build(Args& args) {
  const char* cmd = "build";
  pkg::TBuildOptions o;
  std::string out, error, stubArg, outArg;
  bool json = false, quiet = false;
  std::string arg, value;
  while (args.Next(arg)) {
    auto need = [&](const char* what) {
      if (args.Value(value)) return true;
      Usage(cmd, arg + " needs " + what);
      return false;
    };
    std::string dos;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kBuildHelp, stdout);
      return kOk;
    } else if (arg == "--old" || arg == "--new") {
      if (!need("a folder")) return kUsage;
      if (!DosPath(value, dos, error)) return Usage(cmd, error);
      (arg == "--old" ? o.OldDirs : o.NewDirs).push_back(dos);
    } else if (arg == "--stub") {
      if (!need("a file")) return kUsage;
      if (!DosPath(value, o.StubPath, error)) return Usage(cmd, error);
      stubArg = value;
    } else if (arg == "-o" || arg == "--output") {
      if (!need("a file")) return kUsage;
      if (!DosPath(value, out, error)) return Usage(cmd, error);
      outArg = value;
    } else if (arg == "--from" || arg == "--to") {
      if (!need("a version")) return kUsage;
      (arg == "--from" ? o.VerFrom : o.VerTo) = tools::FromConsole(value);
    } else if (arg == "--stamp") {
      if (!need("a number")) return kUsage;
      uint32_t stamp = 0;
      if (!ParseU32(value, stamp)) return Usage(cmd, "--stamp needs a 32-bit number, not " + value);
      o.Stamps.push_back(stamp);
    } else if (arg == "--level") {
      if (!need("0..9")) return kUsage;
      std::string level = value;
      if (!level.empty() && level.back() == 'e') {
        o.Extreme = true;
        level.pop_back();
      }
      if (level.size() != 1 || level[0] < '0' || level[0] > '9')
        return Usage(cmd, "--level must be 0 to 9, optionally with 'e'");
      o.Level = static_cast<uint32_t>(level[0] - '0');
    } else if (arg == "--exe") {
      if (!need("smaller, diff or whole")) return kUsage;
      if (value == "smaller") o.Exe = pkg::ExeChoice::Smaller;
      else if (value == "diff") o.Exe = pkg::ExeChoice::Diff;
      else if (value == "whole") o.Exe = pkg::ExeChoice::Whole;
      else return Usage(cmd, "--exe must be smaller, diff or whole");
    } else if (arg == "--compatible") {
      o.Compatible = true;
    } else if (arg == "--no-section") {
      o.Sections = false;
    } else if (arg == "--block-before") {
      if (!need("an entry name")) return kUsage;
      std::string name = tools::FromConsole(value);
      for (char& c : name)
        if (c == '/') c = '\\';
      o.BlockBefore.push_back(name);
    } else if (arg == "--cut-stub") {
      o.CutStub = true;
    } else if (arg == "--index-memory") {
      uint32_t mb = 0;
      if (!need("megabytes")) return kUsage;
      if (!ParseU32(value, mb) || mb < 16 || mb > 65536)
        return Usage(cmd, "--index-memory must be 16 to 65536 (MB)");
      o.IndexBudget = static_cast<uint64_t>(mb) << 20;
    } else if (arg == "--json") {
      json = true;
    } else if (arg == "-q" || arg == "--quiet") {
      quiet = true;
    } else {
      return Usage(cmd, "unknown argument " + arg);
    }
  }
  if (o.OldDirs.empty()) return Usage(cmd, "--old is missing");
  if (o.NewDirs.empty()) return Usage(cmd, "--new is missing");
  if (o.StubPath.empty()) return Usage(cmd, "--stub is missing");
  if (out.empty()) return Usage(cmd, "-o is missing");

  zumpack::TProgressLine bar(!quiet);
  o.Progress = [&](const std::string& step, uint64_t done, uint64_t total) {
    bar.Show(step, done, total);
  };
  pkg::TBuildResult r;
  const bool ok = pkg::BuildPackage(o, out, r, error);
  bar.Clear();
  if (!ok) return Failed(cmd, error);
#ifndef _WIN32
  // The update is a program as its stub is: it keeps the stub's permissions.
  struct stat st;
  if (stat(stubArg.c_str(), &st) == 0) chmod(outArg.c_str(), st.st_mode & 07777);
#endif

  if (json) {
    zumpack::TJson j;
    j.BeginObject().Field("output", out).Field("size", r.PackageSize).Field("stub", r.StubSize);
    j.Field("verFrom", r.VerFrom).Field("verTo", r.VerTo).Field("tmpSpaceNeed", r.TmpSpaceNeed);
    j.Field("growth", r.Growth).Key("stamps").BeginArray();
    for (uint32_t s : r.Stamps) j.Number(s);
    j.EndArray().Key("entries").BeginArray();
    for (const pkg::TPlannedEntry& e : r.Entries) {
      j.BeginObject().Field("kind", zumpack::KindName(e.Kind));
      if (e.Kind != pkg::kSection) {
        j.Field("name", e.Name).Field("oldSize", e.Record.OldSize).Field("newSize", e.Record.NewSize);
        j.Field("entryLen", e.Record.EntryLen).Field("payload", e.PayloadSize);
        if (e.WholeSize) j.Field(e.WholeCut ? "wholeOver" : "whole", e.WholeSize);
        if (e.Kind == pkg::kAddRepM) j.Field("variant", e.Record.DiffSum);
        if (e.Edition >= 0) j.Field("edition", e.Edition);
        j.Field("why", e.Why);
      }
      j.EndObject();
    }
    j.EndArray().Key("unchanged").BeginArray();
    for (const std::string& n : r.Unchanged) j.String(n);
    j.EndArray().Key("notes").BeginArray();
    for (const std::string& n : r.Notes) j.String(n);
    j.EndArray().EndObject();
    std::printf("%s\n", j.Text().c_str());
    return kOk;
  }
  std::printf("%s: %llu bytes (stub %u), update %s -> %s\n", Console(out).c_str(),
              static_cast<unsigned long long>(r.PackageSize), r.StubSize, Console(r.VerFrom).c_str(),
              Console(r.VerTo).c_str());
  for (size_t i = 0; i < r.Entries.size(); ++i) PrintEntryLine(r.Entries[i], i);
  std::printf("  left out, unchanged: %zu files\n", r.Unchanged.size());
  std::printf("  temporary space %u bytes, growth %u bytes, build stamps", r.TmpSpaceNeed, r.Growth);
  for (uint32_t s : r.Stamps) std::printf(" %s", Hex(s).c_str());
  std::printf("\n");
  for (const std::string& n : r.Notes) std::fprintf(stderr, "note: %s\n", Console(n).c_str());
  return kOk;
}

// ---- list, verify, extract --------------------------------------------------------------

void JsonHeader(zumpack::TJson& j, const zumpack::TPackageInfo& p) {
  j.Field("fileSize", p.FileSize).Field("realLength", p.RealLength);
  j.Field("trailerOk", p.TrailerOk).Field("checksumOk", p.ChecksumOk);
  j.Field("storedChecksum", p.StoredSum).Field("catalogueOk", p.CatalogueOk);
  if (!p.Problem.empty()) j.Field("problem", p.Problem);
  j.Field("verFrom", p.VerFrom).Field("verTo", p.VerTo).Field("correction", p.IsCorrection);
  j.Field("title", p.Title).Field("partCount", p.Header.PartCount);
  j.Field("tmpSpaceNeed", p.Header.TmpSpaceNeed).Field("growth", p.Header.Growth);
  j.Key("stamps").BeginArray();
  for (uint32_t s : p.Stamps) j.Number(s);
  j.EndArray();
}

void JsonEntry(zumpack::TJson& j, const zumpack::TEntryInfo& e) {
  j.BeginObject().Field("listing", e.Listing).Field("pos", e.Pos).Field("kind", zumpack::KindName(e.Kind));
  j.Field("block", e.Block);
  if (e.Kind != pkg::kSection) j.Field("name", e.Name).Field("number", e.Number);
  const pkg::TPartRecord& r = e;
  j.Field("oldSize", r.OldSize).Field("oldSum", r.OldSum).Field("prepSize", r.PrepSize);
  j.Field("prepSum", r.PrepSum).Field("diffSize", r.DiffSize).Field("diffSum", r.DiffSum);
  j.Field("midSize", r.MidSize).Field("midSum", r.MidSum).Field("newSize", r.NewSize);
  j.Field("newSum", r.NewSum).Field("entryLen", r.EntryLen).Field("entrySum", r.EntrySum);
  j.EndObject();
}

void PrintHeader(const zumpack::TPackageInfo& p) {
  std::printf("%s\n", Console(p.Title).c_str());
  std::printf("  %s package, %s -> %s\n", p.IsCorrection ? "correction" : "update",
              Console(p.VerFrom).c_str(), Console(p.VerTo).c_str());
  std::printf("  file %llu bytes, real length %u, package checksum %s (%s)\n",
              static_cast<unsigned long long>(p.FileSize), p.RealLength, Hex(p.StoredSum).c_str(),
              p.ChecksumOk ? "ok" : "WRONG");
  std::printf("  entries %u, temporary space %u, growth %u (the installer asks for %u)\n",
              p.Header.PartCount, p.Header.TmpSpaceNeed, p.Header.Growth,
              p.Header.Growth + 0xFFFFu);
  std::printf("  build stamps:");
  for (uint32_t s : p.Stamps) std::printf(" %s", Hex(s).c_str());
  std::printf("%s\n", p.Stamps.empty() ? " none (no installation is accepted)" : "");
}

bool OpenPackage(const char* cmd, Args& args, const char* help, std::string& path,
                 std::string& outDir, std::string& against, int& edition, bool& json,
                 bool& quiet, bool& raw, int& status) {
  std::string arg, value, error;
  status = kOk;
  while (args.Next(arg)) {
    if (arg == "--help" || arg == "-h") {
      std::fputs(help, stdout);
      return false;
    } else if (arg == "--json") {
      json = true;
    } else if (arg == "-q" || arg == "--quiet") {
      quiet = true;
    } else if ((arg == "-o" || arg == "--output") && std::strcmp(cmd, "extract") == 0) {
      if (!args.Value(value)) return (status = Usage(cmd, arg + " needs a folder")), false;
      if (!DosPath(value, outDir, error)) return (status = Usage(cmd, error)), false;
    } else if (arg == "--raw" && std::strcmp(cmd, "extract") == 0) {
      raw = true;
    } else if (arg == "--against" && std::strcmp(cmd, "verify") == 0) {
      if (!args.Value(value)) return (status = Usage(cmd, "--against needs a folder")), false;
      if (!DosPath(value, against, error)) return (status = Usage(cmd, error)), false;
    } else if (arg == "--edition" && std::strcmp(cmd, "verify") == 0) {
      uint32_t e = 0;
      if (!args.Value(value) || !ParseU32(value, e) || e > 255)
        return (status = Usage(cmd, "--edition needs a number 0..255")), false;
      edition = static_cast<int>(e);
    } else if (!arg.empty() && arg[0] == '-') {
      return (status = Usage(cmd, "unknown option " + arg)), false;
    } else if (path.empty()) {
      if (!DosPath(arg, path, error)) return (status = Usage(cmd, error)), false;
    } else {
      return (status = Usage(cmd, "only one file may be given")), false;
    }
  }
  if (path.empty()) return (status = Usage(cmd, "no update file given")), false;
  if (std::strcmp(cmd, "extract") == 0 && outDir.empty())
    return (status = Usage(cmd, "-o is missing")), false;
  if (edition >= 0 && against.empty())
    return (status = Usage(cmd, "--edition goes with --against")), false;
  return true;
}

void PrintFindings(const zumpack::TPackageInfo& p, const zumpack::TVerifyResult& r) {
  for (const zumpack::TFinding& f : r.Findings) {
    const std::string where =
        f.Entry < 0 ? std::string("package")
                    : p.Entries[static_cast<size_t>(f.Entry)].Listing;
    std::printf("  %s: %s: %s\n", f.Error ? "ERROR" : "warning", Console(where).c_str(),
                Console(f.Text).c_str());
  }
}

void JsonFindings(zumpack::TJson& j, const zumpack::TVerifyResult& r) {
  j.Key("findings").BeginArray();
  for (const zumpack::TFinding& f : r.Findings) {
    j.BeginObject().Field("entry", f.Entry).Field("error", f.Error).Field("text", f.Text).EndObject();
  }
  j.EndArray();
}

int Inspect(const char* cmd, const char* help, Args& args) {
  std::string path, outDir, against, error;
  int edition = -1, status = kOk;
  bool json = false, quiet = false, raw = false;
  if (!OpenPackage(cmd, args, help, path, outDir, against, edition, json, quiet, raw, status))
    return status;

  zumpack::TProgressLine bar(!quiet && std::strcmp(cmd, "list") != 0);
  const zumpack::ProgressFn progress = [&](const std::string& step, uint64_t done, uint64_t total) {
    bar.Show(step, done, total);
  };
  zumpack::TPackageInfo p;
  if (!zumpack::ReadPackageFile(path, p, error, progress)) {
    bar.Clear();
    return Failed(cmd, error);
  }
  // A file with nothing after an executable image, or whose last bytes do not
  // state its length, is not an update at all (an unstripped program ends in its
  // symbol table): say so rather than list or check a catalogue read from noise.
  if (p.RealLength == 0 || p.RealLength >= p.FileSize) {
    bar.Clear();
    return Failed(cmd, path + " is not an update file: " + p.Problem);
  }
  if (!p.TrailerOk) {
    bar.Clear();
    return Failed(cmd, path + " is not an update file: its last 8 bytes do not hold its length (" +
                           std::to_string(p.StoredLength) + " stored, the file has " +
                           std::to_string(p.FileSize) + " bytes)");
  }

  if (std::strcmp(cmd, "list") == 0) {
    if (json) {
      zumpack::TJson j;
      j.BeginObject();
      JsonHeader(j, p);
      j.Key("entries").BeginArray();
      for (const zumpack::TEntryInfo& e : p.Entries) JsonEntry(j, e);
      j.EndArray().EndObject();
      std::printf("%s\n", j.Text().c_str());
    } else {
      PrintHeader(p);
      std::printf("  %-40s %10s %10s %10s %10s %10s %10s\n", "entry", "pos", "old size", "old sum",
                  "new size", "new sum", "length");
      for (const zumpack::TEntryInfo& e : p.Entries) {
        std::printf("  %s %10u %10u %10s %10u %10s %10u\n", Padded(e.Listing, 40).c_str(), e.Pos,
                    e.OldSize, Hex(e.OldSum).c_str(), e.NewSize, Hex(e.NewSum).c_str(), e.EntryLen);
        if (pkg::IsDifferenceKind(e.Kind) || e.Kind == pkg::kAddRepM)
          std::printf("  %-40s %10s prep %u %s, diff %u %s, mid %u %s\n", "", "", e.PrepSize,
                      Hex(e.PrepSum).c_str(), e.DiffSize, Hex(e.DiffSum).c_str(), e.MidSize,
                      Hex(e.MidSum).c_str());
      }
      if (!p.CatalogueOk) std::printf("  catalogue incomplete: %s\n", Console(p.Problem).c_str());
    }
    return p.CatalogueOk && p.ChecksumOk ? kOk : kFailed;
  }

  zumpack::TVerifyResult r;
  if (std::strcmp(cmd, "verify") == 0) {
    zumpack::VerifyPackage(path, p, r, progress);
    zumpack::TDryRun run;
    if (!against.empty()) {
      // Files an entry changes and a later one reads again are kept beside the
      // update file while the dry run needs them.
      const std::string work = path + ".verify.tmp";
      zumpack::DryRun(path, p, against, work, edition, run, r, progress);
    }
    bar.Clear();
    if (json) {
      zumpack::TJson j;
      j.BeginObject().Field("ok", r.Ok());
      JsonHeader(j, p);
      if (!against.empty()) {
        j.Key("against").BeginObject().Field("tree", against).Field("edition", run.Edition);
        j.Field("applied", run.Applied).Field("skipped", run.Skipped);
        j.Field("tempPeak", run.TempPeak).Field("growth", run.Growth).EndObject();
      }
      JsonFindings(j, r);
      j.EndObject();
      std::printf("%s\n", j.Text().c_str());
    } else {
      PrintHeader(p);
      if (!against.empty())
        std::printf("  against %s (edition %d): %d entries applied, %d passed over; temporary "
                    "space %llu, growth %lld\n",
                    Console(against).c_str(), run.Edition, run.Applied, run.Skipped,
                    static_cast<unsigned long long>(run.TempPeak), static_cast<long long>(run.Growth));
      PrintFindings(p, r);
      std::printf("%s\n", r.Ok() ? "verified: no errors" : "FAILED");
    }
    return r.Ok() ? kOk : kFailed;
  }

  std::vector<std::string> written;
  const bool done = zumpack::ExtractPackage(path, p, outDir, raw, written, r, progress);
  bar.Clear();
  if (json) {
    zumpack::TJson j;
    j.BeginObject().Field("ok", done && r.Ok()).Field("folder", outDir).Key("files").BeginArray();
    for (const std::string& w : written) j.String(w);
    j.EndArray();
    JsonFindings(j, r);
    j.EndObject();
    std::printf("%s\n", j.Text().c_str());
  } else {
    for (const std::string& w : written) std::printf("  %s\n", Console(w).c_str());
    PrintFindings(p, r);
    std::printf("%zu files written to %s\n", written.size(), Console(outDir).c_str());
  }
  return done && r.Ok() ? kOk : kFailed;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // Texts go out as CP1251; a console shows them as such whatever its own code page.
  SetConsoleOutputCP(1251);
#endif
  if (argc < 2) {
    std::fputs(kMainHelp, stderr);
    return kUsage;
  }
  const std::string command = argv[1];
  Args args(argc, argv, 2);
  if (command == "--help" || command == "-h") {
    std::fputs(kMainHelp, stdout);
    return kOk;
  }
  if (command == "help") {
    const std::string topic = argc > 2 ? argv[2] : "";
    const char* text = topic == "build"     ? kBuildHelp
                       : topic == "list"    ? kListHelp
                       : topic == "verify"  ? kVerifyHelp
                       : topic == "extract" ? kExtractHelp
                       : topic.empty()      ? kMainHelp
                                            : nullptr;
    if (!text) return Usage(nullptr, "no command " + topic);
    std::fputs(text, stdout);
    return kOk;
  }
  try {
    if (command == "build") return Build(args);
    if (command == "list") return Inspect("list", kListHelp, args);
    if (command == "verify") return Inspect("verify", kVerifyHelp, args);
    if (command == "extract") return Inspect("extract", kExtractHelp, args);
  } catch (const std::exception& e) {
    return Failed(command.c_str(), e.what());
  }
  return Usage(nullptr, "unknown command " + command);
}
