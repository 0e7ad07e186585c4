// How a front end waits for the chip: the object a session is given, one per front end.
//   A window (TWindowWait) waits as it always has: a round that finds input pauses 50 ms for
//   the chip to finish its answer, with the window's events processed meanwhile, and a round
//   without input lets the window process its events and sleeps until input, an event or the
//   deadline.
//   A front end without a window (TWireSpeedWait) sleeps on the port and takes the reply the
//   moment it follows the record's echo: the wire's own pace.
#pragma once

#include <algorithm>

#include "link/NAVOPort.h"

namespace kavel {

class TReplyWait {
 public:
  virtual ~TReplyWait() = default;
  // True: the reply is taken the moment it follows the record's echo, nothing paused for.
  virtual bool AtWireSpeed() const = 0;
  // One pass over the window's pending events; nothing without a window.
  virtual void ProcessEvents() {}
  // A round without input: returns once input is waiting, an event came or timeoutMs has
  // passed, whichever is first, having given the window its event pass.
  virtual void IdleWait(TNAVOPort& port, int timeoutMs) = 0;
};

// Sleeps on the port for the whole time: no window, the CPU idle, the reply at once.
class TWireSpeedWait final : public TReplyWait {
 public:
  bool AtWireSpeed() const override { return true; }
  void IdleWait(TNAVOPort& port, int timeoutMs) override {
    if (timeoutMs > 0) port.WaitForRxChar(timeoutMs);
  }
};

// A window that cannot see its events coming waits on the port at most kEventPassMs at a
// time between its event passes; a window that can (an event loop watching the port)
// overrides IdleWait and leaves the CPU idle for the whole wait.
class TWindowWait : public TReplyWait {
 public:
  static constexpr int kEventPassMs = 10;
  bool AtWireSpeed() const override { return false; }
  void IdleWait(TNAVOPort& port, int timeoutMs) override {
    ProcessEvents();
    const int nap = std::clamp(timeoutMs, 0, kEventPassMs);
    if (nap > 0) port.WaitForRxChar(nap);
  }
};

}  // namespace kavel
