// An update file signed after it was built: the signer rewrites the PE checksum
// field and the security directory entry, pads the file to a multiple of 8 with
// zero bytes and appends the certificate table. The package is found before the
// table, its checksum counts the two fields as zero, and a package sealed before
// this rule (over the fields as they stood) still passes.
#include <gtest/gtest.h>

#include "files/package_file.h"
#include "format/catalogue.h"
#include "format/image.h"
#include "unit/package_fixture.h"

namespace {

using pkgtest::TBytes;

constexpr size_t kOptional = pkgtest::kLfanew + 24;
constexpr size_t kCheckSum = kOptional + 64;
constexpr size_t kSecurity = kOptional + 96 + 4 * 8;

// The fixture's stub with its data directories counted (16, as linkers write).
TBytes Stub() {
  TBytes stub = pkgtest::MakePe({0x400, 0x200}, 0x55685DBC);
  le::Set32(stub, kOptional + 92, 16);  // NumberOfRvaAndSizes
  return stub;
}

// What a signer does to the file: the checksum field, the padding, the table and
// the security directory entry that names it.
TBytes Signed(TBytes file, size_t tableSize = 1200) {
  le::Set32(file, kCheckSum, 0x0004F3A1);
  while (file.size() % 8 != 0) file.push_back(0);
  const uint32_t offset = static_cast<uint32_t>(file.size());
  le::Set32(file, kSecurity, offset);
  le::Set32(file, kSecurity + 4, static_cast<uint32_t>(tableSize));
  TBytes table = pkgtest::Payload(tableSize, 99);
  le::Set32(table, 0, static_cast<uint32_t>(tableSize));  // WIN_CERTIFICATE dwLength
  file.insert(file.end(), table.begin(), table.end());
  return file;
}

struct Checked {
  bool sealed = false;
  uint64_t packageEnd = 0;
  pkg::TCatalogueStatus catalogue = pkg::TCatalogueStatus::NotAPackage;
};

Checked Check(const TBytes& file) {
  zt::TempDir dir;
  const std::string path = dir.Dos() + "update.exe";
  EXPECT_TRUE(pkgtest::WriteBytes(path, file));
  os::File f;
  EXPECT_TRUE(f.Open(path, os::kRead, os::kShareRead, os::Disposition::OpenExisting));
  Checked c;
  c.sealed = pkg::CheckPackage(f);
  pkg::TFileSource src(f);
  c.packageEnd = src.Size();
  pkg::TCatalogue cat;
  c.catalogue = pkg::ReadCatalogue(src, pkg::RealLength(src), cat);
  return c;
}

}  // namespace

TEST(SignedPackage, IsFoundBeforeItsCertificateTableWithEveryPadding) {
  // Packages of several lengths, so that the signer pads with 0 to 7 bytes.
  for (size_t extra = 0; extra < 8; ++extra) {
    SCOPED_TRACE(extra);
    auto entries = pkgtest::ShippedEntries();
    entries.back().payloadSize += extra;
    const TBytes plain = pkgtest::BuildPackage(Stub(), entries, pkgtest::ShippedTail()).bytes;
    const Checked before = Check(plain);
    EXPECT_TRUE(before.sealed);
    EXPECT_EQ(before.packageEnd, plain.size());

    const TBytes file = Signed(plain);
    const Checked after = Check(file);
    EXPECT_TRUE(after.sealed);
    EXPECT_EQ(after.packageEnd, plain.size());
    EXPECT_EQ(after.catalogue, before.catalogue);
    EXPECT_EQ(after.catalogue, pkg::TCatalogueStatus::Ok);

    // A byte of the package changed after signing fails the check; so does a
    // table that does not end the file (then nothing is taken off).
    TBytes flipped = file;
    flipped[plain.size() / 2] ^= 0x01;
    EXPECT_FALSE(Check(flipped).sealed);
    TBytes longer = file;
    longer.push_back(0);
    EXPECT_FALSE(Check(longer).sealed);
  }
}

TEST(SignedPackage, ChecksumCountsTheSigningFieldsAsZeroAndOldPackagesStillPass) {
  TBytes stub = Stub();
  le::Set32(stub, kCheckSum, 0x00012345);  // a stub whose linker wrote a checksum
  const TBytes made = pkgtest::BuildPackage(stub, pkgtest::ShippedEntries(), pkgtest::ShippedTail()).bytes;
  EXPECT_TRUE(Check(made).sealed);
  EXPECT_TRUE(Check(Signed(made)).sealed);

  // Sealed the way every package was before: the fields summed as they stand.
  TBytes old = made;
  old.resize(old.size() - pkg::kTrailerSize);
  const uint32_t n = static_cast<uint32_t>(old.size() + pkg::kTrailerSize);
  const uint32_t sum = pkg::AddSum(old) + n;
  le::Append32(old, n);
  le::Append32(old, sum);
  EXPECT_NE(old, made);
  EXPECT_TRUE(Check(old).sealed);

  // An ELF stub has no such fields: its package sums every byte.
  pkg::TSpanSource elf(std::span<const uint8_t>(made.data(), 4));
  EXPECT_FALSE(pkg::FindSigningFields(elf).Found);
}
