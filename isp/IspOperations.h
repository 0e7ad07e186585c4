// The device operations, outside any window: one object owns the reply engine and the state
// that the operations hand each other (OperationFailed, KTNSuspended, the image file name),
// and has every operation as a method. The window (or a command-line front end) forwards its
// buttons here and reaches the operator only through the host.
//
// Each operation reads the host's options once, when it starts; the steps of the full cycle
// and of "FULL CHIP ERASE" work with the options the cycle read when it began. Port failures
// that an operation does not handle itself propagate as EComPort (the window shows them in
// its general error report), and a stop request as EOperationStopped.
//
// Every operation records its outcome as a status (LastStatus), beside OperationFailed and
// the boxes: what the command line decides its exit status by.
//
// One class, its methods in files of one idea each: Synchronize.cpp (the port and the speed),
// Commands.cpp (programming, erases, blank check, settings), Reads.cpp (status, identity,
// the flash read back, verification), Cycle.cpp (the controller's suspension and the
// cycles), IspOperations.cpp (boxes, stop points, the status of a run).
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
#include "image/HexBinList.h"
#include "isp/IspHost.h"
#include "isp/IspStatus.h"
#include "link/Clock.h"
#include "link/NAVOPort.h"

namespace kavel {

class TIspOperations {
 public:
  static constexpr int kSyncReplyMs = 150;   // the wait for "U" and for the set-clock "."
  static constexpr int kSyncQuietMs = 20;    // nothing may follow the "U" for this long
  static constexpr int kSyncPauseMs = 100;   // between attempts, and after the set-clock reply
  static constexpr int kSetClockValue = 0x10;
  static constexpr int kSixClockPauseMs = 50;  // before an image record that sets 6-clock mode
  static constexpr int kSuspendPauseMs = 750;  // after the controller exchange
  static constexpr int kJumperPauseMs = 2000;  // after the jumper prompt, for the chip's reset
  static constexpr int kCycleEndPauseMs = 1000;
  static constexpr int kCycleSyncCount = 3;    // "U" written before the cycle's erase

  // References only; all three outlive the operations.
  TIspOperations(TNAVOPort& port, TClock& clock, TIspHost& host);

  // The lamp and "ON/OFF": closes an open port, or opens a closed one (a failure shows the
  // box "Open port error" captioned "Open COMn port"); then the host shows the port's state.
  void TogglePort();

  // Brings the boot loader to the line speed (see the .cpp for the two modes). True when it
  // is taken to be ready (confirmed, or not: see LastStatus); false when the port could not
  // be opened or no speed answered. Panel 0 shows "Synchronizing ..." meanwhile and gets its
  // text back on every path. A stop request ends the speed search between attempts.
  bool Synchronize();
  bool Synchronize(const TIspOptions& options);
  // Synchronize, and when that fails the box "Flash not synchronized" ("Com Port Error"):
  // the opening of every operation that talks to the chip afresh.
  bool SynchronizeOrSay(const TIspOptions& options);
  // One attempt's check right after a "U" was written: the lone "U" within 150 ms, 20 ms of
  // silence, then SetClock.
  bool SyncReply();
  // Writes the set-clock record and waits 150 ms for "."; pauses 100 ms whatever came.
  bool SetClock();
  // The "Synchronize" button: Synchronize, then "Flash synchronized: <speed>" or "Flash not
  // synchronized" (caption "Com Port Error").
  void BSynchroClick();

  // Programs the image file record by record (see the .cpp). sender: started by its button;
  // without one (called by another operation) the file used last is taken unasked, as with
  // the options' reuseImageFile, and an image without data is a failure (the steps after it
  // would lock an empty chip). OperationFailed is 0 afterwards only when every record was
  // written (and, waiting for replies, accepted). Loader and port errors propagate.
  void BSendHexFileClick(bool sender);
  // From now on the file programming sends these records instead of loading the image file:
  // a host that loaded and checked the image itself gets exactly that image programmed.
  void UseImage(THexBinList records) { m_image = std::move(records); }

  // Erases the whole chip with one record, the window disabled and panel 0 saying so
  // meanwhile. Waiting for replies, OperationFailed is 0 afterwards only when the chip
  // answered "."; otherwise the erase is taken as done after a fixed 9 s. sender: started by
  // its button (only then is "Flash erased" shown).
  void BFullEraseClick(bool sender);
  // Erases the 4 KB blocks ticked in the options, in block order, after one synchronization;
  // the first refused or unanswered block ends it. "Nothing to erase" when none is ticked.
  void BEraseBlocksClick();
  // Asks the chip whether 0000-3FFF is blank and shows its answer (replies are always read).
  void BBlankClick();
  // Set security bit 1, 2 or 3 / the status byte to 0: the record is written at once (no
  // synchronization); OperationFailed is 1 from then on, 0 once the chip accepted it (or, not
  // waiting for replies, after the pause). Success boxes only with a sender.
  void BSecurity1Click(bool sender) { BSecurityClick(1, sender); }
  void BSecurity2Click(bool sender) { BSecurityClick(2, sender); }
  void BSecurity3Click(bool sender) { BSecurityClick(3, sender); }
  void BSecurityClick(int bit, bool sender);
  void BSetStatusClick(bool sender);
  // Switches the chip to 6-clock mode. Waiting for replies it always shows the outcome and
  // leaves OperationFailed alone, so a refusal does not end a full cycle.
  void B6ClockClick(bool sender);
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
  // suspension unless done before, the jumper prompt, then MakeFullProgramming. A stop
  // request before the erase ends it before anything reaches the chip.
  void BFullClick();
  // Erase, program, 6-clock (when chosen), status byte 0 and the three security bits, each
  // step ending the cycle when it leaves OperationFailed set; the final box when all went.
  // The options are read once, here. LastStatus: the first step that failed (a refused
  // 6-clock command included, though the cycle goes on after it), else done.
  void MakeFullProgramming();
  // "FULL CHIP ERASE": the suspension unless done before, the jumper prompts around a
  // whole-chip erase.
  void FullErase();

  // Reads the flash from start to end inclusive into bytes, with display records of at most
  // 1 KB each, on a chip synchronized already; progress in bytes. False when a record was
  // refused ("L": locked by a security bit), went unanswered or was not understood:
  // LastStatus says which. A stop request ends it between records.
  bool ReadFlash(std::uint16_t start, std::uint16_t end, std::vector<std::uint8_t>& bytes);

  // What a verification found.
  struct TVerifyReport {
    std::size_t checked = 0;     // bytes read back and compared
    std::size_t differing = 0;   // of them, those that differ
    unsigned firstAddress = 0;   // the first that differs, what was written and what was read
    std::uint8_t written = 0, read = 0;
    bool notErased = false;      // a differing byte reads as written AND something else: the
                                 // flash held data when it was programmed
  };
  // Reads back exactly the addresses that the image's data records hold (contiguous runs, at
  // most 1 KB a record) and compares them. LastStatus: done when every byte is equal,
  // skMismatch naming the first differing address and the count, or why it could not read.
  TVerifyReport VerifyImage(const THexBinList& image);
  // What the most recent verification found (also the full cycle's).
  const TVerifyReport& LastVerify() const { return m_lastVerify; }

  // Synchronizes and reads the device id; true when it is expected. Otherwise LastStatus
  // says what it is (refused, naming both ids) or why it could not be read.
  bool CheckDevice(std::uint8_t expected);

  // Runs one of the operations above and returns its status, which it also records: the
  // operation's own, or that of the port failure, stop request or image failure that ended
  // it. Any other failure propagates.
  TIspStatus Perform(const std::function<void()>& operation);
  // The outcome of the most recent operation.
  const TIspStatus& LastStatus() const { return m_status; }
  // The outcome of the most recent controller suspension (also inside a cycle).
  const TIspStatus& SuspensionStatus() const { return m_suspension; }

  // Synchronizes, then reads the manufacturer id, the device id and the boot code version
  // (answered like the status byte) into the status box as "Manufacturer id: 15" ..., a
  // malformed answer as "Manufacturer id ERROR (1)" or "(2)" and a refused or missing one in
  // a box; then the security bits and status byte as BReadStatusClick does. LastStatus says
  // whether everything could be read.
  void ReadIdentification();

  // "ON" for a non-zero value, "OFF" for zero.
  static std::string OnOffText(int value);
  // D x factor + base, as a time-out in ms, kept within int's range whatever D is.
  static int ScaledMs(std::int32_t delay, int factor, int base);

  // The set-clock record, :0100000210ED.
  static std::string SetClockRecord();

  // State handed between operations, read by the window.
  std::int32_t OperationFailed = 0;
  bool KTNSuspended = false;
  const std::string& ImageFileName() const { return m_imageFileName; }
  void SetImageFileName(std::string name) { m_imageFileName = std::move(name); }

  TIspEngine& Engine() { return m_engine; }

 private:
  // A modal box with the text and caption, OK only, no icon.
  void PlainBox(std::string_view text, std::string_view caption,
                TBoxRole role = TBoxRole::brNote);
  // The options in force: the cycle's while one runs, else the host's as they stand now.
  TIspOptions Options() const { return m_cycleOptions ? *m_cycleOptions : m_host.Options(); }
  // After a setting record was written: its reply (or the pause), OperationFailed and boxes.
  void FinishSetting(const TIspOptions& options, int waitMs, int pauseMs, std::string_view done,
                     bool sender);
  // Gives a read record and returns ReplyText on "."; otherwise shows what + ": " + the
  // failure's words, records the failure in status and returns nothing.
  std::optional<std::string> ReadValue(std::string_view body, int waitMs, std::string_view what,
                                       TIspStatus& status);

 public:
  // The two hex digits of a read's answer (reply, which ended in "."; body: the read
  // record's body): those after the record's echo where the echo is found in it, else the
  // two before the final "."; or, in out, the line to add when the answer is malformed
  // (what + " ERROR (2)": too short to hold them, " ERROR (1)": the second is no hex digit).
  static bool ReadAnswerDigits(const std::string& reply, std::string_view body,
                               std::string_view what, std::string& out);

 private:
  // The answer of a read, exactly: its two hex digits when the reply is the record's echo,
  // two hex digits and "."; otherwise nothing, and in came what did come after the echo (the
  // whole reply when no echo is in it), without the ".".
  static std::optional<std::string> ExactAnswer(const std::string& reply, std::string_view body, std::string& came);
  enum class TAnswer : std::uint8_t { anValue, anErrorLine, anNone };
  // What a read's answer gives (out: the two digits, or the error line to show) by
  // ReadAnswerDigits; an answer that is not exact is a bad reply in status whatever that
  // says, and, with the options' strictAnswers, gives nothing but a box that quotes it.
  TAnswer TakeAnswer(const std::string& reply, std::string_view body, std::string_view what, std::string& out,
                     TIspStatus& status);

  // The security-bit and status-byte reads' lines; the status of the reads.
  TIspStatus ReadStatusLines(int waitMs);
  // Throws EOperationStopped when the host asked to stop.
  void StopPoint(std::string_view done);
  // ReadFlash over several ranges, with one progress count for all of them.
  bool ReadRanges(const std::vector<std::pair<std::uint16_t, std::uint16_t>>& ranges,
                  std::vector<std::uint8_t>& bytes);
  // The image to program: the host's, else the one the running cycle checked, else the image
  // file, loaded and checked as the window takes it (EImageError when it is refused).
  THexBinList ImageToProgram() const;
  // SuspendKTN's exchange, at 9600 bit/s: its status; true in suspended when it suspended.
  TIspStatus SuspendController(bool& suspended);
  // The controller's error box; the status of a controller that stopped answering.
  TIspStatus ControllerNotAnswering();

  TNAVOPort& m_port;
  TClock& m_clock;
  TIspHost& m_host;
  TIspEngine m_engine;
  std::string m_imageFileName;
  std::optional<THexBinList> m_image;         // the records to program, when the host loaded them
  std::optional<THexBinList> m_cycleImage;    // while a full cycle runs: the image it checked
  std::optional<TIspOptions> m_cycleOptions;  // while a cycle runs: the options it read
  TIspStatus m_status;
  TVerifyReport m_lastVerify;
  TIspStatus m_suspension = TIspStatus::Make(skOk, {});
  std::array<std::uint8_t, kKtnModeSize> m_controllerState{};
  TControllerConfig m_controllerConfig{};
};

}  // namespace kavel
