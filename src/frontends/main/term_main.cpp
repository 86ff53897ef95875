// The Linux installer: the driver with the terminal front end. Exit status 0 when
// the run ended well, 1 otherwise. Built for Windows too, as a console program for
// the tests (zumupd_con.exe), with the same input and output.
#include <cstdio>
#include <cstring>
#include <exception>

#include "installer/form1.h"
#include "base/cp1251.h"
#include "frontends/term/term.h"

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
  if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::puts(cp1251::ToUtf8(
        "zumupd: the update installer. It takes no arguments: the update package is\n"
        "appended to this program's own file. Start it in the installation folder or in\n"
        "its exe folder; it prints its protocol here and asks its questions on standard\n"
        "input (y/yes/д/да is Yes). Exit status 0 when the run ended well, 1 otherwise.\n"
        "Environment: ZUM_DRIVES maps drive letters to folders (\"D=/srv/d;E=/mnt/e\";\n"
        "Z: is / unless mapped).").c_str());
    return 0;
  }
  ui::TermToolkit toolkit;
  bool ok = false;
  try {
    TForm1 form(&toolkit);
    form.FormCreate();
    form.FormActivate();
    ok = form.RunOk();
    form.FormDestroy();
  } catch (const std::exception& e) {
    toolkit.ShowException(e.what());
  } catch (...) {
    toolkit.ShowException("");
  }
  toolkit.EndLine();
  return ok ? 0 : 1;
}
