// The appliers of difference entries: the new file is rebuilt from the old one and
// a BDT patch (patch.h), or for EXTDIFF a BDX patch (bdx_patch.h), never patched
// in place. A base file is unscrambled before
// and scrambled again after; an executable is moved aside and rebuilt in its place.
// On a failure the target may be missing, plain, partial or wrong: the journal
// record made before the applier ran lets the recovery put the old file back.
#include <exception>

#include "installer/form1.h"
#include "format/basefile.h"
#include "format/patch.h"
#include "installer/patch_file.h"
#include "files/checksum_file.h"
#include "product/product.h"
#include "base/test_point.h"

bool TForm1::SumForCompare(const std::string& path, bool newLine, uint32_t& sum, uint32_t& size) {
  AddProt(prot::kProtChecksum, path);
  if (!ProtResult(SumFile(path, sum, size, &PrBar), newLine)) return false;
  AddProt(prot::kProtCompareChecksum, path);
  return true;
}

bool TForm1::ApplyBinDiff(const pkg::TPartNfo& e, const std::string& target,
                          const std::string& work, const std::string& backup) {
  try {
    uint32_t sum = 0, size = 0;
    if (!SumForCompare(backup, true, sum, size)) return false;
    if (!ProtResult(sum == e.OldSum && size == e.OldSize, false)) return false;

    // The difference goes onto the saved copy; the target is built anew.
    os::DeleteFile(target);
    AddProt(prot::kProtApplyDiff, target);
    if (!ProtResult(PatchFile(*this, backup, target, work, PatchFormatOf(e.Kind)), false))
      return false;

    if (!SumForCompare(target, true, sum, size)) return false;
    const bool ok = ProtResult(sum == e.NewSum && size == e.NewSize, false);
    DropPath(work);
    return ok;
  } catch (const std::exception& ex) {
    AddProt(prot::kProtEmergency, ex.what());
    return false;
  }
}

bool TForm1::ApplyDbbDiff(const pkg::TPartNfo& e, const std::string& target,
                          const std::string& work, const std::string& backup) {
  try {
    uint32_t sum = 0, size = 0;
    if (!SumForCompare(backup, true, sum, size)) return false;
    if (!ProtResult(sum == e.OldSum && size == e.OldSize, false)) return false;

    const std::string prepared = work + "~";
    const int64_t key = BaseKeyFor(backup);
    // A file without a key cannot be unscrambled: nothing is converted.
    AddProt(prot::kProtPrepareFile, prepared);
    const bool plain = key != -1 && RekeyBase(backup, prepared, 0, static_cast<uint32_t>(key));
    if (!ProtResult(plain, false)) return false;

    // The plain forms are checked for the protocol only: the final check decides.
    if (!SumForCompare(prepared, true, sum, size)) return false;
    ProtResult(sum == e.PrepSum && size == e.PrepSize, false);

    // From here the target holds the plain patched file until it is scrambled again.
    AddProt(prot::kProtApplyDiff, target);
    if (!ProtResult(PatchFile(*this, prepared, target, work), false)) return false;
    testpoint::Hit("dbb-patched");
    DropPath(work);
    DropPath(prepared);

    AddProt(prot::kProtMoveFile, target + " в " + work);
    if (!ProtResult(os::MoveFile(target, work), false)) return false;
    if (!SumForCompare(work, false, sum, size)) return false;
    ProtResult(sum == e.MidSum && size == e.MidSize, false);

    AddProt(prot::kProtBuildFile, target);
    if (!ProtResult(RekeyBase(work, target, static_cast<uint32_t>(key), 0), true)) return false;
    if (!SumForCompare(target, false, sum, size)) return false;
    return ProtResult(sum == e.NewSum && size == e.NewSize, false);
  } catch (const std::exception& ex) {
    AddProt(prot::kProtEmergency, ex.what());
    return false;
  }
}

bool TForm1::ApplyPeDiff(const pkg::TPartNfo& e, int kind, const std::string& work,
                         const std::string& backup, const std::string& target) {
  // Without the configuration record the edition is unknown; rebuilding the build
  // of the other edition would break the product, so that is a failure.
  if (ConfigBuffer.size() <= product::kConfigEditionOffset) {
    AddProt(prot::kProtEmergency, "Не прочитан файл-конфигуратор: редакция ZUM неизвестна");
    return false;
  }
  // PE1DIFF is the first edition's build, PE2DIFF the second's: the other one is
  // passed over silently.
  if (!pkg::EntryAppliesToEdition(static_cast<uint8_t>(kind), 0,
                                  ConfigBuffer[product::kConfigEditionOffset]))
    return true;
  try {
    const std::string prepared = work + "~";
    AddProt(prot::kProtMoveFile, target + " в " + prepared);
    if (!ProtResult(os::MoveFile(target, prepared), false)) return false;
    testpoint::Hit("pe-moved");

    uint32_t sum = 0, size = 0;
    // A trailing zero byte leaves the checksum as it is, and installed executables
    // may carry one: one byte either way is accepted.
    if (!SumForCompare(prepared, true, sum, size)) return false;
    const int64_t diff = static_cast<int64_t>(size) - static_cast<int64_t>(e.OldSize);
    if (!ProtResult(sum == e.OldSum && diff >= -1 && diff <= 1, false)) return false;

    AddProt(prot::kProtApplyDiff, target);
    if (!ProtResult(PatchFile(*this, prepared, target, work), false)) return false;
    if (!SumForCompare(target, true, sum, size)) return false;
    if (!ProtResult(sum == e.NewSum && size == e.NewSize, false)) return false;

    DropPath(work);
    DropPath(prepared);
    return true;
  } catch (const std::exception& ex) {
    AddProt(prot::kProtEmergency, ex.what());
    return false;
  }
}
