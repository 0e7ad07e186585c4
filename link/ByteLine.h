// TByteLine: the line as the controller protocol (link/KTNPort.h) sees it: one byte within a
// time, a purge, one write, and the time the far end is allowed on top of every reply window.
// The programmer's port (TNAVOPort) is one; the protocol objects hold a reference to it, so
// that the port can own them without their headers including each other.
#pragma once

#include <cstdint>
#include <span>

namespace kavel {

class TByteLine {
 public:
  // One received byte (0..255) within timeoutMs (at least 30 ms), or -72 when none came or
  // the port failed. Never throws.
  virtual int ReadByteTimed(int timeoutMs) noexcept = 0;
  // Discards pending input and output; a failure is ignored. Never throws.
  virtual void PurgeQuietly() noexcept = 0;
  // Writes the bytes in one write; EComPort on failure.
  virtual void Send(std::span<const std::uint8_t> bytes) = 0;
  // Milliseconds the far end may take beyond each reply window; never negative.
  virtual int AnswerTimeout() const = 0;

  virtual ~TByteLine() = default;
};

}  // namespace kavel
