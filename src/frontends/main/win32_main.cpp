// The Windows installer: the driver in its main window. The whole update runs
// inside the window's first activation; the program ends when the window is
// closed. Without switches the exit code is always 0 (the outcome is in the
// protocol); /silent and /verysilent runs end with the unattended run's code
// (zumupd.exe /?).
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "installer/form1.h"
#include "base/cp1251.h"
#include "base/error.h"
#include "frontends/unattended/unattended.h"
#include "frontends/win32/win32_toolkit.h"

#include <commctrl.h>
#include <shellapi.h>

namespace {

// The command line's arguments (without the program's name), in the ANSI code page.
std::vector<std::string> Arguments() {
  std::vector<std::string> args;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return args;
  for (int i = 1; i < count; ++i) {
    const int n = WideCharToMultiByte(CP_ACP, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string a(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    if (n > 0) WideCharToMultiByte(CP_ACP, 0, wide[i], -1, a.data(), n, nullptr, nullptr);
    a.resize(a.size() - 1);
    args.push_back(a);
  }
  LocalFree(wide);
  return args;
}

// Whether an unattended switch is among the arguments, however the rest reads: a
// bad switch is then reported by the exit code alone.
bool AskedForQuiet(const std::vector<std::string>& args) {
  for (std::string a : args) {
    for (char& c : a) c = cp1251::ToLower(c);
    if (a == "/silent" || a == "/verysilent") return true;
  }
  return false;
}

const char kCaption[] = "Обновление ПК ZUM";

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCmd) {
  const std::vector<std::string> args = Arguments();
  unattended::TSwitches switches;
  std::string error;
  if (!unattended::ParseSwitches(args, false, switches, error)) {
    if (!AskedForQuiet(args))
      MessageBoxA(nullptr, (error + "\n\n" + unattended::HelpText("/")).c_str(), kCaption,
                  MB_OK | MB_ICONERROR);
    return unattended::kExitBadSwitch;
  }
  if (switches.help) {
    MessageBoxA(nullptr, unattended::HelpText("/").c_str(), kCaption, MB_OK | MB_ICONINFORMATION);
    return 0;
  }

  if (switches.verySilent) {
    // No window: the run goes from start to end here.
    ui::UnattendedToolkit quiet(switches, nullptr);
    int code = unattended::kExitFailed;
    try {
      TForm1 form(&quiet);
      form.Switches = switches;
      quiet.Attach(&form);
      form.FormCreate();
      form.FormActivate();
      code = form.ExitCode();
      quiet.Attach(nullptr);
      form.FormDestroy();
    } catch (...) {
      code = unattended::kExitFailed;
    }
    return code;
  }

  INITCOMMONCONTROLSEX controls = {};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
  if (!InitCommonControlsEx(&controls)) InitCommonControls();

  ui::Win32Toolkit window(instance);
  // /silent: the window shows the run; its questions are answered by the switches.
  std::unique_ptr<ui::UnattendedToolkit> unattendedToolkit;
  ui::Toolkit* toolkit = &window;
  if (switches.silent) {
    unattendedToolkit = std::make_unique<ui::UnattendedToolkit>(switches, &window);
    toolkit = unattendedToolkit.get();
  }
  int code = unattended::kExitFailed;
  // The form outlives the try block: while an error is shown, the window may still
  // deliver its events to it. It goes before the toolkit, which takes the window.
  std::unique_ptr<TForm1> form;
  try {
    form = std::make_unique<TForm1>(toolkit);
    form->Switches = switches;
    if (unattendedToolkit) unattendedToolkit->Attach(form.get());
    form->FormCreate();
    if (!window.CreateMainWindow(form.get(), error)) throw EZumError(error);
    window.ShowMainWindow(showCmd);
    window.Run();
    code = form->ExitCode();
    form->FormDestroy();
  } catch (const std::exception& e) {
    toolkit->ShowException(e.what());
  } catch (...) {
    toolkit->ShowException("");
  }
  if (unattendedToolkit) unattendedToolkit->Attach(nullptr);
  form.reset();
  return switches.silent ? code : 0;
}
