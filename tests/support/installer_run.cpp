#include "support/installer_run.h"

namespace zt {

std::unique_ptr<TForm1> NewInstaller(ui::ScriptedToolkit& tk, const std::string& updater) {
  auto form = std::make_unique<TForm1>(&tk);
  form->ExePathOverride = updater;
  form->SleepFn = [](unsigned) {};
  form->FormCreate();
  return form;
}

TRun RunInstaller(ui::ScriptedToolkit& tk, const std::string& updater) {
  const std::unique_ptr<TForm1> form = NewInstaller(tk, updater);
  form->FormActivate();
  return {form->RunOk(), form->ProtLines(), form->CopyDir};
}

}  // namespace zt
