#include "pack/package_writer.h"

#include "format/checksum.h"
#include "format/image.h"
#include "platform/os.h"
#include "base/bytes.h"

namespace pkg {

bool PackageWriter::SetStub(TBytes stub, StubFit fit, std::string& error) {
  const uint32_t real = RealLength(stub);
  if (real == 0) {
    error = "the stub is not an executable image (no readable PE or ELF headers)";
    return false;
  }
  if (real > stub.size()) {
    error = "the stub's headers place the end of its image at " + std::to_string(real) +
            ", beyond its length of " + std::to_string(stub.size()) + " bytes";
    return false;
  }
  if (real < stub.size()) {
    if (fit == StubFit::Refuse) {
      error = "the stub's image ends at " + std::to_string(real) + " but the file has " +
              std::to_string(stub.size()) +
              " bytes (a symbol table, an overlay, a signature or a package follows "
              "the image); strip the stub or ask for it to be cut to its image";
      return false;
    }
    stub.resize(real);
  }
  stub_ = std::move(stub);
  hasStub_ = true;
  return true;
}

bool PackageWriter::LoadStub(const std::string& path, StubFit fit, std::string& error) {
  os::File f;
  uint64_t size = 0;
  if (!f.Open(path, os::kRead, os::kShareRead, os::Disposition::OpenExisting) || !f.Size(size)) {
    error = "cannot open the stub " + path + ": " + os::LastErrorText();
    return false;
  }
  if (size > 0xFFFFFFFFu) {
    error = "the stub " + path + " is 4 GiB or larger";
    return false;
  }
  TBytes bytes(static_cast<size_t>(size));
  if (!bytes.empty() && !f.ReadExact(bytes.data(), bytes.size())) {
    error = "cannot read the stub " + path + ": " + os::LastErrorText();
    return false;
  }
  return SetStub(std::move(bytes), fit, error);
}

void PackageWriter::AddSection() {
  entryOffsets_.push_back(entries_.size());
  le::Append8(entries_, kSection);
  entries_.insert(entries_.end(), kSectionEntrySize - 1, 0);
  records_.push_back(TPartRecord());
}

bool PackageWriter::AddFile(uint8_t kind, const std::string& name, uint32_t tag,
                            std::span<const uint8_t> payload, const TPartRecord& slots,
                            std::string& error) {
  if (kind == kSection) {
    error = "a SECTION entry has no name and no payload";
    return false;
  }
  if (name.size() > 0xFFFF) {
    error = "entry name longer than 65,535 bytes";
    return false;
  }
  const uint64_t length = kEntryHeadFixed + name.size() + payload.size();
  if (length > 0xFFFFFFFFu) {
    error = "entry " + name + " is 4 GiB or larger";
    return false;
  }
  const size_t start = entries_.size();
  le::Append8(entries_, kind);
  le::Append16(entries_, static_cast<uint16_t>(name.size()));
  PutText(entries_, name);
  le::Append32(entries_, tag);
  PutBytes(entries_, payload);

  TPartRecord record = slots;
  record.EntryLen = static_cast<uint32_t>(length);
  record.EntrySum = AddSum(entries_.data() + start, entries_.size() - start);
  entryOffsets_.push_back(start);
  records_.push_back(record);
  return true;
}

bool PackageWriter::Finish(const TTail& tail, TBytes& package, std::string& error) const {
  if (!hasStub_) {
    error = "no stub to append the package to";
    return false;
  }
  TCatalogueHeader header;
  header.PartCount = static_cast<uint32_t>(records_.size());
  header.TmpSpaceNeed = tail.TmpSpaceNeed;
  if (tail.Growth) {
    header.Growth = *tail.Growth;
  } else {
    for (const TPartRecord& r : records_) header.Growth += r.NewSize - r.OldSize;
  }

  TBytes out;
  out.reserve(stub_.size() + entries_.size() + records_.size() * kPartRecordSize + 1024);
  PutBytes(out, stub_);
  PutBytes(out, entries_);
  for (const TPartRecord& r : records_) AppendPartRecord(out, r);
  AppendCatalogueHeader(out, header);
  if (!AppendVersion(out, tail.VerFrom) || !AppendVersion(out, tail.VerTo)) {
    error = "version text longer than 65,535 bytes";
    return false;
  }
  if (!AppendBuildStamps(out, tail.BuildStamps)) {
    error = "more than 65,535 build stamps";
    return false;
  }
  if (!SealPackage(out)) {
    error = "the package would be 4 GiB or larger";
    return false;
  }
  package = std::move(out);
  return true;
}

bool PackageWriter::WriteFile(const std::string& path, const TTail& tail,
                              std::string& error) const {
  TBytes bytes;
  if (!Finish(tail, bytes, error)) return false;
  os::File f;
  if (!f.Open(path, os::kWrite, os::kShareNone, os::Disposition::CreateAlways) ||
      !f.Write(bytes.data(), bytes.size())) {
    error = "cannot write " + path + ": " + os::LastErrorText();
    return false;
  }
  return true;
}

}  // namespace pkg
