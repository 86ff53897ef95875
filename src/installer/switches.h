// The installer's command line, for administrators who deploy updates without a
// user at the machine: switches, the answers an unattended run gives to the
// questions an attended one asks, and the exit codes it ends with. Started without
// switches, the installer asks as it always did.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace unattended {

// Exit codes of an unattended run (/silent or /verysilent). Attended runs keep
// theirs: always 0 on Windows, 0 or 1 on Linux.
enum ExitCode {
  kExitOk = 0,
  kExitFailed = 1,              // failed and nothing left to roll back, or nothing changed
  kExitRollbackPending = 2,     // failed with the journal kept: /rollback=yes finishes it
  kExitDoesNotFit = 3,          // the package does not fit this installation
  kExitProductRunning = 4,
  kExitAnotherUpdate = 5,
  kExitBadSwitch = 87,
};

enum class Rollback { Unset, Yes, No };

struct TSwitches {
  bool silent = false;      // the main window shows progress; nothing is asked
  bool verySilent = false;  // no window at all
  bool help = false;
  std::string log;          // a second copy of the protocol file
  Rollback rollback = Rollback::Unset;
  bool waitGiven = false;
  uint32_t waitSeconds = 0;
  std::string copy, name, label;  // the update-variant dialog's fields
  bool clean = false, noAutoSave = false;
  bool start = false;

  bool Unattended() const { return silent || verySilent; }
};

// Reads the arguments (without the program's name). Switches are "/name" or
// "/name=value", names in any letter case; with `dashes` also "--name[=value]" (the
// Linux build). False, with a message naming the argument, for anything else.
bool ParseSwitches(const std::vector<std::string>& args, bool dashes, TSwitches& out,
                   std::string& error);

// The help text (CP1251), with `prefix` ("/" or "--") before the names.
std::string HelpText(const std::string& prefix);

// The answer of an unattended run to question `msgId` (0: a question without a
// catalogue number), and why, as the protocol says it. `waitedMs`: how long the run
// has waited for the product so far (question 3007).
struct TAnswer {
  bool yes = false;
  std::string why;
};
TAnswer AnswerFor(int msgId, const TSwitches& switches, uint64_t waitedMs);

}  // namespace unattended
