#include "link/PosixComDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <linux/serial.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "link/Clock.h"
#include "link/PortClaim.h"
#include "link/Transient.h"

namespace kavel {

std::unique_ptr<TComDevice> MakePosixComDevice(const TComDeviceContext& context) {
  return std::make_unique<TPosixComDevice>(context);
}

int TPosixComDevice::Remaining(std::int64_t deadline) const {
  if (deadline < 0) return -1;
  std::int64_t left = deadline - m_clock.NowMs();
  return left > 0 ? static_cast<int>(left) : 0;
}

std::int64_t TPosixComDevice::DeadlineAfter(int timeoutMs) const {
  return timeoutMs < 0 ? -1 : m_clock.NowMs() + timeoutMs;
}

template <typename Arg>
int TPosixComDevice::Ioctl(int fd, unsigned long request, Arg arg) const {
  return RetryTransient([&] { return ioctl(fd, request, arg) == 0 ? 0 : errno; }, m_clock);
}

TPosixComDevice::~TPosixComDevice() { Close(); }

int TPosixComDevice::Open(const std::string& portName) {
  if (m_fd >= 0) return 0;
  // A map of its own for each opening: devices come and go, and their drivers with them.
  const TPortMap map(m_portDir);
  const auto target = m_devicePath.empty() ? map.Resolve(portName)
                                           : std::optional(TPortMap::TTarget{m_devicePath, false});
  if (!target) return EINVAL;  // not a COM name: it could lead anywhere
  const TEntryClaim claim =
      target->entry ? TEntryClaim::Inspect(target->path) : TEntryClaim{};
  if (claim.State() == TClaimState::csStale) return ENOENT;
  // Only terminals, told without opening: opening some devices has effects of its own.
  if (int err = map.CheckTerminal(target->path)) return err;
  int fd = -1;
  if (int err = RetryTransient(
          [&] {
            fd = ::open(target->path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            return fd < 0 ? errno : 0;
          },
          m_clock))
    return err;
  // A claimant (the simulated chip) that ended while we opened may have left its pseudo-
  // terminal's number to a stranger's terminal: let go before anything touches the line.
  const int refused = !isatty(fd) ? ENOTTY
                      : claim.State() == TClaimState::csLive && !claim.StillHeld() ? ENOENT
                                                                                    : 0;
  if (refused) {
    ::close(fd);
    return refused;
  }
  // The tty's exclusive mode does not hold against root, so take a lock as well: flock is
  // per open file, so it also refuses a second open inside this process.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno == EWOULDBLOCK ? EBUSY : errno;
    ::close(fd);
    return err;
  }
  // Keeps out programs that do not take the lock; its failure is not fatal, the lock holds.
  Ioctl(fd, TIOCEXCL, nullptr);
  m_fd = fd;
  LowLatency();
  return 0;
}

void TPosixComDevice::LowLatency() {
  m_restoreLatency = false;
  serial_struct serial{};
  int err = Ioctl(m_fd, TIOCGSERIAL, &serial);
  if (err == 0 && (serial.flags & ASYNC_LOW_LATENCY) != 0) {
    m_remark = "low-latency mode was on already";
    return;
  }
  if (err == 0) {
    serial.flags |= ASYNC_LOW_LATENCY;
    err = Ioctl(m_fd, TIOCSSERIAL, &serial);
  }
  if (err == 0) {
    m_restoreLatency = true;
    m_remark = "low-latency mode on";
  } else {
    m_remark = std::string("the driver keeps its latency (low-latency mode: ") + std::strerror(err) + ")";
  }
}

void TPosixComDevice::Close() {
  if (m_fd < 0) return;
  if (m_restoreLatency) {
    serial_struct serial{};
    if (Ioctl(m_fd, TIOCGSERIAL, &serial) == 0) {
      serial.flags &= ~ASYNC_LOW_LATENCY;
      Ioctl(m_fd, TIOCSSERIAL, &serial);
    }
    m_restoreLatency = false;
  }
  // A pty slave kept open by its master's owner keeps the exclusive flag past our close.
  Ioctl(m_fd, TIOCNXCL, nullptr);
  ::close(m_fd);
  m_fd = -1;
}

int TPosixComDevice::SetQueueSizes(std::size_t, std::size_t) {
  // The kernel's tty queues have fixed sizes (4 KB), larger than the 1 KB asked for.
  return m_fd < 0 ? EBADF : 0;
}

int TPosixComDevice::SetLine(const TLineTermios& line, bool dtr, bool rts) {
  if (m_fd < 0) return EBADF;
  if (int err = SetLineTermios(m_fd, line)) return err;
  m_bitsPerSecond = line.bitsPerSecond ? line.bitsPerSecond : 9600;
  int on = (dtr ? TIOCM_DTR : 0) | (rts ? TIOCM_RTS : 0);
  int off = (dtr ? 0 : TIOCM_DTR) | (rts ? 0 : TIOCM_RTS);
  for (auto [request, bits] : {std::pair{TIOCMBIS, on}, std::pair{TIOCMBIC, off}}) {
    if (bits == 0) continue;
    // Devices without modem lines (ptys, some USB bridges) refuse these; that is no failure.
    const int err = Ioctl(m_fd, request, &bits);
    if (err != 0 && err != ENOTTY && err != EINVAL) return err;
  }
  return 0;
}

int TPosixComDevice::SetModemLines(bool dtr, bool rts) {
  if (m_fd < 0) return EBADF;
  int on = (dtr ? TIOCM_DTR : 0) | (rts ? TIOCM_RTS : 0);
  int off = (dtr ? 0 : TIOCM_DTR) | (rts ? 0 : TIOCM_RTS);
  for (auto [request, bits] : {std::pair{TIOCMBIS, on}, std::pair{TIOCMBIC, off}}) {
    if (bits == 0) continue;
    if (int err = Ioctl(m_fd, request, &bits)) return err;  // a pseudo-terminal has none: ENOTTY
  }
  return 0;
}

int TPosixComDevice::PollFor(short events, int timeoutMs, bool& ready) {
  ready = false;
  // A signal cuts poll() short; go on with the time that is left, not the whole time-out,
  // or a periodic signal would keep the wait alive for ever.
  const std::int64_t deadline = DeadlineAfter(timeoutMs);
  pollfd p{m_fd, events, 0};
  int r;
  while ((r = ::poll(&p, 1, Remaining(deadline))) < 0 && errno == EINTR) {
  }
  if (r < 0) return errno;
  if (r == 0) return 0;
  if (p.revents & POLLNVAL) return EBADF;
  if (p.revents & (POLLHUP | POLLERR)) return EIO;  // unplugged or hung up
  ready = (p.revents & events) != 0;
  return 0;
}

int TPosixComDevice::BytesWaiting(std::size_t& count) {
  count = 0;
  if (m_fd < 0) return EBADF;
  bool ready = false;
  if (int err = PollFor(POLLIN, 0, ready)) return err;
  int n = 0;
  if (int err = Ioctl(m_fd, FIONREAD, &n)) return err;
  count = n > 0 ? static_cast<std::size_t>(n) : 0;
  return 0;
}

int TPosixComDevice::Read(std::uint8_t* buffer, std::size_t n, int timeoutMs,
                          std::size_t& got) {
  got = 0;
  if (m_fd < 0) return EBADF;
  if (n == 0) return 0;
  const std::int64_t deadline = DeadlineAfter(timeoutMs);
  bool first = true;
  for (;;) {
    ssize_t r = ::read(m_fd, buffer + got, n - got);
    if (r > 0) {
      got += static_cast<std::size_t>(r);
      if (first || got == n) return 0;  // what was already waiting comes back at once
    } else if (r == 0) {
      // With VMIN = 0 an empty queue reads as 0 bytes; so does a hung-up line, which poll tells.
      bool ready = false;
      if (int err = PollFor(POLLIN, 0, ready)) return err;
    } else if (errno != EAGAIN && errno != EINTR) {
      return errno;
    }
    first = false;
    int left = Remaining(deadline);
    if (left == 0) return 0;
    bool ready = false;
    if (int err = PollFor(POLLIN, left, ready)) return err;
    if (!ready && Remaining(deadline) == 0) return 0;
  }
}

int TPosixComDevice::Write(const std::uint8_t* buffer, std::size_t n, int timeoutMs,
                           std::size_t& written) {
  written = 0;
  if (m_fd < 0) return EBADF;
  const std::int64_t deadline = DeadlineAfter(timeoutMs);
  while (written < n) {
    ssize_t r = ::write(m_fd, buffer + written, n - written);
    if (r > 0) {
      written += static_cast<std::size_t>(r);
      continue;
    }
    if (r < 0 && errno != EAGAIN && errno != EINTR) return errno;
    int left = Remaining(deadline);
    if (left == 0) return ETIMEDOUT;  // the far end stopped taking bytes
    bool ready = false;
    if (int err = PollFor(POLLOUT, left, ready)) return err;
  }
  // Wait until the bytes have left the line, sleeping about as long as they need.
  for (;;) {
    int queued = 0;
    if (Ioctl(m_fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return 0;
    int left = Remaining(deadline);
    if (left == 0) return ETIMEDOUT;  // still queued: the line is held back
    long need = static_cast<long>(queued) * 10 * 1000 / static_cast<long>(m_bitsPerSecond) + 1;
    int nap = static_cast<int>(std::min<long>(need, 20));
    if (left > 0) nap = std::min(nap, left);
    m_clock.SleepMs(nap);
  }
}

int TPosixComDevice::Purge(bool input, bool output) {
  if (m_fd < 0) return EBADF;
  if (!input && !output) return 0;
  int which = input && output ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH);
  return RetryTransient([&] { return tcflush(m_fd, which) == 0 ? 0 : errno; }, m_clock);
}

int TPosixComDevice::WaitForInput(int timeoutMs, bool& arrived) {
  arrived = false;
  if (m_fd < 0) return EBADF;
  return PollFor(POLLIN, timeoutMs, arrived);
}

}  // namespace kavel
