// TByteLine: the line as the controller protocol (link/KTNPort.h) sees it: one byte within a
// time, a purge, one write, and the time the far end is allowed on top of every reply window.
// The programmer's port (TNAVOPort) is one; the protocol objects hold a reference to it, so
// that the port can own them without their headers including each other.
#pragma once

#include <cstdint>
#include <span>

#include "link/KTNFrames.h"

namespace kavel {

class TByteLine {
 public:
  virtual ~TByteLine() = default;

  // One received byte within timeoutMs (at least 30 ms): krOk with the byte; krNoByte when
  // none came in time; krPortFailed with the port error's message when the port failed (it
  // is not thrown).
  virtual TKtnRead ReadByteTimed(int timeoutMs) = 0;
  // Discards pending input and output: krOk, or krPortFailed with the port error's message
  // (it is not thrown).
  virtual TKtnOutcome PurgeQuietly() = 0;
  // Writes the bytes in one write; EComPort on failure.
  virtual void Send(std::span<const std::uint8_t> bytes) = 0;
  // Milliseconds the far end may take beyond each reply window; never negative.
  virtual int AnswerTimeout() const = 0;
};

}  // namespace kavel
