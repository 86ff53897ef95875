#include "support/package_builder.h"

#include "pack/payload_encode.h"
#include "format/checksum.h"
#include "pack/package_writer.h"
#include "sample/sample.h"

namespace zt {

bool MakePackage(const std::string& dosPath, const PackagePlan& plan, std::string& error) {
  pkg::PackageWriter writer;
  if (!writer.SetStub(sample::MakePeImage(0x12345678, 7), pkg::PackageWriter::StubFit::Refuse,
                      error))
    return false;
  if (plan.section) writer.AddSection();
  uint32_t tmp = 1 << 20;
  for (const WholeFile& f : plan.files) {
    const std::vector<uint8_t> bytes(f.bytes.begin(), f.bytes.end());
    std::vector<uint8_t> framed;
    if (!payload::EncodePayload(bytes, {}, framed, error)) return false;
    if (f.declaredSize != 0)
      for (int i = 0; i < 8; ++i) framed[6 + i] = static_cast<uint8_t>(f.declaredSize >> (8 * i));
    pkg::TPartRecord r;
    r.NewSize = r.OldSize = static_cast<uint32_t>(bytes.size());
    r.NewSum = r.OldSum = pkg::AddSum(bytes);
    r.DiffSum = f.kind == 6 ? f.variant : 0;
    if (!writer.AddFile(f.kind, f.name, 0, framed, r, error)) return false;
    tmp += 2 * static_cast<uint32_t>(bytes.size());
  }
  pkg::PackageWriter::TTail tail;
  tail.VerFrom = plan.verFrom;
  tail.VerTo = plan.verTo;
  tail.TmpSpaceNeed = tmp;
  tail.BuildStamps = plan.stamps;
  return writer.WriteFile(dosPath, tail, error);
}

}  // namespace zt
