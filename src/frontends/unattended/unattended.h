// The front end of an unattended run (/silent, /verysilent): it shows what the
// window of the run shows (nothing with /verysilent), answers every question by the
// switches or a safe default and writes each answer and its reason into the
// protocol, shows no box (its text goes into the protocol), and fills the
// update-variant dialog from /copy, /name, /label, /clean and /noautosave.
#pragma once

#include <cstdint>
#include <string>

#include "installer/switches.h"
#include "toolkit/toolkit.h"

class TForm1;

namespace ui {

class UnattendedToolkit : public Toolkit {
 public:
  // `shown`: the front end that shows the run (the window or the terminal), or
  // nullptr for none.
  UnattendedToolkit(const unattended::TSwitches& switches, Toolkit* shown);
  // The run whose protocol takes the answers; set before it starts.
  void Attach(TForm1* form) { form_ = form; }

  void SetCaption(const std::string& caption) override;
  void ProtAdd(const std::string& line) override;
  void ProtReplaceLast(const std::string& line) override;
  void ProtSelectLast() override;
  void SetStatusVisible(bool visible) override;
  void SetStatusText(const std::string& text) override;
  void SetProgress(uint32_t position, uint32_t max) override;
  void ShowExitPanel() override;
  void ProcessMessages() override;
  void CloseMainWindow() override;
  bool MessageBox(BoxStyle style, const std::string& text, const std::string& caption,
                  int msgId) override;
  void ShowException(const std::string& message) override;
  std::string BrowseForFolder(const std::string& title) override;
  int ShowVariantDialog(TFrm_SelKU& dialog) override;

 private:
  void Note(const std::string& line);

  unattended::TSwitches switches_;
  Toolkit* shown_;
  TForm1* form_ = nullptr;
  uint64_t started_;
};

// A box's text on one protocol line.
std::string OneLine(const std::string& text);

}  // namespace ui
