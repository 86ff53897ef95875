// The package reader on arbitrary installer files: the trailer check, the real
// length, the tail, the catalogue and the entry walk, and the payload heads.
#include <cstdint>

#include "installer/form1.h"
#include "fuzz_common.h"
#include "installer/reader.h"
#include "frontends/scripted/scripted.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = fuzz::Sandbox() + "zumupd.exe";
  fuzz::WriteFile(path, data, size);
  ui::ScriptedToolkit tk;
  {
    TForm1 form(&tk);
    form.ExePathOverride = path;
    if (form.ReadPackage()) {
      // What the reader accepted must lie inside the file.
      for (const auto& e : form.PartList) {
        if (e->Kind != pkg::kSection && uint64_t{e->Pos} + e->EntryLen > size) abort();
        pkg::TSpanSource src(std::span<const uint8_t>(data, size));
        pkg::CheckPayloadHead(src, *e);
      }
    }
  }
  return 0;
}
