// The window's operations: its buttons' handlers under their own names, over the chip session
// (isp/Session.h), with the window's manners around each conversation: its boxes and texts,
// OperationFailed, KTNSuspended, the caption, the progress text, its pauses and the options
// read from the window. One object owns the session and the state the operations hand each
// other; the window forwards its buttons here and reaches the operator only through the host.
//
// Each operation reads the host's options once, when it starts; the steps of the full cycle
// and of "FULL CHIP ERASE" work with the options the cycle read when it began.
//
// Every operation returns its outcome, the session's status, and nothing else tells it: no
// exception leaves an operation for a failure of the port, a stop request or an image that
// cannot be used. Say is the one place where an outcome becomes its box (and OperationFailed
// its value); the failures the window reports in its general error report (those that ended
// the session's work by an exception, kept as the status's cause) are said there once the
// outermost operation has returned, so that the window is given back first. Any other
// exception is a fault of the program and passes through to the window's guard.
//
// One class, its methods in files of one idea each: IspOperationsSync.cpp (the port and the
// speed), IspOperationsCommands.cpp (programming, erases, blank check, settings),
// IspOperationsReads.cpp (status), IspOperationsCycle.cpp (the controller's suspension and
// the cycles), IspOperations.cpp (outcomes and their boxes, stop points).
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

// The words of an operation's failure box, when the outcome is a failure that gets one.
enum class TFailureWords : std::uint8_t {
  fwNone,             // no box of its own
  fwReply,            // the reply's words ("CRC error" ...), caption "Send Error"
  fwReplyForBlock,    // the same + " for block: " + the record or block it is about
  fwDetail,           // the status's own words, caption "Send Error"
  fwNotSynchronized,  // "Flash not synchronized", caption "Com Port Error"
  fwOpenPort,         // "Open port error", caption "Open <port> port"
  fwControllerSilent, // the controller's no-answer error box, "Error 301" ...
  fwNotProgrammed,    // the full cycle's read-back failed: an error box, "Full programming"
};

// How an operation's outcome is said: its failure box, its success box (when it has one) and
// whether it reports in OperationFailed (0 on success, 1 on failure; left alone when the
// failure ended the operation by an exception, which is said in the general error report).
struct TSaying {
  TSaying(TFailureWords failureWords = TFailureWords::fwNone, std::string doneText = {},
          std::string_view doneBoxCaption = "OK", bool setsFlag = false)
      : failure(failureWords), done(std::move(doneText)), doneCaption(doneBoxCaption), flag(setsFlag) {}
  // The saying of an operation that reports in OperationFailed.
  static TSaying Flagged(TFailureWords failureWords = TFailureWords::fwNone) {
    return {failureWords, {}, "OK", true};
  }

  TFailureWords failure;
  std::string done;         // the success box's text; empty: none
  std::string_view doneCaption;
  bool flag;                // sets OperationFailed
};

class TIspOperations {
 public:
  static constexpr int kCycleEndPauseMs = 1000;
  static constexpr int kCycleSyncCount = 3;    // "U" written before the cycle's erase

  // References only; all three outlive the operations.
  TIspOperations(TNAVOPort& port, TClock& clock, TIspHost& host);

  // The lamp and "ON/OFF": closes an open port, or opens a closed one (a failure shows the
  // box "Open port error" captioned "Open COMn port"); then the host shows the port's state.
  TIspStatus TogglePort();

  // Brings the boot loader to the line speed: not waiting for replies, two "U" at the target
  // speed, the chip trusted to catch one; waiting, the target speed, then the others, until
  // the chip confirms one. Ok when it is taken to be ready (confirmed, or unconfirmed); a
  // failure when the port could not be opened or no speed answered. Panel 0 shows
  // "Synchronizing ..." meanwhile and gets its text back on every path. A stop request ends
  // the speed search between attempts.
  TIspStatus Synchronize();
  // Synchronize, and when that fails the box "Flash not synchronized" ("Com Port Error"):
  // the opening of every operation that talks to the chip afresh.
  TIspStatus SynchronizeOrSay(const TIspOptions& options);
  // The "Synchronize" button: Synchronize, then "Flash synchronized: <speed>" or "Flash not
  // synchronized" (caption "Com Port Error").
  TIspStatus BSynchroClick();

  // "Send hex": programs the image file record by record. It asks for the file unless the
  // options' reuseImageFile says to take the one used last. OperationFailed is 0 afterwards
  // only when every record was written (and, waiting for replies, accepted).
  TIspStatus BSendHexFileClick();

  // "SECTORS TO ERASE": erases the whole chip with one record, the window disabled and panel
  // 0 saying so meanwhile. Waiting for replies, OperationFailed is 0 afterwards only when the
  // chip answered "." ("Flash erased"); otherwise the erase is taken as done after a fixed 9 s.
  TIspStatus BFullEraseClick();
  // Erases the 4 KB blocks ticked in the options, in block order, after one synchronization;
  // the first refused or unanswered block ends it. "Nothing to erase" when none is ticked.
  TIspStatus BEraseBlocksClick();
  // Asks the chip whether the first 16 KB, 0000-3FFF, are blank (a fixed range, whatever the
  // options) and shows its answer; the reply is read whether or not the options wait for one.
  TIspStatus BBlankClick();
  // Set security bit 1, 2 or 3 / the status byte to 0: the record is written at once (no
  // synchronization); OperationFailed is 1 from then on, 0 once the chip accepted it (or, not
  // waiting for replies, after the pause).
  TIspStatus BSecurity1Click() { return BSecurityClick(1); }
  TIspStatus BSecurity2Click() { return BSecurityClick(2); }
  TIspStatus BSecurity3Click() { return BSecurityClick(3); }
  TIspStatus BSecurityClick(int bit);
  TIspStatus BSetStatusClick();
  // Switches the chip to 6-clock mode. Waiting for replies it leaves OperationFailed alone;
  // not waiting, it sets it to 0.
  TIspStatus B6ClockClick();
  // Synchronizes, then reads the security bits and the status byte into the status box; a
  // failed synchronization leaves the box as it was.
  TIspStatus BReadStatusClick();

  // Puts the communication controller on the line into suspended mode: at 9600 bit/s, finds
  // it, reads its state and configuration and writes the configuration back with the
  // suspension bit; KTNSuspended becomes true when this call suspended it. Silent when
  // nothing answered the search, the state is 2, 3 or 4 or it was suspended already (ok);
  // the "KTN do not answer" error box when it stopped answering. On every path, a failure
  // included, the port gets its speed back and 750 ms pass before it returns. The window's
  // events are not processed meanwhile.
  TIspStatus SuspendKTN();
  // "Full programming cycle": the file choice (a cancel ends everything), the controller's
  // suspension unless done before, then MakeFullProgramming, and a second's pause. A stop
  // request before the erase ends it before anything reaches the chip.
  TIspStatus BFullClick();
  // The session's cycle, the window's way: the jumper prompt and the chip's 2 s, three "U",
  // the speed, the erase, the image, 6-clock (when chosen; a refusal is shown and ends
  // nothing), the read-back of the image (always awaited), status byte 0 and the three
  // security bits. Each step that fails shows its own error box and ends the cycle
  // (OperationFailed 1); the final box when all went. A chip that does not hold the image,
  // or does not answer its read-back, is not locked: an error box, "Full programming", says
  // so. The options are read once, here. The outcome: the first step that failed (a refused
  // 6-clock command included, though the cycle goes on after it), else done.
  TIspStatus MakeFullProgramming();
  // "FULL CHIP ERASE": the suspension unless done before, the jumper prompts around a
  // whole-chip erase.
  TIspStatus FullErase();

  // True when the outcome was said in the window's general error report: a failure that
  // ended the operation by an exception (a port error, a stop request, an image that cannot
  // be used) rather than one its own boxes tell.
  static bool InErrorReport(const TIspStatus& status) { return status.cause != nullptr; }

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

  // The two hex digits of a read's answer (reply, which ended in "."; body: the read
  // record's body): those after the record's echo where the echo is found in it, else the
  // two before the final "."; or, in out, the line to add when the answer is malformed
  // (what + " ERROR (2)": too short to hold them, " ERROR (1)": the second is no hex digit).
  static bool ReadAnswerDigits(const std::string& reply, std::string_view body,
                               std::string_view what, std::string& out);

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

  // Runs an operation's body. An exception that ends operations, raised by the window's own
  // steps (the port opened, the image loaded, a stop point), becomes its outcome as the
  // session's do; any other passes through. When the outermost operation returns, a failure
  // for the general error report is said there (Say).
  TIspStatus Run(const std::function<TIspStatus()>& body);
  // The one place where an outcome becomes a box: the general error report for a failure
  // that ended the operation by an exception (once no operation runs any more; nothing
  // before), the failure's box in the words asked for, or the success box. OperationFailed
  // too, when the saying asks for it. Returns status.
  const TIspStatus& Say(const TIspStatus& status, const TSaying& saying);
  // The text of a failure box of the words, for the status.
  TMessageBoxRequest FailureBox(const TIspStatus& status, TFailureWords words) const;

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
  TIspStatus Synchronize(const TIspOptions& options);
  // The whole-chip erase; its success box only when its button started it.
  TIspStatus EraseWholeChip(bool byButton);
  // A setting command's outcome: its success box done ("Done" not waiting for replies),
  // or its failure's.
  TIspStatus FinishSetting(const TIspOptions& options, const TIspStatus& status, std::string done);

  // A modal box with the text and caption, OK only, no icon.
  void PlainBox(std::string_view text, std::string_view caption,
                TBoxRole role = TBoxRole::brNote);
  // The options in force: the cycle's while one runs, else the host's as they stand now.
  TIspOptions Options() const { return m_cycleOptions ? *m_cycleOptions : m_host.Options(); }
  static TPacing Pacing(const TIspOptions& options) { return {options.delay, options.waitForConfirmation}; }
  // One value read (always awaited): the reply, when the chip answered (status then ok or a
  // bad reply), else nothing after the box what + ": " + the failure's words; status is the
  // worse of itself and the read's outcome.
  std::optional<TByteRead> ReadValue(std::string_view body, std::string_view what, TIspStatus& status);
  // Throws EOperationStopped when the host asked to stop.
  void StopPoint(std::string_view done);
  // The image to program: the one the running cycle checked, else the image file, loaded
  // and checked as the window takes it (EImageError when it is refused).
  THexBinList ImageToProgram() const;

  static constexpr std::string_view kJumperOnText =
      "Pleace jumper on \"Download Mode\" contacts then press \"uP Reset\" button. When finished "
      "click OK.";
  static constexpr std::string_view kJumperOffText =
      "Remove jumper from \"Download Mode\" contacts, then press OK.";

  TNAVOPort& m_port;
  TClock& m_clock;
  TIspHost& m_host;
  TWindowObserver m_observer;
  TIspSession m_session;
  std::string m_imageFileName;
  std::optional<THexBinList> m_cycleImage;    // while a full cycle runs: the image it checked
  std::optional<TIspOptions> m_cycleOptions;  // while a cycle runs: the options it read
  int m_running = 0;           // operations running, nested ones included (Run)
  bool m_busy = false;         // BeginBusy's, until EndBusy
  std::string m_progressKept;  // panel 0's text before the cycle's speed search
};

}  // namespace kavel
