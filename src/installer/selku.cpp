// The update-variant dialog: its controls, the composed copy path, the space
// check, the preparation of the copy's folder and the copy itself; and the main
// window's step that runs it.
#include "installer/selku.h"

#include "format/journal_check.h"

#include <algorithm>
#include <exception>

#include "installer/form1.h"
#include "installer/messages.h"
#include "base/cp1251.h"
#include "files/folders.h"
#include "files/owner_mark.h"
#include "format/journal_record.h"
#include "platform/os.h"
#include "toolkit/toolkit.h"
#include "base/dos_path.h"

namespace {

using C = TSelKUControl;
using K = TSelKUKind;

// In the order of TSelKUControl.
const TSelKUControlInfo kControls[] = {
    {C::Form, "Frm_SelKU", K::Form, C::Form, "Выбор, как производить обновление", -1},
    {C::Panel1, "Panel1", K::Panel, C::Form, "", 0},
    {C::Label2, "Label2", K::Label, C::Panel1, "", -1},
    {C::Label1, "Label1", K::Label, C::Panel1,
     "Данное обновление возможно только как копия существующего ПК ZUM", -1},
    {C::Label6, "Label6", K::Label, C::Panel1,
     "Информация. Исходная ZUM, на основании которой будет произведено обновление - "
     "расположена по следующему маршруту:",
     -1},
    {C::Ed_CurRoot, "Ed_CurRoot", K::Edit, C::Panel1, "", 0},
    {C::Lbl_Hint, "Lbl_Hint", K::Label, C::Panel1,
     "Обновление невозможно в связи с отсутствием места на компьютере", -1},
    {C::Lbl_FreeSpace, "Lbl_FreeSpace", K::Label, C::Panel1, "ОСВОБОДИТЬ МЕСТО", -1},
    {C::Pn_SelFolder, "Pn_SelFolder", K::Panel, C::Form, "", 1},
    {C::ChkBx_CleanCopy, "ChkBx_CleanCopy", K::CheckBox, C::Pn_SelFolder,
     "Без копирования строек и оперативной информации (чистая установка)", 4},
    {C::ChkBx_NoAutoSaveFolder, "ChkBx_NoAutoSaveFolder", K::CheckBox, C::Pn_SelFolder,
     "Без копирования содержимого папки \"Автосохранение (AutoSave)\"", 6},
    {C::Btn_SelFolder, "Btn_SelFolder", K::Button, C::Pn_SelFolder, "Обзор", 2},
    {C::Label3, "Label3", K::Label, C::Pn_SelFolder,
     "Выберите, куда поместить копию данного ПК ZUM:", -1},
    {C::Ed_NewFolder, "Ed_NewFolder", K::Edit, C::Pn_SelFolder, "", 0},
    {C::Label5, "Label5", K::Label, C::Pn_SelFolder, "Наименование папки обновленного ПК ZUM:",
     -1},
    {C::Ed_CloneName, "Ed_CloneName", K::Edit, C::Pn_SelFolder, "", 3},
    {C::Label4, "Label4", K::Label, C::Pn_SelFolder, "Наименование для ярлыка на рабочем столе:",
     -1},
    {C::Ed_Label, "Ed_Label", K::Edit, C::Pn_SelFolder, "", 1},
    {C::Label7, "Label7", K::Label, C::Pn_SelFolder,
     "Информация. Копия программы будет расположена по следующему маршруту:", -1},
    {C::Ed_FullPath, "Ed_FullPath", K::Edit, C::Pn_SelFolder, "", 5},
    {C::Pn_Exit, "Pn_Exit", K::Panel, C::Form, "", 2},
    {C::Btn_Next, "Btn_Next", K::Button, C::Pn_Exit, "Далее [>>]", 0},
    {C::Btn_Cancel, "Btn_Cancel", K::Button, C::Pn_Exit, "Отмена [X]", 1},
};
static_assert(sizeof(kControls) / sizeof(kControls[0]) == kSelKUControlCount);

const char kBrowseTitle[] = "Выбор пути для создания копии ZUM";
const char kNotEmpty[] = "Выбранная папка не пуста";
const char kBadFolder[] = "Эта папка не может быть папкой копии:\n";
const char kFieldEmpty[] = "Не заполнено поле ";
const char kNotInFileName[] = "\\/:*?\"<>|";
const char kBadLabel[] =
    "Наименование ярлыка не может содержать символы \\ / : * ? \" < > |";
const char kNotAbsolute[] =
    "Папку для копии нужно указать полным путем, начиная с диска (например, D:\\Programs\\)";

constexpr uint32_t kU32Max = 0xFFFFFFFFu;

uint32_t Saturate32(uint64_t v) { return v > kU32Max ? kU32Max : static_cast<uint32_t>(v); }

// Folder text, a backslash where missing, the name, a closing backslash.
std::string ComposePath(const std::string& folder, const std::string& name) {
  std::string text = TrimText(folder);
  text = dos::WithSlash(text);
  text += TrimText(name);
  text = dos::WithSlash(text);
  return text;
}

// "D:\...": a path that starts with its drive. A network path ("\\server\share\")
// is not taken: the journal of a run must name a folder that a later start can
// find and check as it checks every folder of the journal.
bool IsAbsolute(const std::string& path) {
  if (path.size() >= 3 && path[1] == ':' && path[2] == '\\') {
    const char letter = cp1251::ToUpper(path[0]);
    return letter >= 'A' && letter <= 'Z';
  }
  return false;
}

// True when the folder holds anything at all, hidden and system items included.
bool FolderHoldsAnything(const std::string& folder) {
  std::vector<os::FindEntry> entries;
  os::FindFiles(folder + "*", os::kAttrAny, entries);
  return !entries.empty();
}

}  // namespace

const TSelKUControlInfo& SelKUControlInfo(TSelKUControl id) {
  return kControls[static_cast<size_t>(id)];
}

std::string TrimText(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return text.substr(begin, end - begin);
}

std::string SizeText(uint64_t bytes) {
  struct Unit {
    int shift;
    const char* text;
  };
  static const Unit kUnits[] = {{40, " Тб"}, {30, " Гб"}, {20, " Мб"}, {10, " Кб"}};
  for (const Unit& u : kUnits) {
    const uint64_t unit = uint64_t{1} << u.shift;
    if (bytes > unit) return std::to_string((bytes + unit - 1) / unit) + u.text;
  }
  return std::to_string(bytes) + " б";
}

TFrm_SelKU& Frm_SelKU() {
  static TFrm_SelKU dialog;
  return dialog;
}

TFrm_SelKU::TFrm_SelKU() {
  for (const TSelKUControlInfo& info : kControls) {
    TSelKUControlState& s = Mut(info.id);
    s = TSelKUControlState();
    s.Text = info.caption;
  }
  // Hidden and disabled until SelectKind shows it.
  Mut(C::Form).Visible = false;
  Mut(C::Form).Enabled = false;
  Mut(C::Lbl_Hint).Visible = false;
  Mut(C::Lbl_FreeSpace).Visible = false;
}

// ---- the model and its view ---------------------------------------------------------

void TFrm_SelKU::Changed(TSelKUControl id) {
  if (view_) view_->ControlChanged(id);
}

void TFrm_SelKU::SetText(TSelKUControl id, const std::string& text) {
  if (Mut(id).Text == text) return;
  Mut(id).Text = text;
  Changed(id);
}

void TFrm_SelKU::SetVisible(TSelKUControl id, bool visible) {
  if (Mut(id).Visible == visible) return;
  Mut(id).Visible = visible;
  Changed(id);
}

void TFrm_SelKU::SetEnabled(TSelKUControl id, bool enabled) {
  if (Mut(id).Enabled == enabled) return;
  Mut(id).Enabled = enabled;
  Changed(id);
}

void TFrm_SelKU::SetChecked(TSelKUControl id, bool checked) {
  if (Mut(id).Checked == checked) return;
  Mut(id).Checked = checked;
  Changed(id);
}

void TFrm_SelKU::Focus(TSelKUControl id) {
  focused_ = id;
  if (view_) view_->FocusControl(id);
}

void TFrm_SelKU::PlainMessage(const std::string& text) {
  if (view_) view_->ShowPlainMessage(text);
}

void TFrm_SelKU::Say(const std::string& text) {
  if (OnProtocol) OnProtocol(prot::kProtPlain, text, true);
}

// ---- the dialog ---------------------------------------------------------------------

int TFrm_SelKU::SelectKind(const std::string& proposedName, uint32_t growth,
                           const std::string& sourceDir, uint32_t tmpSpace, TCopyFile copy,
                           TFindDisk findDisk) {
  // The state of a new dialog: nothing made, nothing chosen, no result.
  const TSelKUControlState form = Control(C::Form);
  for (const TSelKUControlInfo& info : kControls) {
    TSelKUControlState& s = Mut(info.id);
    s = TSelKUControlState();
    s.Text = info.caption;
  }
  Mut(C::Form) = form;
  Mut(C::Lbl_Hint).Visible = false;
  Mut(C::Lbl_FreeSpace).Visible = false;
  focused_ = C::Ed_NewFolder;
  modalResult_ = 0;
  CreatedDir.clear();
  JournalledDir.clear();
  TargetDir.clear();
  LinkName.clear();
  CloseAllowed = false;

  SetEnabled(C::Form, true);
  Busy = false;

  SourceDir = sourceDir;
  SetText(C::Ed_CurRoot, SourceDir);
  SetText(C::Ed_Label, proposedName);
  SetText(C::Ed_CloneName, proposedName);

  OnCopyFile = std::move(copy);
  OnFindDisk = std::move(findDisk);
  GrowSpaceNeed = growth;
  TmpSpaceNeed = tmpSpace;

  std::string parent = SourceDir;
  if (!parent.empty() && parent.back() == '\\') parent.pop_back();
  const size_t slash = parent.find_last_of('\\');
  parent = slash == std::string::npos ? std::string() : parent.substr(0, slash + 1);
  SetText(C::Ed_NewFolder, parent);

  EvaluateSpace();
  ShowFullPath();

  SetVisible(C::Form, true);
  if (Toolkit) Toolkit->ShowVariantDialog(*this);
  view_ = nullptr;  // the front end's window is gone
  // A window that went without a result (a front end without this dialog) has
  // failed; what it made is removed as after any failure.
  if (modalResult_ == 0) FinishDialog(VariantFailed);
  SetVisible(C::Form, false);
  SetEnabled(C::Form, false);
  return modalResult_;
}

void TFrm_SelKU::EditChanged(TSelKUControl edit, const std::string& text) {
  if (SelKUControlInfo(edit).kind != K::Edit || edit == C::Ed_CurRoot ||
      edit == C::Ed_FullPath)
    return;  // read-only
  const bool changed = Control(edit).Text != text;
  Mut(edit).Text = text;  // the view shows it already
  if (changed && (edit == C::Ed_NewFolder || edit == C::Ed_CloneName)) Ed_NewFolderChange();
}

void TFrm_SelKU::CheckBoxClicked(TSelKUControl box, bool checked) {
  if (box != C::ChkBx_CleanCopy && box != C::ChkBx_NoAutoSaveFolder) return;
  if (Busy || !Control(C::Form).Enabled) return;
  SetChecked(box, checked);
  ChkBx_CleanCopyClick();
}

void TFrm_SelKU::ShowFullPath() {
  FullPathText = ComposePath(Text(C::Ed_NewFolder), Text(C::Ed_CloneName));
  SetText(C::Ed_FullPath, FullPathText);
}

void TFrm_SelKU::EvaluateSpace() {
  CopySize = BuildCopyList(SourceDir, Checked(C::ChkBx_CleanCopy),
                           Checked(C::ChkBx_NoAutoSaveFolder), ExcludedFile);
  const uint64_t need = CopySize + GrowSpaceNeed;
  char letter = 0;
  bool room = OnFindDisk && OnFindDisk(0, Saturate32(need), letter);
  if (room && need > kU32Max) {
    // The scan counts in 32 bits: the disk it found must hold the whole copy.
    uint64_t free = 0;
    const std::string root = std::string(1, letter) + ":\\";
    room = os::FreeSpace(root, free) && free >= need;
  }
  if (room) {
    SetVisible(C::Lbl_Hint, false);
    SetVisible(C::Lbl_FreeSpace, false);
    SetEnabled(C::Btn_Next, true);
  } else {
    SetVisible(C::Lbl_Hint, true);
    SetText(C::Lbl_FreeSpace, "Освободите " + SizeText(need + TmpSpaceNeed));
    SetVisible(C::Lbl_FreeSpace, true);
    SetEnabled(C::Btn_Next, false);
  }
}

void TFrm_SelKU::Btn_SelFolderClick() {
  if (Busy || !Control(C::Form).Enabled) return;
  SetEnabled(C::Form, false);
  SetVisible(C::Form, false);
  std::string folder;
  if (OnChooseFolder) {
    const char letter = SourceDir.empty() ? '\0' : cp1251::ToUpper(SourceDir[0]);
    folder = OnChooseFolder(kBrowseTitle, Saturate32(CopySize),
                            Saturate32(CopySize + GrowSpaceNeed), letter);
  }
  if (!folder.empty()) {
    SetText(C::Ed_NewFolder, folder);
    Ed_NewFolderChange();
  }
  SetVisible(C::Form, true);
  SetEnabled(C::Form, true);
  if (view_) view_->BringToFront();
}

void TFrm_SelKU::Btn_NextClick() {
  if (Busy || !Control(C::Form).Enabled || !Control(C::Btn_Next).Enabled) return;
  TargetDir.clear();
  const std::string folder = TrimText(Text(C::Ed_NewFolder));
  const std::string name = TrimText(Text(C::Ed_CloneName));
  const std::string label = TrimText(Text(C::Ed_Label));
  SetText(C::Ed_NewFolder, folder);
  SetText(C::Ed_CloneName, name);
  SetText(C::Ed_Label, label);
  ShowFullPath();
  const std::string target = ComposePath(folder, name);

  // Empty fields first: without a name the path is the chosen folder itself, which
  // would be judged in the copy's place.
  const struct {
    const std::string& text;
    TSelKUControl label;
    TSelKUControl edit;
  } fields[] = {{folder, C::Label3, C::Ed_NewFolder},
                {name, C::Label5, C::Ed_CloneName},
                {label, C::Label4, C::Ed_Label}};
  for (const auto& f : fields) {
    if (!f.text.empty()) continue;
    PlainMessage(std::string(kFieldEmpty) + "\n\"" + Text(f.label) + "\"");
    Focus(f.edit);
    return;
  }
  // A relative folder would put the copy wherever the installer was started, and
  // the journal would name a folder that a later start cannot find.
  if (!IsAbsolute(folder)) {
    PlainMessage(kNotAbsolute);
    Focus(C::Ed_NewFolder);
    return;
  }
  // The folder is judged by the rule the recovery judges the journal's folders by:
  // a folder taken here and refused there would leave every later start refused.
  const std::string why = journal::CheckCopyFolder(target, dos::WithSlash(SourceDir),
                                                   os::WindowsDir());
  // Nor is a folder reached through a link (a junction planted where users may
  // write would send the copy, and later the rollback's removal, elsewhere).
  const std::string link = LinkOnPath(target.substr(0, 3), dos::WithoutSlash(target));
  const std::string refusal = !why.empty() ? why
                              : !link.empty() ? "путь проходит через ссылку " + link
                                              : std::string();
  if (!refusal.empty()) {
    PlainMessage(std::string(kBadFolder) + target + "\n(" + refusal + ")");
    Focus(C::Ed_NewFolder);
    return;
  }
  // Only a folder that holds nothing is taken: a rollback removes the copy's
  // folder as a whole, with whatever else it held.
  if (os::DirectoryExists(target + "Exe") ||
      (os::DirectoryExists(target) && FolderHoldsAnything(target))) {
    PlainMessage(kNotEmpty);
    return;
  }
  // The label becomes the shortcut's file name on the desktop: a separator would
  // put it into another folder, and the other characters cannot stand in a name.
  if (label.find_first_of(kNotInFileName) != std::string::npos ||
      std::any_of(label.begin(), label.end(),
                  [](char c) { return static_cast<unsigned char>(c) < ' '; })) {
    PlainMessage(kBadLabel);
    Focus(C::Ed_Label);
    return;
  }
  TargetDir = target;

  switch (PrepareTarget()) {
    case 0:
      FinishDialog(VariantFailed);
      return;
    case -1:
      // The user looks at the folder first: it stays as made, without the mark,
      // so that the next press finds it empty.
      if (!MarkedDir.empty() && RemoveOwnerMark(MarkedDir)) MarkedDir.clear();
      return;
    default:
      break;
  }

  Busy = true;
  SetVisible(C::Form, false);
  LinkName = label;
  const bool ok = OnCopyFile && CopyTree(SourceDir, TargetDir, CopyList, OnCopyFile);
  FinishDialog(ok ? VariantCopy : VariantFailed);
}

void TFrm_SelKU::UndoTarget() {
  if (!MarkedDir.empty()) RemoveOwnerMark(MarkedDir);
  MarkedDir.clear();
  if (!CreatedDir.empty()) DeleteTree(CreatedDir);
  CreatedDir.clear();
}

int TFrm_SelKU::PrepareTarget() {
  UndoTarget();
  // The variant, the copy's folder and the token of its ownership mark go into the
  // journal before the folder is made or marked, so that a rollback of a run that
  // dies from here on (while message 3011 waits, or half-way through the copy)
  // finds the mark and removes the copy. A later press that chooses another folder
  // writes them again; the rollback takes the latest.
  const bool made = !os::DirectoryExists(TargetDir);
  if (TargetDir != JournalledDir) {
    OwnerToken = NewOwnerToken();
    if (OnJournal && (!OnJournal(journal::kCmdVariant, "1") ||
                      !OnJournal(journal::kCmdCopyDir, TargetDir) ||
                      !OnJournal(journal::kCmdOwner,
                                 journal::MakeOwnerText(TargetDir, OwnerToken, made))))
      return 0;  // a folder that a rollback could not find must not be made
    JournalledDir = TargetDir;
  }
  if (!MakeFolderPath(TargetDir, CreatedDir)) return 0;
  // A folder that existed (empty, or the dialog would not have taken it) is marked
  // as well; the rollback then empties it and leaves the folder.
  if (!WriteOwnerMark(TargetDir, OwnerToken)) {
    Say("Невозможно записать метку владельца в папку " + TargetDir);
    return 0;
  }
  MarkedDir = TargetDir;
  return AskMsg3(Toolkit, 3011, TargetDir, TargetDir, SourceDir, true) ? 1 : -1;
}

void TFrm_SelKU::Btn_CancelClick() {
  if (Busy || !Control(C::Form).Enabled) return;
  if (!Control(C::Btn_Next).Enabled) {
    FinishDialog(VariantCancel);
    return;
  }
  if (!AskMsg(Toolkit, 3003, true)) FinishDialog(VariantCancel);
}

void TFrm_SelKU::FinishDialog(int code) {
  if (code != VariantCopy) UndoTarget();
  CloseAllowed = true;
  modalResult_ = code;
  Changed(C::Form);
}

// ---- the text commands --------------------------------------------------------------

bool RunSelKUCommand(TFrm_SelKU& dialog, const std::string& line, std::string& error) {
  const std::string text = TrimText(line);
  const size_t blank = text.find(' ');
  const std::string word = cp1251::Lower(text.substr(0, blank));
  const std::string arg = blank == std::string::npos ? std::string() : TrimText(text.substr(blank));

  if (word == "folder" || word == "name" || word == "label") {
    std::string value = arg;
    if (word == "folder" && !value.empty() && value[0] == '/') {
      value = os::HostToDosPath(value);
      if (value.empty()) {
        error = "Папка не лежит ни на одном диске: " + arg;
        return false;
      }
      value = dos::WithSlash(value);
    }
    const TSelKUControl edit = word == "folder" ? C::Ed_NewFolder
                               : word == "name" ? C::Ed_CloneName
                                                : C::Ed_Label;
    dialog.EditChanged(edit, value);
    return true;
  }
  if (word == "clean" || word == "noautosave") {
    const std::string state = cp1251::Lower(arg);
    if (state != "on" && state != "off") {
      error = "Ожидается " + word + " on или " + word + " off";
      return false;
    }
    dialog.CheckBoxClicked(word == "clean" ? C::ChkBx_CleanCopy : C::ChkBx_NoAutoSaveFolder,
                           state == "on");
    return true;
  }
  if (word == "browse" && arg.empty()) {
    dialog.Btn_SelFolderClick();
    return true;
  }
  if (word == "next" && arg.empty()) {
    dialog.Btn_NextClick();
    return true;
  }
  if (word == "cancel" && arg.empty()) {
    dialog.Btn_CancelClick();
    return true;
  }
  error = "Неизвестная команда: " + text;
  return false;
}

// ---- the main window's step -----------------------------------------------------------

int TForm1::SelectKind(const std::string& copyName) {
  TFrm_SelKU& dialog = Frm_SelKU();
  dialog.ExcludedFile = JournalFile;
  dialog.SelfPath = ExePath();
  dialog.Toolkit = Toolkit();
  dialog.OnProtocol = [this](TProtKind kind, const std::string& text, bool newLine) {
    AddProt(kind, text, newLine);
  };
  dialog.OnJournal = [this](journal::Command command, const std::string& text) {
    return JournalCmd(command, text);
  };
  dialog.OnChooseFolder = [this](const std::string& title, uint32_t base, uint32_t extra,
                                 char letter) { return ChooseFolder(title, base, extra, letter); };
  int result = VariantFailed;
  try {
    result = dialog.SelectKind(
        copyName, GrowSpaceNeed, InstallDir, TmpSpaceNeed,
        [this](const std::string& from, const std::string& to, bool newItem) {
          return JournalCopy(from, to, newItem);
        },
        [this](uint32_t extra, uint32_t need, char& letter) {
          return FindFreeDisk(extra, need, letter);
        });
  } catch (const std::exception& e) {
    AddProt(prot::kProtEmergency, e.what());
    if (!dialog.CloseAllowed) dialog.FinishDialog(VariantFailed);
    result = VariantFailed;
  }
  // The dialog keeps nothing bound to this window once it is closed.
  dialog.OnProtocol = nullptr;
  dialog.OnJournal = nullptr;
  dialog.OnChooseFolder = nullptr;
  dialog.OnCopyFile = nullptr;
  dialog.OnFindDisk = nullptr;
  if (result == VariantCopy) CopyDir = dialog.TargetDir;
  return result;
}
