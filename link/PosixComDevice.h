// A serial device over POSIX termios. Opened non-blocking; all waits are poll() calls with a
// bound, so nothing here spins or blocks without limit. Its clock and port directory are
// given by its maker (TComDeviceContext); it reads nothing from the process's environment.
#pragma once

#include "link/ComDevice.h"
#include "link/ComNames.h"

#include <utility>

namespace kavel {

class TPosixComDevice final : public TComDevice {
 public:
  // COM names are looked up in context.portDir; devicePath, when given, is opened whatever
  // name is given (a command line's explicit device), the terminal check and the exclusive
  // open still applying.
  explicit TPosixComDevice(const TComDeviceContext& context, std::string devicePath = {})
      : m_clock(context.clock), m_portDir(context.portDir), m_devicePath(std::move(devicePath)) {}
  ~TPosixComDevice() override;
  TPosixComDevice(const TPosixComDevice&) = delete;
  TPosixComDevice& operator=(const TPosixComDevice&) = delete;

  int Open(const std::string& portName) override;
  void Close() override;
  int SetQueueSizes(std::size_t input, std::size_t output) override;
  int SetLine(const TLineTermios& line, bool dtr, bool rts) override;
  int BytesWaiting(std::size_t& count) override;
  int Read(std::uint8_t* buffer, std::size_t n, int timeoutMs, std::size_t& got) override;
  int Write(const std::uint8_t* buffer, std::size_t n, int timeoutMs,
            std::size_t& written) override;
  int Purge(bool input, bool output) override;
  int WaitForInput(int timeoutMs, bool& arrived) override;
  int PollHandle() const override { return m_fd; }
  int SetModemLines(bool dtr, bool rts) override;
  std::string TakeRemarks() override { return std::exchange(m_remark, {}); }

 private:
  // Milliseconds left until deadline; -1 (no limit) when deadline is negative.
  int Remaining(std::int64_t deadline) const;
  // The deadline timeoutMs from now; -1 (none) for a negative timeoutMs.
  std::int64_t DeadlineAfter(int timeoutMs) const;
  // ioctl(fd, request, arg), made again after a transient error: 0 or an errno value.
  template <typename Arg>
  int Ioctl(int fd, unsigned long request, Arg arg) const;
  // poll() for events up to timeoutMs; EIO when the line has hung up.
  int PollFor(short events, int timeoutMs, bool& ready);
  // Asks the driver for its low-latency mode: a USB adapter then hands each received byte
  // on at once instead of holding it for its latency timer (16 ms for FTDI), which the
  // protocol, waiting for every record's reply, would pay once a record. Remembers what to
  // put back on close; a driver that refuses is left as it is.
  void LowLatency();
  TClock& m_clock;
  std::string m_portDir;
  std::string m_devicePath;
  int m_fd = -1;
  bool m_restoreLatency = false;  // low-latency mode was switched on by us
  std::string m_remark;
  std::uint32_t m_bitsPerSecond = 9600;
};

}  // namespace kavel
