#include "pack/builder.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <set>

#include "format/basefile.h"
#include "format/bdx_patch.h"
#include "pack/bdt_diff.h"
#include "pack/bdx_writer.h"
#include "pack/bdt_writer.h"
#include "pack/payload_encode.h"
#include "format/stamp.h"
#include "base/cp1251.h"
#include "format/checksum.h"
#include "format/entry_name.h"
#include "format/image.h"
#include "pack/file_bytes.h"
#include "pack/package_writer.h"
#include "pack/rebuild_check.h"
#include "platform/os.h"
#include "product/product.h"
#include "base/dos_path.h"

namespace pkg {

namespace {

constexpr uint64_t k4GiB = 0x100000000ull;
constexpr uint64_t kCluster = 4096;

std::string Key(const std::string& name) { return cp1251::Upper(name); }

std::string ExeName() { return std::string(product::kExeDirName) + "\\" + product::kExeFileName; }
bool IsExe(const std::string& name) { return cp1251::EqualNoCase(name, ExeName()); }
bool IsConfig(const std::string& name) { return cp1251::EqualNoCase(name, product::kConfigFile); }

// A base file: under Base, its name ending in a digit.
bool IsBaseName(const std::string& name) {
  return name.size() > 5 && cp1251::EqualNoCase(name.substr(0, 5), "Base\\") &&
         name.back() >= '0' && name.back() <= '9';
}

uint64_t Clusters(uint64_t size) { return (size + kCluster - 1) / kCluster * kCluster; }

bool ScanInto(const std::string& root, const std::string& rel, TTree& tree, std::string& error) {
  std::vector<os::FindEntry> found;
  const std::string dir = root + rel;
  if (!os::FindFiles(dir + "*", os::kAttrAny, found)) {
    error = "cannot list " + dir + ": " + os::LastErrorText();
    return false;
  }
  if (found.empty() && !rel.empty()) tree.EmptyDirs.push_back(rel.substr(0, rel.size() - 1));
  for (const os::FindEntry& e : found) {
    if (e.attr & os::kAttrDirectory) {
      if (!ScanInto(root, rel + e.name + "\\", tree, error)) return false;
    } else {
      tree.Files.push_back({rel + e.name, e.size});
    }
  }
  return true;
}

// Reads the version text and the edition byte of a tree's configuration file.
bool ReadConfig(const std::string& dir, std::string& version, int& edition, uint64_t& size,
                std::string& error) {
  std::vector<uint8_t> cfg;
  const std::string path = dir + product::kConfigFile;
  if (!ReadWholeFile(path, cfg, error)) return false;
  size = cfg.size();
  if (cfg.size() <= product::kConfigEditionOffset) {
    error = path + " is too short to be the product's configuration (" +
            std::to_string(cfg.size()) + " bytes)";
    return false;
  }
  const char* text = reinterpret_cast<const char*>(cfg.data()) + product::kConfigVersionOffset;
  version.assign(text, strnlen(text, product::kConfigVersionField));
  edition = cfg[product::kConfigEditionOffset];
  return true;
}

bool FilesEqual(const std::string& a, const std::string& b, bool& equal, std::string& error) {
  os::File fa, fb;
  uint64_t sa = 0, sb = 0;
  if (!fa.Open(a, os::kRead, os::kShareRead, os::Disposition::OpenExisting) || !fa.Size(sa) ||
      !fb.Open(b, os::kRead, os::kShareRead, os::Disposition::OpenExisting) || !fb.Size(sb)) {
    error = "cannot read " + os::LastErrorText();
    return false;
  }
  equal = sa == sb;
  std::vector<uint8_t> ba(1 << 20), bb(1 << 20);
  for (uint64_t left = sa; equal && left > 0;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, ba.size()));
    if (!fa.ReadExact(ba.data(), n) || !fb.ReadExact(bb.data(), n)) {
      error = "cannot read " + os::LastErrorText();
      return false;
    }
    equal = std::memcmp(ba.data(), bb.data(), n) == 0;
    left -= n;
  }
  return true;
}

// One file of the trees: where it is in each tree.
struct TFileSet {
  std::string Name;                         // as the (first) new tree spells it
  std::vector<const TTreeFile*> Old;        // per old tree, null when absent
  std::vector<const TTreeFile*> New;        // per new tree
};

class Planner {
 public:
  Planner(const TBuildOptions& o, TBuildResult& r, std::string& e)
      : opt_(o), res_(r), error_(e) {}
  bool Run();

 private:
  void Report(const std::string& step, uint64_t done, uint64_t total) {
    if (opt_.Progress) opt_.Progress(fileTag_ + step, done, total);
  }
  // With `source`, the encoder's input: its pages are let go of as the encoder
  // takes them in (it keeps what it still needs in its own window).
  payload::EncodeOptions Encoding(const std::string& step, uint32_t preset,
                                  TFileBytes* source = nullptr) {
    payload::EncodeOptions e;
    e.preset = preset;
    e.extreme = preset == opt_.Level && opt_.Extreme;
    e.progress = [this, step, source](uint64_t done, uint64_t total) {
      Report(step, done, total);
      if (source) source->Release(0, done);
    };
    return e;
  }
  bool Encode(TFileBytes& data, const std::string& step, uint32_t preset,
              std::vector<uint8_t>& out) {
    try {
      return payload::EncodePayload(data.Bytes(), Encoding(step, preset, &data), out, error_);
    } catch (const std::bad_alloc&) {
      error_ = "not enough memory to compress " + step;
      return false;
    }
  }
  bool Fail(const std::string& text) {
    error_ = text;
    return false;
  }

  bool ScanTrees();
  bool ReadVersions();
  bool ReadStamps();
  bool MatchFiles();
  bool PlanFile(const TFileSet& f);
  bool PlanExecutable(const TFileSet& f);
  // The difference of `oldBytes` and `newBytes` (both plain), its payload and
  // the check that it rebuilds the new bytes.
  // `openNew` opens the new file once the old one is indexed.
  bool MakeDifference(const std::string& name, TFileBytes& oldFile, TFileBytes& newFile,
                      const std::function<bool(TFileBytes&)>& openNew,
                      std::vector<uint8_t>& patchPayload, uint32_t& diffSize, uint32_t& diffSum,
                      std::vector<uint8_t>* extended = nullptr);
  // Whether the extended difference `extended` makes a payload smaller than
  // `payload`: then `payload` and the sizes are replaced and `smaller` set.
  bool TryExtended(const std::string& name, TFileBytes& oldFile, TFileBytes& newFile,
                   std::span<const uint8_t> extended, std::vector<uint8_t>& payload,
                   uint32_t& diffSize, uint32_t& diffSum, bool& smaller);
  // Whether the whole file compresses smaller than `diffPayload`. `whole` gets
  // the payload when it was compressed whole at the full level; when that encoder
  // gave up (`cut`), only the bytes it wrote, a lower bound of the size.
  bool WholeIsSmaller(const std::string& name, TFileBytes& bytes,
                      size_t diffPayload, std::vector<uint8_t>& whole, bool& smaller,
                      bool& cut);
  // `payload` empty: compressed here. The checksum is `sum` when known.
  bool AddWhole(uint8_t kind, const std::string& name, TFileBytes& bytes,
                std::vector<uint8_t> payload, uint32_t variant, int edition,
                const std::string& why);
  bool Arrange();
  bool Measure();

  const TBuildOptions& opt_;
  TBuildResult& res_;
  std::string& error_;
  std::vector<TTree> old_, new_;
  std::vector<int> editions_;             // per old tree
  std::vector<uint64_t> configSizes_;     // per old tree
  std::vector<TFileSet> files_;
  std::vector<TPlannedEntry> planned_;    // file entries, in package order
  std::string journalName_;
  std::string fileTag_;  // "3/24 ": the file being worked on, for the progress
};

bool Planner::ScanTrees() {
  if (opt_.OldDirs.empty()) return Fail("no old tree given");
  if (opt_.NewDirs.empty()) return Fail("no new tree given");
  if (opt_.NewDirs.size() != 1 && opt_.NewDirs.size() != opt_.OldDirs.size())
    return Fail("give one new tree, or one per old tree (" + std::to_string(opt_.OldDirs.size()) +
                ")");
  if (opt_.Level > 9) return Fail("the compression level must be 0 to 9");
  auto scan = [&](const std::vector<std::string>& dirs, std::vector<TTree>& trees) {
    for (const std::string& d : dirs) {
      Report("reading " + d, 0, 0);
      TTree t;
      if (!ScanTree(d, t, error_)) return false;
      trees.push_back(std::move(t));
    }
    return true;
  };
  return scan(opt_.OldDirs, old_) && scan(opt_.NewDirs, new_);
}

bool Planner::ReadVersions() {
  std::vector<std::string> versions;
  for (size_t t = 0; t < old_.size(); ++t) {
    std::string version;
    int edition = 0;
    uint64_t size = 0;
    if (!ReadConfig(old_[t].Dir, version, edition, size, error_))
      return Fail("old tree " + old_[t].Dir + ": " + error_);
    for (size_t u = 0; u < t; ++u)
      if (editions_[u] == edition)
        return Fail("the old trees " + old_[u].Dir + " and " + old_[t].Dir +
                    " are both of edition " + std::to_string(edition) +
                    "; give one old tree per edition");
    editions_.push_back(edition);
    configSizes_.push_back(size);
    versions.push_back(version);
  }
  res_.VerFrom = opt_.VerFrom.empty() ? versions[0] : opt_.VerFrom;
  if (!IsVersionText(res_.VerFrom))
    return Fail("the source version \"" + res_.VerFrom + "\" is not dot-separated numbers of at most " +
                std::to_string(product::kConfigVersionField - 1) + " characters");
  // The installer compares the first three components of the installed version
  // with those of VerFrom: an old tree it would refuse cannot be the source.
  for (size_t t = 0; t < old_.size(); ++t)
    if (CutVersion3(versions[t]) != CutVersion3(res_.VerFrom))
      return Fail("the old tree " + old_[t].Dir + " holds version " + versions[t] +
                  ", which a package from " + res_.VerFrom + " does not accept");

  if (opt_.VerTo.empty()) {
    std::string version;
    int edition;
    uint64_t size;
    if (!ReadConfig(new_[0].Dir, version, edition, size, error_))
      return Fail("new tree " + new_[0].Dir + ": " + error_ + " (or give the target version)");
    if (version == res_.VerFrom)
      return Fail("the new tree holds the same version " + version +
                  " as the old one; give the target version");
    res_.VerTo = version;
  } else {
    res_.VerTo = opt_.VerTo;
  }
  if (!IsVersionText(res_.VerTo) || !VersionFitsConfig(res_.VerTo))
    return Fail("the target version \"" + res_.VerTo +
                "\" is not dot-separated numbers that fit the configuration's version field (" +
                std::to_string(product::kConfigVersionField - 1) + " characters)");
  journalName_ = "zum_" + res_.VerTo + ".txt";
  return true;
}

bool Planner::ReadStamps() {
  if (!opt_.Stamps.empty()) {
    res_.Stamps = opt_.Stamps;
    return true;
  }
  for (const TTree& t : old_) {
    std::vector<uint8_t> exe;
    const std::string path = t.Dir + ExeName();
    if (!ReadWholeFile(path, exe, error_)) return Fail("old tree " + t.Dir + ": " + error_);
    TSpanSource src(exe);
    uint32_t stamp = 0;
    if (!PeLinkStamp(src, 0, stamp))
      return Fail(path + " is not a PE file, so its build stamp cannot be read; give the stamps");
    if (std::find(res_.Stamps.begin(), res_.Stamps.end(), stamp) == res_.Stamps.end())
      res_.Stamps.push_back(stamp);
  }
  return true;
}

bool Planner::MatchFiles() {
  std::map<std::string, TFileSet> byKey;
  // Names are compared without regard to letter case, as the installer finds them;
  // two that differ only in case cannot both be installed.
  auto twice = [&](const TTree& t, const TTreeFile* a, const TTreeFile& b) {
    return Fail(t.Dir + " holds both " + a->Name + " and " + b.Name +
                ", which differ only in letter case");
  };
  for (size_t t = 0; t < new_.size(); ++t) {
    for (const TTreeFile& f : new_[t].Files) {
      TFileSet& s = byKey[Key(f.Name)];
      if (s.Name.empty()) s.Name = f.Name;
      s.New.resize(new_.size(), nullptr);
      if (s.New[t]) return twice(new_[t], s.New[t], f);
      s.New[t] = &f;
    }
  }
  for (size_t t = 0; t < old_.size(); ++t) {
    for (const TTreeFile& f : old_[t].Files) {
      auto it = byKey.find(Key(f.Name));
      if (it == byKey.end()) {
        if (t == 0 && !IsConfig(f.Name))
          res_.Notes.push_back(f.Name + ": not in the new tree; an update cannot remove files, it stays");
        continue;
      }
      it->second.Old.resize(old_.size(), nullptr);
      if (it->second.Old[t]) return twice(old_[t], it->second.Old[t], f);
      it->second.Old[t] = &f;
    }
  }
  for (const TTree& t : new_) {
    for (const std::string& d : t.EmptyDirs) {
      bool known = false;
      for (const TTree& o : old_)
        for (const std::string& od : o.EmptyDirs) known = known || cp1251::EqualNoCase(d, od);
      if (!known && t.Dir == new_[0].Dir)
        res_.Notes.push_back(d + ": an empty folder; an update cannot create folders without files");
    }
  }
  for (auto& [key, s] : byKey) {
    s.Old.resize(old_.size(), nullptr);
    s.New.resize(new_.size(), nullptr);
    if (IsConfig(s.Name)) {
      res_.Notes.push_back(s.Name +
                           ": not shipped; the installer writes the new version into the installed one");
      continue;
    }
    const std::string why = CheckEntryName(s.Name, journalName_);
    if (!why.empty()) return Fail("the new tree's file \"" + s.Name + "\" cannot be an entry: " + why);
    for (size_t t = 0; t < new_.size(); ++t) {
      if (!s.New[t])
        return Fail(s.Name + " is missing from the new tree " + new_[t].Dir +
                    "; the new trees may differ only in the product executable");
      if (s.New[t]->Size >= k4GiB) return Fail(s.Name + " is 4 GiB or larger");
    }
    for (const TTreeFile* f : s.Old)
      if (f && f->Size >= k4GiB) return Fail(s.Name + " in an old tree is 4 GiB or larger");
    if (!IsExe(s.Name)) {
      for (size_t t = 1; t < new_.size(); ++t) {
        bool equal = false;
        if (!FilesEqual(new_[0].Dir + s.Name, new_[t].Dir + s.Name, equal, error_)) return false;
        if (!equal)
          return Fail(s.Name + " differs between the new trees " + new_[0].Dir + " and " +
                      new_[t].Dir + "; they may differ only in the product executable");
      }
    }
    files_.push_back(s);
  }
  std::sort(files_.begin(), files_.end(), [](const TFileSet& a, const TFileSet& b) {
    // The product executable last, so that the rest of the update is in place before
    // the build that expects it.
    if (IsExe(a.Name) != IsExe(b.Name)) return IsExe(b.Name);
    return cp1251::CompareNoCase(a.Name, b.Name) < 0;
  });
  return true;
}

bool Planner::WholeIsSmaller(const std::string& name, TFileBytes& bytes,
                             size_t diffPayload, std::vector<uint8_t>& whole, bool& smaller,
                             bool& cut) {
  TWholeComparison c;
  payload::EncodeOptions full = Encoding("compressing " + name, opt_.Level, &bytes);
  try {
    if (!CompareWhole(bytes.Bytes(), diffPayload, full, c, error_)) return false;
  } catch (const std::bad_alloc&) {
    return Fail("not enough memory to compress " + name);
  }
  whole = std::move(c.Whole);
  smaller = c.Smaller;
  cut = c.Cut;
  return true;
}

bool Planner::MakeDifference(const std::string& name, TFileBytes& oldFile, TFileBytes& newFile,
                             const std::function<bool(TFileBytes&)>& openNew,
                             std::vector<uint8_t>& patchPayload, uint32_t& diffSize,
                             uint32_t& diffSum, std::vector<uint8_t>* extended) {
  bdt::DiffOptions dopt;
  dopt.indexBudget = opt_.IndexBudget;
  dopt.progress = [this, &name](bdt::DiffPhase phase, uint64_t done, uint64_t total) {
    Report((phase == bdt::DiffPhase::Sorting ? "indexing " : "diffing ") + name, done, total);
  };
  dopt.passed = ReleasingPasses(oldFile, newFile);
  // The old file is indexed before the new one is opened: the index's peak memory
  // then does not meet the new file's.
  bdt::TOldIndex index;
  if (!index.Build(oldFile.Bytes(), dopt, error_)) return Fail(name + ": " + error_);
  oldFile.ReleaseAll();
  if (!openNew(newFile)) return false;
  const std::span<const uint8_t> oldBytes = oldFile.Bytes(), newBytes = newFile.Bytes();
  std::vector<uint8_t> patch;
  if (!bdt::SmallestPatchPayload(std::move(index), newBytes,
                                 Encoding("compressing the difference of " + name, opt_.Level),
                                 patch, patchPayload, error_))
    return Fail(name + ": " + error_);
  oldFile.ReleaseAll();
  newFile.ReleaseAll();
  // The extended difference grows from the copies of the BDT one.
  if (extended && bdx::WorthExtending(newBytes)) {
    Report("diffing with covers " + name, 0, 0);
    if (!bdx::MakeExtendedDifference(oldBytes, newBytes, patch, *extended, error_))
      return Fail(name + ": " + error_);
    oldFile.ReleaseAll();
    newFile.ReleaseAll();
  } else if (extended && !bdx::Recoded(patch, oldBytes.size(), *extended, error_)) {
    return Fail(name + ": " + error_);
  }
  // The patch must rebuild the new file exactly as the installer will apply it.
  TPassRelease checking(newFile, oldFile, true);
  if (!BdtRebuilds(oldBytes, patch, newBytes, std::ref(checking)))
    return Fail(name + ": the difference does not rebuild the new file (internal error)");
  oldFile.ReleaseAll();
  newFile.ReleaseAll();
  diffSize = static_cast<uint32_t>(patch.size());
  diffSum = AddSum(patch);
  return true;
}

bool Planner::TryExtended(const std::string& name, TFileBytes& oldFile, TFileBytes& newFile,
                          std::span<const uint8_t> extended, std::vector<uint8_t>& payload,
                          uint32_t& diffSize, uint32_t& diffSum, bool& smaller) {
  smaller = false;
  if (extended.empty()) return true;  // not worth trying
  std::vector<uint8_t> framed;
  try {
    bool passed = false;
    // Only a payload smaller than the BDT one is of use: the encoder gives up at
    // its size.
    if (!payload::EncodePayloadWithin(
            extended, Encoding("compressing the extended difference of " + name, opt_.Level),
            payload.size() - 1, framed, passed, error_))
      return Fail(name + ": " + error_);
    if (passed) return true;
    TPassRelease checking(newFile, oldFile, true);
    const bool rebuilds =
        BdxRebuilds(oldFile.Bytes(), extended, newFile.Bytes(), std::ref(checking));
    oldFile.ReleaseAll();
    newFile.ReleaseAll();
    if (!rebuilds)
      return Fail(name + ": the extended difference does not rebuild the new file (internal error)");
  } catch (const std::bad_alloc&) {
    return Fail("not enough memory for the extended difference of " + name);
  }
  payload = std::move(framed);
  diffSize = static_cast<uint32_t>(extended.size());
  diffSum = AddSum(extended);
  smaller = true;
  return true;
}

bool Planner::AddWhole(uint8_t kind, const std::string& name, TFileBytes& bytes,
                       std::vector<uint8_t> payload, uint32_t variant, int edition,
                       const std::string& why) {
  if (payload.empty() && !Encode(bytes, "compressing " + name, opt_.Level, payload)) return false;
  TPlannedEntry e;
  e.Kind = kind;
  e.Name = name;
  e.Record.NewSize = e.Record.OldSize = static_cast<uint32_t>(bytes.Size());
  e.Record.NewSum = e.Record.OldSum = bytes.Sum();
  e.Record.DiffSum = variant;
  e.Payload = std::move(payload);
  e.WholeSize = e.Payload.size();
  e.Edition = edition;
  e.Why = why;
  planned_.push_back(std::move(e));
  return true;
}

bool Planner::PlanFile(const TFileSet& f) {
  const std::string newPath = new_[0].Dir + f.Name;
  const uint64_t newSize = f.New[0]->Size;

  // Unchanged in every old tree: left out.
  bool allSame = true, allAbsent = true, oldAgree = true;
  for (size_t t = 0; t < old_.size(); ++t) {
    const TTreeFile* o = f.Old[t];
    allAbsent = allAbsent && !o;
    bool equal = false;
    if (o && !FilesEqual(old_[t].Dir + o->Name, newPath, equal, error_)) return false;
    allSame = allSame && equal;
    if (t > 0) {
      const TTreeFile* first = f.Old[0];
      if (!o != !first) {
        oldAgree = false;
      } else if (o) {
        bool same = false;
        if (!FilesEqual(old_[0].Dir + first->Name, old_[t].Dir + o->Name, same, error_)) return false;
        oldAgree = oldAgree && same;
      }
    }
  }
  if (allSame) {
    res_.Unchanged.push_back(f.Name);
    return true;
  }
  if (newSize == 0)
    return Fail(f.Name + " is empty in the new tree; the installer cannot write an empty file");

  TFileBytes newFile;
  if (allAbsent || !oldAgree) {
    if (!newFile.Map(newPath, error_)) return false;
    return AddWhole(kAddRepl, f.Name, newFile, {}, 0, -1,
                    allAbsent ? "new file" : "differs between the old trees");
  }

  const std::string oldPath = old_[0].Dir + f.Old[0]->Name;
  const uint64_t oldSize = f.Old[0]->Size;
  if (oldSize == 0 || oldSize >= bdt::kLengthLimit || newSize >= bdt::kLengthLimit) {
    if (!newFile.Map(newPath, error_)) return false;
    return AddWhole(kAddRepl, f.Name, newFile, {}, 0, -1,
                    oldSize == 0 ? "the old file is empty" : "2 GiB or larger: no difference");
  }

  // A base file is diffed in its plain form when both forms have the layout the
  // installer's converter takes; otherwise as it is. Only a base file is read into
  // memory, to be converted there; every other file is mapped.
  const int64_t key = IsBaseName(f.Name) ? BaseKeyFor(f.Name) : -1;
  TFileBytes oldFile;
  if (!(key > 0 ? oldFile.Read(oldPath, error_) : oldFile.Map(oldPath, error_))) return false;
  TPlannedEntry e;
  e.Name = f.Name;
  e.Record.OldSize = static_cast<uint32_t>(oldFile.Size());
  e.Record.OldSum = oldFile.Sum();

  bool plain = false;
  if (key > 0 && UnscrambleBase(oldFile.Copy(), static_cast<uint32_t>(key), product::kBaseM1,
                                product::kBaseM2) == BaseStatus::Ok) {
    plain = true;
  } else if (key > 0) {
    res_.Notes.push_back(f.Name + ": the old file is not a base file the installer can convert; diffed as it is");
  }
  if (plain) {
    e.Record.PrepSize = static_cast<uint32_t>(oldFile.Size());
    e.Record.PrepSum = oldFile.Sum();
  }

  uint32_t newSum = 0;
  bool newConvertible = true;
  auto openNew = [&](TFileBytes& bytes) {
    if (!plain) {
      if (!bytes.Map(newPath, error_)) return false;
      newSum = bytes.Sum();
      return true;
    }
    if (!bytes.Read(newPath, error_)) return false;
    newSum = bytes.Sum();
    // A plain old file against a scrambled new one would give nothing useful.
    if (UnscrambleBase(bytes.Copy(), static_cast<uint32_t>(key), product::kBaseM1,
                       product::kBaseM2) != BaseStatus::Ok)
      newConvertible = false;
    return newConvertible;
  };
  std::vector<uint8_t> patchPayload, extendedPatch;
  const bool tryExtended = !plain && !opt_.Compatible;
  if (!MakeDifference(f.Name, oldFile, newFile, openNew, patchPayload, e.Record.DiffSize,
                      e.Record.DiffSum, tryExtended ? &extendedPatch : nullptr)) {
    if (newConvertible) return false;
    // The installer could not scramble the result back: the file goes whole.
    res_.Notes.push_back(f.Name +
                         ": the new file is not a base file the installer can convert; shipped whole");
    if (!newFile.Map(newPath, error_)) return false;
    return AddWhole(kAddRepl, f.Name, newFile, {}, 0, -1, "not a convertible base file");
  }
  bool extended = false;
  if (!TryExtended(f.Name, oldFile, newFile, extendedPatch, patchPayload, e.Record.DiffSize,
                   e.Record.DiffSum, extended))
    return false;
  extendedPatch = std::vector<uint8_t>();
  oldFile = TFileBytes();
  if (plain) {
    std::vector<uint8_t>& newBytes = newFile.Copy();
    e.Kind = kDbbDiff;
    e.Record.MidSize = static_cast<uint32_t>(newBytes.size());
    e.Record.MidSum = AddSum(newBytes);
    // Back to the scrambled form, which must be the file as shipped.
    if (ScrambleBase(newBytes, static_cast<uint32_t>(key), product::kBaseM1, product::kBaseM2) !=
            BaseStatus::Ok ||
        AddSum(newBytes) != newSum)
      return Fail(f.Name + ": the base file does not convert back to itself");
  } else {
    e.Kind = extended ? kExtDiff : kBinDiff;
  }
  e.Record.NewSize = static_cast<uint32_t>(newFile.Size());
  e.Record.NewSum = newSum;

  std::vector<uint8_t> whole;
  bool wholeSmaller = false, wholeCut = false;
  if (!WholeIsSmaller(f.Name, newFile, patchPayload.size(), whole, wholeSmaller, wholeCut))
    return false;
  if (wholeSmaller)
    return AddWhole(kAddRepl, f.Name, newFile, std::move(whole), 0, -1,
                    "the whole file is smaller than its difference");
  e.Payload = std::move(patchPayload);
  e.WholeSize = whole.size();
  e.WholeCut = wholeCut;
  e.Why = plain      ? "changed base file, diffed in plain form"
           : extended ? "changed file, extended difference smaller than BINDIFF"
                      : "changed file";
  planned_.push_back(std::move(e));
  return true;
}

bool Planner::PlanExecutable(const TFileSet& f) {
  // Which difference kind each old tree's edition would take; two trees sharing
  // one take whole builds.
  std::map<uint8_t, int> kindUse;
  for (int e : editions_) ++kindUse[e == 0 ? kPe1Diff : kPe2Diff];

  for (size_t t = 0; t < old_.size(); ++t) {
    const size_t nt = new_.size() == 1 ? 0 : t;
    const std::string newPath = new_[nt].Dir + f.New[nt]->Name;
    const int edition = editions_[t];
    const TTreeFile* o = f.Old[t];
    if (!o) return Fail("the old tree " + old_[t].Dir + " has no " + ExeName());
    bool equal = false;
    if (!FilesEqual(old_[t].Dir + o->Name, newPath, equal, error_)) return false;
    if (equal) {
      res_.Unchanged.push_back(f.Name + " (edition " + std::to_string(edition) + ")");
      continue;
    }
    if (f.New[nt]->Size == 0)
      return Fail(newPath + " is empty; the installer cannot write an empty file");
    const uint32_t variant = static_cast<uint32_t>(edition) + 1;
    const uint8_t diffKind = edition == 0 ? kPe1Diff : kPe2Diff;
    const std::string label = f.Name + " (edition " + std::to_string(edition) + ")";

    TFileBytes newFile;
    const bool diffPossible = kindUse[diffKind] == 1 && o->Size > 0 &&
                              o->Size < bdt::kLengthLimit &&
                              f.New[nt]->Size < bdt::kLengthLimit && opt_.Exe != ExeChoice::Whole;
    if (!diffPossible) {
      if (!newFile.Map(newPath, error_)) return false;
      const char* why = opt_.Exe == ExeChoice::Whole ? "whole builds asked for"
                        : kindUse[diffKind] > 1     ? "two old trees share the second edition's kind"
                                                    : "no difference possible";
      if (opt_.Exe == ExeChoice::Diff)
        return Fail(label + ": a difference is not possible (" + why + ")");
      if (!AddWhole(kAddRepM, f.Name, newFile, {}, variant, edition, why)) return false;
      continue;
    }
    TFileBytes oldFile;
    if (!oldFile.Map(old_[t].Dir + o->Name, error_)) return false;
    TPlannedEntry e;
    e.Kind = diffKind;
    e.Name = f.Name;
    e.Edition = edition;
    e.Record.OldSize = static_cast<uint32_t>(oldFile.Size());
    e.Record.OldSum = oldFile.Sum();
    std::vector<uint8_t> patchPayload;
    if (!MakeDifference(label, oldFile, newFile,
                        [&](TFileBytes& bytes) { return bytes.Map(newPath, error_); },
                        patchPayload, e.Record.DiffSize, e.Record.DiffSum))
      return false;
    oldFile = TFileBytes();
    e.Record.NewSize = static_cast<uint32_t>(newFile.Size());
    e.Record.NewSum = newFile.Sum();
    std::vector<uint8_t> whole;
    bool wholeSmaller = false, wholeCut = false;
    if (opt_.Exe == ExeChoice::Smaller &&
        !WholeIsSmaller(label, newFile, patchPayload.size(), whole, wholeSmaller, wholeCut))
      return false;
    if (wholeSmaller) {
      if (!AddWhole(kAddRepM, f.Name, newFile, std::move(whole), variant, edition,
                    "the whole build is smaller than its difference"))
        return false;
      continue;
    }
    e.Payload = std::move(patchPayload);
    e.WholeSize = whole.size();
    e.WholeCut = wholeCut;
    e.Why = "changed build";
    planned_.push_back(std::move(e));
  }
  return true;
}

bool Planner::Arrange() {
  // Data blocks: one SECTION in front (the installer then backs up into BAK1),
  // and one before each name asked for. Without the leading one, entries before a
  // later SECTION would be passed over by the installer.
  if (!opt_.Sections && !opt_.BlockBefore.empty())
    return Fail("further data blocks need the first SECTION entry");
  std::set<std::string> starts;
  for (const std::string& n : opt_.BlockBefore) starts.insert(Key(n));
  std::set<std::string> seen;
  res_.Entries.clear();
  if (opt_.Sections) res_.Entries.push_back(TPlannedEntry());
  for (TPlannedEntry& e : planned_) {
    e.PayloadSize = e.Payload.size();
    const std::string k = Key(e.Name);
    if (starts.count(k) && !seen.count(k) && !res_.Entries.empty() &&
        res_.Entries.back().Kind != kSection)
      res_.Entries.push_back(TPlannedEntry());
    seen.insert(k);
    res_.Entries.push_back(std::move(e));
  }
  for (const std::string& n : opt_.BlockBefore)
    if (!seen.count(Key(n)))
      return Fail("no entry is named " + n + " (a data block can only start at an entry)");
  planned_.clear();
  return true;
}

bool Planner::Measure() {
  // Every edition the trees know, both kinds of executable and an edition that no
  // ADDREPM variant fits: the package must hold for whichever is installed.
  std::set<int> editions(editions_.begin(), editions_.end());
  editions.insert({0, 1, 255});
  std::map<std::string, uint64_t> largest;
  uint64_t largestConfig = 0;
  std::vector<std::map<std::string, uint64_t>> sizes(old_.size());
  for (size_t t = 0; t < old_.size(); ++t) {
    for (const TTreeFile& f : old_[t].Files) {
      sizes[t][Key(f.Name)] = f.Size;
      uint64_t& l = largest[Key(f.Name)];
      l = std::max(l, f.Size);
    }
    largestConfig = std::max(largestConfig, configSizes_[t]);
  }
  uint64_t tmp = 0;
  int64_t growth = 0;
  for (int e : editions) {
    auto it = std::find(editions_.begin(), editions_.end(), e);
    const size_t t = static_cast<size_t>(it - editions_.begin());
    const auto& installed = it == editions_.end() ? largest : sizes[t];
    const uint64_t config = it == editions_.end() ? largestConfig : configSizes_[t];
    tmp = std::max(tmp, TempSpacePeak(res_.Entries, e, installed, config));
    growth = std::max(growth, InstallGrowth(res_.Entries, e, installed, config));
  }
  if (tmp >= k4GiB)
    return Fail("the update needs " + std::to_string(tmp) +
                " bytes of temporary space, more than the package can state (4 GiB)");
  // The installer adds 65,535 to the growth in 32 bits.
  if (static_cast<uint64_t>(growth) + kGrowthReserve >= k4GiB)
    return Fail("the installation would grow by " + std::to_string(growth) +
                " bytes, more than the package can state");
  res_.TmpSpaceNeed = static_cast<uint32_t>(tmp);
  res_.Growth = static_cast<uint32_t>(growth);
  return true;
}

bool Planner::Run() {
  if (!ScanTrees() || !ReadVersions() || !ReadStamps() || !MatchFiles()) return false;
  size_t done = 0;
  for (const TFileSet& f : files_) {
    fileTag_ = std::to_string(++done) + "/" + std::to_string(files_.size()) + " ";
    Report("comparing " + f.Name, 0, 0);
    if (!(IsExe(f.Name) ? PlanExecutable(f) : PlanFile(f))) return false;
  }
  fileTag_.clear();
  return Arrange() && Measure();
}

}  // namespace

// ---- the whole file against its difference --------------------------------------------

bool CompareWhole(std::span<const uint8_t> bytes, uint64_t diffPayload,
                  const payload::EncodeOptions& full, TWholeComparison& result,
                  std::string& error) {
  // Each encoder gives up once its output passes what would make the whole file
  // lose: the same answer the whole size gives, found sooner.
  result = TWholeComparison();
  bool passed = false;
  if (bytes.size() > kAlwaysCompareWhole && full.preset > 0) {
    payload::EncodeOptions quick = full;
    quick.preset = 0;
    quick.extreme = false;
    std::vector<uint8_t> estimate;
    if (!payload::EncodePayloadWithin(bytes, quick, kEstimateMargin * diffPayload, estimate,
                                      passed, error))
      return false;
    if (passed) {
      result.Cut = true;
      return true;
    }
  }
  if (!payload::EncodePayloadWithin(bytes, full, diffPayload, result.Whole, passed, error))
    return false;
  result.Cut = passed;
  result.Smaller = !passed && result.Whole.size() < diffPayload;
  return true;
}

// ---- trees ----------------------------------------------------------------------------

bool ScanTree(const std::string& dosDir, TTree& tree, std::string& error) {
  tree = TTree();
  tree.Dir = dos::WithSlash(dosDir);
  if (!os::DirectoryExists(tree.Dir)) {
    error = "no folder " + tree.Dir;
    return false;
  }
  if (!ScanInto(tree.Dir, "", tree, error)) return false;
  std::sort(tree.Files.begin(), tree.Files.end(), [](const TTreeFile& a, const TTreeFile& b) {
    return cp1251::CompareNoCase(a.Name, b.Name) < 0;
  });
  return true;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
  os::File f;
  uint64_t size = 0;
  if (!f.Open(path, os::kRead, os::kShareRead, os::Disposition::OpenExisting) || !f.Size(size)) {
    error = "cannot read " + path + ": " + os::LastErrorText();
    return false;
  }
  if (size >= k4GiB) {
    error = path + " is 4 GiB or larger";
    return false;
  }
  try {
    bytes.assign(static_cast<size_t>(size), 0);
  } catch (const std::bad_alloc&) {
    error = "not enough memory to read " + path;
    return false;
  }
  if (size > 0 && !f.ReadExact(bytes.data(), bytes.size())) {
    error = "cannot read " + path + ": " + os::LastErrorText();
    return false;
  }
  return true;
}

bool IsVersionText(const std::string& version) {
  if (version.empty() || !VersionFitsConfig(version)) return false;
  bool digit = false;
  for (char c : version) {
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (c == '.' && digit) {
      digit = false;
    } else {
      return false;
    }
  }
  return digit;
}

// ---- what the engine does with the temporary folder ----------------------------------

bool AppliesToEdition(const TPlannedEntry& e, int edition) {
  return EntryAppliesToEdition(e.Kind, e.Record.DiffSum, static_cast<uint32_t>(edition));
}

namespace {

// The temporary folder's contents as the engine changes them.
class TempFolder {
 public:
  void Put(const std::string& path, uint64_t size) {
    Drop(path);
    // A file takes whole clusters, and a large or fragmented one a cluster of the
    // file system's own besides (an extent or run list).
    const uint64_t taken = Clusters(size) + kCluster;
    files_[path] = taken;
    used_ += taken;
    // Every folder on the way is made once and stays.
    for (size_t slash = path.find('\\'); slash != std::string::npos;
         slash = path.find('\\', slash + 1))
      if (folders_.insert(path.substr(0, slash)).second) used_ += kCluster;
    peak_ = std::max(peak_, used_);
  }
  void Drop(const std::string& path) {
    auto it = files_.find(path);
    if (it == files_.end()) return;
    used_ -= it->second;
    files_.erase(it);
  }
  uint64_t Peak() const { return peak_; }

 private:
  std::map<std::string, uint64_t> files_;
  std::set<std::string> folders_;
  uint64_t used_ = kCluster;  // the folder itself
  uint64_t peak_ = kCluster;
};

std::optional<uint64_t> Installed(const std::map<std::string, uint64_t>& installed,
                                  const std::string& name) {
  auto it = installed.find(Key(name));
  if (it == installed.end()) return std::nullopt;
  return it->second;
}

}  // namespace

uint64_t TempSpacePeak(const std::vector<TPlannedEntry>& entries, int edition,
                       const std::map<std::string, uint64_t>& installed, uint64_t configSize) {
  TempFolder tmp;
  std::set<std::string> backedUp;
  // What the installation holds now, as earlier entries changed it.
  std::map<std::string, uint64_t> now;
  auto current = [&](const std::string& name) -> std::optional<uint64_t> {
    auto it = now.find(Key(name));
    if (it != now.end()) return it->second;
    return Installed(installed, name);
  };
  // Entries before the first SECTION are passed over when there is one.
  size_t first = 0;
  for (size_t i = 0; i < entries.size(); ++i)
    if (entries[i].Kind == kSection) {
      first = i;
      break;
    }
  int block = 0;
  for (size_t i = first; i < entries.size(); ++i) {
    const TPlannedEntry& e = entries[i];
    if (e.Kind == kSection) {
      ++block;
      continue;
    }
    const std::string name = Key(e.Name);
    const std::string work = "WRK\\" + name;
    const std::string backup = "BAK" + std::to_string(block) + "\\" + name;
    const bool isDiff = IsDifferenceKind(e.Kind);
    tmp.Put(work, isDiff ? e.Record.DiffSize : e.Record.NewSize);
    if ((e.Kind <= kAddRepM || e.Kind == kExtDiff) && backedUp.insert(backup).second) {
      if (const auto size = current(e.Name)) tmp.Put(backup, *size);
    }
    if (!AppliesToEdition(e, edition)) continue;  // the work file stays
    switch (e.Kind) {
      case kDbbDiff:
        // The plain old file beside the patch, then the plain new one in the work
        // file's place until the folder is removed.
        tmp.Put(work + "~", e.Record.PrepSize);
        tmp.Drop(work);
        tmp.Drop(work + "~");
        tmp.Put(work, e.Record.MidSize);
        break;
      case kPe1Diff:
      case kPe2Diff: {
        // The installed build is moved aside beside the patch; it may be a byte
        // longer than the one the patch was made from.
        const uint64_t old = current(e.Name).value_or(e.Record.OldSize);
        tmp.Put(work + "~", std::max<uint64_t>(old, e.Record.OldSize + 1));
        tmp.Drop(work);
        tmp.Drop(work + "~");
        break;
      }
      default:
        tmp.Drop(work);  // moved into place, or the patch removed after use
        break;
    }
    now[name] = e.Record.NewSize;
  }
  const std::string configBackup =
      "BAK" + std::to_string(block) + "\\" + Key(product::kConfigFile);
  if (backedUp.insert(configBackup).second) tmp.Put(configBackup, configSize);
  return tmp.Peak();
}

int64_t InstallGrowth(const std::vector<TPlannedEntry>& entries, int edition,
                      const std::map<std::string, uint64_t>& installed, uint64_t configSize) {
  std::map<std::string, uint64_t> now;
  int64_t growth = 0;
  size_t first = 0;
  for (size_t i = 0; i < entries.size(); ++i)
    if (entries[i].Kind == kSection) {
      first = i;
      break;
    }
  for (size_t i = first; i < entries.size(); ++i) {
    const TPlannedEntry& e = entries[i];
    if (!AppliesToEdition(e, edition)) continue;
    const std::string name = Key(e.Name);
    auto it = now.find(name);
    const uint64_t before =
        it != now.end() ? it->second : Installed(installed, e.Name).value_or(0);
    growth += static_cast<int64_t>(e.Record.NewSize) - static_cast<int64_t>(before);
    now[name] = e.Record.NewSize;
  }
  // The stamp writes the configuration record at its own size.
  growth += static_cast<int64_t>(product::kConfigSize) - static_cast<int64_t>(configSize);
  return growth;
}

// ---- building -------------------------------------------------------------------------

bool PlanPackage(const TBuildOptions& options, TBuildResult& result, std::string& error) {
  result = TBuildResult();
  error.clear();
  try {
    Planner planner(options, result, error);
    return planner.Run();
  } catch (const std::bad_alloc&) {
    error = "not enough memory";
    return false;
  }
}

bool BuildPackage(const TBuildOptions& options, const std::string& outPath,
                  TBuildResult& result, std::string& error) {
  auto same = [&](const std::string& a) { return cp1251::EqualNoCase(a, outPath); };
  if (same(options.StubPath)) {
    error = "the package would replace its own stub";
    return false;
  }
  PackageWriter writer;
  if (!writer.LoadStub(options.StubPath,
                       options.CutStub ? PackageWriter::StubFit::TruncateToImage
                                       : PackageWriter::StubFit::Refuse,
                       error))
    return false;
  if (!PlanPackage(options, result, error)) return false;
  result.StubSize = writer.StubLength();

  for (TPlannedEntry& e : result.Entries) {
    if (e.Kind == kSection) {
      writer.AddSection();
    } else if (!writer.AddFile(e.Kind, e.Name, 0, e.Payload, e.Record, error)) {
      return false;
    }
    std::vector<uint8_t>().swap(e.Payload);  // the writer has its own copy
  }
  PackageWriter::TTail tail;
  tail.VerFrom = result.VerFrom;
  tail.VerTo = result.VerTo;
  tail.TmpSpaceNeed = result.TmpSpaceNeed;
  tail.Growth = result.Growth;
  tail.BuildStamps = result.Stamps;
  TBytes bytes;
  if (!writer.Finish(tail, bytes, error)) return false;
  // Part records with EntryLen and EntrySum, for the report.
  for (size_t i = 0; i < result.Entries.size(); ++i) result.Entries[i].Record = writer.Records()[i];
  result.PackageSize = bytes.size();

  const std::string partial = outPath + ".part";
  {
    os::File f;
    if (!f.Open(partial, os::kWrite, os::kShareNone, os::Disposition::CreateAlways) ||
        !f.Write(bytes.data(), bytes.size()) || !f.Flush()) {
      error = "cannot write " + partial + ": " + os::LastErrorText();
      f.Close();
      os::DeleteFile(partial);
      return false;
    }
  }
  if (os::FileExists(outPath) && !os::DeleteFile(outPath)) {
    error = "cannot replace " + outPath + ": " + os::LastErrorText();
    os::DeleteFile(partial);
    return false;
  }
  if (!os::MoveFile(partial, outPath)) {
    error = "cannot rename " + partial + " to " + outPath + ": " + os::LastErrorText();
    return false;
  }
  return true;
}

}  // namespace pkg
