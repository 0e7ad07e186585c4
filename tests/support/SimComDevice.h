// The simulated line in virtual time: a serial device (the port's device seam) whose far end
// is the simulated devices, run on the same virtual clock as the code under test. Every byte
// takes its time on the line at the speed set (10 bits a byte), both ways; a write returns
// when its last byte has left, and the devices hear each byte when it has arrived; what they
// send comes back at the times they chose. Waits move the clock instead of sleeping, so an
// image that takes minutes of line time is programmed in milliseconds, byte-exact.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "link/ComDevice.h"
#include "link/WireText.h"
#include "sim/SimDevice.h"
#include "tests/support/VirtualClock.h"

namespace kavel::sim {

class TSimComDevice final : public TComDevice {
 public:
  // The clock is shared with the code under test; it must outlive the device.
  explicit TSimComDevice(TVirtualClock& clock) : m_clock(clock) {}

  // Adds a device on the line (not owned; it must outlive this one).
  void AddDevice(TSimDevice* device) { m_devices.push_back(device); }
  // The name Open accepts; any other fails with ENOENT. Default: any COM name at all.
  void SetPortName(std::string name) { m_portName = std::move(name); }
  // A USB serial adapter between the program and the line: writes return once the adapter
  // took the bytes, before they are on the line, and what comes back is held latencyMs.
  void SetAdapter(int latencyMs) {
    m_adapter = true;
    m_latencyUs = std::int64_t{latencyMs} * 1000;
  }

  // What went over the line, in order: the program's writes (one entry per write, '>', with
  // the time it began) and the bytes that reached the program (one entry per run of bytes,
  // '<', with the time the first was seen); times in virtual ms.
  const std::vector<TWireEntry>& WireLog() const { return m_wireLog; }
  // The line speed now (bit/s).
  std::uint32_t Speed() const { return m_speed; }

  int Open(const std::string& portName) override;
  void Close() override { m_open = false; }
  int SetQueueSizes(std::size_t input, std::size_t output) override;
  int SetLine(const TLineTermios& line, bool dtr, bool rts) override;
  int BytesWaiting(std::size_t& count) override;
  int Read(std::uint8_t* buffer, std::size_t n, int timeoutMs, std::size_t& got) override;
  int Write(const std::uint8_t* buffer, std::size_t n, int timeoutMs,
            std::size_t& written) override;
  int Purge(bool input, bool output) override;
  int WaitForInput(int timeoutMs, bool& arrived) override;

 private:
  struct TIncoming {
    std::int64_t atUs;
    std::uint8_t byte;
    std::uint32_t bitsPerSecond;  // the sender's speed; 0: whatever the line has
  };
  std::int64_t NowUs() const { return m_clock.NowMs() * 1000; }
  std::int64_t ByteUs() const { return 10'000'000 / m_speed; }
  // Puts the devices' new outputs on the line, one byte after another.
  void Schedule(std::vector<TSimOutput>& outputs);
  // Lets the devices send what they send of their own accord up to now.
  void TickDevices();
  std::int64_t NextTickMs() const;  // the earliest a device speaks of its own accord; -1: none
  // Moves the bytes that have arrived by now into the receive queue.
  void Arrive();
  // Moves the clock to the next arrival, but not past untilMs. True when a byte arrived.
  bool WaitUntil(std::int64_t untilMs);
  int Failure() const;  // EBADF when closed, EIO once a device has hung the line up
  void LogReceived(std::uint8_t byte);

  TVirtualClock& m_clock;
  std::vector<TSimDevice*> m_devices;
  std::string m_portName;
  bool m_open = false;
  std::uint32_t m_speed = 9600;
  std::int64_t m_lineFreeUs = 0;   // when the program's side of the line is free again
  std::int64_t m_replyFreeUs = 0;  // when the devices' side of the line is free again
  std::deque<TIncoming> m_incoming;  // on the way, in arrival order
  std::deque<std::uint8_t> m_rx;     // arrived, not yet read
  std::vector<TWireEntry> m_wireLog;
  bool m_lastLogWasReceive = false;
  bool m_adapter = false;
  std::int64_t m_latencyUs = 0;
};

}  // namespace kavel::sim
