#include "pack/bdx_writer.h"

#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "format/patch.h"
#include "pack/bdt_writer.h"
#include "pack/payload_encode.h"

namespace bdx {

namespace {

// A gap between two copies that the old file holds at the same distance is covered
// whole when it is this short, whatever its bytes: a cover costs no record there.
// (On two builds of a 23 MB DLL, before covers re-aimed references, 16 gave
// 2.16 MB, 32 2.08, 64 2.02, 128 2.05, 1024 2.16. With them, 32 is the better on
// the benchmark's executables: 455,594 bytes against 455,776 for postgres,
// 1,124,438 against 1,125,378 for mariadbd, 40,384 against 40,671 for grubx64.)
constexpr uint64_t kShortBridge = 32;
// An exact run inside a cover at least this long becomes a copy of its own, which
// the patcher copies without scanning it for references. Shorter ones stay in the
// cover as a stretch of zeros, which costs less than a record (postgres 422,388
// bytes against 424,783 with 512, grubx64 38,292 against 38,581; never splitting
// gives 422,036 and 38,283).
constexpr uint32_t kLongExact = 4096;
// A cover shorter than this, left alone between inserts and long copies, is sent
// as new bytes: its record would cost more than the bytes it saves.
constexpr uint32_t kMinCover = 24;
// An extension stops looking once its score has fallen this far below its best.
constexpr int64_t kGiveUp = 64;

enum class Piece : uint8_t { Literal, Exact, Diff };
struct TPiece {
  Piece Kind;
  uint64_t Old;  // Exact and Diff
  uint64_t Len;
};

// How many bytes forwards from n and o to cover: the prefix whose matches most
// outnumber its mismatches (none when no prefix has more matches).
uint64_t Forward(const uint8_t* n, const uint8_t* o, uint64_t max) {
  int64_t score = 0, best = 0;
  uint64_t len = 0;
  for (uint64_t i = 0; i < max; ++i) {
    score += n[i] == o[i] ? 1 : -1;
    if (score > best) {
      best = score;
      len = i + 1;
    } else if (score < best - kGiveUp) {
      break;
    }
  }
  return len;
}

// The same backwards from just before n and o.
uint64_t Backward(const uint8_t* n, const uint8_t* o, uint64_t max) {
  int64_t score = 0, best = 0;
  uint64_t len = 0;
  for (uint64_t i = 1; i <= max; ++i) {
    score += n[-static_cast<int64_t>(i)] == o[-static_cast<int64_t>(i)] ? 1 : -1;
    if (score > best) {
      best = score;
      len = i;
    } else if (score < best - kGiveUp) {
      break;
    }
  }
  return len;
}

int64_t Score(const uint8_t* n, const uint8_t* o, uint64_t len) {
  int64_t score = 0;
  for (uint64_t i = 0; i < len; ++i) score += n[i] == o[i] ? 1 : -1;
  return score;
}

class Maker {
 public:
  // `matched` is what the copies were matched against and what the covers grow
  // on: the old file, or the old file with its references re-aimed.
  Maker(std::span<const uint8_t> o, std::span<const uint8_t> n, std::span<const uint8_t> matched)
      : old_(o), new_(n), matched_(matched) {}

  // The stretch of new bytes [at, at + len) between the run that ended at old
  // position `fromOld` (or the start) and the copy at old position `toOld` (or the
  // end, when `toOld` is none).
  void Gap(uint64_t at, uint64_t len, uint64_t fromOld, const uint64_t* toOld) {
    if (len == 0) return;
    const uint8_t* n = new_.data();
    const uint8_t* o = matched_.data();
    if (toOld && *toOld >= fromOld && *toOld - fromOld == len &&
        (len <= kShortBridge || Score(n + at, o + fromOld, len) >= 0)) {
      Add(Piece::Diff, fromOld, len);
      return;
    }
    const uint64_t forward = Forward(n + at, o + fromOld, std::min(len, old_.size() - fromOld));
    uint64_t backward =
        toOld ? Backward(n + at + len, o + *toOld, std::min(len - forward, *toOld)) : 0;
    Add(Piece::Diff, fromOld, forward);
    Add(Piece::Literal, 0, len - forward - backward);
    Add(Piece::Diff, toOld ? *toOld - backward : 0, backward);
  }

  void Copy(uint64_t old, uint64_t len) {
    // The copies come from a patch checked against the old file; their bytes are
    // compared all the same, and any that differ are carried as differences.
    const bool exact = std::memcmp(old_.data() + old, new_.data() + made_, len) == 0;
    if (!exact && std::memcmp(matched_.data() + old, new_.data() + made_, len) == 0) {
      // Exact only once re-aimed: a cover, whatever the bytes of the old file.
      Add(Piece::Diff, old, len);
      return;
    }
    Add(exact ? Piece::Exact : Piece::Diff, old, len);
  }

  std::vector<uint8_t> Write() {
    std::vector<TBdxRecord> records;
    std::vector<uint8_t> diff, literals;
    uint64_t at = 0;     // new position
    int64_t oldPos = 0;  // the patch's old position
    // Items: the pieces grouped into what the records say.
    struct Item {
      uint8_t Tag;
      uint64_t Old, Len, At;
    };
    std::vector<Item> items;
    for (size_t i = 0; i < pieces_.size();) {
      if (pieces_[i].Kind == Piece::Literal) {
        items.push_back({kInsert, 0, pieces_[i].Len, at});
        at += pieces_[i].Len;
        ++i;
        continue;
      }
      // A chain: runs that follow one another in both files.
      size_t end = i + 1;
      while (end < pieces_.size() && pieces_[end].Kind != Piece::Literal &&
             pieces_[end].Old == pieces_[end - 1].Old + pieces_[end - 1].Len)
        ++end;
      for (size_t k = i; k < end;) {
        if (pieces_[k].Kind == Piece::Exact && pieces_[k].Len >= kLongExact) {
          items.push_back({kCopy, pieces_[k].Old, pieces_[k].Len, at});
          at += pieces_[k].Len;
          ++k;
          continue;
        }
        size_t stop = k;
        bool anyDiff = false;
        uint64_t len = 0;
        while (stop < end &&
               !(pieces_[stop].Kind == Piece::Exact && pieces_[stop].Len >= kLongExact)) {
          anyDiff = anyDiff || pieces_[stop].Kind == Piece::Diff;
          len += pieces_[stop].Len;
          ++stop;
        }
        uint8_t tag = anyDiff ? kCover : kCopy;
        if (tag == kCover && len < kMinCover) tag = kInsert;
        items.push_back({tag, pieces_[k].Old, len, at});
        at += len;
        k = stop;
      }
      i = end;
    }
    // Neighbours of one kind that continue each other become one record.
    std::vector<Item> merged;
    for (const Item& it : items) {
      if (!merged.empty()) {
        Item& last = merged.back();
        const bool follows = last.Tag == it.Tag &&
                             (it.Tag == kInsert || last.Old + last.Len == it.Old) &&
                             last.Len + it.Len < kLengthLimit;
        if (follows) {
          last.Len += it.Len;
          continue;
        }
      }
      merged.push_back(it);
    }
    // Where each old byte went, for covers that re-aim references.
    std::vector<TBdxRun> runs;
    for (const Item& it : merged) {
      TBdxRun r;
      r.Tag = it.Tag;
      r.Len = static_cast<uint32_t>(it.Len);
      r.Old = it.Old;
      r.At = it.At;
      runs.push_back(r);
    }
    const TOldMap map = MapOfRuns(runs);
    std::vector<uint8_t> aimed, addressed;
    for (Item& it : merged) {
      TBdxRecord r;
      r.Tag = it.Tag;
      r.Len = static_cast<uint32_t>(it.Len);
      const uint8_t* n = new_.data() + it.At;
      if (it.Tag == kInsert) {
        literals.insert(literals.end(), n, n + it.Len);
      } else {
        r.Seek = static_cast<int32_t>(static_cast<int64_t>(it.Old) - oldPos);
        oldPos = static_cast<int64_t>(it.Old + it.Len);
        if (it.Tag == kCover) {
          // The prediction that leaves more bytes to difference as zeros.
          const uint8_t* o = old_.data() + it.Old;
          aimed.assign(o, o + it.Len);
          AimReferences(map, old_, it.Old, it.At, r.Len, aimed.data());
          addressed.assign(o, o + it.Len);
          AimAddresses(map, old_, it.Old, r.Len, addressed.data());
          size_t plainZeros = 0, aimedZeros = 0, addressedZeros = 0;
          for (uint64_t k = 0; k < it.Len; ++k) {
            plainZeros += n[k] == o[k];
            aimedZeros += n[k] == aimed[k];
            addressedZeros += n[k] == addressed[k];
          }
          if (aimedZeros > plainZeros && aimedZeros >= addressedZeros) {
            r.Tag = kRefCover;
            o = aimed.data();
          } else if (addressedZeros > plainZeros) {
            r.Tag = kAddrCover;
            o = addressed.data();
          }
          const size_t start = diff.size();
          diff.resize(start + it.Len);
          for (uint64_t k = 0; k < it.Len; ++k)
            diff[start + k] = static_cast<uint8_t>(n[k] - o[k]);
        }
      }
      records.push_back(r);
    }
    return WriteBdx(static_cast<uint32_t>(old_.size()), static_cast<uint32_t>(new_.size()),
                    records, diff, literals);
  }

  uint64_t Made() const { return made_; }

 private:
  void Add(Piece kind, uint64_t old, uint64_t len) {
    if (len == 0) return;
    pieces_.push_back({kind, old, len});
    made_ += len;
  }

  std::span<const uint8_t> old_, new_, matched_;
  std::vector<TPiece> pieces_;
  uint64_t made_ = 0;
};

}  // namespace

void AppendVarint(std::vector<uint8_t>& out, uint32_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<uint8_t>(v));
}

namespace {

// The difference sequence `diff` as version 3 stretches: every run of `zerosFrom`
// or more zero bytes ends a stretch as its zeros; the bytes between are given.
void Stretch(std::span<const uint8_t> diff, uint32_t zerosFrom, std::vector<uint8_t>& given,
             std::vector<uint8_t>& zeros, std::vector<uint8_t>& bytes) {
  const size_t n = diff.size();
  size_t from = 0;  // where the stretch's given bytes start
  for (size_t i = 0; i < n;) {
    if (diff[i] != 0) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < n && diff[end] == 0) ++end;
    if (end - i >= std::max<uint32_t>(zerosFrom, 1)) {
      AppendVarint(given, static_cast<uint32_t>(i - from));
      AppendVarint(zeros, static_cast<uint32_t>(end - i));
      bytes.insert(bytes.end(), diff.begin() + from, diff.begin() + i);
      from = end;
    }
    i = end;
  }
  if (from < n) {
    AppendVarint(given, static_cast<uint32_t>(n - from));
    AppendVarint(zeros, 0);
    bytes.insert(bytes.end(), diff.begin() + from, diff.end());
  }
}

}  // namespace

std::vector<uint8_t> WriteBdx(uint32_t oldSize, uint32_t newSize,
                              std::span<const TBdxRecord> records,
                              std::span<const uint8_t> diff, std::span<const uint8_t> literals,
                              uint8_t version, uint32_t zerosFrom) {
  // Version 1: one record stream; later ones: tags, seeks, lengths; version 3 then
  // the given and zero counts, and only the given difference bytes.
  std::vector<uint8_t> streams[6];
  for (const TBdxRecord& r : records) {
    le::Append8(streams[0], r.Tag);
    const uint32_t seek = static_cast<uint32_t>(r.Seek);
    if (version == kVersion1) {
      if (r.Tag != kInsert) le::Append32(streams[0], seek);
      le::Append32(streams[0], r.Len);
    } else {
      if (r.Tag != kInsert) AppendVarint(streams[1], (seek << 1) ^ (0u - (seek >> 31)));
      AppendVarint(streams[2], r.Len);
    }
  }
  const int counted = version == kVersion1 ? 1 : version == kVersion2 ? 3 : 5;
  if (version == kVersion3) {
    Stretch(diff, zerosFrom, streams[3], streams[4], streams[5]);
  } else {
    streams[5].assign(diff.begin(), diff.end());
  }
  std::vector<uint8_t> p = {'B', 'D', 'X', version};
  le::Append32(p, oldSize);
  le::Append32(p, newSize);
  for (int k = 0; k < counted; ++k) le::Append32(p, static_cast<uint32_t>(streams[k].size()));
  le::Append32(p, static_cast<uint32_t>(streams[5].size()));
  le::Append32(p, static_cast<uint32_t>(literals.size()));
  for (const std::vector<uint8_t>& stream : streams) p.insert(p.end(), stream.begin(), stream.end());
  p.insert(p.end(), literals.begin(), literals.end());
  return p;
}

namespace {

// Whether `patch` is a version 3 patch that reads against an old file of its
// OldSize; `plan` is then its plan.
bool ReadsAsVersion3(std::span<const uint8_t> patch, TBdxPlan& plan) {
  return patch.size() >= kHeaderSize3 && patch[3] == kVersion3 &&
         ReadBdx(patch, le::Get32(patch.data() + 4), plan) == BdxStatus::Ok;
}

}  // namespace

std::vector<uint8_t> Restretched(std::span<const uint8_t> patch, uint32_t zerosFrom) {
  TBdxPlan plan;
  if (!ReadsAsVersion3(patch, plan)) return {};
  // The whole sequence, then laid out again.
  const TBdxDifference& d = plan.Difference;
  uint64_t covered = 0;
  for (const TBdxRun& r : plan.Runs) covered += FromLiterals(r.Tag) || r.Tag == kCopy ? 0 : r.Len;
  std::vector<uint8_t> diff(covered, 0);
  TDifferenceSource source(d, patch);
  for (uint64_t at = 0; at < covered; at += kLengthLimit)
    source.AddTo(diff.data() + at, static_cast<uint32_t>(std::min<uint64_t>(kLengthLimit, covered - at)));
  std::vector<uint8_t> given, zeros, bytes;
  Stretch(diff, zerosFrom, given, zeros, bytes);
  // The header's three lengths of the difference and the streams around them.
  std::vector<uint8_t> p(patch.begin(), patch.begin() + d.GivenAt);
  le::Set32(p.data() + 24, static_cast<uint32_t>(given.size()));
  le::Set32(p.data() + 28, static_cast<uint32_t>(zeros.size()));
  le::Set32(p.data() + 32, static_cast<uint32_t>(bytes.size()));
  for (const std::vector<uint8_t>& stream : {given, zeros, bytes})
    p.insert(p.end(), stream.begin(), stream.end());
  p.insert(p.end(), patch.begin() + d.Bytes + d.DiffBytes, patch.end());
  return p;
}

std::vector<uint8_t> WithCodeRuns(std::span<const uint8_t> patch) {
  TBdxPlan plan;
  if (!ReadsAsVersion3(patch, plan)) return {};
  std::vector<uint8_t> p(patch.begin(), patch.end());
  for (size_t k = 0; k < plan.Runs.size(); ++k) {
    const TBdxRun& r = plan.Runs[k];
    if (r.Tag != kInsert) continue;
    uint32_t all = 0;
    const uint32_t inside = ReferencesInside(patch.subspan(r.Stream, r.Len), r.At, plan.NewSize, all);
    if (all == 0 || uint64_t{inside} * 100 < uint64_t{kCodeShare} * all) continue;
    p[kHeaderSize3 + k] = kCode;  // one tag byte per record, the runs in order
    StoredReferences(p.data() + r.Stream, r.Len, r.At);
  }
  return p;
}

namespace {

bool MakeBdxMatched(std::span<const uint8_t> oldFile, std::span<const uint8_t> newFile,
                    std::span<const uint8_t> matched, std::span<const uint8_t> bdtPatch,
                    std::vector<uint8_t>& out, std::string& error);

}  // namespace

bool MakeBdx(std::span<const uint8_t> oldFile, std::span<const uint8_t> newFile,
             std::span<const uint8_t> bdtPatch, std::vector<uint8_t>& out, std::string& error) {
  return MakeBdxMatched(oldFile, newFile, oldFile, bdtPatch, out, error);
}

std::vector<uint8_t> Projected(std::span<const uint8_t> oldFile, const TOldMap& map) {
  std::vector<uint8_t> p(oldFile.begin(), oldFile.end());
  for (const TMoved& m : map.Moved()) {
    const uint32_t len = static_cast<uint32_t>(m.Len);
    AimReferences(map, oldFile, m.Old, m.New, len, p.data() + m.Old);
    AimAddresses(map, oldFile, m.Old, len, p.data() + m.Old);
  }
  return p;
}

namespace {

bool MakeBdxMatched(std::span<const uint8_t> oldFile, std::span<const uint8_t> newFile,
                    std::span<const uint8_t> matched, std::span<const uint8_t> bdtPatch,
                    std::vector<uint8_t>& out, std::string& error) {
  out.clear();
  if (oldFile.size() >= kLengthLimit || newFile.size() >= kLengthLimit) {
    error = "a file of 2 GiB or more";
    return false;
  }
  bdt::TPatchPlan plan;
  if (bdt::ReadPatch(bdtPatch, oldFile.size(), plan) != bdt::PatchStatus::Ok ||
      plan.NewSize != newFile.size()) {
    error = "the difference to extend does not fit the files";
    return false;
  }
  Maker maker(oldFile, newFile, matched);
  uint64_t at = 0, fromOld = 0;
  int64_t pos = 0;
  for (const bdt::TPatchRecord& r : plan.Records) {
    at += r.InsLen;
    pos += r.Seek;
    if (r.CopyLen == 0) continue;
    const uint64_t toOld = static_cast<uint64_t>(pos);
    maker.Gap(maker.Made(), at - maker.Made(), fromOld, &toOld);
    maker.Copy(toOld, r.CopyLen);
    at += r.CopyLen;
    pos += r.CopyLen;
    fromOld = static_cast<uint64_t>(pos);
  }
  maker.Gap(maker.Made(), newFile.size() - maker.Made(), fromOld, nullptr);
  out = maker.Write();
  return true;
}

}  // namespace

bool Recoded(std::span<const uint8_t> bdtPatch, uint64_t oldSize, std::vector<uint8_t>& out,
             std::string& error) {
  out.clear();
  bdt::TPatchPlan plan;
  if (bdt::ReadPatch(bdtPatch, oldSize, plan) != bdt::PatchStatus::Ok) {
    error = "the difference to recode does not fit the old file";
    return false;
  }
  std::vector<TBdxRecord> records;
  uint64_t inserted = 0;
  int64_t pos = 0, oldPos = 0;  // the BDT patch's old position; the BDX one's
  for (const bdt::TPatchRecord& r : plan.Records) {
    if (r.InsLen != 0) {
      if (!records.empty() && records.back().Tag == kInsert &&
          uint64_t{records.back().Len} + r.InsLen < kLengthLimit) {
        records.back().Len += r.InsLen;
      } else {
        records.push_back({kInsert, 0, r.InsLen});
      }
      inserted += r.InsLen;
    }
    pos += r.Seek;
    if (r.CopyLen == 0) continue;
    records.push_back({kCopy, static_cast<int32_t>(pos - oldPos), r.CopyLen});
    pos += r.CopyLen;
    oldPos = pos;
  }
  const std::span<const uint8_t> literals = bdtPatch.subspan(plan.LiteralStart, inserted);
  out = WriteBdx(static_cast<uint32_t>(oldSize), plan.NewSize, records, {}, literals);
  return true;
}

bool WorthExtending(std::span<const uint8_t> newFile) {
  const std::vector<size_t> tunings = bdt::TuningsFor(newFile);
  return !(tunings.size() == 1 && tunings[0] == bdt::kTextTuning);
}

namespace {

// Which of two patches is smaller is judged by a quick compression, which ranks
// them as the full one does at a fraction of its time.
bool QuickSize(std::span<const uint8_t> patch, size_t& size, std::string& error) {
  payload::EncodeOptions quick;
  quick.preset = 1;
  std::vector<uint8_t> out;
  if (!payload::EncodePayload(patch, quick, out, error)) return false;
  size = out.size();
  return true;
}

// Keeps `other`, a form of `patch`, instead when a quick compression finds it
// smaller than `quickSize`, the patch's own (and then its size).
bool KeepSmaller(std::vector<uint8_t>& patch, std::vector<uint8_t>&& other, size_t& quickSize,
                 std::string& error) {
  if (other.empty()) {
    error = "the extended difference does not read back (internal error)";
    return false;
  }
  if (other == patch) return true;
  size_t size = 0;
  if (!QuickSize(other, size, error)) return false;
  if (size < quickSize) {
    patch = std::move(other);
    quickSize = size;
  }
  return true;
}

// The patch's final form: its difference in stretches at every run of zeros or
// at long ones only, its new bytes with CODE runs or without.
bool FinalForm(std::vector<uint8_t>& patch, size_t quickSize, std::string& error) {
  return KeepSmaller(patch, Restretched(patch, 1), quickSize, error) &&
         KeepSmaller(patch, WithCodeRuns(patch), quickSize, error);
}

}  // namespace

bool MakeExtendedDifference(std::span<const uint8_t> oldFile, std::span<const uint8_t> newFile,
                            std::span<const uint8_t> bdtPatch, std::vector<uint8_t>& out,
                            std::string& error) {
  try {
    if (!MakeBdx(oldFile, newFile, bdtPatch, out, error)) return false;
    size_t best = 0;
    if (!QuickSize(out, best, error)) return false;
    // The passes after the first: the new file matched again, against the old one
    // with its references and addresses re-aimed by where the best patch so far
    // moved them. Tables of relocations and pointers, and code whose every call
    // moved, match there at the places they came from.
    // A pass: covers grown from a kCoverTuning match of the new file against
    // `matched`, the old file or a projection of it; kept when a quick compression
    // finds it smaller than the best so far.
    auto pass = [&](std::span<const uint8_t> matched, bool& smaller) {
      std::vector<uint8_t> next;
      {
        bdt::TOldIndex index;
        if (!index.Build(matched, {}, error)) return false;
        bdt::TDiff diff;
        if (!index.Diff(newFile, diff, error, kCoverTuning, false)) return false;
        index = bdt::TOldIndex();
        const std::vector<uint8_t> copies =
            bdt::WritePatch(diff.OldSize, diff.NewSize, diff.Records, diff.Literals);
        if (!MakeBdxMatched(oldFile, newFile, matched, copies, next, error)) return false;
      }
      size_t size = 0;
      if (!QuickSize(next, size, error)) return false;
      smaller = size < best;
      if (smaller) {
        out = std::move(next);
        best = size;
      }
      return true;
    };
    int made = 1;
    for (; made < kPasses; ++made) {
      TBdxPlan plan;
      if (ReadBdx(out, oldFile.size(), plan) != BdxStatus::Ok) {
        error = "the extended difference does not read back (internal error)";
        return false;
      }
      // No cover gained by re-aiming: the file holds no references worth a pass.
      if (plan.Map.Empty()) break;
      const std::vector<uint8_t> projected = Projected(oldFile, plan.Map);
      plan = TBdxPlan();
      bool smaller = false;
      if (!pass(projected, smaller)) return false;
      if (!smaller) break;
    }
    // Where re-aiming did not pay, the copies of a match of its own against the
    // old file itself may serve better than the BDT patch's (grubx64).
    bool smaller = false;
    if (made == 1 && !pass(oldFile, smaller)) return false;
    return FinalForm(out, best, error);
  } catch (const std::bad_alloc&) {
    error = "not enough memory for the extended difference";
    return false;
  }
}

}  // namespace bdx
