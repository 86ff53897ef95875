// One start of the installer as the scenario tests make it: the real driver on the
// scripted front end, the package at a path of the test's choosing, and no pauses
// in the wait for the product.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "frontends/scripted/scripted.h"
#include "installer/form1.h"

namespace zt {

// The main window of an installer started as `updater`, made (FormCreate) but not
// yet run: the test may set more before FormActivate.
std::unique_ptr<TForm1> NewInstaller(ui::ScriptedToolkit& tk, const std::string& updater);

struct TRun {
  bool ok = false;                 // the run's outcome (the terminal build's exit status)
  std::vector<std::string> lines;  // the protocol as the window showed it
  std::string copyDir;             // the copy's folder, in copy mode
};

// The installer started as `updater` and run to its end.
TRun RunInstaller(ui::ScriptedToolkit& tk, const std::string& updater);

}  // namespace zt
