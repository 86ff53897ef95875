// The update-variant dialog in the terminal: the dialog's labels and fields as text,
// then one command a line until the dialog has its result.
#include "installer/selku.h"
#include "platform/os.h"
#include "frontends/term/term.h"

namespace ui {

namespace {

using C = TSelKUControl;

const char kCommands[] =
    "Команды: folder ПАПКА, name ИМЯ, label ЯРЛЫК, clean on|off, noautosave on|off, "
    "browse, next, cancel";

// The program's name, as a plain message box shows it in its title.
std::string ProgramTitle() {
  std::string name = os::ModulePath();
  const size_t slash = name.find_last_of('\\');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  const size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

class TermSelKUView : public TSelKUView {
 public:
  TermSelKUView(TermToolkit& tk, TFrm_SelKU& dialog) : tk_(tk), d_(dialog) {}

  void ControlChanged(TSelKUControl control) override {
    if (control == C::ChkBx_CleanCopy || control == C::ChkBx_NoAutoSaveFolder)
      boxesChanged_ = true;
  }
  void FocusControl(TSelKUControl) override {}
  void ShowPlainMessage(const std::string& text) override {
    tk_.EndLine();
    tk_.Print("[" + ProgramTitle() + "]\n" + text + "\n");
  }

  void PrintAll() {
    tk_.EndLine();
    tk_.Print("== " + d_.Text(C::Form) + " ==\n");
    Line(C::Label1);
    Line(C::Label6);
    tk_.Print("    " + d_.Text(C::Ed_CurRoot) + "\n");
    Field(C::Label3, C::Ed_NewFolder);
    Field(C::Label5, C::Ed_CloneName);
    Field(C::Label4, C::Ed_Label);
    PrintBoxes();
    PrintPath();
    PrintHint();
    tk_.Print(std::string(kCommands) + "\n");
  }

  // What a command changed: the copy path always, the check boxes when they did.
  void PrintAfterCommand() {
    tk_.EndLine();
    if (boxesChanged_) PrintBoxes();
    PrintPath();
    PrintHint();
  }

  void PrintBoxes() {
    boxesChanged_ = false;
    for (C box : {C::ChkBx_CleanCopy, C::ChkBx_NoAutoSaveFolder})
      tk_.Print(std::string(d_.Checked(box) ? "[x] " : "[ ] ") + d_.Text(box) + "\n");
  }

 private:
  void Line(C label) { tk_.Print(d_.Text(label) + "\n"); }
  void Field(C label, C edit) { tk_.Print(d_.Text(label) + " " + d_.Text(edit) + "\n"); }
  void PrintPath() { tk_.Print(d_.Text(C::Label7) + " " + d_.Text(C::Ed_FullPath) + "\n"); }
  void PrintHint() {
    if (d_.Control(C::Btn_Next).Enabled) return;
    tk_.Print(d_.Text(C::Lbl_Hint) + "\n" + d_.Text(C::Lbl_FreeSpace) + "\n");
  }

  TermToolkit& tk_;
  TFrm_SelKU& d_;
  bool boxesChanged_ = false;
};

}  // namespace

int TermToolkit::ShowVariantDialog(TFrm_SelKU& dialog) {
  TermSelKUView view(*this, dialog);
  dialog.AttachView(&view);
  view.PrintAll();
  bool ended = false;  // the input ended: every further command is "cancel"
  int cancels = 0;
  while (dialog.ModalResult() == 0) {
    EndLine();
    Print("> ");
    std::fflush(out_);
    std::string line;
    if (!ended && !ReadLine(line)) ended = true;
    if (ended) {
      line = "cancel";
      // Cancelling at the end of input asks 3003, which the ended input answers No.
      if (++cancels > 1) {
        dialog.FinishDialog(2);
        break;
      }
    }
    if (!inTty_) Print(line + "\n");
    if (TrimText(line).empty()) continue;
    std::string error;
    if (!RunSelKUCommand(dialog, line, error)) {
      Print(error + "\n" + kCommands + "\n");
      continue;
    }
    if (dialog.ModalResult() == 0 && dialog.Control(C::Form).Visible) view.PrintAfterCommand();
  }
  EndLine();
  dialog.AttachView(nullptr);
  return dialog.ModalResult();
}

}  // namespace ui
