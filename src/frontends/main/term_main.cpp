// The Linux installer: the driver with the terminal front end. Without switches it
// asks on standard input and exits with 0 when the run ended well, 1 otherwise;
// with --silent or --verysilent (or /silent, /verysilent) it asks nothing and exits
// with the unattended run's code (zumupd --help). Built for Windows too, as a console
// program for the tests (zumupd_con.exe), with the same input and output.
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "installer/form1.h"
#include "base/cp1251.h"
#include "frontends/term/term.h"
#include "frontends/unattended/unattended.h"

namespace {

const char kIntro[] =
    "zumupd: the update installer. The update package is appended to this program's\n"
    "own file. Start it in the installation folder or in its exe folder; it prints its\n"
    "protocol here and asks its questions on standard input (y/yes/д/да is Yes). Exit\n"
    "status 0 when the run ended well, 1 otherwise. Environment: ZUM_DRIVES maps drive\n"
    "letters to folders (\"D=/srv/d;E=/mnt/e\"; Z: is / unless mapped). Paths in the\n"
    "switches may be host paths (/srv/...) or DOS paths. Switches (--name or /name):\n\n";

}  // namespace

#ifdef _WIN32
// Last, and lean: its MessageBox macro must not rename the toolkit's method above,
// nor its OLE declarations meet the installer's names.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
  // The front end reads and writes UTF-8; a console must too (a file or pipe takes
  // the bytes as they are).
  ::SetConsoleCP(CP_UTF8);
  ::SetConsoleOutputCP(CP_UTF8);
#endif
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-h") == 0) {
      args.push_back("--help");
      continue;
    }
    // Arguments arrive in UTF-8; the installer works in CP1251.
    args.push_back(cp1251::FromUtf8(argv[i]));
  }
  unattended::TSwitches switches;
  std::string error;
  if (!unattended::ParseSwitches(args, true, switches, error)) {
    std::fprintf(stderr, "zumupd: %s (zumupd --help)\n", cp1251::ToUtf8(error).c_str());
    return unattended::kExitBadSwitch;
  }
  if (switches.help) {
    std::fputs(kIntro, stdout);
    std::fputs(cp1251::ToUtf8(unattended::HelpText("--")).c_str(), stdout);
    return 0;
  }

  ui::TermToolkit terminal;
  std::unique_ptr<ui::UnattendedToolkit> unattendedToolkit;
  ui::Toolkit* toolkit = &terminal;
  if (switches.Unattended()) {
    unattendedToolkit = std::make_unique<ui::UnattendedToolkit>(
        switches, switches.verySilent ? nullptr : &terminal);
    toolkit = unattendedToolkit.get();
  }
  bool ok = false;
  int code = unattended::kExitFailed;
  try {
    TForm1 form(toolkit);
    form.Switches = switches;
    if (unattendedToolkit) unattendedToolkit->Attach(&form);
    form.FormCreate();
    form.FormActivate();
    ok = form.RunOk();
    code = form.ExitCode();
    if (unattendedToolkit) unattendedToolkit->Attach(nullptr);
    form.FormDestroy();
  } catch (const std::exception& e) {
    toolkit->ShowException(e.what());
  } catch (...) {
    toolkit->ShowException("");
  }
  if (!switches.verySilent) terminal.EndLine();
  if (switches.Unattended()) return code;
  return ok ? 0 : 1;
}
