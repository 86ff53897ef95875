#include "frontends/unattended/unattended.h"

#include "installer/form1.h"
#include "installer/selku.h"

namespace ui {

namespace {

// The dialog's messages go into the protocol.
class UnattendedSelKUView : public TSelKUView {
 public:
  explicit UnattendedSelKUView(TForm1* form) : form_(form) {}
  void ControlChanged(TSelKUControl) override {}
  void FocusControl(TSelKUControl) override {}
  void ShowPlainMessage(const std::string& text) override {
    if (form_) form_->Say("Сообщение: " + OneLine(text));
  }

 private:
  TForm1* form_;
};

}  // namespace

std::string OneLine(const std::string& text) {
  std::string line;
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') {
      if (!line.empty() && line.back() != ' ') line += ' ';
      continue;
    }
    line += c;
  }
  return line;
}

UnattendedToolkit::UnattendedToolkit(const unattended::TSwitches& switches, Toolkit* shown)
    : switches_(switches), shown_(shown), started_(os::TickMs()) {}

void UnattendedToolkit::SetCaption(const std::string& c) { if (shown_) shown_->SetCaption(c); }
void UnattendedToolkit::ProtAdd(const std::string& l) { if (shown_) shown_->ProtAdd(l); }
void UnattendedToolkit::ProtReplaceLast(const std::string& l) { if (shown_) shown_->ProtReplaceLast(l); }
void UnattendedToolkit::ProtSelectLast() { if (shown_) shown_->ProtSelectLast(); }
void UnattendedToolkit::SetStatusVisible(bool v) { if (shown_) shown_->SetStatusVisible(v); }
void UnattendedToolkit::SetStatusText(const std::string& t) { if (shown_) shown_->SetStatusText(t); }
void UnattendedToolkit::SetProgress(uint32_t p, uint32_t m) { if (shown_) shown_->SetProgress(p, m); }
void UnattendedToolkit::ShowExitPanel() { if (shown_) shown_->ShowExitPanel(); }
void UnattendedToolkit::ProcessMessages() { if (shown_) shown_->ProcessMessages(); }
void UnattendedToolkit::CloseMainWindow() { if (shown_) shown_->CloseMainWindow(); }

void UnattendedToolkit::Note(const std::string& line) {
  if (form_) form_->Say(line);
}

bool UnattendedToolkit::MessageBox(BoxStyle style, const std::string& text, const std::string&,
                                   int msgId) {
  const std::string number = msgId ? " №" + std::to_string(msgId) : std::string();
  if (style != BoxStyle::Question) {
    Note("Сообщение" + number + ": " + OneLine(text));
    return false;
  }
  const unattended::TAnswer a =
      unattended::AnswerFor(msgId, switches_, os::TickMs() - started_);
  Note("Вопрос" + number + ": " + OneLine(text) + " - ответ \"" + (a.yes ? "Да" : "Нет") +
       "\" (" + a.why + ")");
  return a.yes;
}

// No box waits in an unattended run: the error goes into the protocol (the window
// or the terminal shows it there).
void UnattendedToolkit::ShowException(const std::string& message) {
  if (form_) {
    form_->AddProt(prot::kProtEmergency, message.empty() ? "Неизвестная ошибка" : message);
  } else if (shown_) {
    shown_->ProtAdd(message);
  }
}

std::string UnattendedToolkit::BrowseForFolder(const std::string&) { return std::string(); }

int UnattendedToolkit::ShowVariantDialog(TFrm_SelKU& dialog) {
  if (switches_.copy.empty()) {
    if (form_)
      form_->AddProt(prot::kProtEmergency,
                     "Это обновление выполняется только в копию ПК ZUM: без участия "
                     "пользователя укажите ее папку параметром /copy=ПАПКА");
    dialog.FinishDialog(VariantFailed);
    return dialog.ModalResult();
  }
  UnattendedSelKUView view(form_);
  dialog.AttachView(&view);
  std::vector<std::string> commands = {"folder " + switches_.copy};
  if (!switches_.name.empty()) commands.push_back("name " + switches_.name);
  if (!switches_.label.empty()) commands.push_back("label " + switches_.label);
  if (switches_.clean) commands.push_back("clean on");
  if (switches_.noAutoSave) commands.push_back("noautosave on");
  commands.push_back("next");
  for (const std::string& command : commands) {
    std::string error;
    if (!RunSelKUCommand(dialog, command, error)) {
      Note(error);
      break;
    }
    if (dialog.ModalResult() != 0) break;
  }
  if (dialog.ModalResult() == 0) {
    if (form_)
      form_->AddProt(prot::kProtEmergency,
                     "Параметры копии не приняты (причина названа выше): " + switches_.copy);
    dialog.FinishDialog(VariantFailed);
  }
  dialog.AttachView(nullptr);
  return dialog.ModalResult();
}

}  // namespace ui
