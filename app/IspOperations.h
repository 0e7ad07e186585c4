// The window's operations: its buttons' handlers under their own names, over the chip session
// (isp/Session.h), with the window's manners around each conversation: its boxes and texts,
// OperationFailed, KTNSuspended, the caption, the progress text, its pauses and the options
// read from the window. One object owns the session and the state the operations hand each
// other; the window forwards its buttons here and reaches the operator only through the host.
//
// Each operation reads the host's options once, when it starts; the steps of the full cycle
// and of "FULL CHIP ERASE" work with the options the cycle read when it began. Port failures
// that an operation does not handle itself propagate as EComPort (the window shows them in
// its general error report), and a stop request as EOperationStopped.
//
// Every operation also records its outcome as a status (LastStatus), beside OperationFailed
// and the boxes.
//
// One class, its methods in files of one idea each: IspOperationsSync.cpp (the port and the
// speed), IspOperationsCommands.cpp (programming, erases, blank check, settings),
// IspOperationsReads.cpp (status), IspOperationsCycle.cpp (the controller's suspension and
// the cycles), IspOperations.cpp (boxes, stop points, the status of a run).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "isp/IspEngine.h"
#include "isp/Session.h"
#include "image/HexBinList.h"
#include "app/IspHost.h"
#include "isp/IspStatus.h"
#include "link/Clock.h"
#include "link/NAVOPort.h"

namespace kavel {

// Who started an operation: its own button, or another operation (the full cycle, "FULL
// CHIP ERASE") that runs it as one of its steps. A step shows its error boxes but not its
// success box, and reports its outcome in OperationFailed for the operation that runs it.
enum class TStartedBy : std::uint8_t { sbButton, sbOperation };
using enum TStartedBy;

class TIspOperations {
 public:
  static constexpr int kCycleEndPauseMs = 1000;
  static constexpr int kCycleSyncCount = 3;    // "U" written before the cycle's erase

  // References only; all three outlive the operations.
  TIspOperations(TNAVOPort& port, TClock& clock, TIspHost& host);

  // The lamp and "ON/OFF": closes an open port, or opens a closed one (a failure shows the
  // box "Open port error" captioned "Open COMn port"); then the host shows the port's state.
  void TogglePort();

  // Brings the boot loader to the line speed: not waiting for replies, two "U" at the target
  // speed, the chip trusted to catch one; waiting, the target speed, then the others, until
  // the chip confirms one. True when it is taken to be ready (confirmed, or not: see
  // LastStatus); false when the port could not be opened or no speed answered. Panel 0 shows
  // "Synchronizing ..." meanwhile and gets its text back on every path. A stop request ends
  // the speed search between attempts.
  bool Synchronize();
  bool Synchronize(const TIspOptions& options);
  // Synchronize, and when that fails the box "Flash not synchronized" ("Com Port Error"):
  // the opening of every operation that talks to the chip afresh.
  bool SynchronizeOrSay(const TIspOptions& options);
  // The "Synchronize" button: Synchronize, then "Flash synchronized: <speed>" or "Flash not
  // synchronized" (caption "Com Port Error").
  void BSynchroClick();

  // Programs the image file record by record. Started by its button, it asks for the file
  // unless the options' reuseImageFile says to take the one used last; started by another
  // operation it always takes that one unasked, and an image without data is a failure (the
  // steps after it would lock an empty chip). OperationFailed is 0 afterwards only when every
  // record was written (and, waiting for replies, accepted). Loader and port errors propagate.
  void BSendHexFileClick(TStartedBy startedBy);

  // Erases the whole chip with one record, the window disabled and panel 0 saying so
  // meanwhile. Waiting for replies, OperationFailed is 0 afterwards only when the chip
  // answered "."; otherwise the erase is taken as done after a fixed 9 s. "Flash erased" is
  // shown only when its button started it.
  void BFullEraseClick(TStartedBy startedBy);
  // Erases the 4 KB blocks ticked in the options, in block order, after one synchronization;
  // the first refused or unanswered block ends it. "Nothing to erase" when none is ticked.
  void BEraseBlocksClick();
  // Asks the chip whether the first 16 KB, 0000-3FFF, are blank (a fixed range, whatever the
  // options) and shows its answer; the reply is read whether or not the options wait for one.
  void BBlankClick();
  // Set security bit 1, 2 or 3 / the status byte to 0: the record is written at once (no
  // synchronization); OperationFailed is 1 from then on, 0 once the chip accepted it (or, not
  // waiting for replies, after the pause). Success boxes only when a button started them.
  void BSecurity1Click(TStartedBy startedBy) { BSecurityClick(1, startedBy); }
  void BSecurity2Click(TStartedBy startedBy) { BSecurityClick(2, startedBy); }
  void BSecurity3Click(TStartedBy startedBy) { BSecurityClick(3, startedBy); }
  void BSecurityClick(int bit, TStartedBy startedBy);
  void BSetStatusClick(TStartedBy startedBy);
  // Switches the chip to 6-clock mode. Waiting for replies it always shows the outcome and
  // leaves OperationFailed alone, so a refusal does not end a full cycle; not waiting, its
  // "Clock set" box only when its button started it.
  void B6ClockClick(TStartedBy startedBy);
  // Synchronizes, then reads the security bits and the status byte into the status box; a
  // failed synchronization leaves the box as it was.
  void BReadStatusClick();

  // Puts the communication controller on the line into suspended mode: at 9600 bit/s, finds
  // it, reads its state and configuration and writes the configuration back with the
  // suspension bit. True only when this call suspended it; false silently when nothing
  // answered the search, the state is 2, 3 or 4 or it was suspended already; false after the
  // "KTN do not answer" error box when it stopped answering. LastStatus tells these apart
  // (suspended already is ok; a port that failed meanwhile is a port failure). On every
  // path, a failure included, the port gets its speed back and 750 ms pass before it
  // returns. The window's events are not processed meanwhile.
  bool SuspendKTN();
  // "Full programming cycle": the file choice (a cancel ends everything), the controller's
  // suspension unless done before, then MakeFullProgramming, and a second's pause. A stop
  // request before the erase ends it before anything reaches the chip.
  void BFullClick();
  // The session's cycle, the window's way: the jumper prompt and the chip's 2 s, three "U",
  // the speed, the erase, the image, 6-clock (when chosen; a refusal is shown and ends
  // nothing), the read-back of the image (always awaited), status byte 0 and the three
  // security bits. Each step that fails shows its own error box and ends the cycle
  // (OperationFailed 1); the final box when all went. A chip that does not hold the image,
  // or does not answer its read-back, is not locked: an error box, "Full programming", says
  // so. The options are read once, here. LastStatus: the first step that failed (a refused
  // 6-clock command included, though the cycle goes on after it), else done.
  void MakeFullProgramming();
  // "FULL CHIP ERASE": the suspension unless done before, the jumper prompts around a
  // whole-chip erase.
  void FullErase();

  // Runs one of the operations above and returns its status, which it also records: the
  // operation's own, or that of the port failure, stop request or image failure that ended
  // it. Any other failure propagates.
  TIspStatus Perform(const std::function<void()>& operation);
  // The outcome of the most recent operation.
  const TIspStatus& LastStatus() const { return m_status; }

  // "ON" for a non-zero value, "OFF" for zero.
  static std::string OnOffText(int value);
  // D x factor + base, as a time-out in ms, kept within int's range whatever D is.
  static int ScaledMs(std::int32_t delay, int factor, int base) { return TIspSession::ScaledMs(delay, factor, base); }

  // State handed between operations, read by the window.
  std::int32_t OperationFailed = 0;
  bool KTNSuspended = false;
  const std::string& ImageFileName() const { return m_imageFileName; }
  void SetImageFileName(std::string name) { m_imageFileName = std::move(name); }

  TIspEngine& Engine() { return m_session.Engine(); }

 private:
  // What the session does, shown the window's way: "Programming line: i / N" while an image
  // goes out, the host's progress and activity, its stop request.
  // A cycle's jumper prompt and the boxes of its steps are the operations' own.
  class TWindowObserver final : public TSessionObserver {
   public:
    TWindowObserver(TIspHost& host, TIspOperations& ops) : m_host(host), m_ops(ops) {}
    void Activity(TActivity activity) override;
    void Progress(std::size_t done, std::size_t total) override;
    bool StopRequested() override { return m_host.StopRequested(); }
    bool ChipReady() override { return m_ops.CycleChipReady(); }
    void StepBegins(TCycleStep step) override { m_ops.CycleStepBegins(step); }
    void StepEnded(TCycleStep step, const TIspStatus& status) override { m_ops.CycleStepEnded(step, status); }

   private:
    TIspHost& m_host;
    TIspOperations& m_ops;
    bool m_programming = false;
  };
  // The cycle's jumper prompt: true once the operator has pressed OK.
  bool CycleChipReady();
  // The window's manners around the cycle's steps: its busy window, progress texts and boxes.
  void CycleStepBegins(TCycleStep step);
  void CycleStepEnded(TCycleStep step, const TIspStatus& status);
  // The window disabled with the text in panel 0, until EndBusy (a no-op when not busy).
  void BeginBusy(std::string_view text);
  void EndBusy();
  // The speed search as the options ask for it: blind (two "U") unless replies are awaited.
  static TSyncPlan SyncPlan(const TIspOptions& options);

  // A modal box with the text and caption, OK only, no icon.
  void PlainBox(std::string_view text, std::string_view caption,
                TBoxRole role = TBoxRole::brNote);
  // The options in force: the cycle's while one runs, else the host's as they stand now.
  TIspOptions Options() const { return m_cycleOptions ? *m_cycleOptions : m_host.Options(); }
  static TPacing Pacing(const TIspOptions& options) { return {options.delay, options.waitForConfirmation}; }
  // A session operation's status becomes the window's: recorded, and a failure the window
  // reports in its general error report (the port's, a stop) raised there from its cause.
  const TIspStatus& Adopt(TIspStatus status);
  // After a setting command: OperationFailed and the boxes by its status; the success box
  // done only when a button started the command.
  void FinishSetting(const TIspOptions& options, std::string_view done, TStartedBy startedBy);
  // One value read (always awaited): the reply on success, else the box what + ": " + the
  // failure's words, the failure recorded in status, and nothing.
  std::optional<TByteRead> ReadValue(std::string_view body, std::string_view what, TIspStatus& status);

 public:
  // The two hex digits of a read's answer (reply, which ended in "."; body: the read
  // record's body): those after the record's echo where the echo is found in it, else the
  // two before the final "."; or, in out, the line to add when the answer is malformed
  // (what + " ERROR (2)": too short to hold them, " ERROR (1)": the second is no hex digit).
  static bool ReadAnswerDigits(const std::string& reply, std::string_view body,
                               std::string_view what, std::string& out);

 private:
  // Throws EOperationStopped when the host asked to stop.
  void StopPoint(std::string_view done);
  // The image to program: the one the running cycle checked, else the image file, loaded
  // and checked as the window takes it (EImageError when it is refused).
  THexBinList ImageToProgram() const;

  TNAVOPort& m_port;
  TClock& m_clock;
  TIspHost& m_host;
  TWindowObserver m_observer;
  TIspSession m_session;
  std::string m_imageFileName;
  std::optional<THexBinList> m_cycleImage;    // while a full cycle runs: the image it checked
  std::optional<TIspOptions> m_cycleOptions;  // while a cycle runs: the options it read
  TIspStatus m_status;
  bool m_busy = false;         // BeginBusy's, until EndBusy
  std::string m_progressKept;  // panel 0's text before the cycle's speed search
};

}  // namespace kavel
