// The terminal front end of the Linux build (and of zumupd_con.exe, the Windows
// console installer of the tests): protocol lines on standard output (in UTF-8) as
// they are written, questions on standard input, the progress bar on standard error
// when that is a terminal.
#pragma once

#include <cstdio>
#include <string>

#include "toolkit/toolkit.h"

namespace ui {

class TermToolkit : public Toolkit {
 public:
  TermToolkit(std::FILE* in = stdin, std::FILE* out = stdout, std::FILE* err = stderr);
  ~TermToolkit() override;

  void SetCaption(const std::string& caption) override;
  void ProtAdd(const std::string& line) override;
  void ProtReplaceLast(const std::string& line) override;
  void ProtSelectLast() override {}
  void SetStatusVisible(bool visible) override;
  void SetStatusText(const std::string& text) override;
  void SetProgress(uint32_t position, uint32_t max) override;
  void ShowExitPanel() override;
  void ProcessMessages() override {}
  void CloseMainWindow() override {}
  bool MessageBox(BoxStyle style, const std::string& text, const std::string& caption,
                  int msgId) override;
  void ShowException(const std::string& message) override;
  std::string BrowseForFolder(const std::string& title) override;
  // The update-variant dialog as text: its labels and fields, then one command a
  // line (selku_term.cpp).
  int ShowVariantDialog(TFrm_SelKU& dialog) override;

  // Reads one line of input (UTF-8 converted to CP1251); false at end of input.
  bool ReadLine(std::string& line);
  // Ends the protocol line being written, so that other output starts on its own line.
  void EndLine();
  // Writes CP1251 text to standard output as UTF-8.
  void Print(const std::string& text);

 private:
  void ClearProgress();
  std::FILE* in_;
  std::FILE* out_;
  std::FILE* err_;
  bool inTty_, errTty_;
  std::string last_;        // the protocol line as printed so far
  bool lineOpen_ = false;   // last_ is printed without its line break yet
  bool progressShown_ = false;
  int lastPercent_ = -1;
};

// Yes answers: "y", "yes", "д", "да" in any letter case (CP1251 input).
bool IsYes(const std::string& answer);

}  // namespace ui
