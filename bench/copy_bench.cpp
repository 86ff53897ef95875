// The copy of an installation in copy mode against cp -r of the same tree, in the
// same run: 20,000 small files in 500 folders and one 200 MB base file. Ours builds
// nothing but copies through the journal, each file copied, compared with its
// source and journalled, as the update-variant dialog does. The copy list of the
// tree is timed on its own (it must take under a second).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "installer/form1.h"
#include "bench_util.h"
#include "installer/selku.h"
#include "frontends/scripted/scripted.h"

namespace {

namespace fs = std::filesystem;

constexpr int kFolders = 500;
constexpr int kFilesPerFolder = 40;
constexpr uint64_t kBaseSize = 200ull * 1000 * 1000;

// The tree, made once: the product's folders, the data folders with their small
// files (200 to 4,000 bytes each), and the base file.
uint64_t EnsureTree(const std::string& root) {
  const std::string marker = root + ".complete";
  fs::create_directories(root + "Base");
  bench::EnsureData(root + "Base/std1", kBaseSize);
  uint64_t bytes = kBaseSize;
  uint32_t x = 12345;
  auto next = [&x] { return x = x * 1103515245u + 12345u; };
  const bool made = fs::exists(marker);
  if (!made) std::printf("making %s (%d small files)\n", root.c_str(), kFolders * kFilesPerFolder);
  for (int f = 0; f < kFolders; ++f) {
    const std::string folder = root + (f % 2 ? "Rus" : "Ukr") + "/Data/d" + std::to_string(f) + "/";
    if (!made) fs::create_directories(folder);
    for (int i = 0; i < kFilesPerFolder; ++i) {
      const size_t size = 200 + next() % 3800;
      bytes += size;
      if (made) continue;
      std::string text;
      text.reserve(size);
      while (text.size() < size) text += std::to_string(next()) + ";";
      text.resize(size);
      std::ofstream(folder + "f" + std::to_string(i) + ".dat", std::ios::binary) << text;
    }
  }
  if (!made) {
    fs::create_directories(root + "Exe");
    fs::create_directories(root + "Cfg");
    std::ofstream(root + "Exe/zum.exe", std::ios::binary) << std::string(500000, 'e');
    std::ofstream(root + "Cfg/CFG.ZUM", std::ios::binary) << std::string(1411, 'c');
    std::ofstream(marker) << "made\n";
  }
  return bytes + 500000 + 1411;
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options opt = bench::ParseArgs(argc, argv, "copy_bench");
  const std::string root = opt.dataDir + "copy_tree/zum/";
  const std::string outCp = opt.dataDir + "copy_tree/cp";
  const std::string outOurs = opt.dataDir + "copy_tree/ours/";
  const std::string journal = opt.dataDir + "copy_tree/journal.txt";
  const uint64_t bytes = EnsureTree(root);
  std::printf("copy: %d files in %d folders and a %llu-byte base, %d runs\n",
              kFolders * kFilesPerFolder, kFolders, static_cast<unsigned long long>(kBaseSize),
              opt.runs);

  ui::ScriptedToolkit tk;
  std::unique_ptr<TForm1> form;
  TFrm_SelKU dialog;
  dialog.OnProtocol = [&](prot::TProtKind kind, const std::string& text, bool newLine) {
    form->AddProt(kind, text, newLine);
  };

  // The copy list, on its own.
  form = std::make_unique<TForm1>(&tk);
  std::vector<double> listTimes;
  uint64_t listed = 0;
  for (int i = 0; i <= opt.runs; ++i) {
    bench::Subject list{"BuildCopyList", nullptr, [&] {
                          listed = dialog.BuildCopyList(bench::Dos(root), false, false, "");
                          return !dialog.CopyList.empty();
                        }};
    const bench::Sample s = bench::Time(list);
    if (i > 0) listTimes.push_back(s.wall);
  }
  const double listMedian = bench::Median(listTimes);
  std::printf("copy list: BuildCopyList of %zu items, %llu bytes: median %.3f s (%s 1 s)\n",
              dialog.CopyList.size(), static_cast<unsigned long long>(listed), listMedian,
              listMedian < 1.0 ? "under" : "NOT under");

  auto clean = [&] {
    form.reset();
    fs::remove_all(outCp);
    fs::remove_all(outOurs);
    fs::remove(journal);
    tk.lines.clear();
  };
  bench::Subject cp{"cp -r", clean, [&] { return bench::RunTool({"cp", "-r", root, outCp}); }};
  bench::Subject ours{"CopyTree+JournalCopy",
                      [&] {
                        clean();
                        fs::create_directories(outOurs);
                        form = std::make_unique<TForm1>(&tk);
                        form->JournalFile = bench::Dos(journal);
                        form->JournalMuted = false;
                        form->JournalStart();
                      },
                      [&] {
                        const bool ok =
                            CopyTree(bench::Dos(root), bench::Dos(outOurs), dialog.CopyList,
                                     [&](const std::string& from, const std::string& to, bool n) {
                                       return form->JournalCopy(from, to, n);
                                     });
                        form->JournalEnd();
                        return ok;
                      }};
  bench::MeasurePair(ours, cp, opt.runs);
  bench::Report("copy", cp, bytes);
  bench::Report("copy", ours, bytes);
  bench::Ratio("copy", ours, cp);
  if (!tk.boxes.empty()) {
    std::fprintf(stderr, "copy: a message was shown\n");
    return 1;
  }
  clean();
  return 0;
}
