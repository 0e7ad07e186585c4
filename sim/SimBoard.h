// The board in the fixture's socket: the devices it carries (the chip, and the communication
// controller when there is one), which can be taken out of the socket and put back. While it
// is out they hear nothing and say nothing, as an empty socket; the line itself stays up. Put
// back, it powers up afresh (TSimDevice::Restart): what its parts keep without power stays,
// the rest is as at power-on.
#pragma once

#include <vector>

#include "sim/SimDevice.h"

namespace kavel::sim {

class TSimBoard final : public TSimDevice {
 public:
  explicit TSimBoard(bool in = true) : m_in(in) {}

  // Adds a device the board carries (not owned; it must outlive the board).
  void AddDevice(TSimDevice* device) { m_devices.push_back(device); }

  bool In() const { return m_in; }
  // Takes the board out, or puts it back and powers it up at nowMs. Returns whether it is in
  // now. What the devices had scheduled and not yet sent is the line's to drop.
  bool Toggle(std::int64_t nowMs);

  void Receive(std::uint8_t byte, std::uint32_t bitsPerSecond, std::int64_t nowMs,
               std::vector<TSimOutput>& out) override;
  void Tick(std::int64_t nowMs, std::vector<TSimOutput>& out) override;
  std::int64_t NextTickMs() const override;
  void ModemLines(bool dtr, bool rts, std::int64_t nowMs) override;
  bool WantsHangUp() const override;
  void Restart(std::int64_t nowMs) override;

 private:
  std::vector<TSimDevice*> m_devices;
  bool m_in;
};

}  // namespace kavel::sim
