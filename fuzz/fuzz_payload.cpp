// Payload heads and LZMA1 decoding, in memory and through UnpackPayload.
#include <cstdint>
#include <vector>

#include "files/unpack.h"
#include "format/payload.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  payload::Header h;
  if (!payload::ParseHeader(data, size, h)) return 0;
  // Decoding can expand a few bytes into gigabytes: the output is capped here.
  const uint32_t declared = static_cast<uint32_t>(h.unpackedSize);
  const uint32_t cap = declared < (1u << 20) ? declared : (1u << 20);
  std::vector<uint8_t> out(cap);
  uint32_t produced = 0;
  const payload::Status st = payload::DecodeLzma(h, data + payload::kHeaderSize,
                                                 size - payload::kHeaderSize, out.data(), cap,
                                                 produced, {});
  if (produced > cap || (st != payload::Status::Ok && produced != 0)) abort();

  if (declared != 0 && declared <= (1u << 20)) {
    static const std::string dir = fuzz::Sandbox();
    fuzz::WriteFile(dir + "package", data, size);
    const uint32_t got = UnpackPayload(dir + "work", dir + "package", 0, {});
    if (got > declared) abort();
    if (got == 0 && os::FileExists(dir + "work")) abort();  // a failure leaves no work file
    os::DeleteFile(dir + "work");
  }
  return 0;
}
