// What the ISP engine needs from the window that hosts it. The Qt window implements it; tests
// and a command-line front end implement it without a GUI.
#pragma once

#include <string>
#include <string_view>

namespace kavel {

class TIspHost {
 public:
  virtual ~TIspHost() = default;
  // One pass over the window's pending events (repaints, clicks). Called between the polling
  // rounds of a reply wait; may start another operation, which shares the engine's state.
  virtual void ProcessEvents() = 0;
  // A modal box with the text and caption, an OK button and no icon; returns when closed.
  virtual void ShowBox(std::string_view text, std::string_view caption) = 0;
  // The progress text (status-bar panel 0), painted at once.
  virtual void SetProgress(std::string_view text) = 0;
  // Enables or disables the whole window (erase and blank check run with it disabled).
  virtual void EnableWindow(bool enabled) = 0;
  // A line for the hidden debug box.
  virtual void AppendDebug(std::string_view line) = 0;

  // The delay D in ms (the Delay box, 60 by default). May be 0 or negative if the user says so.
  virtual int Delay() const = 0;
  // The "Wait for confirmation" option (WFC).
  virtual bool WaitForConfirmation() const = 0;
  // The "Use 6-clock in full cycle" option.
  virtual bool SixClock() const = 0;
  // The selected target speed's text ("9600" ...).
  virtual std::string TargetBaudText() const = 0;
  // The image file chosen last (may be empty).
  virtual std::string ImageFileName() const = 0;
};

}  // namespace kavel
