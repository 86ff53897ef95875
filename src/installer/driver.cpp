// The main window's life and the fixed sequence of stages of one update run.
#include <exception>

#include "files/folders.h"
#include "files/owner_mark.h"
#include "format/journal_check.h"
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
    uint32_t attr = 0;
    if (os::GetAttributes(path, attr) && (attr & os::kAttrReparsePoint)) {
      // A link goes as a link; what it points to is not the run's.
      AddProt(prot::kProtDeleteFile, path);
      return ProtResult(os::RemoveLink(dos::WithoutSlash(path)), false);
    }
    if (os::FileExists(path)) {
      AddProt(prot::kProtDeleteFile, path);
      // A read-only file does not stop a removal the journal asks for.
      if ((attr & os::kAttrReadOnly) && !os::SetReadOnly(path, false)) return ProtResult(false, false);
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

// ---- the sequence of stages ------------------------------------------------------------

TForm1::TStageEnd TForm1::StageStartUp() {
  Say("...Инициализация");
  return ProtResult(StartUp(), true) ? TStageEnd::Next : TStageEnd::Failed;
}

// Whether this account may write in the installation folder, tried with a file that
// vanishes with its handle, before anything is changed (a rollback writes too). A
// program that may not write there would otherwise fail at its first change; on
// Windows the user may start it again as administrator instead.
TForm1::TStageEnd TForm1::StageWriteAccess() {
  Say("...проверка права записи в папку " + InstallDir);
  {
    os::File probe;
    if (probe.OpenTemporary(InstallDir + "~zumwrt.tmp")) return TStageEnd::Next;
  }
  const std::string text = "Нет права записи в папку " + InstallDir + ": " + os::LastErrorText() +
                           ". Обновление не выполнено, ничего не изменено.";
  noWriteAccess_ = true;
  AddProt(prot::kProtEmergency, text);
  if (!os::CanStartElevated()) {
    ErrText(toolkit_, text + " Запустите обновление от имени пользователя, которому "
                             "разрешена запись в эту папку.");
    return TStageEnd::Refused;
  }
  if (!AskText(toolkit_, text + "\r\n\r\nЗапустить обновление снова от имени администратора?")) {
    AddProt(prot::kProtCancelled, "");
    return TStageEnd::Refused;
  }
  // The new process must be able to take the single-instance mutex.
  SelfMutex.Close();
  if (!os::StartElevated(ExePath(), dos::FolderOf(ExePath()))) {
    AddProt(prot::kProtEmergency,
            "Не удалось запустить обновление от имени администратора: " + os::LastErrorText());
    return TStageEnd::Refused;
  }
  Say("Обновление запущено снова от имени администратора");
  return TStageEnd::Stopped;
}

TForm1::TStageEnd TForm1::StagePreviousRun() {
  Say("...Проверка проблем прошлого запуска");
  uint32_t attr = 0;
  if (JournalFile.empty() || !os::GetAttributes(JournalFile, attr)) {
    Say("Нет проблем");
    return TStageEnd::Next;
  }
  // Something else at the journal's name (a folder, a link, a file of another
  // program) is neither replayed nor deleted nor written into: the run stops and
  // says what stands in its way.
  if (!JournalLooksOwn()) {
    const std::string text = "Файл " + JournalFile +
                             " не является файлом отката этого обновления и оставлен без "
                             "изменений. Переименуйте или перенесите его и запустите "
                             "обновление снова.";
    AddProt(prot::kProtEmergency, text);
    ErrText(toolkit_, text);
    return TStageEnd::Refused;
  }
  PrevRunFailed = true;
  return OfferRollback();
}

void TForm1::SayJournalWayOut(bool box) {
  const std::string text =
      "Файл отката прошлого обновления: " + JournalFile +
      ". Пока он есть, обновление не выполняется. Если откат невозможен, проверьте папку " +
      InstallDir +
      " (при необходимости восстановите ее из резервной копии или переустановите ПК ZUM), "
      "затем удалите или переименуйте этот файл и запустите обновление снова.";
  Say(text);
  if (box) ErrText(toolkit_, text);
}

TForm1::TStageEnd TForm1::OfferRollback() {
  if (!AskMsg(toolkit_, 3001, true)) {
    AddProt(prot::kProtErrorNo, "5003");
    ErrMsg(toolkit_, 5003);
    AddProt(prot::kProtCancelled, "");
    SayJournalWayOut(false);
    return TStageEnd::Refused;
  }
  Say("Есть проблемы. Попытка отката к предыдущему состоянию.");
  if (!ProtResult(Recover(), true)) {
    AddProt(prot::kProtErrorNo, "5003");
    ErrMsg(toolkit_, 5003);
    SayJournalWayOut(true);
    return TStageEnd::Failed;
  }
  // Folders outside the installation go only when they carry this installer's mark;
  // a copy folder that existed before the run is emptied, not removed.
  if (TempProved) CleanFolder(TempDir, true);
  if (UpdateVariant == VariantCopy && CopyProved) CleanFolder(CopyDir, CopyMade);
  TempDir.clear();
  if (RecordsRefused > 0)
    Say("Записей файла отката не выполнено: " + std::to_string(RecordsRefused) +
        " (причины названы выше)");
  Say("Восстановление завершено успешно");
  if (!AskMsg(toolkit_, 3003, false)) {
    AddProt(prot::kProtCancelled, "");
    return TStageEnd::Stopped;
  }
  return TStageEnd::Next;
}

TForm1::TStageEnd TForm1::StageJournal() {
  Say("Начало протоколирования (файл отката)");
  JournalMuted = false;
  return ProtResult(JournalStart(), true) ? TStageEnd::Next : TStageEnd::Failed;
}

TForm1::TStageEnd TForm1::StageFindProduct() {
  Say("...проверка наличия ZUM.EXE");
  if (ProtResult(FindProductExe(false, false), true)) return TStageEnd::Next;
  Say("Не удалось найти ZUM.EXE");
  return TStageEnd::Failed;
}

TForm1::TStageEnd TForm1::StageProductClosed() {
  Say("Проверка наличия ZUM.EXE в памяти");
  if (ProtResult(!WaitProduct(false), false)) return TStageEnd::Next;
  failCode_ = unattended::kExitProductRunning;
  Say("ZUM запущена. Недопустимо.");
  return TStageEnd::Failed;
}

TForm1::TStageEnd TForm1::StageVersion() {
  Say("...проверка соответствия ZUM.EXE");
  if (ProtResult(CheckVersion(), true)) return TStageEnd::Next;
  failCode_ = unattended::kExitDoesNotFit;
  JournalEnd();
  DropPath(JournalFile);
  return TStageEnd::Failed;
}

TForm1::TStageEnd TForm1::StageVariant() {
  std::string copyName = "ZUM5_";
  for (char c : VerTo)
    if (c != '.') copyName += c;

  UpdateVariant = VariantCopy;
  Say("Выбор варианта обновления");
  TUpdateVariant variant;
  if (IsCorrection) {
    variant = VariantInPlace;
    Say("...ОБНОВЛЕНИЕ ВЫПОЛНЯЕТСЯ В РЕЖИМЕ ИСПРАВЛЕНИЯ");
  } else {
    Say("Выбор варианта обновления");
    variant = static_cast<TUpdateVariant>(SelectKind(copyName));
  }
  switch (variant) {
    case VariantCopy:  // CopyDir was set by the dialog
    case VariantInPlace:
      UpdateVariant = variant;
      return TStageEnd::Next;
    case VariantCancel:
      AddProt(prot::kProtCancelled, "");
      JournalEnd();
      DropPath(JournalFile);
      return TStageEnd::Stopped;
    default:
      ProtResult(false, false);
      return TStageEnd::Failed;
  }
}

TForm1::TStageEnd TForm1::StageFreeSpace() {
  Say("...проверка - набор файлов обновления");
  return ProtResult(CheckFreeSpace(), true) ? TStageEnd::Next : TStageEnd::Failed;
}

TForm1::TStageEnd TForm1::StageTempFolder() {
  Say("Папка для временных файлов");
  const bool existed = os::DirectoryExists(TempDir) && !IsLink(TempDir);
  CleanFolder(TempDir, false);
  // TempDir with all its missing parents; a folder that cannot be made shows at the
  // first file the update puts there.
  std::string made;
  MakeFolderPath(TempDir, made);
  Say(TempDir);
  // A temporary folder outside the installation gets the ownership mark, journalled
  // first, without which a recovery would not touch it.
  if (!dos::IsInside(TempDir, InstallDir)) {
    const std::string token = NewOwnerToken();
    if (!JournalCmd(journal::kCmdOwner, journal::MakeOwnerText(TempDir, token, !existed)) ||
        !WriteOwnerMark(TempDir, token)) {
      AddProt(prot::kProtEmergency, "Невозможно записать метку владельца в папку " + TempDir +
                                        ": " + os::LastErrorText());
      return TStageEnd::Failed;
    }
  }
  return TStageEnd::Next;
}

bool TForm1::JournalLooksOwn() {
  uint32_t attr = 0;
  if (!os::GetAttributes(JournalFile, attr) ||
      (attr & (os::kAttrDirectory | os::kAttrReparsePoint)))
    return false;
  os::File file;
  if (!file.Open(JournalFile, os::kRead, os::kShareRead | os::kShareWrite,
                 os::Disposition::OpenExisting))
    return false;
  // The first command record stands within the first lines: a run writes its start
  // record before anything else.
  constexpr size_t kHead = 64 * 1024;
  std::string head(kHead, '\0');
  size_t got = 0;
  if (!file.Read(head.data(), head.size(), got)) return false;
  head.resize(got);
  const bool whole = got < kHead;
  // A run that died in its first write leaves an empty file, or one torn record.
  if (head.empty()) return true;
  std::vector<std::string> lines = journal::SplitLines(head);
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string line = lines[i];
    if (!journal::IsCommandLine(line)) continue;
    if (!journal::IsRecordSealed(line)) return whole && i + 1 == lines.size();
    int kind = 0;
    std::string text;
    return prot::StripSeal(line) && journal::ParseCommand(line, kind, text) &&
           kind == journal::kCmdStart;
  }
  return false;
}

TForm1::TStageEnd TForm1::StageUpdate() {
  Say("...Выполнение обновления");
  if (!ProtResult(RunEntries(), true)) return TStageEnd::Failed;
  Say("");
  JournalEnd();
  // A journal that stays would have the next start roll this update back; the
  // backups in the temporary folder are kept for that rollback.
  if (!DropPath(JournalFile)) return TStageEnd::Failed;
  // With the journal gone nothing is left to prove: the copy is the user's now.
  if (UpdateVariant == VariantCopy && !RemoveOwnerMark(CopyDir))
    Say("Невозможно удалить метку владельца " + CopyDir + product::kOwnerMark);
  CleanFolder(TempDir, true);
  Say("Программа выполнена успешно");
  return TStageEnd::Next;
}

// The stages in the order they run; the first that does not say Next ends the
// sequence and goes to the end block.
const TForm1::TStage TForm1::kStages[] = {
    &TForm1::StageStartUp,   &TForm1::StageWriteAccess,   &TForm1::StagePreviousRun,
    &TForm1::StageJournal,
    &TForm1::StageFindProduct, &TForm1::StageProductClosed, &TForm1::StageVersion,
    &TForm1::StageVariant,   &TForm1::StageFreeSpace,     &TForm1::StageTempFolder,
    &TForm1::StageUpdate,
};

void TForm1::FormActivate() {
  if (SeqStarted) return;
  SeqStarted = true;
  os::ResetFirstChangeError();
  JournalMuted = true;
  SeqFinished = false;

  TStageEnd end = TStageEnd::Next;
  for (TStage stage : kStages) {
    end = (this->*stage)();
    if (end != TStageEnd::Next) break;
  }
  lastEnd_ = end;
  const bool ok = end == TStageEnd::Next || end == TStageEnd::Stopped;
  const bool noLaunch = end == TStageEnd::Stopped || end == TStageEnd::Refused;

  // Every change is journalled before it is made, so a failed run whose journal
  // names none changed nothing: kept, the journal would only have the next start
  // offer to roll back a run that did nothing. It goes, with the temporary folder.
  if (!ok && JournalStream.IsOpen() && ChangesJournalled == 0) {
    JournalEnd();
    if (DropPath(JournalFile)) {
      if (!TempDir.empty()) CleanFolder(TempDir, true);  // none was chosen yet: nothing to say
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
  // An unattended run answers the question of the start before its protocol is
  // saved, so that the answer is in the file; an attended one asks after.
  const bool mayLaunch = !noLaunch && ok;
  const bool unattendedRun = Switches.Unattended();
  const bool launch = unattendedRun && mayLaunch && AskMsg(toolkit_, 3009, true);
  // The administrator's copy (/log=PATH), in folders made for it.
  if (!Switches.log.empty()) {
    std::string log = Switches.log, made, error;
    if (log[0] == '/') log = os::HostToDosPath(log);  // a host path on Linux
    if (log.empty() || !MakeFolderPath(dos::FolderOf(log), made) || !SaveProtocol(log, error))
      AddListLine("Протокол не сохранен в файл " + Switches.log + ": " +
                  (error.empty() ? os::LastErrorText() : error));
  }
  // An unattended run's window closes by itself once the protocol is saved.
  const bool closeAtEnd = unattendedRun;
  // A folder this account may not write in takes no protocol file either: the list
  // says so instead of a second box about the same cause.
  if (noWriteAccess_ && dos::IsInside(path, InstallDir)) {
    AddListLine("Протокол не сохранен в файл: нет права записи в папку " + InstallDir);
    if (closeAtEnd) toolkit_->CloseMainWindow();
    return;
  }

  std::string error;
  if (!SaveProtocol(path, error)) {
    // The toolkit's standard display; the rest of the end block is skipped and the
    // window can still be closed.
    toolkit_->ShowException("Невозможно создать файл \"" + path + "\". " + error);
    if (closeAtEnd) toolkit_->CloseMainWindow();
    return;
  }
  AddListLine("Техническая информация о проведенных действиях сохранена в: ");
  AddListLine(path);

  if (unattendedRun ? launch : mayLaunch && AskMsg(toolkit_, 3009, true)) {
    InstallMutex.Close();
    CopyMutex.Close();
    RunProduct();
  }
  if (closeAtEnd) toolkit_->CloseMainWindow();
}

int TForm1::ExitCode() const {
  if (lastEnd_ == TStageEnd::Next) return unattended::kExitOk;
  // A journal left behind: changes stay to be rolled back (/rollback=yes).
  uint32_t attr = 0;
  if (!JournalFile.empty() && os::GetAttributes(JournalFile, attr) &&
      !(attr & os::kAttrDirectory))
    return unattended::kExitRollbackPending;
  return failCode_;
}

void TForm1::RunProduct() {
  if (UpdateVariant == VariantCopy) InstallDir = CopyDir;
  const std::string program = InstallDir + product::kExePath;
  const std::string folder = UpdateVariant == VariantCopy ? CopyDir : InstallDir;
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
