// TForm1: the main window's logic, the central object of the installer. It owns the
// state of one run and has one method per stage; the methods live in the files of
// their subsystem (package/reader.cpp defines TForm1::ReadPackage, and so on).
// The window itself is a toolkit's business (ui/toolkit.h).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/progress.h"
#include "base/cp1251.h"
#include "format/journal_record.h"
#include "format/part.h"
#include "format/protocol_record.h"
#include "installer/switches.h"
#include "platform/os.h"

namespace ui { class Toolkit; }


// The update variant: the dialog's results, and the variant a run goes by
// (UpdateVariant: VariantNone until it is chosen or read from the journal). The
// numbers are the dialog's modal results; the journal stores the variant as "1" for
// a copy and "0" otherwise.
enum TUpdateVariant {
  VariantNone = -1,
  VariantCopy = 1,
  VariantCancel = 2,
  VariantFailed = 3,
  VariantInPlace = 6,
};

// A sorted set of texts that ignores letter case (BackedUpFiles).
struct NoCaseLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return cp1251::CompareNoCase(a, b) < 0;
  }
};
using TNoCaseSet = std::set<std::string, NoCaseLess>;

using prot::TProtKind;

class TForm1 {
 public:
  explicit TForm1(ui::Toolkit* toolkit);
  ~TForm1();
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  // ---- events ----
  void FormCreate();
  void FormActivate();
  // True when the window may close now.
  bool FormClose();
  void FormDestroy();
  void Btn_CloseClick();

  // ---- driver helpers ----
  bool ProtResult(bool ok, bool newLine);
  bool DropPath(const std::string& path);
  void RunProduct();

  // ---- protocol ----
  bool AddProt(TProtKind kind, const std::string& text, bool newLine = true);
  // Writes a kind 0 line.
  void Say(const std::string& text) { AddProt(prot::kProtPlain, text, true); }
  const std::vector<std::string>& ProtLines() const { return protLines_; }
  // Adds a line to the list box only (not recorded, not selected).
  void AddListLine(const std::string& line);
  bool SaveProtocol(const std::string& path, std::string& error) const;

  // ---- start-up checks ----
  bool StartUp();
  bool CheckSingle();
  bool InitData();
  bool FindProductExe(bool copy, bool quiet);
  bool TryHoldProduct(bool copy);
  bool WaitProduct(bool copy);

  // ---- package ----
  bool ReadPackage();
  bool CheckVersion();
  bool CheckFreeSpace();
  bool RunEntries();
  // The progress callback of long operations: marker absent sets the range,
  // present sets the position and lets the window repaint.
  int ShowProgress(const void* marker, uint32_t value);

  // ---- whole-file appliers, copy and compare ----
  bool ApplyAddRepl(const pkg::TPartNfo& e, const std::string& target, const std::string& work,
                    const std::string& backup);
  bool ApplyAddRepM(const pkg::TPartNfo& e, const std::string& target, const std::string& work,
                    const std::string& backup);
  bool CompareFiles(const std::string& a, const std::string& b);

  // ---- difference appliers, configuration stamp, shortcut ----
  bool ApplyBinDiff(const pkg::TPartNfo& e, const std::string& target, const std::string& work,
                    const std::string& backup);
  bool ApplyDbbDiff(const pkg::TPartNfo& e, const std::string& target, const std::string& work,
                    const std::string& backup);
  bool ApplyPeDiff(const pkg::TPartNfo& e, int kind, const std::string& work,
                   const std::string& backup, const std::string& target);
  // Converts a base file from key `oldKey` to key `newKey` (0: plain) into
  // `destination`, which is replaced. False when the file ends early or a write
  // fails; false with a kind 26 line when its layout is beyond the converter's
  // limits or a file cannot be opened or read.
  bool RekeyBase(const std::string& source, const std::string& destination, uint32_t newKey,
                 uint32_t oldKey);
  // The checksum lines of a file the appliers compare with its part record: its
  // checksum and size are taken (the kind 20 line and its result, on a line of its
  // own when `newLine`), then the kind 21 line opens; the caller writes the result.
  // False when the file cannot be summed.
  bool SumForCompare(const std::string& path, bool newLine, uint32_t& sum, uint32_t& size);
  bool StampConfig();
  bool CreateDesktopLink();
  // Makes the missing folders of a target file, journalled as created first.
  bool MakeTargetFolder(const std::string& target);

  // ---- journal ----
  bool JournalExists();
  bool JournalStart();
  bool JournalEnd();
  // `durable`: the record reaches the disk before the call returns. Records of
  // items created in a copy need not: the copy folder's own record (command 1),
  // written durably first, makes the recovery remove all of it.
  bool JournalCmd(journal::Command kind, const std::string& text, bool durable = true);
  bool JournalCopy(const std::string& source, const std::string& destination, bool newItem);
  bool Recover();
  bool ReplayLine(const std::string& record, bool& ok, bool settingsPass);
  // The journal's records checked before any is replayed; false, with protocol
  // lines, for a journal that this installer cannot have written here.
  bool JournalTrusted(const std::vector<std::string>& lines);
  bool CheckPayloadHeads();
  // The targets of the package's entries, judged before the first change.
  bool CheckTargets();
  // A read-only file (copied from a CD, say) is made writable before it is backed
  // up and changed, journalled first so that the rollback makes it read-only again
  // after restoring it. True when `target` is writable (or absent) now.
  bool MakeWritable(const std::string& target);
  bool RestoreFile(const std::string& backup, const std::string& target, uint32_t checksum,
                   uint32_t size);
  // After the journal's settings are read: whether the copy and temporary folders
  // it names carry the ownership marks journalled with them (a temporary folder in
  // the installation needs none). Writes a line for each folder left alone.
  void ProveFolders();
  // Why a recovery must not change `path` ("" when it may): it lies in the
  // installation, or in a proved copy or temporary folder, with no link on the way;
  // or it is a shortcut of the proved copy on the desktop, to be removed.
  std::string RecoveryRefuses(const std::string& path, bool removal);
  // The protocol lines (and, with `box`, the message) that name the journal of a
  // failed run and say how to get out when it is not rolled back.
  void SayJournalWayOut(bool box);
  // True when the file at the journal's name is a journal of this installer: a plain
  // file whose first command record is a sealed start record.
  bool JournalLooksOwn();

  // ---- free space and the temporary folder ----
  struct sDskNfo {
    char Letter = 0;
    uint32_t FreeBytes = 0;
    uint32_t Delay = 0xFFFFFFFFu;
  };
  bool FindFreeDisk(uint32_t extra, uint32_t need, char& letter);
  bool TestDiskSpeed(const std::string& root, sDskNfo& record);
  std::string ChooseFolder(const std::string& title, uint32_t base, uint32_t extra,
                           char installLetter);

  // ---- copy mode ----
  int SelectKind(const std::string& copyName);

  // ---- folders ----
  bool CleanFolder(const std::string& folder, bool removeFolder);

  // ---- state (declaration order of the product's window) ----
  os::File JournalStream;
  std::string InstallDir;
  std::string CopyDir;
  std::string InstallMutexName;
  std::string CopyMutexName;
  std::string JournalFile;
  std::string TempDir;
  bool PrevRunFailed = false;
  // The ownership marks a journal names (folder in upper case -> token, made),
  // and what the recovery proved with them.
  struct TOwnerMark {
    std::string Token;
    bool Made = false;
  };
  std::map<std::string, TOwnerMark> OwnerMarks;
  bool CopyProved = false;
  bool CopyMade = false;
  bool TempProved = false;
  // Journal records a recovery passed over (see RecoveryRefuses).
  int RecordsRefused = 0;
  TNoCaseSet BackedUpFiles;
  os::NamedMutex SelfMutex;
  os::NamedMutex InstallMutex;
  os::NamedMutex CopyMutex;
  bool JournalMuted = true;
  // Records of changes (copy folder, restore, removal) this run wrote to the journal.
  int ChangesJournalled = 0;
  bool SeqStarted = false;
  bool SeqFinished = false;
  std::vector<std::unique_ptr<pkg::TPartNfo>> PartList;
  uint32_t PartCount = 0;
  uint32_t TmpSpaceNeed = 0;
  uint32_t GrowSpaceNeed = 0;
  std::string VerTo, VerFrom;
  std::string VerTo3, VerFrom3;
  int FirstSection = 0;
  int SectionNo = 0;
  TUpdateVariant UpdateVariant = VariantNone;
  std::vector<uint32_t> BuildStamps;
  uint16_t BuildStampCount = 0;
  bool IsCorrection = false;
  // The first 1,411 bytes of Cfg\CFG.ZUM, read by the version match.
  std::vector<uint8_t> ConfigBuffer;

  // ---- the window's parts as the core sees them ----
  ui::Toolkit* Toolkit() const { return toolkit_; }
  TProgressBar PrBar;
  void SetCaption(const std::string& caption);
  const std::string& Caption() const { return caption_; }
  void ShowStatus(bool visible);
  void SetStatusText(const std::string& text);

  // Outcome of the last run of the sequence (the terminal build's exit status).
  bool RunOk() const { return runOk_; }
  // The exit code of an unattended run (unattended::ExitCode) after the sequence.
  int ExitCode() const;
  // The command line's switches; without /silent or /verysilent the run asks its
  // questions (its toolkit is then no ui::UnattendedToolkit). /log is honoured
  // either way.
  unattended::TSwitches Switches;
  // The path the protocol file was saved to in the end block ("" before).
  const std::string& ProtocolPath() const { return protocolPath_; }
  // Full path of the running installer (the package file). Tests set
  // ExePathOverride to run the driver against a package of their own.
  std::string ExePath() const;
  std::string ExePathOverride;
  // The pause of the running-product wait loop; tests replace it to run without
  // waiting and to act between attempts.
  std::function<void(unsigned)> SleepFn = os::SleepMs;

 private:
  // Appends `record` to the open journal: seeks its end, writes what `frame` makes of
  // it at that position, and flushes when `durable`. False with the reason in `error`.
  bool AppendToJournal(const std::string& record,
                       std::string (*frame)(const std::string&, uint64_t), bool durable,
                       std::string& error);
  static constexpr const char* kCannotSaveJournal = "!!!Невозможно сохранить протокол!!! ";

  // How the sequence goes on after a stage: the next stage; or it ends failed;
  // ended without launching the product (cancelled, or rolled back and not to go
  // on); or refused without launching (a failed earlier run not rolled back).
  enum class TStageEnd { Next, Failed, Stopped, Refused };
  using TStage = TStageEnd (TForm1::*)();
  static const TStage kStages[];
  TStageEnd StageStartUp();
  TStageEnd StageWriteAccess();
  TStageEnd StagePreviousRun();
  TStageEnd OfferRollback();
  TStageEnd StageJournal();
  TStageEnd StageFindProduct();
  TStageEnd StageProductClosed();
  TStageEnd StageVersion();
  TStageEnd StageVariant();
  TStageEnd StageFreeSpace();
  TStageEnd StageTempFolder();
  TStageEnd StageUpdate();
  void EndBlock(bool ok, bool noLaunch);

  ui::Toolkit* toolkit_;
  std::vector<std::string> protLines_;
  std::string caption_;
  bool runOk_ = false;
  bool noWriteAccess_ = false;  // the installation folder refused the write check
  TStageEnd lastEnd_ = TStageEnd::Failed;        // how the sequence ended
  int failCode_ = unattended::kExitFailed;       // what a failure means, when known
  std::string protocolPath_;
};

// Stages that are not built yet report it with this line and fail.
bool NotBuiltYet(TForm1& form, const char* stage);
