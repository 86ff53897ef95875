// The journal's recovery on a small installation in the sandbox. The input is the
// journal's text with placeholders for the sandbox's folders ("@I" the
// installation, "@T" its temporary folder, "@O" a folder beside it); every line that
// begins with ">" gets its seal, so that the checks behind the seal are reached. A
// sentinel file beside the installation, in a folder no journal may declare, must
// come through every recovery unchanged.
#include <cstdint>
#include <string>

#include "installer/form1.h"
#include "format/protocol_record.h"
#include "fuzz_common.h"
#include "frontends/scripted/scripted.h"

namespace {

std::string Expand(const std::string& text, const std::string& install, const std::string& temp,
                   const std::string& outside) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '@' && i + 1 < text.size()) {
      const char c = text[i + 1];
      if (c == 'I' || c == 'T' || c == 'O') {
        out += c == 'I' ? install : c == 'T' ? temp : outside;
        ++i;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

std::string SealCommands(const std::string& text) {
  std::string out;
  size_t start = 0;
  for (;;) {
    const size_t lf = text.find('\n', start);
    std::string line = text.substr(start, lf == std::string::npos ? std::string::npos : lf - start);
    const bool cr = !line.empty() && line.back() == '\r';
    if (cr) line.pop_back();
    if (!line.empty() && line[0] == '>') prot::SealLine(line);
    out += line;
    if (lf == std::string::npos) break;
    out += cr ? "\r\n" : "\n";
    start = lf + 1;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string root = fuzz::Sandbox();
  const std::string install = root + "ZUM\\", temp = root + "ZUMUPDT.TMP\\",
                    outside = root + "outside\\", sentinel = root + "sentinel.txt";
  static const bool made = (fuzz::WriteFile(sentinel, "sentinel", 8), true);
  (void)made;
  // A recovery may remove folders: the tree is made again for every input.
  for (const std::string& f : {install, install + "EXE\\", temp, temp + "BAK1\\",
                               temp + "BAK1\\EXE\\", outside})
    os::CreateDir(f);
  fuzz::WriteFile(install + "EXE\\zum.exe", "new", 3);
  fuzz::WriteFile(temp + "BAK1\\EXE\\zum.exe", "old!", 4);
  fuzz::WriteFile(outside + "x.txt", "x", 1);

  const std::string journal = install + "zum_1.txt";
  const std::string text = SealCommands(
      Expand(std::string(reinterpret_cast<const char*>(data), size), install, temp, outside));
  fuzz::WriteFile(journal, text.data(), text.size());

  ui::ScriptedToolkit tk;
  {
    TForm1 form(&tk);
    form.FormCreate();
    form.InstallDir = install;
    form.JournalFile = journal;
    form.SleepFn = [](unsigned) {};
    form.Recover();
  }
  if (fuzz::ReadFile(sentinel) != "sentinel") abort();
  // Whatever the journal said, the installation folder itself stays.
  if (!os::DirectoryExists(install)) abort();
  os::DeleteFile(journal);
  return 0;
}
