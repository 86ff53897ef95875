// The toolkit interface: what the core asks of a user interface. Three front ends
// implement it: the Win32 window (ui/win32), the terminal (ui/term) and the scripted
// one that tests drive (ui/scripted). All texts are CP1251.
//
// The core owns the models (the protocol lines, the progress range); a toolkit only
// shows them. No call may throw.
#pragma once

#include <cstdint>
#include <string>

#include "base/progress.h"

class TFrm_SelKU;

namespace ui {

enum class BoxStyle { Question, Error, Information };

class Toolkit : public TProgressView {
 public:
  virtual ~Toolkit() = default;

  // ---- the main window ----
  virtual void SetCaption(const std::string& caption) = 0;
  // LsBx_Prot: a new last item, a replaced last item, the last item selected.
  virtual void ProtAdd(const std::string& line) = 0;
  virtual void ProtReplaceLast(const std::string& line) = 0;
  virtual void ProtSelectLast() = 0;
  // PnStatus
  virtual void SetStatusVisible(bool visible) = 0;
  virtual void SetStatusText(const std::string& text) = 0;
  // PrBar
  void SetProgress(uint32_t position, uint32_t max) override = 0;
  // Pn_Exit
  virtual void ShowExitPanel() = 0;
  // Lets the window repaint and take clicks (the only place where that happens
  // while the sequence runs, besides modal boxes and dialogs).
  void ProcessMessages() override = 0;
  // Asks the main window to close (goes through the close guard).
  virtual void CloseMainWindow() = 0;

  // ---- boxes ----
  // A system-modal message box; true when a question was answered Yes. `msgId` is
  // the catalogue number the text came from, 0 for a plain text.
  virtual bool MessageBox(BoxStyle style, const std::string& text, const std::string& caption,
                          int msgId) = 0;
  // The toolkit's standard display of an exception that reached it.
  virtual void ShowException(const std::string& message) = 0;
  // The shell's folder browser; returns the chosen folder, or "" when cancelled.
  virtual std::string BrowseForFolder(const std::string& title) = 0;

  // ---- the update-variant dialog ----
  // Shows the dialog modally: a view of this front end is attached to it
  // (TFrm_SelKU::AttachView) and the user's actions are handed to it until its
  // ModalResult() is set; the view is detached before the call returns. A front
  // end without the dialog returns 3 (failed) at once.
  virtual int ShowVariantDialog(TFrm_SelKU& dialog) { return 3; }
};

}  // namespace ui
