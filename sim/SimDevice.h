// Something on the simulated serial line: it hears every byte the program sends, with the
// line speed at that moment, and schedules what it sends back.
//
// sim/ is the tests' oracle: it models the chip and the controller from their descriptions
// and shares none of the program's protocol code (isp/, link/KTNFrames), so that a fault
// there cannot hide itself by being on both sides of the line. It uses link/ only for what
// is no protocol of the chip or the controller: the port directory and its claims, wire-log
// text, number parsing, and the numbers of RFC 2217 (link/Rfc2217.h: a published standard,
// which the network port's tests check against a server of their own).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kavel::sim {

// One scheduled transmission.
struct TSimOutput {
  std::int64_t atMs = 0;             // when it goes on the line (simulation clock)
  std::string bytes;                 // what is sent
  std::uint32_t bitsPerSecond = 0;   // the sender's speed; 0 = whatever the line has
};

// A byte received or sent at a speed other than the receiver's arrives garbled. The rule is
// deterministic and never yields a printable character, a carriage return or a line feed:
// the top five bits become ones and the low three keep the original's top three bits.
inline std::uint8_t Garble(std::uint8_t byte) {
  return static_cast<std::uint8_t>(0xF8u | (byte >> 5));
}

class TSimDevice {
 public:
  virtual ~TSimDevice() = default;
  // A byte sent by the program at bitsPerSecond, heard at nowMs. Appends to out whatever the
  // device answers; outputs must be scheduled no earlier than nowMs.
  virtual void Receive(std::uint8_t byte, std::uint32_t bitsPerSecond, std::int64_t nowMs,
                       std::vector<TSimOutput>& out) = 0;
  // The line's time is nowMs: appends to out what the device sends of its own accord (no
  // earlier than nowMs). Called whenever the line's time moves.
  virtual void Tick(std::int64_t /*nowMs*/, std::vector<TSimOutput>& /*out*/) {}
  // When the device next wants a Tick (it has something to send then); -1: not before it
  // hears something.
  virtual std::int64_t NextTickMs() const { return -1; }
  // The line's DTR and RTS as the program set them (true = on), at nowMs: a board may wire
  // them to the chip's reset lines. Only a line that carries modem lines calls it.
  virtual void ModemLines(bool /*dtr*/, bool /*rts*/, std::int64_t /*nowMs*/) {}
  // True once the device wants the line hung up (after its last scheduled output).
  virtual bool WantsHangUp() const { return false; }
  // The device is powered up afresh at nowMs (its board was put back into the socket): what
  // it keeps without power stays, everything else is as when it was made.
  virtual void Restart(std::int64_t /*nowMs*/) {}
};

}  // namespace kavel::sim
