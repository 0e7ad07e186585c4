// What the ISP engine needs from the window that hosts it. The Qt window implements it; tests
// and a command-line front end implement it without a GUI.
#pragma once

namespace kavel {

class TIspHost {
 public:
  virtual ~TIspHost() = default;
  // One pass over the window's pending events (repaints, clicks). Called between the polling
  // rounds of a reply wait; may start another operation, which shares the engine's state.
  virtual void ProcessEvents() = 0;
  // The delay D in ms (the Delay box, 60 by default). May be 0 or negative if the user says so.
  virtual int Delay() const = 0;
  // The "Wait for confirmation" option (WFC).
  virtual bool WaitForConfirmation() const = 0;
};

}  // namespace kavel
