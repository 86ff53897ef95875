// UnpackPayload of a 200 MB payload against `xz --format=lzma -d` of the same
// compressed data to a file, in the same run.
#include <cstdio>
#include <cstring>

#include "files/unpack.h"
#include "format/payload.h"
#include "bench_util.h"

namespace {

constexpr uint64_t kSize = 200ull * 1000 * 1000;

// The payload is the .lzma file xz made, with the filter byte in front and the
// real size in place of the unknown one xz writes.
bool MakePackage(const std::string& lzmaPath, const std::string& packagePath) {
  FILE* in = std::fopen(lzmaPath.c_str(), "rb");
  FILE* out = std::fopen(packagePath.c_str(), "wb");
  if (!in || !out) return false;
  std::vector<unsigned char> buf(1 << 20);
  size_t n = std::fread(buf.data(), 1, buf.size(), in);
  if (n < 13) return false;
  for (int i = 0; i < 8; ++i) buf[5 + i] = static_cast<unsigned char>(kSize >> (8 * i));
  std::fputc(0, out);
  do {
    std::fwrite(buf.data(), 1, n, out);
  } while ((n = std::fread(buf.data(), 1, buf.size(), in)) > 0);
  std::fclose(in);
  return std::fclose(out) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options opt = bench::ParseArgs(argc, argv, "unpack_bench");
  const std::string data = opt.dataDir + "data_200m.bin";
  const std::string lzma = opt.dataDir + "data_200m.lzma";
  const std::string package = opt.dataDir + "payload_200m.bin";
  const std::string outXz = opt.dataDir + "out_xz.bin";
  const std::string outOurs = opt.dataDir + "out_unpack.bin";

  bench::EnsureData(data, kSize);
  if (bench::FileSize(lzma) == 0) {
    std::printf("compressing with xz --format=lzma -6 (once)\n");
    std::fflush(stdout);
    if (!bench::RunTool({"xz", "--format=lzma", "-6", "-c", data}, lzma)) {
      bench::Remove(lzma);
      std::fprintf(stderr, "xz failed\n");
      return 1;
    }
  }
  if (!MakePackage(lzma, package)) {
    std::fprintf(stderr, "cannot make %s\n", package.c_str());
    return 1;
  }
  std::printf("unpack: %llu bytes from %llu compressed, %d runs\n",
              static_cast<unsigned long long>(kSize),
              static_cast<unsigned long long>(bench::FileSize(lzma)), opt.runs);

  uint32_t last = 0;
  int reports = 0;
  const payload::ProgressFn progress = [&](const void*, uint32_t value) {
    last = value;
    ++reports;
    return 0;
  };
  bench::Subject ref{"xz --format=lzma -d", [&] { bench::Remove(outXz); },
                     [&] { return bench::RunTool({"xz", "--format=lzma", "-d", "-c", lzma}, outXz); }};
  bench::Subject ours{"UnpackPayload", [&] { bench::Remove(outOurs); }, [&] {
                        return UnpackPayload(bench::Dos(outOurs), bench::Dos(package), 0, progress) ==
                               kSize;
                      }};
  bench::MeasurePair(ours, ref, opt.runs);
  if (bench::FileSize(outXz) != kSize || bench::FileSize(outOurs) != kSize || last != kSize) {
    std::fprintf(stderr, "unpack: wrong output size\n");
    return 1;
  }
  if (!bench::RunTool({"cmp", "-s", outXz, outOurs}) || !bench::RunTool({"cmp", "-s", outXz, data})) {
    std::fprintf(stderr, "unpack: outputs differ\n");
    return 1;
  }
  bench::Report("unpack", ref, kSize);
  bench::Report("unpack", ours, kSize);
  bench::Ratio("unpack", ours, ref);
  std::printf("unpack: %d progress reports per run\n", reports / (opt.runs + 1));
  bench::Remove(outXz);
  bench::Remove(outOurs);
  return 0;
}
