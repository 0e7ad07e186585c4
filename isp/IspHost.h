// What the device operations need from the program that hosts them: the window implements it
// with Qt; tests and a command-line front end implement it without a GUI.
#pragma once

#include <bitset>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "isp/MessageBoxes.h"
#include "link/NAVOPort.h"

namespace kavel {

// The options an operation works with, read once when it starts.
struct TIspOptions {
  std::int32_t delay = 60;         // D in ms (the Delay box); may be 0 or negative if so entered
  bool waitForConfirmation = false;  // "Wait for confirmation" (WFC): read the chip's replies
  bool sixClock = false;           // "Use 6-clock in full cycle"
  std::string targetBaud = "9600";  // the speed list's selected entry ("" when none)
  bool reuseImageFile = false;     // "/SAME" or "/AUTO": program the image file used last, unasked
  std::bitset<16> eraseBlocks;     // the 4 KB blocks ticked for "Erase blocks" (bit i: block i)
  // Beyond the window's options (it leaves them as they are here):
  std::uint16_t blankStart = 0x0000, blankEnd = 0x3FFF;  // the range the blank check asks about
  bool verify = false;             // the full cycle reads the image back before the status byte
  std::vector<TBaudRate> fastSpeeds;  // tried twice each, in order, before the confirmed search
  std::optional<std::uint8_t> expectDevice;  // the full cycle first checks the device id
  // A read's answer is exactly two hex digits after the echo; anything else is shown as a
  // failure that quotes it, never read as a value (the window reads the digits it can).
  bool strictAnswers = false;
};

// The host in two parts: what every front end must answer (the operations cannot go on
// without it), and what it may show (each with a default that shows nothing).
class TIspHost {
 public:
  virtual ~TIspHost() = default;

  // --- What a front end must answer.
  // The options, as they stand now.
  virtual TIspOptions Options() const = 0;
  // Shows a modal box and returns the identifier of the button pressed (kIdOk ...).
  virtual int Box(const TMessageBoxRequest& request) = 0;
  // Lets the operator choose an image file, starting at preselected (may be empty). The
  // chosen file's full name, or nothing when cancelled.
  virtual std::optional<std::string> ChooseImageFile(const std::string& preselected) = 0;
  // True once the operator asked to stop (a command line's Ctrl-C): long operations then
  // end between records and between steps with EOperationStopped.
  virtual bool StopRequested() const { return false; }

  // --- How it waits.
  // One pass over the window's pending events (repaints, clicks). Called between the polling
  // rounds of a reply wait; may start another operation, which shares the engine's state.
  virtual void ProcessEvents() {}
  // A reply wait's round without input: waits until input is waiting on the port, a window
  // event comes or timeoutMs has passed, whichever is first, and processes the window's
  // pending events once. This default cannot see window events coming, so it waits on the
  // port at most kEventPassMs at a time; a window that can does better and leaves the CPU
  // idle for the whole wait. A host without a window (AwaitsAtWireSpeed) sleeps on the port
  // for the whole time.
  virtual void IdleWait(TNAVOPort& port, int timeoutMs);
  static constexpr int kEventPassMs = 10;
  // True for a host without a window (a command line): its reply waits sleep on the port,
  // pause nowhere, and end the moment the awaited character follows the record's echo. A
  // window waits as its Parts prescribe (false).
  virtual bool AwaitsAtWireSpeed() const { return false; }

  // --- What it may show.
  // The progress text (status-bar panel 0), painted at once; and what it shows now.
  virtual void SetProgress(std::string_view text) { m_progress = text; }
  virtual std::string ProgressText() const { return m_progress; }
  // Records done of total while an image is programmed (after each record), bytes done of
  // total while the flash is read; for a host that draws its own progress. The window shows
  // the text of SetProgress instead.
  virtual void RecordProgress(std::size_t /*done*/, std::size_t /*total*/) {}
  // What the progress is of from now on: "programming", "reading", "verifying".
  virtual void SetActivity(std::string_view /*what*/) {}
  // Enables or disables the whole window (erase and blank check run with it disabled).
  virtual void EnableWindow(bool /*enabled*/) {}
  // A line for the hidden debug box.
  virtual void AppendDebug(std::string_view /*line*/) {}
  // The status box that "Read status" fills: emptied, then one line per result.
  virtual void ClearStatus() {}
  virtual void AddStatusLine(std::string_view /*line*/) {}
  // The image file being programmed, for the caption.
  virtual void ShowImageFile(std::string_view /*fileName*/) {}
  // The speed list shows the entry with this text, or none when it has no such entry.
  virtual void SelectTargetBaud(std::string_view /*text*/) {}
  // The port was opened or closed by an operation: show its state (status bar, choosers).
  virtual void ShowPortState() {}

 private:
  std::string m_progress;
};

// An operation ended early because the host asked it to stop; what says what was done.
class EOperationStopped : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace kavel
