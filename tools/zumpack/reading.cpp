#include "zumpack/reading.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <set>

#include "format/basefile.h"
#include "format/bdx_patch.h"
#include "format/patch.h"
#include "format/payload.h"
#include "base/cp1251.h"
#include "pack/builder.h"
#include "format/checksum.h"
#include "format/entry_name.h"
#include "format/image.h"
#include "files/folders.h"
#include "files/package_file.h"
#include "format/catalogue.h"
#include "format/entry_apply.h"
#include "platform/os.h"
#include "product/product.h"
#include "base/dos_path.h"
#include "base/bytes.h"

namespace zumpack {

namespace {


std::string Hex(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08X", v);
  return b;
}

bool IsDiffKind(uint8_t kind) { return pkg::IsDifferenceKind(kind); }
bool IsWholeKind(uint8_t kind) { return kind == pkg::kAddRepl || kind == pkg::kAddRepM; }

// The bytes of one entry, read from the package file.
bool ReadEntry(os::File& f, const TEntryInfo& e, std::vector<uint8_t>& bytes, std::string& error) {
  try {
    bytes.resize(e.EntryLen);
  } catch (const std::bad_alloc&) {
    error = "not enough memory for the entry";
    return false;
  }
  if (!f.Seek(e.Pos) || (e.EntryLen > 0 && !f.ReadExact(bytes.data(), bytes.size()))) {
    error = "cannot read the entry: " + os::LastErrorText();
    return false;
  }
  return true;
}

const char* StatusInEnglish(payload::Status s) {
  switch (s) {
    case payload::Status::Ok: return "ok";
    case payload::Status::Unsupported: return "unsupported filter or LZMA properties";
    case payload::Status::TooLarge: return "dictionary too large";
    case payload::Status::Truncated: return "the LZMA data ends before the declared size";
    case payload::Status::DataError: return "corrupt LZMA data";
    case payload::Status::NoMemory: return "not enough memory";
    case payload::Status::SinkFailed: return "the unpacked bytes could not be stored";
  }
  return "?";
}

// Unpacks the payload of entry bytes `entry` into `out` (the declared size; a
// stream that ends early leaves zeros, as the installer's file would hold).
bool Unpack(const TEntryInfo& e, const std::vector<uint8_t>& entry, std::vector<uint8_t>& out,
            std::string& problem, const ProgressFn& progress) {
  const size_t headSize = pkg::kEntryHeadFixed + e.Name.size();
  if (entry.size() < headSize + payload::kHeaderSize) {
    problem = "the entry is too short for a payload header";
    return false;
  }
  payload::Header h;
  payload::ParseHeader(entry.data() + headSize, entry.size() - headSize, h);
  const uint32_t size = static_cast<uint32_t>(h.unpackedSize);
  if (size == 0) {
    problem = "the payload declares 0 bytes (the installer cannot unpack it)";
    return false;
  }
  try {
    out.assign(size, 0);
  } catch (const std::bad_alloc&) {
    problem = "not enough memory to unpack " + std::to_string(size) + " bytes";
    return false;
  }
  uint32_t produced = 0;
  const std::string step = "unpacking " + e.Name;
  const payload::ProgressFn fn = [&](const void*, uint32_t done) {
    if (progress) progress(step, done, size);
    return 0;
  };
  const payload::Status st =
      payload::DecodeLzma(h, entry.data() + headSize + payload::kHeaderSize,
                          entry.size() - headSize - payload::kHeaderSize, out.data(), size,
                          produced, fn);
  if (st != payload::Status::Ok) {
    problem = std::string("the payload does not unpack: ") + StatusInEnglish(st);
    return false;
  }
  return true;
}

void Add(TVerifyResult& r, int entry, bool error, const std::string& text) {
  r.Findings.push_back({entry, error, text});
}

}  // namespace

bool TVerifyResult::Ok() const {
  return std::none_of(Findings.begin(), Findings.end(), [](const TFinding& f) { return f.Error; });
}

std::string KindName(uint8_t kind) {
  static const char* const kNames[] = {"BINDIFF", "DBBDIFF", "PE1DIFF", "PE2DIFF", "CFGDIFF",
                                       "ADDREPL", "ADDREPM", "SECTION", "EXTDIFF"};
  return kind < std::size(kNames) ? kNames[kind] : "KIND " + std::to_string(kind);
}

bool ReadPackageFile(const std::string& path, TPackageInfo& info, std::string& error,
                     const ProgressFn& progress) {
  info = TPackageInfo();
  os::File f;
  if (!f.Open(path, os::kRead, os::kShareRead, os::Disposition::OpenExisting) ||
      !f.Size(info.FileSize)) {
    error = "cannot open " + path + ": " + os::LastErrorText();
    return false;
  }
  pkg::TFileSource src(f);
  // The package: the whole file, or what stands before the certificate table of a
  // file signed after it was built.
  const uint64_t n = src.Size();
  if (n >= pkg::kTrailerSize) {
    pkg::TSeal seal;
    if (!pkg::ReadSeal(src, seal, [&](uint64_t done, uint64_t total) {
          if (progress) progress("checking the package checksum", done, total);
        })) {
      error = "cannot read " + path + ": " + src.Error();
      return false;
    }
    info.StoredLength = seal.StoredLength;
    info.StoredSum = seal.StoredSum;
    info.TrailerOk = seal.LengthOk;
    info.ComputedSum = seal.ComputedSum;
    info.ChecksumOk = seal.SumOk;
  }

  auto stop = [&](const std::string& why) {
    info.Problem = why;
    return true;
  };
  info.RealLength = pkg::RealLength(src);
  if (info.RealLength == 0)
    return stop("no executable image (PE or ELF) in front of a package");
  if (info.RealLength >= n)
    return stop("nothing follows the executable image (" + std::to_string(info.RealLength) +
                " bytes)");
  if (n < pkg::kTrailerSize + info.RealLength) return stop("too short for a package");
  pkg::TCatalogue cat;
  pkg::ReadCatalogue(src, info.RealLength, cat);
  using Step = pkg::TCatalogueStep;
  info.Stamps = cat.Stamps;
  info.VerTo = cat.VerTo;
  info.VerFrom = cat.VerFrom;
  info.Header = cat.Header;
  info.HeaderPos = cat.HeaderPos;
  info.RecordsPos = cat.RecordsPos;
  if (cat.Step == Step::Versions)
    return stop("the build stamps and version texts do not fit the file");
  const std::string from3 = pkg::CutVersion3(info.VerFrom);
  info.IsCorrection = pkg::CutVersion3(info.VerTo) == from3;
  info.Title = pkg::PackageTitle(info.IsCorrection, info.VerFrom, from3, info.VerTo, true);
  if (cat.Step == Step::Header) return stop("the catalogue header does not fit the file");
  if (cat.Step == Step::RecordsPlace)
    return stop(std::to_string(info.Header.PartCount) + " part records do not fit the file");

  // The entries as far as the walk read them (the one whose length does not fit
  // included); when a part record cannot be read, every entry, those not read zero.
  const size_t kept = cat.Step == Step::EntryHead ? cat.Walked
                      : cat.Step == Step::Records ? info.Header.PartCount
                                                  : cat.Entries.size();
  info.Entries.resize(kept);
  for (size_t i = 0; i < kept && i < cat.Entries.size(); ++i) {
    TEntryInfo& e = info.Entries[i];
    const pkg::TCatalogueEntry& c = cat.Entries[i];
    static_cast<pkg::TPartNfo&>(e) = c;
    e.Block = c.Block;
    e.Number = c.Number;
    if (i < cat.Walked) e.Listing = pkg::ListingLine(c.Kind, c.Name, c.Number, c.Block);
  }
  if (cat.Step == Step::Records)
    return stop("cannot read part record " + std::to_string(cat.Entries.size()));
  if (cat.Step == Step::EntryHead)
    return stop("the head of entry " + std::to_string(cat.Walked) + " at " +
                std::to_string(cat.FailedAt) + " does not fit the entry area");
  if (cat.Step == Step::EntryLength) {
    info.Entries.resize(cat.Walked);
    const TEntryInfo& e = info.Entries.back();
    return stop("entry " + std::to_string(cat.Walked - 1) + " (" + e.Name + ") claims " +
                std::to_string(e.EntryLen) + " bytes, which do not fit the entry area");
  }
  if (cat.Step == Step::EntryArea)
    return stop("the entries end at " + std::to_string(cat.FailedAt) +
                ", not where the part records begin (" + std::to_string(info.RecordsPos) + ")");
  info.CatalogueOk = true;
  return true;
}

void VerifyPackage(const std::string& path, const TPackageInfo& info, TVerifyResult& result,
                   const ProgressFn& progress) {
  if (!info.TrailerOk)
    Add(result, -1, true,
        "the trailer's length " + std::to_string(info.StoredLength) + " is not the file's length " +
            std::to_string(info.FileSize));
  if (!info.ChecksumOk)
    Add(result, -1, true,
        "package checksum " + Hex(info.StoredSum) + " stored, " + Hex(info.ComputedSum) + " computed");
  if (!info.CatalogueOk) {
    Add(result, -1, true, "catalogue: " + info.Problem);
    return;
  }
  os::File f;
  if (!f.Open(path, os::kRead, os::kShareRead, os::Disposition::OpenExisting)) {
    Add(result, -1, true, "cannot open " + path + ": " + os::LastErrorText());
    return;
  }
  const std::string journal = "zum_" + info.VerTo + ".txt";
  for (size_t i = 0; i < info.Entries.size(); ++i) {
    const TEntryInfo& e = info.Entries[i];
    const int idx = static_cast<int>(i);
    auto bad = [&](const std::string& text) { Add(result, idx, true, text); };
    if (e.Kind == pkg::kSection) {
      const pkg::TPartRecord zero;
      if (std::memcmp(&zero, static_cast<const pkg::TPartRecord*>(&e), sizeof zero) != 0)
        Add(result, idx, false, "the SECTION's part record is not all zeros");
      continue;
    }
    if (e.Kind != pkg::kSection && !pkg::IsFileKind(e.Kind)) {
      bad("kind " + std::to_string(e.Kind) + ": the installer stops on this entry");
      continue;
    }
    const std::string why = pkg::CheckEntryName(e.Name, journal);
    if (!why.empty()) bad("unsafe name, the installer refuses it: " + why);

    std::vector<uint8_t> entry;
    std::string problem;
    if (!ReadEntry(f, e, entry, problem)) {
      bad(problem);
      continue;
    }
    if (pkg::AddSum(entry) != e.EntrySum) {
      bad("entry checksum " + Hex(pkg::AddSum(entry)) + ", the part record says " + Hex(e.EntrySum));
      continue;
    }
    std::vector<uint8_t> data;
    if (!Unpack(e, entry, data, problem, progress)) {
      bad(problem);
      continue;
    }
    entry = std::vector<uint8_t>();
    const uint32_t size = static_cast<uint32_t>(data.size());
    const uint32_t sum = pkg::AddSum(data);
    if (IsWholeKind(e.Kind)) {
      if (size != e.NewSize || sum != e.NewSum)
        bad("unpacks to " + std::to_string(size) + " bytes, checksum " + Hex(sum) +
            "; the part record expects " + std::to_string(e.NewSize) + ", " + Hex(e.NewSum));
      if (e.Kind == pkg::kAddRepM && e.DiffSum == 0)
        bad("ADDREPM variant 0 fits no edition");
      if (e.OldSize != e.NewSize || e.OldSum != e.NewSum)
        Add(result, idx, false, "OldSize/OldSum differ from NewSize/NewSum");
      continue;
    }
    // A difference: its patch must be well formed for the old file it expects and
    // produce the file the part record names.
    if (size != e.DiffSize || sum != e.DiffSum)
      bad("the patch has " + std::to_string(size) + " bytes, checksum " + Hex(sum) +
          "; the part record says " + std::to_string(e.DiffSize) + ", " + Hex(e.DiffSum));
    const uint32_t oldSize = e.Kind == pkg::kDbbDiff ? e.PrepSize : e.OldSize;
    const uint32_t newSize = e.Kind == pkg::kDbbDiff ? e.MidSize : e.NewSize;
    std::string malformed;
    uint32_t makes = 0;
    if (e.Kind == pkg::kExtDiff) {
      bdx::TBdxPlan plan;
      const bdx::BdxStatus st = bdx::ReadBdx(data, oldSize, plan);
      if (st != bdx::BdxStatus::Ok) malformed = bdx::BdxStatusText(st);
      makes = plan.NewSize;
    } else {
      bdt::TPatchPlan plan;
      const bdt::PatchStatus st = bdt::ReadPatch(data, oldSize, plan);
      if (st != bdt::PatchStatus::Ok) malformed = bdt::PatchStatusText(st);
      makes = plan.NewSize;
    }
    if (!malformed.empty()) {
      bad("the patch is not well formed: " + malformed);
    } else if (makes != newSize) {
      bad("the patch makes " + std::to_string(makes) + " bytes; the part record expects " +
          std::to_string(newSize));
    }
    if (e.Kind == pkg::kDbbDiff && BaseKeyFor(e.Name) == -1)
      bad("a DBBDIFF entry whose name gives no base-file key");
  }
}

namespace {

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
  std::string made;
  if (!MakeFolderPath(dos::FolderOf(path), made)) {
    error = "cannot create the folder of " + path + ": " + os::LastErrorText();
    return false;
  }
  os::File f;
  if (!f.Open(path, os::kWrite, os::kShareNone, os::Disposition::CreateAlways) ||
      (!bytes.empty() && !f.Write(bytes.data(), bytes.size()))) {
    error = "cannot write " + path + ": " + os::LastErrorText();
    return false;
  }
  return true;
}

void RemoveTree(const std::string& dir) {
  std::vector<os::FindEntry> found;
  os::FindFiles(dir + "\\*", os::kAttrAny, found);
  for (const os::FindEntry& e : found) {
    const std::string p = dir + "\\" + e.name;
    if (e.attr & os::kAttrDirectory) {
      RemoveTree(p);
    } else {
      os::SetReadOnly(p, false);
      os::DeleteFile(p);
    }
  }
  os::RemoveDir(dir);
}

}  // namespace

void DryRun(const std::string& path, const TPackageInfo& info, const std::string& treeDir,
            const std::string& workDir, int edition, TDryRun& run, TVerifyResult& result,
            const ProgressFn& progress) {
  std::string root = treeDir;
  root = dos::WithSlash(root);
  std::string error;
  if (!info.CatalogueOk) {
    Add(result, -1, true, "catalogue: " + info.Problem);
    return;
  }

  // What the installer checks before it changes anything.
  std::vector<uint8_t> cfg;
  if (!pkg::ReadWholeFile(root + product::kConfigFile, cfg, error)) {
    Add(result, -1, true, error);
    return;
  }
  if (cfg.size() <= product::kConfigEditionOffset) {
    Add(result, -1, true, "the tree's configuration file is too short");
    return;
  }
  const char* text = reinterpret_cast<const char*>(cfg.data()) + product::kConfigVersionOffset;
  const std::string installed(text, strnlen(text, product::kConfigVersionField));
  if (pkg::CutVersion3(installed) != pkg::CutVersion3(info.VerFrom))
    Add(result, -1, true,
        "the tree holds version " + installed + "; the package updates " + info.VerFrom);
  run.Edition = edition >= 0 ? edition : cfg[product::kConfigEditionOffset];
  {
    std::vector<uint8_t> exe;
    uint32_t stamp = 0;
    if (!pkg::ReadWholeFile(root + product::kExeDirName + "\\" + product::kExeFileName, exe, error)) {
      Add(result, -1, true, error);
    } else {
      pkg::TSpanSource src(exe);
      if (!pkg::PeLinkStamp(src, 0, stamp))
        Add(result, -1, true, "the tree's product executable is not a PE file");
      else if (std::find(info.Stamps.begin(), info.Stamps.end(), stamp) == info.Stamps.end())
        Add(result, -1, true, "the tree's product executable, build " + Hex(stamp) +
                                  ", is not among the package's build stamps");
    }
  }

  // The temporary space and growth of this very installation.
  std::vector<pkg::TPlannedEntry> planned;
  std::map<std::string, uint64_t> sizes;
  for (const TEntryInfo& e : info.Entries) {
    pkg::TPlannedEntry p;
    p.Kind = e.Kind;
    p.Name = e.Name;
    p.Record = e;
    planned.push_back(p);
    if (e.Kind != pkg::kSection) {
      uint64_t size = 0;
      os::File f;
      if (f.Open(root + e.Name, os::kRead, os::kShareRead, os::Disposition::OpenExisting) && f.Size(size))
        sizes[cp1251::Upper(e.Name)] = size;
    }
  }
  run.TempPeak = pkg::TempSpacePeak(planned, run.Edition, sizes, cfg.size());
  run.Growth = pkg::InstallGrowth(planned, run.Edition, sizes, cfg.size());
  if (run.TempPeak > info.Header.TmpSpaceNeed)
    Add(result, -1, true,
        "this installation's run needs " + std::to_string(run.TempPeak) +
            " bytes of temporary space; the package states " +
            std::to_string(info.Header.TmpSpaceNeed));
  if (run.Growth > 0 && static_cast<uint64_t>(run.Growth) > info.Header.Growth)
    Add(result, -1, true,
        "this installation grows by " + std::to_string(run.Growth) + " bytes; the package states " +
            std::to_string(info.Header.Growth));

  os::File f;
  if (!f.Open(path, os::kRead, os::kShareRead, os::Disposition::OpenExisting)) {
    Add(result, -1, true, "cannot open " + path + ": " + os::LastErrorText());
    return;
  }
  // Files a later entry reads again are kept in the work folder once changed.
  std::map<std::string, int> uses;
  for (const TEntryInfo& e : info.Entries) ++uses[cp1251::Upper(e.Name)];
  std::set<std::string> changed;
  bool madeWork = false;

  size_t first = 0;
  for (size_t i = 0; i < info.Entries.size(); ++i)
    if (info.Entries[i].Kind == pkg::kSection) {
      first = i;
      break;
    }
  for (size_t i = 0; i < info.Entries.size(); ++i) {
    const TEntryInfo& e = info.Entries[i];
    const int idx = static_cast<int>(i);
    if (e.Kind == pkg::kSection) continue;
    if (i < first) {
      Add(result, idx, false, "before the first SECTION: the installer passes it over");
      ++run.Skipped;
      continue;
    }
    auto bad = [&](const std::string& t) { Add(result, idx, true, t); };
    if (e.Kind != pkg::kSection && !pkg::IsFileKind(e.Kind)) {
      bad("the installer stops on this entry");
      break;
    }
    pkg::TPlannedEntry as;
    as.Kind = e.Kind;
    as.Record = e;
    if (!pkg::AppliesToEdition(as, run.Edition)) {
      ++run.Skipped;
      continue;
    }
    std::vector<uint8_t> entry, data;
    std::string problem;
    if (!ReadEntry(f, e, entry, problem) || pkg::AddSum(entry) != e.EntrySum ||
        !Unpack(e, entry, data, problem, progress)) {
      bad(problem.empty() ? "entry checksum mismatch" : problem);
      continue;
    }
    entry = std::vector<uint8_t>();
    const std::string key = cp1251::Upper(e.Name);
    const std::string current = (changed.count(key) ? workDir + "\\" : root) + e.Name;

    std::vector<uint8_t> old, result_;
    if (!IsWholeKind(e.Kind)) {
      if (!os::FileExists(current)) {
        bad("the tree has no " + e.Name + " to apply the difference to");
        continue;
      }
      if (!pkg::ReadWholeFile(current, old, problem)) {
        bad(problem);
        continue;
      }
    }
    const size_t oldSize = old.size();
    const uint32_t oldSum = pkg::AddSum(old);
    const pkg::TApplyResult applied = pkg::ApplyEntryBytes(e, old, data, result_);
    if (applied.PlainOldDiffers)
      Add(result, idx, false, "the plain old file differs from the one the difference was made from");
    if (applied.PlainNewDiffers)
      Add(result, idx, false, "the plain new file differs from MidSize/MidSum");
    switch (applied.Status) {
      case pkg::TApplyStatus::Ok: break;
      case pkg::TApplyStatus::OldFileDiffers:
        bad("the tree's " + e.Name + " is not the file the difference was made from (" +
            std::to_string(oldSize) + " bytes, checksum " + Hex(oldSum) + "; expected " +
            std::to_string(e.OldSize) + ", " + Hex(e.OldSum) + ")");
        break;
      case pkg::TApplyStatus::NoBaseKey:
      case pkg::TApplyStatus::OldBaseRefused:
        bad(std::string("the base file does not convert: ") + BaseStatusText(applied.Base));
        break;
      case pkg::TApplyStatus::PatchRefused:
        bad(std::string("the patch does not apply: ") +
            (e.Kind == pkg::kExtDiff ? bdx::BdxStatusText(applied.Extended)
                                     : bdt::PatchStatusText(applied.Patch)));
        break;
      case pkg::TApplyStatus::NewBaseRefused:
        bad(std::string("the patched base file does not convert back: ") +
            BaseStatusText(applied.Base));
        break;
      case pkg::TApplyStatus::NewFileDiffers: {
        const uint32_t newSum = pkg::AddSum(result_);
        bad("the result has " + std::to_string(result_.size()) + " bytes, checksum " + Hex(newSum) +
            "; the installer expects " + std::to_string(e.NewSize) + ", " + Hex(e.NewSum));
        break;
      }
    }
    if (applied.Status != pkg::TApplyStatus::Ok) continue;
    ++run.Applied;
    if (uses[key] > 1) {
      std::string werr;
      if (!WriteFile(workDir + "\\" + e.Name, result_, werr)) {
        bad(werr);
        continue;
      }
      madeWork = true;
      changed.insert(key);
    }
  }
  if (madeWork) RemoveTree(workDir);
}

bool ExtractPackage(const std::string& path, const TPackageInfo& info, const std::string& outDir,
                    bool raw, std::vector<std::string>& written, TVerifyResult& result,
                    const ProgressFn& progress) {
  if (!info.CatalogueOk) {
    Add(result, -1, true, "catalogue: " + info.Problem);
    return false;
  }
  os::File f;
  if (!f.Open(path, os::kRead, os::kShareRead, os::Disposition::OpenExisting)) {
    Add(result, -1, true, "cannot open " + path + ": " + os::LastErrorText());
    return false;
  }
  std::string root = outDir;
  if (!root.empty() && root.back() == '\\') root.pop_back();
  for (size_t i = 0; i < info.Entries.size(); ++i) {
    const TEntryInfo& e = info.Entries[i];
    const int idx = static_cast<int>(i);
    if (e.Kind == pkg::kSection) continue;
    // The names come from the file being read: nothing may land outside the
    // output folder.
    const std::string why = pkg::CheckEntryName(e.Name, std::string());
    if (!why.empty()) {
      Add(result, idx, true, "not extracted, unsafe name: " + why);
      continue;
    }
    const std::string rel = std::to_string(e.Block) + "." + std::to_string(e.Number) + " " +
                            KindName(e.Kind) + "\\" + e.Name +
                            (e.Kind == pkg::kExtDiff ? ".bdx" : IsDiffKind(e.Kind) ? ".bdt" : "");
    std::vector<uint8_t> entry, data;
    std::string problem;
    if (!ReadEntry(f, e, entry, problem)) {
      Add(result, idx, true, problem);
      continue;
    }
    if (raw) {
      const size_t head = pkg::kEntryHeadFixed + e.Name.size();
      std::vector<uint8_t> stored(entry.begin() + static_cast<long>(std::min(head, entry.size())),
                                  entry.end());
      if (!WriteFile(root + "\\" + rel + ".lzma86", stored, problem)) {
        Add(result, idx, true, problem);
        return false;
      }
      written.push_back(rel + ".lzma86");
    }
    if (!Unpack(e, entry, data, problem, progress)) {
      Add(result, idx, true, problem);
      continue;
    }
    if (!WriteFile(root + "\\" + rel, data, problem)) {
      Add(result, idx, true, problem);
      return false;
    }
    written.push_back(rel);
  }
  return true;
}

}  // namespace zumpack
