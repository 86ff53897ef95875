// The additive checksum of a 200 MB file in the page cache (SumFile, as the engine
// and the journal use it) against the plainest summing loop over the same number
// of bytes already in memory: the bar is the memory loop, not a tool.
#include <cstdio>
#include <cstring>
#include <vector>

#include "installer/form1.h"
#include "bench_util.h"
#include "files/checksum_file.h"
#include "frontends/scripted/scripted.h"

namespace {

// A plain loop over the little-endian u32 words, as anyone would write it.
__attribute__((noinline)) uint32_t PlainSum(const uint32_t* words, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum += words[i];
  return sum;
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options opt = bench::ParseArgs(argc, argv, "checksum_bench");
  constexpr uint64_t kSize = 200ull * 1000 * 1000;  // a multiple of 4
  const std::string data = opt.dataDir + "data_200m.bin";
  bench::EnsureData(data, kSize);
  std::printf("checksum: %llu bytes, %d runs\n", static_cast<unsigned long long>(kSize), opt.runs);

  std::vector<uint32_t> buffer(kSize / 4);
  {
    FILE* f = std::fopen(data.c_str(), "rb");
    if (!f || std::fread(buffer.data(), 1, kSize, f) != kSize) {
      std::fprintf(stderr, "checksum: cannot read %s\n", data.c_str());
      return 1;
    }
    std::fclose(f);
  }

  ui::ScriptedToolkit tk;
  TForm1 form(&tk);

  uint32_t plain = 0, ours = 0, size = 0;
  // Each timed run sums the 200 MB kRepeat times: one pass is too short to time.
  constexpr int kRepeat = 10;
  bench::Subject loop{"plain u32 loop (memory)", nullptr, [&] {
                        for (int k = 0; k < kRepeat; ++k) plain = PlainSum(buffer.data(), buffer.size());
                        return true;
                      }};
  bench::Subject sum{"SumFile (page cache)", nullptr, [&] {
                       for (int k = 0; k < kRepeat; ++k)
                         if (!SumFile(bench::Dos(data), ours, size, &form.PrBar)) return false;
                       return true;
                     }};
  bench::MeasurePair(sum, loop, opt.runs);
  if (plain != ours || size != static_cast<uint32_t>(kSize)) {
    std::fprintf(stderr, "checksum: SumFile gave %08X, the loop %08X\n", ours, plain);
    return 1;
  }
  bench::Report("checksum", loop, kSize * kRepeat);
  bench::Report("checksum", sum, kSize * kRepeat);
  bench::Ratio("checksum", sum, loop);
  return 0;
}
