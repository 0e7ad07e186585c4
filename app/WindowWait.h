// How the window waits for the chip: as it always has, a round that finds input pauses 50 ms
// for the chip to finish its answer, with the window's events processed meanwhile, and a
// round without input lets the window process its events and sleeps until input, an event or
// the deadline. A window that cannot see its events coming waits on the port at most
// kEventPassMs at a time between its event passes; a window that can (an event loop watching
// the port) overrides IdleWait and leaves the CPU idle for the whole wait.
#pragma once

#include <algorithm>

#include "isp/ReplyWait.h"

namespace kavel {

class TWindowWait : public TReplyWait {
 public:
  static constexpr int kEventPassMs = 10;
  bool AtWireSpeed() const override { return false; }
  // One pass over the window's pending events.
  virtual void ProcessEvents() {}
  void BetweenPolls() override { ProcessEvents(); }
  void IdleWait(TNAVOPort& port, int timeoutMs) override {
    ProcessEvents();
    const int nap = std::clamp(timeoutMs, 0, kEventPassMs);
    if (nap > 0) port.WaitForRxChar(nap);
  }
};

}  // namespace kavel
