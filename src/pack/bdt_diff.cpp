#include "pack/bdt_diff.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <system_error>
#include <thread>

#include "pack/bdt_writer.h"

#if defined(ZUM_DIVSUFSORT)
#include <divsufsort.h>
#endif

namespace bdt {

// ---- suffix sorting (SA-IS) ---------------------------------------------------------

namespace {

// The L/S type of every position, one bit each: S (1) when the suffix is smaller
// than the next one.
class TypeBits {
 public:
  explicit TypeBits(size_t n) : bits_(n / 8 + 1, 0) {}
  bool S(int32_t i) const { return bits_[static_cast<size_t>(i) >> 3] >> (i & 7) & 1; }
  void Set(int32_t i, bool s) {
    const uint8_t bit = static_cast<uint8_t>(1u << (i & 7));
    uint8_t& b = bits_[static_cast<size_t>(i) >> 3];
    b = s ? static_cast<uint8_t>(b | bit) : static_cast<uint8_t>(b & ~bit);
  }
  // Leftmost S: an S position right after an L position.
  bool Lms(int32_t i) const { return i > 0 && S(i) && !S(i - 1); }

 private:
  std::vector<uint8_t> bits_;
};

// Bucket heads (end = false) or ends (end = true) of every symbol.
template <class C>
void Buckets(const C* s, int32_t n, std::vector<int32_t>& bkt, bool end) {
  std::fill(bkt.begin(), bkt.end(), 0);
  for (int32_t i = 0; i < n; ++i) ++bkt[static_cast<size_t>(s[i])];
  int32_t sum = 0;
  for (int32_t& b : bkt) {
    sum += b;
    b = end ? sum : sum - b;
  }
}

// From the sorted LMS suffixes in SA, the L suffixes in order, then the S ones.
template <class C>
void Induce(const C* s, int32_t* sa, int32_t n, const TypeBits& t, std::vector<int32_t>& bkt) {
  Buckets(s, n, bkt, false);
  for (int32_t i = 0; i < n; ++i) {
    const int32_t j = sa[i] - 1;
    if (j >= 0 && !t.S(j)) sa[bkt[static_cast<size_t>(s[j])]++] = j;
  }
  Buckets(s, n, bkt, true);
  for (int32_t i = n - 1; i >= 0; --i) {
    const int32_t j = sa[i] - 1;
    if (j >= 0 && t.S(j)) sa[--bkt[static_cast<size_t>(s[j])]] = j;
  }
}

template <class C>
void Sais(const C* s, int32_t* sa, int32_t n, uint32_t maxSymbol) {
  if (n == 1) {
    sa[0] = 0;
    return;
  }
  if (n == 2) {  // a symbol, then the sentinel
    sa[0] = 1;
    sa[1] = 0;
    return;
  }
  TypeBits t(static_cast<size_t>(n));
  t.Set(n - 1, true);
  t.Set(n - 2, false);
  for (int32_t i = n - 3; i >= 0; --i)
    t.Set(i, s[i] < s[i + 1] || (s[i] == s[i + 1] && t.S(i + 1)));

  // Stage 1: sort the LMS substrings by inducing from their unsorted heads.
  std::vector<int32_t> bkt(static_cast<size_t>(maxSymbol) + 1);
  Buckets(s, n, bkt, true);
  std::fill(sa, sa + n, -1);
  for (int32_t i = 1; i < n; ++i)
    if (t.Lms(i)) sa[--bkt[static_cast<size_t>(s[i])]] = i;
  Induce(s, sa, n, t, bkt);
  std::vector<int32_t>().swap(bkt);  // not needed while the reduced string is sorted

  // The sorted LMS substrings to the front, then named: equal substrings share a
  // name. Names go to the back half, at index LMS position / 2 (LMS positions are
  // at least 2 apart, so these never collide).
  int32_t n1 = 0;
  for (int32_t i = 0; i < n; ++i)
    if (t.Lms(sa[i])) sa[n1++] = sa[i];
  std::fill(sa + n1, sa + n, -1);
  int32_t name = 0, prev = -1;
  for (int32_t i = 0; i < n1; ++i) {
    const int32_t pos = sa[i];
    bool diff = false;
    for (int32_t d = 0; d < n; ++d) {
      if (prev == -1 || s[pos + d] != s[prev + d] || t.S(pos + d) != t.S(prev + d)) {
        diff = true;
        break;
      }
      if (d > 0 && (t.Lms(pos + d) || t.Lms(prev + d))) break;
    }
    if (diff) {
      ++name;
      prev = pos;
    }
    sa[n1 + pos / 2] = name - 1;
  }
  for (int32_t i = n - 1, j = n - 1; i >= n1; --i)
    if (sa[i] >= 0) sa[j--] = sa[i];

  // Stage 2: sort the reduced string, recursively when names repeat.
  int32_t* s1 = sa + n - n1;
  if (name < n1) {
    Sais<int32_t>(s1, sa, n1, static_cast<uint32_t>(name - 1));
  } else {
    for (int32_t i = 0; i < n1; ++i) sa[s1[i]] = i;
  }

  // Stage 3: the LMS suffixes in their true order, then induce everything.
  bkt.assign(static_cast<size_t>(maxSymbol) + 1, 0);
  Buckets(s, n, bkt, true);
  for (int32_t i = 1, j = 0; i < n; ++i)
    if (t.Lms(i)) s1[j++] = i;
  for (int32_t i = 0; i < n1; ++i) sa[i] = s1[sa[i]];
  std::fill(sa + n1, sa + n, -1);
  for (int32_t i = n1 - 1; i >= 0; --i) {
    const int32_t j = sa[i];
    sa[i] = -1;
    sa[--bkt[static_cast<size_t>(s[j])]] = j;
  }
  Induce(s, sa, n, t, bkt);
}

// Length of the common prefix of a and b, at most n bytes.
size_t Common(const uint8_t* a, const uint8_t* b, size_t n) {
  size_t i = 0;
  while (i + 8 <= n) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) {
#if defined(__GNUC__)
      return i + static_cast<size_t>(__builtin_ctzll(x ^ y) >> 3);
#else
      break;
#endif
    }
    i += 8;
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

}  // namespace

uint32_t HeadKey(const uint8_t* p, size_t avail, unsigned bytes) {
  uint32_t key = 0;
  for (unsigned k = 0; k < bytes; ++k) key = key << 8 | (k < avail ? p[k] : 0u);
  return key;
}

namespace {

// The first `bits` bits of p (zeros past `avail`), at most 24.
uint32_t HeadOf(const uint8_t* p, size_t avail, unsigned bits) {
  return HeadKey(p, avail, (bits + 7) / 8) >> ((8 - bits % 8) % 8);
}

}  // namespace

void SuffixSort(const uint32_t* s, int32_t* sa, int32_t n, uint32_t maxSymbol) {
  if (n > 0) Sais<uint32_t>(s, sa, n, maxSymbol);
}

// ---- the index ----------------------------------------------------------------------

uint32_t ChooseStride(uint64_t oldSize, const DiffOptions& options) {
  if (options.stride == 1 || options.stride == 2 || options.stride == 4 || options.stride == 8)
    return options.stride;
  const uint64_t budget = options.indexBudget ? options.indexBudget : kDefaultIndexBudget;
  for (uint32_t s = 1; s < 8; s *= 2)
    if (oldSize / s * 12 <= budget) return s;
  return 8;
}

bool TOldIndex::Build(std::span<const uint8_t> oldFile, const DiffOptions& options,
                      std::string& error) {
  if (oldFile.size() >= kLengthLimit) {
    error = "the old file is 2 GiB or larger";
    return false;
  }
  old_ = oldFile;
  options_ = options;
  stride_ = ChooseStride(oldFile.size(), options);
  sa_.clear();
  heads_.clear();
  blocks_ = TBlockTable();
  const uint64_t twoStageFrom = options.twoStageFrom ? options.twoStageFrom : kTwoStageFrom;
  // Beyond what the table takes, the whole file is sorted with a stride, as
  // below.
  if (oldFile.size() >= twoStageFrom && oldFile.size() >= TBlockTable::kBlock &&
      oldFile.size() <= TBlockTable::kMaxOld) {
    try {
      if (options_.progress) options_.progress(DiffPhase::Sorting, 0, 1);
      std::function<void(uint64_t)> passed;
      if (options_.passed)
        passed = [this](uint64_t done) { options_.passed(DiffPhase::Sorting, done); };
      blocks_.Build(oldFile, passed, kPassStep);
      if (options_.progress) options_.progress(DiffPhase::Sorting, 1, 1);
    } catch (const std::bad_alloc&) {
      blocks_ = TBlockTable();
      error = "not enough memory to index the old file (" + std::to_string(oldFile.size()) +
              " bytes)";
      return false;
    }
    return true;
  }
  const size_t s = stride_;
  const size_t m = oldFile.size() / s;  // whole symbols only; the rest is never a start
  if (m == 0) return true;
  auto step = [&](uint64_t done, uint64_t total) {
    if (options_.progress) options_.progress(DiffPhase::Sorting, done, total);
  };
  const uint64_t steps = s / 2 + 2;
  const uint8_t* o = oldFile.data();

  try {
    // The old file as a string of stride-byte symbols, each replaced by its rank
    // among the distinct symbols (1 up), then the sentinel 0. Without a stride the
    // symbols are the bytes + 1, in 16 bits.
    // The array is made only when the symbols are ready: with a stride, the
    // radix sort's own arrays are gone by then.
    static_assert(sizeof(int32_t) == sizeof(uint32_t));
    auto sa = [&] {
      sa_.resize(m + 1);
      return reinterpret_cast<int32_t*>(sa_.data());
    };
    if (s == 1) {
#if defined(ZUM_DIVSUFSORT)
      // libdivsufsort where the build has it: the same array (a suffix array is
      // one for its text), in half the time of SA-IS on byte texts (0.09 s
      // against 0.16 s for the 1.7 MB leftover of the 200 MB record pair, 1.5 s
      // against 3.4 s for 20 MB of it) and without the 16-bit copy of the text.
      // In front, the sentinel's suffix the SA-IS path has there.
      step(steps - 2, steps);
      int32_t* array = sa();
      array[0] = static_cast<int32_t>(m);
      static_assert(sizeof(saidx_t) == sizeof(int32_t));
      if (divsufsort(o, reinterpret_cast<saidx_t*>(array + 1), static_cast<saidx_t>(m)) != 0)
        throw std::bad_alloc();
#else
      std::vector<uint16_t> bytes(m + 1);
      for (size_t k = 0; k < m; ++k) bytes[k] = static_cast<uint16_t>(o[k] + 1u);
      bytes[m] = 0;
      step(steps - 2, steps);
      Sais<uint16_t>(bytes.data(), sa(), static_cast<int32_t>(m + 1), 256);
#endif
    } else {
      std::vector<uint32_t> text(m + 1);
      // Radix sort of the symbol starts, 16 bits a pass from the last two bytes,
      // then ranks in sorted order.
      std::vector<uint32_t> order(m), spare(m);
      std::vector<uint32_t> count(65537);
      for (size_t pass = 0; pass < s / 2; ++pass) {
        step(pass, steps);
        const size_t at = s - 2 - 2 * pass;
        auto digit = [&](uint32_t k) {
          const uint8_t* p = o + static_cast<size_t>(k) * s + at;
          return static_cast<uint32_t>(p[0]) << 8 | p[1];
        };
        std::fill(count.begin(), count.end(), 0);
        for (size_t k = 0; k < m; ++k)
          ++count[digit(pass == 0 ? static_cast<uint32_t>(k) : order[k]) + 1];
        for (size_t d = 1; d < count.size(); ++d) count[d] += count[d - 1];
        for (size_t k = 0; k < m; ++k) {
          const uint32_t idx = pass == 0 ? static_cast<uint32_t>(k) : order[k];
          spare[count[digit(idx)]++] = idx;
        }
        order.swap(spare);
      }
      std::vector<uint32_t>().swap(spare);
      uint32_t rank = 0;
      for (size_t k = 0; k < m; ++k) {
        if (k == 0 || std::memcmp(o + static_cast<size_t>(order[k]) * s,
                                  o + static_cast<size_t>(order[k - 1]) * s, s) != 0)
          ++rank;
        text[order[k]] = rank;
      }
      std::vector<uint32_t>().swap(order);
      text[m] = 0;
      step(steps - 2, steps);
      Sais<uint32_t>(text.data(), sa(), static_cast<int32_t>(m + 1), rank);
    }
    // Drop the sentinel's suffix (always first) and turn symbol indices into
    // old positions.
    for (size_t k = 0; k < m; ++k) sa_[k] = sa_[k + 1] * static_cast<uint32_t>(s);
    sa_.resize(m);
    // Where the suffixes of each start of headBits_ bits begin in the array: a
    // search then only bisects that range. 22 bits (a 16 MiB table, a few
    // suffixes a head for an executable of some tens of MiB) once the array is
    // large enough that the table saves more than it costs.
    headBits_ = m >= options.longHeadsFrom ? kLongHeadBits : 16;
    heads_.assign((size_t{1} << headBits_) + 1, 0);
    const size_t size = oldFile.size();
    for (size_t k = 0; k < m; ++k) {
      const size_t p = sa_[k];
      ++heads_[HeadOf(o + p, size - p, headBits_) + 1];
    }
    for (size_t k = 1; k < heads_.size(); ++k) heads_[k] += heads_[k - 1];
    step(steps, steps);
  } catch (const std::bad_alloc&) {
    sa_.clear();
    heads_.clear();
    error = "not enough memory to index the old file (" + std::to_string(oldFile.size()) +
            " bytes)";
    return false;
  }
  return true;
}

namespace {

// Equally long matches are compared for their distance only this far each way,
// and only while they are short enough that the comparison is cheap.
constexpr int kTieScan = 8;
constexpr size_t kTieScanMaxLen = 4096;
constexpr uint64_t kProgressStep = 1u << 20;

struct Candidate {
  size_t newPos = 0;  // where the copy starts in the new file
  size_t oldPos = 0;
  size_t len = 0;
  size_t End() const { return newPos + len; }
};

// A search whose range is at most this long asks for every suffix's bytes at once.
constexpr size_t kPrefetchedRange = 16;

class Matcher {
 public:
  // `real` turns a position of `old` into the one the distances are measured in.
  Matcher(std::span<const uint8_t> old, const std::vector<uint32_t>& sa,
          const std::vector<uint32_t>& heads, unsigned headBits,
          std::function<size_t(size_t)> real)
      : o_(old.data()), n_(old.size()), sa_(sa), heads_(heads),
        headBits_(headBits), headBytes_(headBits / 8), real_(std::move(real)) {}

  // Asks for the start of the range that a search for p[0..len) begins with, so
  // that it is at hand when the walk gets there.
  void Prefetch(const uint8_t* p, size_t len) const {
    if (!heads_.empty()) __builtin_prefetch(&heads_[HeadOf(p, len, headBits_)]);
  }

  // The longest match of p[0..len) among the indexed suffixes (len >= 2), and
  // when it is at least `worthTies` long, the closest to `expected` among equally
  // long ones. len 0 when there is none.
  Candidate Longest(const uint8_t* p, size_t len, size_t expected, size_t worthTies) const {
    Candidate best;
    const uint32_t key = HeadOf(p, len, headBits_);
    size_t lo = heads_[key], hi = heads_[key + 1];
    if (lo == hi) return best;
    // A short range (the most of them) has all its suffixes' bytes asked for at
    // once: the bisection's reads, each on the one before, then find them at
    // hand rather than waiting for memory at every step.
    if (hi - lo <= kPrefetchedRange)
      for (size_t k = lo; k < hi; ++k) __builtin_prefetch(o_ + sa_[k] + headBytes_);
    // A head of bits that end inside a byte: the range is narrowed to the suffixes
    // that begin with the pattern's whole bytes. Which of several equally long
    // matches the bisection lands on depends on where its range ends, and so the
    // patches stay those of a table of whole bytes.
    if (headBits_ % 8 != 0) {
      const unsigned whole = (headBits_ + 7) / 8;
      const uint32_t want = HeadKey(p, len, whole);
      auto head = [&](uint32_t pos) { return HeadKey(o_ + pos, n_ - pos, whole); };
      const auto first = sa_.begin() + static_cast<ptrdiff_t>(lo);
      const auto last = sa_.begin() + static_cast<ptrdiff_t>(hi);
      const auto from = std::lower_bound(first, last, want,
                                         [&](uint32_t pos, uint32_t w) { return head(pos) < w; });
      const auto to = std::upper_bound(from, last, want,
                                       [&](uint32_t w, uint32_t pos) { return w < head(pos); });
      lo = static_cast<size_t>(from - sa_.begin());
      hi = static_cast<size_t>(to - sa_.begin());
      if (lo == hi) return best;
    }
    --hi;
    // The common prefixes with the range's ends bound that of everything between
    // them, so each step compares only from the smaller of the two.
    size_t lcpLo = Lcp(lo, p, len, 0), lcpHi = Lcp(hi, p, len, 0);
    while (hi - lo > 1) {
      const size_t mid = lo + (hi - lo) / 2;
      const size_t l = Lcp(mid, p, len, std::min(lcpLo, lcpHi));
      const uint32_t pos = sa_[mid];
      if (l < len && (pos + l >= n_ || p[l] > o_[pos + l])) {
        lo = mid;
        lcpLo = l;
      } else {
        hi = mid;
        lcpHi = l;
      }
    }
    size_t at = lcpLo >= lcpHi ? lo : hi;
    // The bisection trusts the order; the chosen suffix is measured afresh.
    size_t l = Common(p, o_ + sa_[at], std::min(len, n_ - sa_[at]));
    if (l < 2) return best;
    if (l >= worthTies && l <= kTieScanMaxLen) {
      auto distance = [&](size_t pos) {
        pos = real_(pos);
        return pos > expected ? pos - expected : expected - pos;
      };
      size_t bestDist = distance(sa_[at]);
      for (int dir = -1; dir <= 1; dir += 2) {
        size_t k = at;
        for (int step = 0; step < kTieScan; ++step) {
          if (dir < 0 ? k == 0 : k + 1 >= sa_.size()) break;
          k = dir < 0 ? k - 1 : k + 1;
          const uint32_t pos = sa_[k];
          if (n_ - pos < l || Common(p, o_ + pos, l) < l) break;
          if (distance(pos) < bestDist) {
            bestDist = distance(pos);
            at = k;
          }
        }
      }
    }
    best.oldPos = sa_[at];
    best.len = l;
    return best;
  }

 private:
  // Common prefix of p and the suffix at sa_[k], known to be at least `from`.
  size_t Lcp(size_t k, const uint8_t* p, size_t len, size_t from) const {
    const size_t pos = sa_[k];
    const size_t avail = std::min(len, n_ - pos);
    if (from > avail) from = 0;  // the order near the file's end is not exact
    return from + Common(p + from, o_ + pos + from, avail - from);
  }

  const uint8_t* o_;
  size_t n_;
  const std::vector<uint32_t>& sa_;
  const std::vector<uint32_t>& heads_;
  unsigned headBits_, headBytes_;
  std::function<size_t(size_t)> real_;
};

}  // namespace

namespace {

// Two stages: runs found through the block table shorter than this are not
// counted as taking their old bytes out of the suffix array (a chance meeting of
// common words takes nothing), and leftover pieces shorter than this are not
// sorted (no copy worth its record starts in them).
constexpr size_t kAnchorMin = 2 * TBlockTable::kBlock;
constexpr size_t kMinPiece = 16;

}  // namespace

bool TOldIndex::Prepare(std::span<const uint8_t> newFile, TLeftover& leftover,
                       std::string& error) const {
  leftover = TLeftover();
  if (blocks_.Empty()) return true;
  if (newFile.size() >= kLengthLimit) {
    error = "the new file is 2 GiB or larger";
    return false;
  }
  try {
  constexpr size_t B = TBlockTable::kBlock;
  const uint8_t* o = old_.data();
  const uint8_t* nw = newFile.data();
  const size_t oldSize = old_.size(), newSize = newFile.size();
  // The old runs taken, as [start, end) pairs.
  std::vector<std::pair<uint32_t, uint32_t>> taken;
  size_t i = 0, grownTo = 0;  // new bytes below grownTo belong to a run already
  // The bucket of the position kAhead bytes on is fetched into the cache while
  // this one is looked up: positions outside the long runs are looked up one
  // after another, each at a random place of the table.
  constexpr size_t kAhead = 8;
  uint64_t h = 0, ahead = 0;
  auto restart = [&] {
    h = TBlockTable::Hash(nw + i);
    ahead = i + kAhead + B <= newSize ? TBlockTable::Hash(nw + i + kAhead) : 0;
    for (size_t k = 1; k <= kAhead && i + k + B <= newSize; ++k)
      blocks_.Prefetch(TBlockTable::Hash(nw + i + k));
  };
  if (newSize >= B) restart();
  uint64_t passedAt = kPassStep;
  while (i + B <= newSize) {
    if (options_.passed && i >= passedAt) {
      options_.passed(DiffPhase::Matching, i);
      passedAt = i + kPassStep;
    }
    size_t bestNew = 0, bestOld = 0, bestLen = 0;
    blocks_.ForEach(h, [&](size_t op) {
      if (std::memcmp(nw + i, o + op, B) != 0) return;
      size_t ns = i, os = op;
      while (ns > grownTo && os > 0 && nw[ns - 1] == o[os - 1]) --ns, --os;
      const size_t len =
          (i - ns) + B + Common(nw + i + B, o + op + B, std::min(newSize - i, oldSize - op) - B);
      if (len > bestLen) bestNew = ns, bestOld = os, bestLen = len;
    });
    if (bestLen >= kAnchorMin) {
      taken.emplace_back(static_cast<uint32_t>(bestOld), static_cast<uint32_t>(bestOld + bestLen));
      i = grownTo = bestNew + bestLen;
      if (i + B <= newSize) restart();
      continue;
    }
    if (i + B < newSize) h = TBlockTable::Roll(h, nw[i], nw[i + B]);
    if (i + kAhead + B < newSize) {
      ahead = TBlockTable::Roll(ahead, nw[i + kAhead], nw[i + kAhead + B]);
      blocks_.Prefetch(ahead);
    }
    ++i;
  }
  if (options_.passed) options_.passed(DiffPhase::Matching, newSize);
  std::sort(taken.begin(), taken.end());
  std::vector<uint8_t>& text = leftover.Text;
  size_t from = 0;  // the first old byte not known to be taken
  auto keep = [&](size_t end) {
    if (end >= from + kMinPiece) {
      leftover.Pieces.push_back({static_cast<uint32_t>(text.size()), static_cast<uint32_t>(from)});
      text.insert(text.end(), o + from, o + end);
    }
  };
  for (const auto& [start, end] : taken) {
    if (start > from) keep(start);
    from = std::max<size_t>(from, end);
  }
  keep(oldSize);
  std::vector<std::pair<uint32_t, uint32_t>>().swap(taken);
  DiffOptions sub;
  sub.indexBudget = options_.indexBudget;
  sub.twoStageFrom = ~uint64_t{0};
  // The table of long heads pays only when the array is as large as it.
  sub.longHeadsFrom = size_t{1} << kLongHeadBits;
  if (!leftover.Index.Build(text, sub, error)) return false;
  } catch (const std::bad_alloc&) {
    leftover = TLeftover();
    error = "not enough memory for the difference";
    return false;
  }
  return true;
}

bool TOldIndex::Diff(std::span<const uint8_t> newFile, TDiff& out, std::string& error,
                     const TMatchTuning& tuning, bool report) const {
  if (blocks_.Empty()) {
    if (newFile.size() >= kLengthLimit) {
      error = "the new file is 2 GiB or larger";
      return false;
    }
    try {
      Walk(newFile, *this, nullptr, out, tuning, report);
    } catch (const std::bad_alloc&) {
      out = TDiff();
      error = "not enough memory for the difference";
      return false;
    }
    out.SortedBytes = sa_.empty() ? 0 : old_.size();
    return true;
  }
  TLeftover leftover;
  return Prepare(newFile, leftover, error) && Diff(newFile, leftover, out, error, tuning, report);
}

bool TOldIndex::Diff(std::span<const uint8_t> newFile, const TLeftover& leftover, TDiff& out,
                     std::string& error, const TMatchTuning& tuning, bool report) const {
  if (blocks_.Empty()) return Diff(newFile, out, error, tuning, report);
  if (newFile.size() >= kLengthLimit) {
    error = "the new file is 2 GiB or larger";
    return false;
  }
  try {
    Walk(newFile, leftover.Index, &leftover.Pieces, out, tuning, report);
  } catch (const std::bad_alloc&) {
    out = TDiff();
    error = "not enough memory for the difference";
    return false;
  }
  out.SortedBytes = leftover.Text.size();
  return true;
}

void TOldIndex::Walk(std::span<const uint8_t> newFile, const TOldIndex& sorted,
                     const std::vector<TLeftoverPiece>* pieces, TDiff& out, const TMatchTuning& tuning,
                     bool report) const {
  out = TDiff();
  out.OldSize = static_cast<uint32_t>(old_.size());
  out.NewSize = static_cast<uint32_t>(newFile.size());
  const uint8_t* o = old_.data();
  const uint8_t* nw = newFile.data();
  const size_t oldSize = old_.size(), newSize = newFile.size();

  size_t litStart = 0;    // first new byte not yet in a record
  size_t lastOldEnd = 0;  // old position after the last copy
  auto emit = [&](const Candidate& c) {
    out.Literals.insert(out.Literals.end(), nw + litStart, nw + c.newPos);
    out.Records.push_back(
        {static_cast<int32_t>(static_cast<int64_t>(c.oldPos) - static_cast<int64_t>(lastOldEnd)),
         static_cast<uint32_t>(c.newPos - litStart), static_cast<uint32_t>(c.len)});
    out.CopiedBytes += c.len;
    lastOldEnd = c.oldPos + c.len;
    litStart = c.End();
  };
  // A copy at (i, j) measured forwards and grown backwards into the literal run.
  auto measure = [&](size_t i, size_t j) {
    Candidate c;
    if (j >= oldSize) return c;
    c.len = Common(nw + i, o + j, std::min(newSize - i, oldSize - j));
    c.newPos = i;
    c.oldPos = j;
    while (c.newPos > litStart && c.oldPos > 0 && nw[c.newPos - 1] == o[c.oldPos - 1]) {
      --c.newPos;
      --c.oldPos;
      ++c.len;
    }
    return c;
  };
  // A position of the sorted text in the old file.
  auto real = [pieces](size_t pos) -> size_t {
    if (!pieces) return pos;
    auto it = std::upper_bound(pieces->begin(), pieces->end(), pos,
                               [](size_t p, const TLeftoverPiece& piece) { return p < piece.At; });
    return it == pieces->begin() ? pos : pos - std::prev(it)->At + std::prev(it)->Old;
  };

  const bool indexed = !sorted.sa_.empty();
  const bool blocks = !blocks_.Empty();
  const Matcher matcher(sorted.old_, sorted.sa_, sorted.heads_, sorted.headBits_,
                        real);
  // With a stride, a copy that starts between two indexed positions is seen from a
  // later position and grown back; the same for a copy that starts inside a block
  // of the table.
  const size_t ahead = std::max<size_t>(indexed ? sorted.stride_ : 1,
                                        blocks ? TBlockTable::kBlock : 1);
  uint64_t reported = 0;
  size_t searched = 0;  // new positions below this have been looked up
  size_t i = 0;
  uint64_t passedAt = kPassStep;
  while (oldSize > 0 && i + 2 <= newSize) {
    if (report && options_.progress && i - reported >= kProgressStep) {
      reported = i;
      options_.progress(DiffPhase::Matching, i, newSize);
    }
    if (report && options_.passed && i >= passedAt) {
      options_.passed(DiffPhase::Matching, i);
      passedAt = i + kPassStep;
    }
    // Where the old file would continue: after changed bytes in place of old ones,
    // or after bytes inserted.
    const size_t run = i - litStart;
    Candidate best = measure(i, lastOldEnd + run);
    if (run > 0) {
      const Candidate inserted = measure(i, lastOldEnd);
      if (inserted.End() > best.End()) best = inserted;
    }
    if (best.len >= tuning.MinResume) {
      emit(best);
      i = litStart;
      continue;
    }
    if (indexed || blocks) {
      // Anywhere in the old file: the longest reach, and of equal ones the closest
      // to where the old file was expected.
      Candidate found;
      size_t foundDist = 0;
      const size_t expected = lastOldEnd + run;
      auto consider = [&](const Candidate& c) {
        const size_t dist = c.oldPos > expected ? c.oldPos - expected : expected - c.oldPos;
        if (c.End() > found.End() || (c.End() == found.End() && c.len > 0 && dist < foundDist)) {
          found = c;
          foundDist = dist;
        }
      };
      for (size_t d = 0; d < ahead && i + d + 2 <= newSize; ++d) {
        // A position looked at ahead found nothing worth a copy then, and nothing
        // has changed since.
        const size_t at = i + d;
        if (at < searched) continue;
        searched = at + 1;
        if (indexed) {
          if (at + 3 <= newSize) matcher.Prefetch(nw + at + 1, newSize - at - 1);
          // Ties matter only for a find that may become a copy once grown backwards.
          const Candidate f =
              matcher.Longest(nw + at, newSize - at, expected + d, tuning.MinMatch / 2);
          if (f.len != 0) consider(measure(at, real(f.oldPos)));
        }
        if (blocks && at + TBlockTable::kBlock <= newSize) {
          if (at + 1 + TBlockTable::kBlock <= newSize)
            blocks_.Prefetch(TBlockTable::Hash(nw + at + 1));
          blocks_.ForEach(TBlockTable::Hash(nw + at), [&](size_t op) {
            if (std::memcmp(nw + at, o + op, TBlockTable::kBlock) == 0) consider(measure(at, op));
          });
        }
        // Looking on once a find reaches twice the least copy costs time (on the
        // 200 MB record pair, a fifth of the walk) but keeps copies whole: stopping
        // at the least copy made that patch 0.7% larger.
        if (found.len >= 2 * tuning.MinMatch) break;
      }
      if (found.len >= tuning.MinMatch) {
        emit(found);
        i = litStart;
        continue;
      }
    }
    ++i;
  }
  // What follows the last copy is the tail.
  out.Literals.insert(out.Literals.end(), nw + litStart, nw + newSize);
  if (report && options_.progress) options_.progress(DiffPhase::Matching, newSize, newSize);
  if (report && options_.passed) options_.passed(DiffPhase::Matching, newSize);
}

std::vector<size_t> TuningsFor(std::span<const uint8_t> newFile) {
  std::vector<size_t> all(std::size(kTunings));
  for (size_t t = 0; t < all.size(); ++t) all[t] = t;
  if (newFile.size() < kTryAllBelow) return all;
  // Printable: ASCII text and line breaks, and the Cyrillic letters of CP1251.
  size_t printable = 0, counted = 0;
  auto count = [&](std::span<const uint8_t> part) {
    for (uint8_t b : part)
      printable += (b >= 0x20 && b < 0x7F) || b == '\t' || b == '\n' || b == '\r' || b >= 0xC0;
    counted += part.size();
  };
  if (newFile.size() < kSampledFrom) {
    count(newFile);
  } else {
    const size_t gap = newFile.size() / kSamples;
    for (size_t k = 0; k < kSamples; ++k) count(newFile.subspan(k * gap, kSampleBytes));
  }
  const double share = static_cast<double>(printable) / static_cast<double>(counted);
  if (share >= kTextShare) return {kTextTuning};
  if (share <= kBinaryShare) return {kCodeTuning};
  return all;
}

namespace {

// The tunings are judged by a quick compression, which ranks patches as the full
// one does at a fraction of its time; only the winner is compressed in full.
constexpr uint32_t kJudgingPreset = 1;

// Two stages: the leftover is made once. With more than one tuning to try, each
// diffs a slice from the middle of the file (a sixteenth, at least kJudgedSlice
// bytes) and the one whose slice compresses smallest diffs the whole file: a large
// file is diffed in full once.
constexpr size_t kJudgedSlice = 8u << 20;

bool TwoStagePayload(TOldIndex& index, std::span<const uint8_t> newFile,
                     const std::vector<size_t>& tunings, const payload::EncodeOptions& encode,
                     std::vector<uint8_t>& patch, std::vector<uint8_t>& framed,
                     std::string& error) {
  try {
    TLeftover leftover;
    if (!index.Prepare(newFile, leftover, error)) return false;
    size_t pick = tunings[0];
    if (tunings.size() > 1) {
      const size_t n = newFile.size();
      const size_t len = std::min(n, std::max(kJudgedSlice, n / 16));
      const std::span<const uint8_t> slice = newFile.subspan((n - len) / 2, len);
      payload::EncodeOptions quick = encode;
      quick.progress = nullptr;
      quick.preset = std::min(quick.preset, kJudgingPreset);
      quick.extreme = false;
      size_t smallest = SIZE_MAX;
      for (size_t t : tunings) {
        TDiff diff;
        std::vector<uint8_t> judged;
        if (!index.Diff(slice, leftover, diff, error, kTunings[t], false)) return false;
        const std::vector<uint8_t> p = WritePatch(diff.OldSize, diff.NewSize, diff.Records, diff.Literals);
        if (!payload::EncodePayload(p, quick, judged, error)) return false;
        if (judged.size() < smallest) {
          smallest = judged.size();
          pick = t;
        }
      }
    }
    TDiff diff;
    if (!index.Diff(newFile, leftover, diff, error, kTunings[pick], true)) return false;
    leftover = TLeftover();
    index = TOldIndex();
    patch = WritePatch(diff.OldSize, diff.NewSize, diff.Records, diff.Literals);
  } catch (const std::bad_alloc&) {
    error = "not enough memory for the difference";
    return false;
  }
  return payload::EncodePayload(patch, encode, framed, error);
}

}  // namespace

bool SmallestPatchPayload(TOldIndex index, std::span<const uint8_t> newFile,
                          const payload::EncodeOptions& encode, std::vector<uint8_t>& patch,
                          std::vector<uint8_t>& framed, std::string& error) {
  const std::vector<size_t> tunings = TuningsFor(newFile);
  if (index.TwoStage()) return TwoStagePayload(index, newFile, tunings, encode, patch, framed, error);
  if (tunings.size() == 1) {
    try {
      TDiff diff;
      if (!index.Diff(newFile, diff, error, kTunings[tunings[0]], true)) return false;
      index = TOldIndex();
      patch = WritePatch(diff.OldSize, diff.NewSize, diff.Records, diff.Literals);
    } catch (const std::bad_alloc&) {
      error = "not enough memory for the difference";
      return false;
    }
    return payload::EncodePayload(patch, encode, framed, error);
  }
  constexpr size_t kCount = std::size(kTunings);
  // The tunings are judged by a quick compression, which ranks patches as the
  // full one does at a fraction of its time; only the winner is compressed in full.
  constexpr uint32_t kJudgingPreset = 1;
  struct Trial {
    std::vector<uint8_t> patch, framed;
    std::string error;
    bool ok = false;
  };
  std::vector<Trial> trials(kCount);
  auto run = [&](size_t t) {
    Trial& trial = trials[t];
    try {
      TDiff diff;
      if (!index.Diff(newFile, diff, trial.error, kTunings[t], t == 0)) return;
      trial.patch = WritePatch(diff.OldSize, diff.NewSize, diff.Records, diff.Literals);
      diff = TDiff();
      payload::EncodeOptions quick = encode;
      quick.progress = nullptr;
      if (quick.preset > kJudgingPreset) {
        quick.preset = kJudgingPreset;
        quick.extreme = false;
      }
      trial.ok = payload::EncodePayload(trial.patch, quick, trial.framed, trial.error);
    } catch (const std::bad_alloc&) {
      trial.error = "not enough memory for the difference";
    }
  };
  // The first tuning on this thread, the others beside it when there are cores.
  std::vector<std::thread> helpers;
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  try {
    for (size_t t = 1; t < kCount && t < cores; ++t) helpers.emplace_back(run, t);
  } catch (const std::system_error&) {
    // No thread to be had: the rest run here, one after another.
  }
  run(0);
  for (std::thread& h : helpers) h.join();
  for (size_t t = helpers.size() + 1; t < kCount; ++t) run(t);
  index = TOldIndex();

  size_t best = kCount;
  for (size_t t = 0; t < kCount; ++t)
    if (trials[t].ok && (best == kCount || trials[t].framed.size() < trials[best].framed.size()))
      best = t;
  if (best == kCount) {
    error = trials[0].error;
    return false;
  }
  patch = std::move(trials[best].patch);
  if (encode.preset <= kJudgingPreset) {  // the quick compression was the full one
    framed = std::move(trials[best].framed);
    return true;
  }
  trials.clear();
  return payload::EncodePayload(patch, encode, framed, error);
}

bool MakeBdtPatch(std::span<const uint8_t> oldFile, std::span<const uint8_t> newFile,
                  const DiffOptions& options, std::vector<uint8_t>& patch, std::string& error) {
  TOldIndex index;
  TDiff diff;
  if (!index.Build(oldFile, options, error) || !index.Diff(newFile, diff, error)) return false;
  patch = WritePatch(diff.OldSize, diff.NewSize, diff.Records, diff.Literals);
  return true;
}

}  // namespace bdt
