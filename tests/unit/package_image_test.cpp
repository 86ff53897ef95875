// Where an executable image ends (PE and ELF), on small files made here and on
// real executables, and the link time stamp of a PE file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "format/image.h"
#include "pack/package_writer.h"
#include "platform/os.h"
#include "unit/package_fixture.h"

namespace {

using pkg::TBytes;
using pkgtest::Put16;
using pkgtest::SectionHeader;

TEST(PeRealLength, SectionsBackToBack) {
  const TBytes pe = pkgtest::MakePe({0x400, 0x200, 0x600}, 0x12345678);
  EXPECT_EQ(pkg::RealLength(pe), 0x200u + 0x400 + 0x200 + 0x600);
  EXPECT_EQ(pkg::RealLength(pe), pe.size());
  TBytes longer = pe;
  longer.insert(longer.end(), 77, 0);
  EXPECT_EQ(pkg::RealLength(longer), pe.size());
}

// The walk stops at the first section header that has relocations or line numbers
// or no Characteristics; a header before which the base is still 0 sets it.
TEST(PeRealLength, TheWalkOfTheSectionTable) {
  const TBytes pe = pkgtest::MakePe({0x400, 0x200, 0x600}, 1);
  struct Case {
    const char* what;
    size_t field;   // offset inside the header of section `section`
    int section;
    uint32_t value;
    uint32_t expected;
  } cases[] = {
      {"relocations in the second", 24, 1, 0x10, 0x200 + 0x400},
      {"line numbers in the third", 28, 2, 0x10, 0x200 + 0x400 + 0x200},
      {"relocation count in the first", 32, 0, 1, 0x200},
      {"line number count in the second", 34, 1, 1, 0x600},
      {"no characteristics in the first", 36, 0, 0, 0x200},
      // The base is taken from the next header, after the first one's size was added.
      {"a first section at offset 0", 20, 0, 0, 0x600 + 0x400 + 0x200 + 0x600},
      {"no sections", 0, -1, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TBytes b = pe;
    if (c.section >= 0) {
      const size_t at = SectionHeader(c.section) + c.field;
      if (c.field == 32 || c.field == 34)
        Put16(b, at, static_cast<uint16_t>(c.value));
      else
        le::Set32(b, at, c.value);
    } else {
      Put16(b, pkgtest::kFileHeader + 2, 0);
    }
    EXPECT_EQ(pkg::RealLength(b), c.expected);
  }
}

TEST(PeRealLength, HeadersOutsideTheFileGiveZero) {
  const TBytes pe = pkgtest::MakePe({0x200, 0x200}, 1);
  struct Case {
    const char* what;
    size_t at;
    uint32_t value;
    bool wide;  // u32, else u16
  } cases[] = {
      {"e_lfanew far outside", 60, 0xFFFFFFF0, true},
      {"e_lfanew so that the PE headers run past the end", 60,
       static_cast<uint32_t>(pe.size() - 100), true},
      {"section table past the end", pkgtest::kFileHeader + 2, 0xFFFF, false},
      {"optional header size pushing the table out", pkgtest::kFileHeader + 16, 0xFFFF, false},
      {"no PE signature", pkgtest::kLfanew, 0, true},
      {"no MZ", 0, 0x0000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TBytes b = pe;
    if (c.wide) le::Set32(b, c.at, c.value); else Put16(b, c.at, static_cast<uint16_t>(c.value));
    EXPECT_EQ(pkg::RealLength(b), 0u);
  }
  EXPECT_EQ(pkg::RealLength(TBytes{'M', 'Z', 0}), 0u);   // shorter than 4
  EXPECT_EQ(pkg::RealLength(TBytes(pe.begin(), pe.begin() + 63)), 0u);
  EXPECT_EQ(pkg::RealLength(TBytes()), 0u);
}

TEST(PeLinkStamp, FromTheFileHeader) {
  TBytes pe = pkgtest::MakePe({0x200}, 0x55685DBD);
  pkg::TSpanSource src(pe);
  uint32_t stamp = 0;
  ASSERT_TRUE(pkg::PeLinkStamp(src, 0, stamp));
  EXPECT_EQ(stamp, 0x55685DBDu);

  const TBytes text(400, 'a');
  pkg::TSpanSource notPe(text);
  EXPECT_FALSE(pkg::PeLinkStamp(notPe, 0, stamp));
  le::Set32(pe, 60, static_cast<uint32_t>(pe.size() - 10));
  pkg::TSpanSource outside(pe);
  EXPECT_FALSE(pkg::PeLinkStamp(outside, 0, stamp));
}

// A small ELF64 file: header, one program header, a PROGBITS and a NOBITS section,
// then the section header table, which ends the file as a linker writes it.
TBytes MakeElf64() {
  TBytes b(64 + 56, 0);
  std::memcpy(b.data(), "\x7F" "ELF", 4);
  b[4] = 2;                    // ELFCLASS64
  b[5] = 1;                    // little-endian
  b[6] = 1;                    // version
  Put16(b, 16, 2);             // ET_EXEC
  Put16(b, 18, 62);            // x86-64
  le::Set32(b, 32, 64);            // e_phoff
  Put16(b, 52, 64);            // e_ehsize
  Put16(b, 54, 56);            // e_phentsize
  Put16(b, 56, 1);             // e_phnum
  Put16(b, 58, 64);            // e_shentsize
  Put16(b, 60, 3);             // e_shnum
  // The program header: PT_LOAD of the first 0x100 bytes.
  le::Set32(b, 64, 1);
  le::Set32(b, 64 + 32, 0x100);    // p_filesz (u64, low half)
  b.resize(0x100 + 0x80, 0x90);          // .text at 0x100, 0x80 bytes
  const size_t shoff = b.size();
  le::Set32(b, 40, static_cast<uint32_t>(shoff));  // e_shoff (u64, low half)
  b.resize(shoff + 3 * 64, 0);
  // Section 1: PROGBITS at 0x100, 0x80 bytes.
  le::Set32(b, shoff + 64 + 4, 1);
  le::Set32(b, shoff + 64 + 24, 0x100);
  le::Set32(b, shoff + 64 + 32, 0x80);
  // Section 2: NOBITS "at" the end with a large size: no file space.
  le::Set32(b, shoff + 128 + 4, 8);
  le::Set32(b, shoff + 128 + 24, 0x180);
  le::Set32(b, shoff + 128 + 32, 0x100000);
  return b;
}

TEST(ElfRealLength, TheFileTheLinkerWrote) {
  const TBytes elf = MakeElf64();
  EXPECT_EQ(pkg::RealLength(elf), elf.size());
  TBytes withPackage = elf;
  withPackage.insert(withPackage.end(), 1000, 0xAB);
  EXPECT_EQ(pkg::RealLength(withPackage), elf.size());

  TBytes b = elf;
  le::Set32(b, 40, static_cast<uint32_t>(elf.size() - 64));   // table runs past the end
  EXPECT_EQ(pkg::RealLength(b), 0u);
  b = elf;
  le::Set32(b, 32, 0x7FFFFFF0);                                // program headers outside
  EXPECT_EQ(pkg::RealLength(b), 0u);
  b = elf;
  b[5] = 2;                                                // big-endian: not ours
  EXPECT_EQ(pkg::RealLength(b), 0u);
  b = withPackage;
  le::Set32(b, elf.size() - 64 + 4, 1);                        // the NOBITS section as PROGBITS
  EXPECT_EQ(pkg::RealLength(b), 0x180u + 0x100000);        // beyond the file: the reader refuses
}

// The running test program: on Linux an ELF file that ends where its image ends;
// a package written onto it begins there and is found there again.
TEST(RealLength, OwnExecutableTakesAPackage) {
  os::File self;
  uint64_t size = 0;
  ASSERT_TRUE(self.Open(os::ModulePath(), os::kRead, os::kShareAll, os::Disposition::OpenExisting));
  ASSERT_TRUE(self.Size(size));
  TBytes bytes(static_cast<size_t>(size));
  ASSERT_TRUE(self.ReadExact(bytes.data(), bytes.size()));
  const uint32_t real = pkg::RealLength(bytes);
  ASSERT_NE(real, 0u);
  ASSERT_LE(real, size);
  pkg::TSpanSource src(bytes);
  if (pkg::DetectImageFormat(src) == pkg::TImageFormat::Elf) {
    EXPECT_EQ(real, size);
  }

  pkg::PackageWriter w;
  std::string error;
  ASSERT_TRUE(w.SetStub(bytes, pkg::PackageWriter::StubFit::TruncateToImage, error)) << error;
  w.AddSection();
  TBytes out;
  ASSERT_TRUE(w.Finish(pkgtest::ShippedTail(), out, error)) << error;
  EXPECT_EQ(pkg::RealLength(out), real);
  EXPECT_TRUE(pkg::IsSealedPackage(out));
}

#ifndef _WIN32
// Reads a command's standard output; "" when it cannot run.
std::string RunCommand(const std::string& command) {
  std::string out;
  if (FILE* p = popen((command + " 2>/dev/null").c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// What the binutils report: the largest "File off" + "Size" over the sections with
// file contents, rounded up to the FileAlignment (objdump shows the virtual size,
// which the raw data round up to).
uint64_t ObjdumpImageEnd(const std::string& path) {
  std::istringstream lines(RunCommand("x86_64-w64-mingw32-objdump -h -p '" + path + "'"));
  uint64_t end = 0, alignment = 0;
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream in(line);
    std::vector<std::string> w{std::istream_iterator<std::string>(in), {}};
    if (w.size() == 2 && w[0] == "FileAlignment") alignment = std::stoull(w[1], nullptr, 16);
    if (w.size() == 7 && std::isdigit(static_cast<unsigned char>(w[0][0])) &&
        w[6].rfind("2**", 0) == 0) {
      const uint64_t size = std::stoull(w[2], nullptr, 16);
      const uint64_t offset = std::stoull(w[5], nullptr, 16);
      if (offset != 0) end = std::max(end, offset + size);
    }
  }
  return alignment == 0 ? 0 : (end + alignment - 1) / alignment * alignment;
}

TEST(PeRealLength, RealFilesAgreeWithObjdump) {
  if (RunCommand("x86_64-w64-mingw32-objdump --version").empty())
    GTEST_SKIP() << "x86_64-w64-mingw32-objdump is not installed";
  std::vector<std::string> files;
  for (const char* folder : {"/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/",
                             "/usr/x86_64-w64-mingw32/lib/"}) {
    std::error_code ec;
    std::vector<std::string> here;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
      const std::string ext = e.path().extension().string();
      if (e.is_regular_file() && (ext == ".dll" || ext == ".exe")) here.push_back(e.path().string());
    }
    std::sort(here.begin(), here.end());
    // A spread of the folder, not all of it: objdump is slow on a loaded machine.
    for (size_t i = 0; i < here.size(); i += std::max<size_t>(1, here.size() / 12))
      files.push_back(here[i]);
  }
  if (files.empty()) GTEST_SKIP() << "no PE files of the distribution found";
  for (const std::string& path : files) {
    SCOPED_TRACE(path);
    std::ifstream f(path, std::ios::binary);
    TBytes bytes{std::istreambuf_iterator<char>(f), {}};
    const uint64_t expected = ObjdumpImageEnd(path);
    ASSERT_NE(expected, 0u);
    EXPECT_EQ(pkg::RealLength(bytes), expected);
    EXPECT_LE(expected, bytes.size());
  }
}
#endif

}  // namespace
