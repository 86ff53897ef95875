// Stages whose subsystems are not in this build yet. Each reports that with a
// protocol line of kind 26 and fails; none pretends to succeed.
#include "app/form1.h"

int TForm1::SelectKind(const std::string&) {
  NotBuiltYet(*this, "SelectKind");
  return VariantFailed;
}
bool TForm1::ApplyBinDiff(const pkg::TPartNfo&, const std::string&, const std::string&,
                          const std::string&) {
  return NotBuiltYet(*this, "BINDIFF");
}
bool TForm1::ApplyDbbDiff(const pkg::TPartNfo&, const std::string&, const std::string&,
                          const std::string&) {
  return NotBuiltYet(*this, "DBBDIFF");
}
bool TForm1::ApplyPeDiff(const pkg::TPartNfo&, int, const std::string&, const std::string&,
                         const std::string&) {
  return NotBuiltYet(*this, "PE1DIFF/PE2DIFF");
}
bool TForm1::CreateDesktopLink() { return NotBuiltYet(*this, "CreateDesktopLink"); }
