// A file's bytes as the package builder works on them, and the letting go of
// them as its passes go on.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "pack/bdt_diff.h"
#include "platform/os.h"

namespace pkg {

// A file's bytes: mapped read-only, or a copy in memory where they must be changed
// (a base file turned into its plain form). The passes over a large mapped file
// let go of the pages they have passed, so that the memory taken follows the work
// rather than the size of the files.
class TFileBytes {
 public:
  // Maps the file (DOS path); refuses a file of 4 GiB or more.
  bool Map(const std::string& path, std::string& error);
  // Reads the file into a copy that may be changed.
  bool Read(const std::string& path, std::string& error);
  std::span<const uint8_t> Bytes() const {
    if (map_.IsOpen()) return {map_.data(), static_cast<size_t>(map_.size())};
    return copy_;
  }
  size_t Size() const { return Bytes().size(); }
  // The copy Read made (empty for a mapped file).
  std::vector<uint8_t>& Copy() { return copy_; }
  // Lets go of the pages of [from, to) of a mapped file; nothing for a copy.
  void Release(uint64_t from, uint64_t to) {
    if (map_.IsOpen() && to > from) map_.ReleasePages(from, to - from);
  }
  void ReleaseAll() { Release(0, Size()); }
  // The checksum of the bytes, in pieces, each let go of once summed.
  uint32_t Sum();

 private:
  os::Mapping map_;
  std::vector<uint8_t> copy_;
};

// Lets go of the pages of the files while a pass walks one of them in order, each
// time the pass says how far it is: of the walked file all but a stretch around
// that point (below it, what the pass may look back over; above it, what it is
// about to read: pages further on were read by others, such as the samples that
// judge a file's kind, and are read again when the pass gets there); and all of
// the other file's, which the pass
// reads too (what it still reads there comes back as it is read): each time with
// `releaseOther`, else once the pass is over. The matching walk looks up the old
// file at random places so often that letting its pages go while it runs costs
// more time than the memory is worth (on the 200 MB record pair, every 4 MiB of
// the walk: more than twice the build's CPU time for a tenth less peak memory).
class TPassRelease {
 public:
  TPassRelease(TFileBytes& walked, TFileBytes& other, bool releaseOther)
      : walked_(walked), other_(other), releaseOther_(releaseOther) {}
  void operator()(uint64_t done) {
    walked_.Release(0, done > kAround ? done - kAround : 0);
    walked_.Release(done + kAround, walked_.Size());
    if (releaseOther_ || done >= walked_.Size()) other_.ReleaseAll();
  }

 private:
  static constexpr uint64_t kAround = 1u << 20;
  TFileBytes& walked_;
  TFileBytes& other_;
  bool releaseOther_;
};

// The hook for bdt::DiffOptions::passed while `newFile` is diffed against
// `oldFile`: the old file let go of behind the block table's pass over it, the new
// one behind each walk, the old one after each walk.
std::function<void(bdt::DiffPhase phase, uint64_t done)> ReleasingPasses(TFileBytes& oldFile,
                                                                         TFileBytes& newFile);

}  // namespace pkg
