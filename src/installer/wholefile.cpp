// The appliers of entries that carry a whole new file: the work file takes the
// target's place and is verified against the entry's part record.
#include <exception>

#include "installer/form1.h"
#include "files/checksum_file.h"
#include "product/product.h"

bool TForm1::ApplyAddRepl(const pkg::TPartNfo& e, const std::string& target,
                          const std::string& work, const std::string& backup) {
  try {
    // Whatever is at the target goes: a file, or a whole folder tree.
    if (!DropPath(target)) return false;

    AddProt(prot::kProtMoveFile, work + " в " + target);
    if (!ProtResult(os::MoveFile(work, target), false)) return false;

    uint32_t sum = 0, size = 0;
    if (!SumForCompare(target, true, sum, size)) return false;
    return ProtResult(sum == e.NewSum && size == e.NewSize, false);
  } catch (const std::exception& ex) {
    AddProt(prot::kProtEmergency, ex.what());
    return false;
  }
}

bool TForm1::ApplyAddRepM(const pkg::TPartNfo& e, const std::string& target,
                          const std::string& work, const std::string& backup) {
  // Without the configuration record the edition is unknown; applying a build
  // meant for another edition would break the product, so that is a failure.
  if (ConfigBuffer.size() <= product::kConfigEditionOffset) {
    AddProt(prot::kProtEmergency, "Не прочитан файл-конфигуратор: редакция ZUM неизвестна");
    return false;
  }
  // Several builds of one executable travel under one name; only the one for the
  // installed edition is applied, the others are passed over silently.
  if (!pkg::EntryAppliesToEdition(e.Kind, e.DiffSum, ConfigBuffer[product::kConfigEditionOffset]))
    return true;
  return ApplyAddRepl(e, target, work, backup);
}
