// Writes the seed corpus of the fuzz harnesses with the project's own writers:
//   make_seeds CORPUS-FOLDER   (host path; subfolders reader, patch, bdx, payload, journal)
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "pack/bdt_writer.h"
#include "pack/bdx_writer.h"
#include "pack/payload_encode.h"
#include "pack/package_writer.h"
#include "base/bytes.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, size_t at, uint16_t v) { b[at] = v & 0xFF; b[at + 1] = v >> 8; }
// A PE image of headers and one 0x200-byte section, ending where its file ends.
Bytes SmallPe() {
  Bytes b(0x400, 0);
  b[0] = 'M';
  b[1] = 'Z';
  le::Set32(b, 60, 0x40);
  std::memcpy(&b[0x40], "PE\0\0", 4);
  Put16(b, 0x44, 0x014C);
  Put16(b, 0x46, 1);            // one section
  le::Set32(b, 0x48, 0x55685DBC);   // link time stamp
  Put16(b, 0x54, 224);          // SizeOfOptionalHeader
  Put16(b, 0x56, 0x0102);
  Put16(b, 0x58, 0x010B);
  const size_t h = 0x40 + 24 + 224;
  std::memcpy(&b[h], ".text", 5);
  le::Set32(b, h + 8, 0x200);
  le::Set32(b, h + 12, 0x1000);
  le::Set32(b, h + 16, 0x200);      // SizeOfRawData
  le::Set32(b, h + 20, 0x200);      // PointerToRawData
  le::Set32(b, h + 36, 0x60000020);
  return b;
}

Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

bool Write(const std::string& path, const Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || std::strcmp(argv[1], "--help") == 0) {
    std::fprintf(stderr, "usage: make_seeds CORPUS-FOLDER\n");
    return argc == 2 ? 0 : 2;
  }
  const std::string root = argv[1];
  for (const char* sub : {"", "/reader", "/patch", "/bdx", "/payload", "/journal"})
    mkdir((root + sub).c_str(), 0755);
  std::string error;
  bool ok = true;

  // Payloads: plain, and with the x86 filter.
  const Bytes file = Text("The product's file, version 2: some text, some text, some text.\n");
  Bytes plain, x86;
  payload::EncodeOptions options;
  options.dictSize = 1 << 16;
  ok = ok && payload::EncodePayload(file, options, plain, error);
  options.x86 = true;
  ok = ok && payload::EncodePayload(file, options, x86, error);
  ok = ok && Write(root + "/payload/plain", plain) && Write(root + "/payload/x86", x86);

  // Patches: u16 old length, the old file, the patch.
  const Bytes oldFile = Text("The product's file, version 1: some text, some text.\n");
  Bytes patch;
  ok = ok && bdt::MakeDiff(oldFile, file, patch);
  Bytes seed = {static_cast<uint8_t>(oldFile.size()), 0};
  seed.insert(seed.end(), oldFile.begin(), oldFile.end());
  seed.insert(seed.end(), patch.begin(), patch.end());
  ok = ok && Write(root + "/patch/diff", seed);
  // The extended difference grown from that patch, in the same framing.
  Bytes extended;
  ok = ok && bdx::MakeBdx(oldFile, file, patch, extended, error);
  seed.resize(2 + oldFile.size());
  seed.insert(seed.end(), extended.begin(), extended.end());
  ok = ok && Write(root + "/bdx/diff", seed);
  // A call re-aimed by a REFCOVER: the call's target moves with a copy after an
  // insert; its difference as stretches at every run of zeros, and (calls-v2) in
  // the version before stretches.
  const Bytes callOld = {0xE8, 5, 0, 0, 0, 'A', 'B', 'C', 'D', 'E', 'F', 'G'};
  const std::vector<bdx::TBdxRecord> callRecords = {
      {bdx::kRefCover, 0, 5}, {bdx::kInsert, 0, 3}, {bdx::kCopy, 0, 7}};
  const Bytes callDiff = {0, 1, 0, 0, 0}, callNew = Text("new");
  for (const auto& [name, version] : {std::pair{"calls", bdx::kVersion3}, std::pair{"calls-v2", bdx::kVersion2}}) {
    const Bytes callPatch = bdx::WriteBdx(12, 15, callRecords, callDiff, callNew, version, 1);
    seed = {static_cast<uint8_t>(callOld.size()), 0};
    seed.insert(seed.end(), callOld.begin(), callOld.end());
    seed.insert(seed.end(), callPatch.begin(), callPatch.end());
    ok = ok && Write(root + "/bdx/" + name, seed);
  }

  // New code as a CODE run: two calls whose operands hold where they point.
  const Bytes code = {0x90, 0xE8, 0xFA, 0xFF, 0xFF, 0xFF, 0xE8, 0xF5, 0xFF, 0xFF, 0xFF, 0xC3};
  const Bytes codePatch = bdx::WithCodeRuns(
      bdx::WriteBdx(12, 12, std::vector<bdx::TBdxRecord>{{bdx::kInsert, 0, 12}}, {}, code));
  seed = {static_cast<uint8_t>(callOld.size()), 0};
  seed.insert(seed.end(), callOld.begin(), callOld.end());
  seed.insert(seed.end(), codePatch.begin(), codePatch.end());
  ok = ok && !codePatch.empty() && Write(root + "/bdx/code", seed);

  // A package: a section, a whole file, a difference.
  pkg::PackageWriter w;
  ok = ok && w.SetStub(SmallPe(), pkg::PackageWriter::StubFit::Refuse, error);
  w.AddSection();
  pkg::TPartRecord whole;
  whole.OldSize = whole.NewSize = static_cast<uint32_t>(file.size());
  ok = ok && w.AddFile(pkg::kAddRepl, "Rus\\Data\\data.dat", 1, plain, whole, error);
  Bytes diffPayload;
  options.x86 = false;
  ok = ok && payload::EncodePayload(patch, options, diffPayload, error);
  pkg::TPartRecord diff;
  diff.OldSize = static_cast<uint32_t>(oldFile.size());
  diff.NewSize = static_cast<uint32_t>(file.size());
  diff.DiffSize = static_cast<uint32_t>(patch.size());
  ok = ok && w.AddFile(pkg::kBinDiff, "EXE\\zum.exe", 2, diffPayload, diff, error);
  pkg::PackageWriter::TTail tail;
  tail.VerFrom = "3.0.7";
  tail.VerTo = "3.0.7.1";
  tail.BuildStamps = {0x55685DBC, 1};
  Bytes package;
  ok = ok && w.Finish(tail, package, error) && Write(root + "/reader/package", package);

  // Journals: the placeholders @I, @T and @O stand for the sandbox's folders; the
  // harness seals every ">" line.
  const char* journals[] = {
      "> 07.03.26 09:05:04.000*4#\xc7\xe0\xef\xf3\xf1\xea\r\n"
      "> 07.03.26 09:05:04.010*8#@T\r\n\r\n"
      "> 07.03.26 09:05:04.020*6#@IEXE\\zum.exe<@TBAK1\\EXE\\zum.exe05602294870000000004\r\n\r\n"
      "> 07.03.26 09:05:04.030*9#z<@Inew.dll00000000000000000000\r\n",
      "> 07.03.26 09:05:04.000*4#\xc7\xe0\xef\xf3\xf1\xea\r\n"
      "> 07.03.26 09:05:04.001*2#1\r\n\r\n"
      "> 07.03.26 09:05:04.002*1#@O\r\n\r\n"
      "> 07.03.26 09:05:04.003*9#z<@Ox.txt00000000000000000000\r\n",
  };
  for (size_t i = 0; i < sizeof journals / sizeof journals[0]; ++i)
    ok = ok && Write(root + "/journal/j" + std::to_string(i), Text(journals[i]));

  if (!ok) {
    std::fprintf(stderr, "make_seeds: %s\n", error.empty() ? "cannot write the corpus" : error.c_str());
    return 1;
  }
  return 0;
}
