// The scripted front end for tests: answers questions from a queue and records
// every protocol line, message box and caption change.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "toolkit/toolkit.h"

namespace ui {

struct RecordedBox {
  BoxStyle style;
  int msgId;            // 0 for a plain text
  std::string text;
  std::string caption;
  bool answer;          // what a question was answered
};

class ScriptedToolkit : public Toolkit {
 public:
  // Answers for questions, in order; when the queue is empty, `defaultAnswer`.
  std::deque<bool> answers;
  bool defaultAnswer = false;
  // Folders the folder browser returns, in order; "" (cancel) when empty.
  std::deque<std::string> folders;
  // Called for every box before it is answered (tests can act at that moment).
  std::function<void(const RecordedBox&)> onBox;

  std::vector<std::string> lines;      // LsBx_Prot as shown
  std::vector<RecordedBox> boxes;
  std::vector<std::string> captions;
  std::vector<std::string> exceptions;
  std::string status;
  bool statusVisible = false;
  bool exitPanelShown = false;
  bool closeRequested = false;
  int selected = -1;
  uint32_t progressPos = 0, progressMax = 0;

  void SetCaption(const std::string& caption) override { captions.push_back(caption); }
  void ProtAdd(const std::string& line) override { lines.push_back(line); }
  void ProtReplaceLast(const std::string& line) override {
    if (lines.empty()) lines.push_back(line); else lines.back() = line;
  }
  void ProtSelectLast() override { selected = static_cast<int>(lines.size()) - 1; }
  void SetStatusVisible(bool visible) override { statusVisible = visible; }
  void SetStatusText(const std::string& text) override { status = text; }
  void SetProgress(uint32_t position, uint32_t max) override {
    progressPos = position;
    progressMax = max;
  }
  void ShowExitPanel() override { exitPanelShown = true; }
  void ProcessMessages() override {}
  void CloseMainWindow() override { closeRequested = true; }
  bool MessageBox(BoxStyle style, const std::string& text, const std::string& caption,
                  int msgId) override;
  void ShowException(const std::string& message) override { exceptions.push_back(message); }
  std::string BrowseForFolder(const std::string& title) override;

  // ---- the update-variant dialog ----
  // Commands for the dialog, one each, as the terminal takes them ("folder TEXT",
  // "name TEXT", "label TEXT", "clean on|off", "noautosave on|off", "browse",
  // "next", "cancel"); when they run out, "cancel". A dialog that stays open after
  // that ends as failed, with a line in dialogErrors.
  std::deque<std::string> dialogCommands;
  // Called after every command with the dialog still open.
  std::function<void(TFrm_SelKU&)> onDialogCommand;
  std::vector<std::string> dialogMessages;  // plain messages of the dialog
  std::vector<std::string> dialogErrors;    // commands it could not take
  std::vector<std::string> dialogPaths;     // Ed_FullPath each time it changed
  int dialogShown = 0;
  int ShowVariantDialog(TFrm_SelKU& dialog) override;

  // Ids of the boxes shown, in order.
  std::vector<int> BoxIds() const;
};

}  // namespace ui
