// CopyFileBar and CompareFiles of a 200 MB file against cp and cmp, in the same
// run, with the source in the page cache.
#include <cstdio>

#include "installer/form1.h"
#include "files/copy.h"
#include "bench_util.h"
#include "frontends/scripted/scripted.h"

int main(int argc, char** argv) {
  const bench::Options opt = bench::ParseArgs(argc, argv, "copy_compare_bench");
  constexpr uint64_t kSize = 200ull * 1000 * 1000;
  const std::string data = opt.dataDir + "data_200m.bin";
  const std::string outCp = opt.dataDir + "copy_cp.bin";
  const std::string outOurs = opt.dataDir + "copy_ours.bin";
  bench::EnsureData(data, kSize);
  std::printf("copy/compare: %llu bytes, %d runs\n", static_cast<unsigned long long>(kSize), opt.runs);

  ui::ScriptedToolkit tk;
  TForm1 form(&tk);

  bench::Subject cp{"cp", [&] { bench::Remove(outCp); },
                    [&] { return bench::RunTool({"cp", data, outCp}); }};
  bench::Subject copy{"CopyFileBar", [&] { bench::Remove(outOurs); }, [&] {
                        return CopyFileBar(bench::Dos(data), bench::Dos(outOurs), &form.PrBar, false);
                      }};
  bench::MeasurePair(copy, cp, opt.runs);
  bench::Report("copy", cp, kSize);
  bench::Report("copy", copy, kSize);
  bench::Ratio("copy", copy, cp);

  // Both compare the original with a copy of it: equal files, read to the end.
  bench::Subject cmp{"cmp", nullptr, [&] { return bench::RunTool({"cmp", "-s", data, outCp}); }};
  bench::Subject compare{"CompareFiles", nullptr, [&] {
                           return form.CompareFiles(bench::Dos(data), bench::Dos(outOurs));
                         }};
  bench::MeasurePair(compare, cmp, opt.runs);
  bench::Report("compare", cmp, kSize);
  bench::Report("compare", compare, kSize);
  bench::Ratio("compare", compare, cmp);
  if (!tk.boxes.empty()) {
    std::fprintf(stderr, "compare: a message was shown\n");
    return 1;
  }

  bench::Remove(outCp);
  bench::Remove(outOurs);
  return 0;
}
