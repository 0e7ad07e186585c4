// What the window's operations need from the program that hosts them: the window implements
// it with Qt; tests implement it without a GUI.
#pragma once

#include <bitset>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/MessageBoxes.h"
#include "app/WindowWait.h"
#include "link/BaudRate.h"
#include "link/NAVOPort.h"

namespace kavel {

// The options an operation works with, read once when it starts.
struct TIspOptions {
  std::int32_t delay = 60;         // D in ms (the Delay box); may be 0 or negative if so entered
  bool waitForConfirmation = false;  // "Wait for confirmation" (WFC): read the chip's replies
  bool sixClock = false;           // "Use 6-clock in full cycle"
  TBaudRate targetBaud = br9600;   // the speed list's selected rate (br9600 when none is selected)
  bool reuseImageFile = false;     // "/SAME" or "/AUTO": program the image file used last, unasked
  std::bitset<16> eraseBlocks;     // the 4 KB blocks ticked for "Erase blocks" (bit i: block i)
};

// The host: the window, or a test's stand-in. It is also the window's way of waiting for the
// chip (TWindowWait: its event passes between polling rounds), given to the session.
class TIspHost : public TWindowWait {
 public:
  // --- What the window must answer.
  // The options, as they stand now.
  virtual TIspOptions Options() const = 0;
  // Shows a modal box and returns the identifier of the button pressed (kIdOk ...).
  virtual int Box(const TMessageBoxRequest& request) = 0;
  // Lets the operator choose an image file, starting at preselected (may be empty). The
  // chosen file's full name, or nothing when cancelled.
  virtual std::optional<std::string> ChooseImageFile(const std::string& preselected) = 0;
  // True once the operator asked to stop: long operations then end between records and
  // between steps with EOperationStopped.
  virtual bool StopRequested() const { return false; }

  // --- What it may show.
  // The progress text (status-bar panel 0), painted at once; and what it shows now.
  virtual void SetProgress(std::string_view text) { m_progress = text; }
  virtual std::string ProgressText() const { return m_progress; }
  // Records done of total while an image is programmed (after each record); for a host that
  // draws its own progress. The window shows the text of SetProgress instead.
  virtual void RecordProgress(std::size_t /*done*/, std::size_t /*total*/) {}
  // What the progress is of from now on ("programming").
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
  // The speed list shows the entry of this rate, or none when it has no such entry.
  virtual void SelectTargetBaud(TBaudRate /*rate*/) {}
  // The port was opened or closed by an operation: show its state (status bar, choosers).
  virtual void ShowPortState() {}

 private:
  std::string m_progress;
};

// Disables the window and shows text in panel 0 for its lifetime; afterwards the panel is
// empty and the window enabled again, on every path.
class TBusyWindow {
 public:
  TBusyWindow(TIspHost& host, std::string_view text) : m_host(host) {
    m_host.EnableWindow(false);
    m_host.SetProgress(text);
  }
  ~TBusyWindow() {
    try {
      m_host.SetProgress("");
    } catch (...) {
    }
    try {
      m_host.EnableWindow(true);
    } catch (...) {
    }
  }
  TBusyWindow(const TBusyWindow&) = delete;
  TBusyWindow& operator=(const TBusyWindow&) = delete;

 private:
  TIspHost& m_host;
};

}  // namespace kavel
