// The sample installation on disk: the product's folders and files.
#include <string>

#include "format/basefile.h"
#include "platform/os.h"
#include "product/product.h"
#include "sample.h"
#include "base/dos_path.h"

namespace sample {

namespace {

class Writer {
 public:
  Writer(const std::string& root, std::string& error, std::vector<std::string>* written)
      : root_(root), error_(error), written_(written) {}

  bool File(const std::string& rel, const std::vector<uint8_t>& bytes) {
    os::File f;
    const std::string path = root_ + rel;
    if (!f.Open(path, os::kWrite, os::kShareNone, os::Disposition::CreateAlways) ||
        (!bytes.empty() && !f.Write(bytes.data(), bytes.size()))) {
      error_ = "cannot write " + path + ": " + os::LastErrorText();
      return false;
    }
    if (written_) written_->push_back(rel);
    return true;
  }
  bool Text(const std::string& rel, const std::string& text) {
    return File(rel, std::vector<uint8_t>(text.begin(), text.end()));
  }

 private:
  std::string root_;
  std::string& error_;
  std::vector<std::string>* written_;
};

std::vector<uint8_t> Noise(Rng& rng, uint32_t size) {
  std::vector<uint8_t> b(size);
  for (uint8_t& x : b) x = rng.Byte();
  return b;
}

// A text file of numbered lines, as the product's data lists are.
std::string Listing(Rng& rng, const std::string& title, int lines) {
  std::string text = title + "\r\n";
  for (int i = 1; i <= lines; ++i)
    text += std::to_string(i) + ";" + std::to_string(rng.Below(100000)) + ";" +
            std::to_string(rng.Below(1000)) + "." + std::to_string(rng.Below(100)) + "\r\n";
  return text;
}

bool ReadWhole(const std::string& path, std::vector<uint8_t>& out, std::string& error) {
  os::File f;
  uint64_t size = 0;
  if (!f.Open(path, os::kRead, os::kShareRead, os::Disposition::OpenExisting) || !f.Size(size)) {
    error = "cannot read " + path + ": " + os::LastErrorText();
    return false;
  }
  if (size > 512u * 1024 * 1024) {
    error = "too large: " + path;
    return false;
  }
  out.resize(static_cast<size_t>(size));
  if (size > 0 && !f.ReadExact(out.data(), out.size())) {
    error = "cannot read " + path + ": " + os::LastErrorText();
    return false;
  }
  return true;
}

}  // namespace

void EvolveBase(std::vector<uint8_t>& plain, uint32_t release) {
  if (release == 0 || plain.size() < 16) return;
  auto u32 = [&](size_t at) {
    return plain[at] | plain[at + 1] << 8 | plain[at + 2] << 16 | uint32_t(plain[at + 3]) << 24;
  };
  const uint32_t count = u32(4);
  size_t pos = count > 0 && 16 <= plain.size() ? u32(8) : 8;
  Rng rng(0x45564F4C00000000ull ^ release);
  for (uint32_t record = 0; pos + 7 <= plain.size(); ++record) {
    const size_t len = plain[pos + 5] | plain[pos + 6] << 8;
    if (pos + 7 + len > plain.size()) break;
    if (rng.Below(50) == 0)
      for (size_t i = 0; i < len; i += 1 + rng.Below(4)) plain[pos + 7 + i] ^= rng.Byte() | 1;
    pos += 7 + len;
  }
}

bool MakeDirs(const std::string& dosDir, std::string& error) {
  const std::string dir = dos::WithSlash(dosDir);
  // Each prefix ending before a backslash, after the drive ("D:").
  for (size_t pos = dir.find('\\', 3); pos != std::string::npos; pos = dir.find('\\', pos + 1)) {
    const std::string part = dir.substr(0, pos);
    if (os::DirectoryExists(part)) continue;
    if (!os::CreateDir(part)) {
      error = "cannot create folder " + part + ": " + os::LastErrorText();
      return false;
    }
  }
  return true;
}

bool MakeSampleInstallation(const std::string& dosDir, const SampleOptions& options,
                            std::string& error, std::vector<std::string>* written) {
  if (options.baseSize < kMinBaseSize || options.baseSize > kMaxBaseSize) {
    error = "the base-file size must be " + std::to_string(kMinBaseSize) + " to " +
            std::to_string(kMaxBaseSize) + " bytes";
    return false;
  }
  std::vector<uint8_t> config;
  if (!MakeConfig(options.version, options.edition, options.seed, config, error)) return false;

  std::vector<uint8_t> exe;
  if (options.productExe.empty()) {
    exe = MakePeImage(options.stamp, options.seed);
    if (options.release > 0) {
      // A rebuilt executable: mostly the same code, some of it changed.
      Rng change(0x42554C4400000000ull ^ options.release);
      for (size_t i = 0x400; i < exe.size(); i += 64 + change.Below(4096)) exe[i] ^= change.Byte() | 1;
    }
  } else if (!ReadWhole(options.productExe, exe, error) || !SetPeStamp(exe, options.stamp, error)) {
    if (error.find(options.productExe) == std::string::npos) error += ": " + options.productExe;
    return false;
  }

  const std::string root = dos::WithSlash(dosDir);
  if (!MakeDirs(root, error)) return false;
  for (const char* folder : product::kInstallFolders)
    if (!MakeDirs(root + folder, error)) return false;

  Writer w(root, error, written);
  Rng rng(0x494E535400000000ull ^ options.seed);

  if (!w.File("Exe\\zum.exe", exe)) return false;
  if (!w.File("Exe\\zum.hlp", Noise(rng, 3000 + rng.Below(2000)))) return false;
  if (!w.File(product::kConfigFile, config)) return false;

  for (int n = 1; n <= 6; ++n) {
    std::vector<uint8_t> base = MakePlainBase(n, options.baseSize, options.seed);
    if (n != 2) EvolveBase(base, options.release);  // std2 stays as it was
    const BaseStatus status =
        ScrambleBase(base, product::kBaseKeys[n - 1], product::kBaseM1, product::kBaseM2);
    if (status != BaseStatus::Ok) {
      error = std::string("sample base file: ") + BaseStatusText(status);
      return false;
    }
    if (!w.File("Base\\std" + std::to_string(n), base)) return false;
  }

  if (!w.Text("Doc\\readme.txt", "ПК ZUM " + options.version + "\r\nОбразец установки.\r\n") ||
      !w.Text("Doc\\Руководство пользователя.txt",
              "Руководство пользователя ПК ZUM.\r\n" + Listing(rng, "Разделы", 12)))
    return false;

  // Working data; the Updt folders stay empty.
  struct Lang {
    const char* dir;
    const char* reference;  // a file with a Cyrillic name
  };
  const Lang langs[] = {{"Rus", "Справочник.txt"}, {"Ukr", "Довідник.txt"}};
  for (const Lang& l : langs) {
    const std::string d = l.dir;
    if (!w.File(d + "\\LBN\\lbn001.lbn", Noise(rng, 1500 + rng.Below(1500))) ||
        !w.File(d + "\\LBN\\lbn002.lbn", Noise(rng, 1500 + rng.Below(1500))) ||
        !w.Text(d + "\\Data\\data.dat", Listing(rng, "DATA", 40 + rng.Below(40))) ||
        !w.Text(d + "\\Data\\" + l.reference, Listing(rng, "Справочник кодов", 25)) ||
        !w.File(d + "\\Etalon\\etalon.etl", Noise(rng, 800 + rng.Below(800))) ||
        !w.File(d + "\\Frg_Std\\frg01.frg", Noise(rng, 600 + rng.Below(600))) ||
        !w.Text(d + "\\AutoSave\\autosave1.sav", Listing(rng, "AUTOSAVE", 10)))
      return false;
  }
  if (options.release > 0 &&
      !w.Text("Cfg\\klsstd.zum", Listing(rng, "KLS " + std::to_string(options.release), 300)))
    return false;
  return true;
}

}  // namespace sample
