// The device operations, outside any window: one object owns the reply engine and the state
// that the operations hand each other (OperationFailed, KTNSuspended, the image file name),
// and has every operation as a method. The window (or a command-line front end) forwards its
// buttons here and reaches the operator only through the host.
//
// Each operation reads the host's options once, when it starts; an operation called by
// another one works with the caller's options. Port failures that an operation does not
// handle itself propagate as EComPort (the window shows them in its general error report).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "isp/IspEngine.h"
#include "isp/IspHost.h"
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
  // is taken to be ready; false when the port could not be opened or no speed answered.
  // Panel 0 shows "Synchronizing ..." meanwhile and gets its text back on every path.
  bool Synchronize();
  bool Synchronize(const TIspOptions& options);
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
  // the options' reuseImageFile. OperationFailed is 0 afterwards only when every record was
  // written (and, waiting for replies, accepted). Loader and port errors propagate.
  void BSendHexFileClick(bool sender);

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
  // "KTN do not answer" error box when it stopped answering. On every path, a failure
  // included, the port gets its speed back and 750 ms pass before it returns. The window's
  // events are not processed meanwhile.
  bool SuspendKTN();
  // "Full programming cycle": the file choice (a cancel ends everything), the controller's
  // suspension unless done before, the jumper prompt, then MakeFullProgramming.
  void BFullClick();
  // Erase, program, 6-clock (when chosen), status byte 0 and the three security bits, each
  // step ending the cycle when it leaves OperationFailed set; the final box when all went.
  void MakeFullProgramming();
  // "FULL CHIP ERASE": the suspension unless done before, the jumper prompts around a
  // whole-chip erase.
  void FullErase();

  // Synchronizes, then reads the manufacturer id, the device id and the boot code version
  // (answered like the status byte) into the status box as "Manufacturer id: 15" ..., a
  // malformed answer as "Manufacturer id ERROR (1)" or "(2)" and a refused or missing one in
  // a box; then the security bits and status byte as BReadStatusClick does. False when
  // anything could not be read.
  bool ReadIdentification();

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
  void PlainBox(std::string_view text, std::string_view caption);
  // After a setting record was written: its reply (or the pause), OperationFailed and boxes.
  void FinishSetting(const TIspOptions& options, int waitMs, int pauseMs, std::string_view done,
                     bool sender);
  // Gives a read record and returns ReplyText on "."; otherwise shows what + ": " + the
  // failure's words and returns nothing.
  std::optional<std::string> ReadValue(std::string_view body, int waitMs, std::string_view what);
  // The two hex digits of a read's answer, or the line to add when the answer is malformed
  // (what + " ERROR (2)" too short, " ERROR (1)" not a hex digit).
  static bool ReadAnswerDigits(const std::string& reply, std::string_view what, std::string& out);
  // The security-bit and status-byte reads' lines; false when anything could not be read.
  bool ReadStatusLines(int waitMs);
  // Throws EOperationStopped when the host asked to stop.
  void StopPoint(std::string_view done);
  // SuspendKTN's exchange, at 9600 bit/s.
  bool SuspendController();
  // The controller's error box; false.
  bool ControllerNotAnswering();

  TNAVOPort& m_port;
  TClock& m_clock;
  TIspHost& m_host;
  TIspEngine m_engine;
  std::string m_imageFileName;
  std::array<std::uint8_t, kKtnModeSize> m_controllerState{};
  TControllerConfig m_controllerConfig{};
};

}  // namespace kavel
