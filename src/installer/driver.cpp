// The main window's life and the fixed sequence of stages of one update run.
#include <exception>

#include "installer/form1.h"
#include "installer/messages.h"
#include "toolkit/toolkit.h"
#include "base/dos_path.h"
#include "product/product.h"

TForm1::TForm1(ui::Toolkit* toolkit) : PrBar(toolkit), toolkit_(toolkit) {}

TForm1::~TForm1() { FormDestroy(); }

void TForm1::FormCreate() {
  BackedUpFiles.clear();
  PartList.clear();
  SetCaption("...");
  SelfMutex.Close();
  InstallMutex.Close();
  CopyMutex.Close();
}

void TForm1::FormDestroy() {
  PartList.clear();
  BuildStamps.clear();
  SelfMutex.Close();
  InstallMutex.Close();
  CopyMutex.Close();
  // The journal stream stays open after a failed run until the process ends; the
  // file itself stays on disk for the next start.
}

bool TForm1::FormClose() { return SeqFinished; }

void TForm1::Btn_CloseClick() { toolkit_->CloseMainWindow(); }

std::string TForm1::ExePath() const {
  return ExePathOverride.empty() ? os::ModulePath() : ExePathOverride;
}

void TForm1::SetCaption(const std::string& caption) {
  caption_ = caption;
  toolkit_->SetCaption(caption);
}

void TForm1::ShowStatus(bool visible) { toolkit_->SetStatusVisible(visible); }
void TForm1::SetStatusText(const std::string& text) { toolkit_->SetStatusText(text); }

bool TForm1::ProtResult(bool ok, bool newLine) {
  AddProt(ok ? prot::kProtOk : prot::kProtHadErrors, "", newLine);
  return ok;
}

bool TForm1::DropPath(const std::string& path) {
  try {
    if (os::FileExists(path)) {
      AddProt(prot::kProtDeleteFile, path);
      return ProtResult(os::DeleteFile(path), false);
    }
    if (os::DirectoryExists(path)) {
      // A folder that could not be removed is a failure, not a success.
      return CleanFolder(path, true);
    }
    return true;
  } catch (const std::exception& e) {
    AddProt(prot::kProtEmergency, e.what());
    return false;
  }
}

namespace {
}  // namespace

void TForm1::FormActivate() {
  if (SeqStarted) return;
  SeqStarted = true;
  os::ResetFirstChangeError();
  JournalMuted = true;
  SeqFinished = false;
  bool ok = true;
  bool noLaunch = false;

  // The stages run in this order; the first failure goes to the end block.
  [&] {
    Say("...Инициализация");
    if (!ProtResult(StartUp(), true)) { ok = false; return; }

    Say("...Проверка проблем прошлого запуска");
    if (JournalExists()) {
      PrevRunFailed = true;
      if (AskMsg(toolkit_, 3001, true)) {
        Say("Есть проблемы. Попытка отката к предыдущему состоянию.");
        if (ProtResult(Recover(), true)) {
          CleanFolder(TempDir, true);
          if (UpdateVariant == 1) CleanFolder(CopyDir, true);
          TempDir.clear();
          Say("Восстановление завершено успешно");
          if (!AskMsg(toolkit_, 3003, false)) {
            AddProt(prot::kProtCancelled, "");
            noLaunch = true;
            return;
          }
        } else {
          AddProt(prot::kProtErrorNo, "5003");
          ErrMsg(toolkit_, 5003);
          ok = false;
          return;
        }
      } else {
        AddProt(prot::kProtErrorNo, "5003");
        ErrMsg(toolkit_, 5003);
        AddProt(prot::kProtCancelled, "");
        noLaunch = true;
        ok = false;
        return;
      }
    } else {
      Say("Нет проблем");
    }

    Say("Начало протоколирования (файл отката)");
    JournalMuted = false;
    if (!ProtResult(JournalStart(), true)) { ok = false; return; }

    Say("...проверка наличия ZUM.EXE");
    if (!ProtResult(FindProductExe(false, false), true)) {
      Say("Не удалось найти ZUM.EXE");
      ok = false;
      return;
    }

    Say("Проверка наличия ZUM.EXE в памяти");
    if (!ProtResult(!WaitProduct(false), false)) {
      Say("ZUM запущена. Недопустимо.");
      ok = false;
      return;
    }

    Say("...проверка соответствия ZUM.EXE");
    if (!ProtResult(CheckVersion(), true)) {
      JournalEnd();
      DropPath(JournalFile);
      ok = false;
      return;
    }

    std::string copyName = "ZUM5_";
    for (char c : VerTo)
      if (c != '.') copyName += c;

    UpdateVariant = 1;
    Say("Выбор варианта обновления");
    int variant;
    if (IsCorrection) {
      variant = VariantInPlace;
      Say("...ОБНОВЛЕНИЕ ВЫПОЛНЯЕТСЯ В РЕЖИМЕ ИСПРАВЛЕНИЯ");
    } else {
      Say("Выбор варианта обновления");
      variant = SelectKind(copyName);
    }
    switch (variant) {
      case VariantCopy:
        UpdateVariant = 1;  // CopyDir was set by the dialog
        break;
      case VariantInPlace:
        UpdateVariant = 0;
        break;
      case VariantCancel:
        AddProt(prot::kProtCancelled, "");
        noLaunch = true;
        JournalEnd();
        DropPath(JournalFile);
        return;
      default:
        ProtResult(false, false);
        ok = false;
        return;
    }

    Say("...проверка - набор файлов обновления");
    if (!ProtResult(CheckFreeSpace(), true)) { ok = false; return; }

    Say("Папка для временных файлов");
    CleanFolder(TempDir, false);
    {
      // Make TempDir with all its missing parents.
      std::string partial;
      size_t pos = 0;
      while ((pos = TempDir.find('\\', pos)) != std::string::npos) {
        partial = TempDir.substr(0, pos);
        if (partial.size() > 2 && !os::DirectoryExists(partial)) os::CreateDir(partial);
        ++pos;
      }
    }
    Say(TempDir);

    Say("...Выполнение обновления");
    if (!ProtResult(RunEntries(), true)) { ok = false; return; }
    Say("");
    JournalEnd();
    // A journal that stays would have the next start roll this update back; the
    // backups in the temporary folder are kept for that rollback.
    if (!DropPath(JournalFile)) { ok = false; return; }
    CleanFolder(TempDir, true);
    Say("Программа выполнена успешно");
  }();

  // Every change is journalled before it is made, so a failed run whose journal
  // names none changed nothing: kept, the journal would only have the next start
  // offer to roll back a run that did nothing. It goes, with the temporary folder.
  if (!ok && JournalStream.IsOpen() && ChangesJournalled == 0) {
    JournalEnd();
    if (DropPath(JournalFile)) {
      CleanFolder(TempDir, true);
      Say("Изменений не было, файл отката удален");
    }
  }

  EndBlock(ok, noLaunch);
}

void TForm1::EndBlock(bool ok, bool noLaunch) {
  runOk_ = ok;
  // Name the system's refusal that ended the run: the step's own lines only mark it.
  const os::Error& change = os::FirstChangeError();
  if (!ok && change.kind != os::ErrorKind::None) AddProt(prot::kProtEmergency, change.text);
  SeqFinished = true;
  toolkit_->ShowExitPanel();
  if (!protLines_.empty()) toolkit_->ProtSelectLast();

  std::string path;
  if (!JournalFile.empty())
    path = dos::FolderOf(JournalFile) + "Протокол_" + dos::LeafOf(JournalFile);
  else
    path = dos::FolderOf(ExePath()) + "Протокол.txt";
  protocolPath_ = path;

  std::string error;
  if (!SaveProtocol(path, error)) {
    // The toolkit's standard display; the rest of the end block is skipped and the
    // window can still be closed.
    toolkit_->ShowException("Cannot create file \"" + path + "\". " + error);
    return;
  }
  AddListLine("Техническая информация о проведенных действиях сохранена в: ");
  AddListLine(path);

  if (!noLaunch && ok && AskMsg(toolkit_, 3009, true)) {
    InstallMutex.Close();
    CopyMutex.Close();
    RunProduct();
  }
}

void TForm1::RunProduct() {
  if (UpdateVariant == 1) InstallDir = CopyDir;
  const std::string program = InstallDir + product::kExePath;
  const std::string folder = UpdateVariant == 1 ? CopyDir : InstallDir;
  if (os::StartProcess(program, folder, 3)) {
    Btn_CloseClick();
  } else {
    ErrMsg(toolkit_, 5017);
  }
}

int TForm1::ShowProgress(const void* marker, uint32_t value) {
  if (!marker) {
    PrBar.SetMax(value);
    PrBar.SetPosition(0);
  } else {
    PrBar.SetPosition(value);
    toolkit_->ProcessMessages();
  }
  return 0;
}

bool NotBuiltYet(TForm1& form, const char* stage) {
  form.AddProt(prot::kProtEmergency, std::string("Этап не реализован в этой сборке: ") + stage);
  return false;
}
