// The update-variant dialog TFrm_SelKU: where the user chooses the folder, the
// folder name and the shortcut name of a copy of the installation, and where the
// copy is made. Its logic lives here; a front end only shows it (TSelKUView) and
// hands the user's actions back to it.
//
// The dialog talks to the main window only through the callbacks bound to it
// (protocol, journal, journalled copy, disk scan, folder browser), asks its
// questions through the messages module, and is run modally by the toolkit
// (ui::Toolkit::ShowVariantDialog), which returns once ModalResult() is set.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>
#include "format/journal_record.h"
#include "format/protocol_record.h"

namespace ui { class Toolkit; }

// The window and its controls, panels first in each group, in the order they are
// laid out from the top.
enum class TSelKUControl : int {
  Form,
  Panel1, Label2, Label1, Label6, Ed_CurRoot, Lbl_Hint, Lbl_FreeSpace,
  Pn_SelFolder, ChkBx_CleanCopy, ChkBx_NoAutoSaveFolder, Btn_SelFolder, Label3, Ed_NewFolder,
  Label5, Ed_CloneName, Label4, Ed_Label, Label7, Ed_FullPath,
  Pn_Exit, Btn_Next, Btn_Cancel,
  Count
};
inline constexpr int kSelKUControlCount = static_cast<int>(TSelKUControl::Count);

enum class TSelKUKind { Form, Panel, Label, Edit, CheckBox, Button };

// What every view shows the same way: the control's name, kind, panel, its fixed
// caption (or the initial text), and its place in the tab order of its panel
// (-1 when it takes no focus by Tab).
struct TSelKUControlInfo {
  TSelKUControl id;
  const char* name;
  TSelKUKind kind;
  TSelKUControl parent;
  const char* caption;
  int tabOrder;
};
const TSelKUControlInfo& SelKUControlInfo(TSelKUControl id);

// The state of a control as the dialog keeps it; a view mirrors it.
struct TSelKUControlState {
  std::string Text;  // caption, or an edit's text
  bool Visible = true;
  bool Enabled = true;
  bool Checked = false;
};

// A front end's window for the dialog. Calls come from the dialog's logic while
// the toolkit runs it modally; none may throw.
class TSelKUView {
 public:
  virtual ~TSelKUView() = default;
  // The state of `control` changed (for Form: the window was shown, hidden,
  // enabled or disabled, or the modal result was set).
  virtual void ControlChanged(TSelKUControl control) = 0;
  virtual void FocusControl(TSelKUControl control) = 0;
  // The window comes back to the front after the folder browser.
  virtual void BringToFront() {}
  // A plain message box with an OK button, over the dialog.
  virtual void ShowPlainMessage(const std::string& text) = 0;
};

class TFrm_SelKU {
 public:
  // The disk scan: true when a fixed disk has `need` bytes free (`extra` more on the
  // installation's disk) and passes the write test; `letter` gets that disk.
  using TFindDisk = std::function<bool(uint32_t extra, uint32_t need, char& letter)>;
  // The journalled copy in its new-item mode: source, target, new item.
  using TCopyFile = std::function<bool(const std::string&, const std::string&, bool)>;
  using TProtocol =
      std::function<void(prot::TProtKind kind, const std::string& text, bool newLine)>;
  using TJournal = std::function<bool(journal::Command command, const std::string& text)>;
  // The folder browser with its space check: "" when the user gave up.
  using TChooseFolder = std::function<std::string(const std::string& title, uint32_t base,
                                                  uint32_t extra, char installLetter)>;

  TFrm_SelKU();  // FormCreate: the controls in their initial state

  // Runs the dialog modally through `Toolkit` and returns VariantCopy (the copy is
  // in TargetDir), VariantCancel or VariantFailed. The caller sets ExcludedFile,
  // SelfPath, OnProtocol, OnJournal and OnChooseFolder before.
  int SelectKind(const std::string& proposedName, uint32_t growth, const std::string& sourceDir,
                 uint32_t tmpSpace, TCopyFile copy, TFindDisk findDisk);

  // ---- events: what the view hands over ----
  // The user changed the text of an edit; Ed_NewFolder and Ed_CloneName update
  // the composed path.
  void EditChanged(TSelKUControl edit, const std::string& text);
  // The user clicked a check box; `checked` is its new state.
  void CheckBoxClicked(TSelKUControl box, bool checked);
  void Btn_SelFolderClick();
  void Btn_NextClick();
  void Btn_CancelClick();
  // True when the window may close (only once a result was set).
  bool FormClose() const { return CloseAllowed; }

  // ---- the dialog's steps ----
  void Ed_NewFolderChange() { ShowFullPath(); }
  void ChkBx_CleanCopyClick() { EvaluateSpace(); }
  void ShowFullPath();
  void EvaluateSpace();
  // 1: go on with the copy; 0: the folder could not be made; -1: the user wants
  // to check the folder first (the dialog stays).
  int PrepareTarget();
  // Takes back what PrepareTarget did to the folder: the ownership mark, and the
  // folders it made.
  void UndoTarget();
  void FinishDialog(int code);

  // Fills CopyList with what a copy of `source` holds, relative to it, and returns
  // the bytes of its files. Writes its progress lines through OnProtocol.
  uint64_t BuildCopyList(const std::string& source, bool clean, bool noAutoSave,
                         const std::string& excluded);

  // ---- the model ----
  const TSelKUControlState& Control(TSelKUControl id) const {
    return controls_[static_cast<size_t>(id)];
  }
  const std::string& Text(TSelKUControl id) const { return Control(id).Text; }
  bool Checked(TSelKUControl id) const { return Control(id).Checked; }
  TSelKUControl Focused() const { return focused_; }
  int ModalResult() const { return modalResult_; }
  // The view that shows the dialog while the toolkit runs it (null: none).
  void AttachView(TSelKUView* view) { view_ = view; }

  // ---- fields ----
  std::string SourceDir;
  uint32_t GrowSpaceNeed = 0;
  uint32_t TmpSpaceNeed = 0;
  // Kept in 64 bits: an installation over 4 GiB must not look small.
  uint64_t CopySize = 0;
  std::vector<std::string> CopyList;
  std::string ExcludedFile;
  // The installer's own file, never copied.
  std::string SelfPath;
  std::string CreatedDir;
  // The copy's folder last written into the journal; "" before the first press.
  std::string JournalledDir;
  // The token of the ownership mark journalled with JournalledDir, and the folder
  // that holds the mark now ("" when none does).
  std::string OwnerToken;
  std::string MarkedDir;
  std::string TargetDir;
  std::string LinkName;
  std::string FullPathText;
  bool Busy = false;
  bool CloseAllowed = false;

  TFindDisk OnFindDisk;
  TCopyFile OnCopyFile;
  TProtocol OnProtocol;
  TJournal OnJournal;
  TChooseFolder OnChooseFolder;
  ui::Toolkit* Toolkit = nullptr;

 private:
  TSelKUControlState& Mut(TSelKUControl id) { return controls_[static_cast<size_t>(id)]; }
  void SetText(TSelKUControl id, const std::string& text);
  void SetVisible(TSelKUControl id, bool visible);
  void SetEnabled(TSelKUControl id, bool enabled);
  void SetChecked(TSelKUControl id, bool checked);
  void Focus(TSelKUControl id);
  void Changed(TSelKUControl id);
  void PlainMessage(const std::string& text);
  void Say(const std::string& text);

  std::array<TSelKUControlState, kSelKUControlCount> controls_;
  TSelKUControl focused_ = TSelKUControl::Ed_NewFolder;
  int modalResult_ = 0;
  TSelKUView* view_ = nullptr;
};

// The dialog of this process: made with the main window, it lives until the
// process ends. TForm1::SelectKind runs it and the shortcut step reads LinkName.
TFrm_SelKU& Frm_SelKU();

// Copies the items of `list` (relative to both folders) from `source` to `target`
// through `copy`, in list order; a folder entry's missing parents are made first.
// Stops at the first item that fails.
bool CopyTree(const std::string& source, const std::string& target,
              const std::vector<std::string>& list, const TFrm_SelKU::TCopyFile& copy);

// "3 Гб": a byte count in whole units, rounded up.
std::string SizeText(uint64_t bytes);

// Blanks and control characters cut from both ends.
std::string TrimText(const std::string& text);

// The dialog driven by text, one command a line, as the terminal and the tests
// drive it:
//   folder TEXT | name TEXT | label TEXT    set Ed_NewFolder, Ed_CloneName, Ed_Label
//   clean on|off | noautosave on|off         tick or clear a check box (a click)
//   browse | next | cancel                   press Обзор, Далее [>>], Отмена [X]
// A folder that starts with "/" is a host path and is taken as its DOS path. False
// with `error` for a line that is none of these.
bool RunSelKUCommand(TFrm_SelKU& dialog, const std::string& line, std::string& error);
