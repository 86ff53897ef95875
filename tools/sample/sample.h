// The sample installation: a small but complete ZUM installation made from a seed,
// for tests and the demo. The same seed and options give the same bytes on every
// platform. Everything is written through the platform layer (DOS paths).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sample {

struct SampleOptions {
  std::string version = "3.0.7";  // at offset 38 of Cfg\CFG.ZUM
  uint32_t stamp = 0x55685DBC;    // TimeDateStamp of Exe\zum.exe
  uint8_t edition = 0;            // byte 120 of Cfg\CFG.ZUM
  uint32_t seed = 1;
  uint32_t baseSize = 48 * 1024;  // bytes of each base file std1 ... std6
  // A PE file to take as Exe\zum.exe (its TimeDateStamp set to `stamp`) instead of
  // a generated image, such as the stand-in product built for Windows. DOS path.
  std::string productExe;
  // 0: the installation as released; N > 0: the same installation N releases
  // later (changed base records, a rebuilt executable, changed and new files), the
  // new tree a package is made from.
  uint32_t release = 0;
};

inline constexpr uint32_t kMinBaseSize = 64;
inline constexpr uint32_t kMaxBaseSize = 256u * 1024 * 1024;

// Pseudo-random numbers (splitmix64), the same on every platform for a seed.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t Next();
  uint32_t Below(uint32_t bound);  // 0 .. bound-1; bound > 0
  uint8_t Byte() { return static_cast<uint8_t>(Next() >> 32); }

 private:
  uint64_t state_;
};

// A PE32 image for i386 that the installer can read like the product's executable:
// DOS header and stub, PE signature, file header with `stamp`, a 224-byte optional
// header and three sections whose raw data follow each other up to the file's end.
// It is not meant to run.
std::vector<uint8_t> MakePeImage(uint32_t stamp, uint32_t seed);

// Sets the file header's TimeDateStamp of a PE image; false (image unchanged, error
// set) when the bytes are not a PE image.
bool SetPeStamp(std::vector<uint8_t>& image, uint32_t stamp, std::string& error);

// The 1,411-byte configuration record (layout in product/product.h). False when the
// version text is empty or does not fit its field.
bool MakeConfig(const std::string& version, uint8_t edition, uint32_t seed,
                std::vector<uint8_t>& out, std::string& error);

// Base file `number` (1..6) in its plain form, exactly `size` bytes (at least
// kMinBaseSize): header, index of parts, records of text documents.
std::vector<uint8_t> MakePlainBase(int number, uint32_t size, uint32_t seed);

// Changes the data of about one record in fifty of a plain base file, as release
// `release` of the product would; heads, sizes and offsets stay.
void EvolveBase(std::vector<uint8_t>& plain, uint32_t release);

// Makes the installation in `dosDir` (created with its missing parents; existing
// files of the same names are replaced). `written`, when given, receives the path
// of every file written, relative to `dosDir`.
bool MakeSampleInstallation(const std::string& dosDir, const SampleOptions& options,
                            std::string& error, std::vector<std::string>* written = nullptr);

// Creates a folder with all its missing parents (DOS path).
bool MakeDirs(const std::string& dosDir, std::string& error);

}  // namespace sample
