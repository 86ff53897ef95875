#include "frontends/scripted/scripted.h"

#include "installer/selku.h"

namespace ui {

bool ScriptedToolkit::MessageBox(BoxStyle style, const std::string& text,
                                 const std::string& caption, int msgId) {
  RecordedBox box{style, msgId, text, caption, false};
  if (style == BoxStyle::Question) {
    if (!answers.empty()) {
      box.answer = answers.front();
      answers.pop_front();
    } else {
      box.answer = defaultAnswer;
    }
  }
  if (onBox) onBox(box);
  boxes.push_back(box);
  return box.answer;
}

std::string ScriptedToolkit::BrowseForFolder(const std::string&) {
  if (folders.empty()) return std::string();
  std::string folder = folders.front();
  folders.pop_front();
  return folder;
}

std::vector<int> ScriptedToolkit::BoxIds() const {
  std::vector<int> ids;
  for (const RecordedBox& b : boxes) ids.push_back(b.msgId);
  return ids;
}

}  // namespace ui

// ---- the update-variant dialog ------------------------------------------------------

namespace ui {

namespace {

class ScriptedSelKUView : public TSelKUView {
 public:
  ScriptedSelKUView(ScriptedToolkit& tk, TFrm_SelKU& dialog) : tk_(tk), dialog_(dialog) {}
  void ControlChanged(TSelKUControl control) override {
    if (control == TSelKUControl::Ed_FullPath)
      tk_.dialogPaths.push_back(dialog_.Text(TSelKUControl::Ed_FullPath));
  }
  void FocusControl(TSelKUControl) override {}
  void ShowPlainMessage(const std::string& text) override { tk_.dialogMessages.push_back(text); }

 private:
  ScriptedToolkit& tk_;
  TFrm_SelKU& dialog_;
};

}  // namespace

int ScriptedToolkit::ShowVariantDialog(TFrm_SelKU& dialog) {
  ++dialogShown;
  ScriptedSelKUView view(*this, dialog);
  dialog.AttachView(&view);
  dialogPaths.push_back(dialog.Text(TSelKUControl::Ed_FullPath));
  int cancelsAtEnd = 0;
  while (dialog.ModalResult() == 0) {
    std::string command;
    if (!dialogCommands.empty()) {
      command = dialogCommands.front();
      dialogCommands.pop_front();
    } else if (cancelsAtEnd++ == 0) {
      command = "cancel";
    } else {
      dialogErrors.push_back("the commands ran out with the dialog open");
      dialog.FinishDialog(3);
      break;
    }
    std::string error;
    if (!RunSelKUCommand(dialog, command, error)) dialogErrors.push_back(error);
    if (dialog.ModalResult() == 0 && onDialogCommand) onDialogCommand(dialog);
  }
  dialog.AttachView(nullptr);
  return dialog.ModalResult();
}

}  // namespace ui
