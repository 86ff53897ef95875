// The Windows installer: the driver in its main window. The whole update runs
// inside the window's first activation; the program ends when the window is
// closed. The exit code is always 0: the outcome is in the protocol.
#include <exception>
#include <memory>
#include <string>

#include "installer/form1.h"
#include "base/error.h"
#include "frontends/win32/win32_toolkit.h"

#include <commctrl.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCmd) {
  INITCOMMONCONTROLSEX controls = {};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
  if (!InitCommonControlsEx(&controls)) InitCommonControls();

  ui::Win32Toolkit toolkit(instance);
  // The form outlives the try block: while an error is shown, the window may still
  // deliver its events to it. It goes before the toolkit, which takes the window.
  std::unique_ptr<TForm1> form;
  try {
    form = std::make_unique<TForm1>(&toolkit);
    form->FormCreate();
    std::string error;
    if (!toolkit.CreateMainWindow(form.get(), error)) throw EZumError(error);
    toolkit.ShowMainWindow(showCmd);
    toolkit.Run();
    form->FormDestroy();
  } catch (const std::exception& e) {
    toolkit.ShowException(e.what());
  } catch (...) {
    toolkit.ShowException("");
  }
  form.reset();
  return 0;
}
