// How a front end waits for the chip: the object a session is given, one per front end.
//   A paced wait (AtWireSpeed false) polls in rounds: a round that finds input pauses 50 ms
//   for the chip to finish its answer, giving the front end its passes meanwhile
//   (BetweenPolls), and a round without input hands the wait to IdleWait, which returns once
//   input is waiting, the front end has something to do or the deadline has passed.
//   A wait at the wire's speed (TWireSpeedWait) sleeps on the port and takes the reply the
//   moment it follows the record's echo.
#pragma once

#include "link/NAVOPort.h"

namespace kavel {

class TReplyWait {
 public:
  virtual ~TReplyWait() = default;
  // True: the reply is taken the moment it follows the record's echo, nothing paused for.
  virtual bool AtWireSpeed() const = 0;
  // One pass over the front end's own pending work while the reply is awaited; nothing by
  // default.
  virtual void BetweenPolls() {}
  // A round without input: returns once input is waiting, the front end has something to do
  // or timeoutMs has passed, whichever is first, having given the front end its pass.
  virtual void IdleWait(TNAVOPort& port, int timeoutMs) = 0;
};

// Sleeps on the port for the whole time: the CPU idle, the reply at once.
class TWireSpeedWait final : public TReplyWait {
 public:
  bool AtWireSpeed() const override { return true; }
  void IdleWait(TNAVOPort& port, int timeoutMs) override {
    if (timeoutMs > 0) port.WaitForRxChar(timeoutMs);
  }
};

}  // namespace kavel
