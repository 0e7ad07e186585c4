#include "link/NetComDevice.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <utility>

#include "link/Clock.h"
#include "link/Rfc2217.h"

namespace kavel {
namespace {

using S = TNetStream;
namespace cpo = rfc2217;  // the COM-PORT-OPTION's commands and values

std::string OneByte(std::uint8_t v) { return std::string(1, static_cast<char>(v)); }

std::string Big32(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

}  // namespace

bool LooksLikeNetAddress(std::string_view text) {
  return text.rfind("rfc2217://", 0) == 0 || text.rfind("socket://", 0) == 0;
}

std::optional<TNetAddress> ParseNetAddress(std::string_view text) {
  TNetAddress a;
  if (text.rfind("rfc2217://", 0) == 0) {
    text.remove_prefix(10);
  } else if (text.rfind("socket://", 0) == 0) {
    a.rfc2217 = false;
    text.remove_prefix(9);
  } else {
    return std::nullopt;
  }
  std::size_t colon;
  if (!text.empty() && text.front() == '[') {  // [IPv6]:port
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return std::nullopt;
    a.host = text.substr(1, close - 1);
    colon = close + 1;
  } else {
    colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    a.host = text.substr(0, colon);
  }
  a.port = text.substr(colon + 1);
  const bool digits = !a.port.empty() && a.port.size() <= 5 &&
                      std::all_of(a.port.begin(), a.port.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (a.host.empty() || !digits || std::stoi(a.port) == 0 || std::stoi(a.port) > 65535) return std::nullopt;
  return a;
}

TNetComDevice::TNetComDevice(std::string url, TClock& clock, int ackMs)
    : m_url(std::move(url)), m_clock(clock), m_ackMs(ackMs) {}

int TNetComDevice::Left(std::int64_t deadline) const {
  return static_cast<int>(std::max<std::int64_t>(0, deadline - m_clock.NowMs()));
}

TNetComDevice::~TNetComDevice() { Close(); }

std::string TNetComDevice::TakeRemarks() {
  if (m_stream) {
    if (const std::string said = m_stream->TakeRemarks(); !said.empty()) m_remarks.Add(said);
  }
  return m_remarks.Take();
}

int TNetComDevice::Fail(int err, const std::string& words) {
  m_failure = words;
  m_remarks.Add(words);
  return err;
}

int TNetComDevice::Open(const std::string&) {
  m_failure.clear();
  if (m_fd >= 0) return 0;
  const auto address = ParseNetAddress(m_url);
  if (!address) return EINVAL;
  m_address = *address;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(m_address.host.c_str(), m_address.port.c_str(), &hints, &found) != 0 || !found) return EHOSTUNREACH;
  int err = ECONNREFUSED;
  const std::int64_t deadline = m_clock.NowMs() + kConnectMs;
  for (addrinfo* ai = found; ai && m_fd < 0; ai = ai->ai_next) {
    const int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) continue;
    int e = 0;
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
      e = errno;
      if (e == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int r;
        while ((r = poll(&p, 1, Left(deadline))) < 0 && errno == EINTR) {
        }
        socklen_t len = sizeof e;
        if (r == 0) {
          e = ETIMEDOUT;
        } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len) != 0) {
          e = errno;
        }
      }
    }
    if (e != 0) {
      ::close(fd);
      err = e;
      continue;
    }
    m_fd = fd;
  }
  freeaddrinfo(found);
  if (m_fd < 0) return err;
  m_stream = std::make_unique<TNetStream>(m_address.rfc2217);
  // Every reply is awaited: small packets go at once. A peer that vanishes is noticed.
  const int on = 1, idle = 10, interval = 5, count = 3;
  setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  setsockopt(m_fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(m_fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(m_fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(m_fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  m_gone = false;
  m_line.reset();
  m_dtr.reset();
  m_rts.reset();
  m_modemLinesDeaf = false;
  if (!m_address.rfc2217) {
    m_remarks.Add("socket:// has no speed control: the server's speed must be the one given");
    return 0;
  }
  m_stream->Offer();
  if (int e = Flush(m_ackMs)) {
    Close();
    return e;
  }
  return 0;
}

void TNetComDevice::Close() {
  if (m_stream) {  // what it said is kept for the trace
    if (const std::string said = m_stream->TakeRemarks(); !said.empty()) m_remarks.Add(said);
  }
  m_stream.reset();
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

int TNetComDevice::SetQueueSizes(std::size_t, std::size_t) {
  m_failure.clear();
  return m_fd < 0 ? EBADF : 0;
}

bool TNetComDevice::SendNow() {
  while (!m_gone && !m_stream->Outgoing().empty()) {
    const std::string_view out = m_stream->Outgoing();
    const ssize_t n = send(m_fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      m_stream->Sent(static_cast<std::size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else if (n == 0 || errno != EINTR) {
      m_gone = true;
    }
  }
  return !m_gone;
}

int TNetComDevice::Flush(int timeoutMs) {
  const std::int64_t deadline = m_clock.NowMs() + std::max(timeoutMs, 0);
  for (;;) {
    if (!SendNow()) return GoneError();
    if (m_stream->Outgoing().empty()) return 0;
    if (Left(deadline) == 0) return ETIMEDOUT;
    pollfd p{m_fd, POLLOUT, 0};
    if (poll(&p, 1, Left(deadline)) < 0 && errno != EINTR) return errno;
  }
}

int TNetComDevice::GoneError() const {
  // A server that refuses a second client says so before it closes (ser2net: "Port's device
  // already in use").
  return m_stream && m_stream->Holds("in use") ? EBUSY : ECONNRESET;
}

int TNetComDevice::LostError() {
  if (m_stream && !m_stream->Broken().empty()) {
    m_failure = m_stream->Broken();  // the stream remarked it when it broke
    return EPROTO;
  }
  return m_gone ? GoneError() : 0;
}

int TNetComDevice::Pump(int timeoutMs, const std::function<bool()>& done) {
  if (m_fd < 0) return EBADF;
  const std::int64_t deadline = m_clock.NowMs() + std::max(timeoutMs, 0);
  for (;;) {
    // What is waiting now, at most a buffer's worth between looks at done() and the deadline:
    // a server that never stops sending keeps no wait from its end.
    for (std::size_t taken = 0; taken < S::kInputCap && m_stream->Broken().empty();) {
      // The answers to the server's negotiation go back at once; while too many of them
      // cannot go, the server is not read.
      if (!SendNow() || m_stream->Outgoing().size() >= S::kOutputCap) break;
      std::uint8_t buffer[4096];
      const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
      if (n > 0) {
        m_stream->Receive(buffer, static_cast<std::size_t>(n));
        taken += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) m_gone = true;  // closed, or broken
      break;
    }
    if (int e = LostError()) return e;
    if (done() || Left(deadline) == 0) return 0;
    const std::size_t waiting = m_stream->Outgoing().size();
    pollfd p{m_fd, static_cast<short>((waiting < S::kOutputCap ? POLLIN : 0) | (waiting > 0 ? POLLOUT : 0)), 0};
    if (poll(&p, 1, Left(deadline)) < 0 && errno != EINTR) return errno;
  }
}

std::vector<bool> TNetComDevice::Commands(const std::vector<TCommand>& commands) {
  std::vector<bool> answered(commands.size(), false);
  if (!m_address.rfc2217) return answered;
  m_stream->ClearAcknowledgements();
  for (const TCommand& c : commands) m_stream->SendCommand(c.number, c.value);
  const auto tally = [&] {  // the first answers of each command number are the first commands'
    bool all = true;
    for (std::size_t i = 0; i < commands.size(); ++i) {
      const auto sent = std::count_if(commands.begin(), commands.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                      [&](const TCommand& c) { return c.number == commands[i].number; });
      answered[i] = m_stream->Acknowledged(commands[i].number) >= static_cast<std::uint32_t>(sent);
      all = all && answered[i];
    }
    return all;
  };
  // The commands go as the wait begins; one bound for both.
  Pump(m_ackMs, tally);
  if (!m_stream->Broken().empty()) return answered;
  tally();
  for (std::size_t i = 0; i < commands.size(); ++i) {
    if (!answered[i] && !commands[i].what.empty() && !m_gone) {
      std::string remark = "the server did not acknowledge ";
      remark += commands[i].what;
      remark += " within ";
      remark += std::to_string(m_ackMs);
      remark += " ms";
      m_remarks.Add(remark);
    }
  }
  return answered;
}

int TNetComDevice::SetLine(const TLineTermios& line, bool dtr, bool rts) {
  m_failure.clear();
  if (m_fd < 0) return EBADF;
  if (int e = LostError()) return e;
  if (!m_address.rfc2217) return 0;  // the server's speed is fixed on its side
  const std::uint32_t wanted = line.bitsPerSecond ? line.bitsPerSecond : 9600;
  if (!m_line || m_line->bitsPerSecond != wanted) {
    m_stream->ForgetSpeed();
    const bool answered = Command(cpo::kSetBaudRate, Big32(wanted));
    if (int e = LostError()) return e;
    const std::string speed = std::to_string(wanted) + " bit/s";
    if (!answered) {
      return Fail(ETIMEDOUT, "the server did not acknowledge the speed of " + speed + " within " +
                                 std::to_string(m_ackMs) + " ms");
    }
    const std::optional<std::uint32_t> runs = m_stream->Speed();
    if (!runs) return Fail(EPROTO, "the server answered the speed of " + speed + " without a speed");
    if (*runs != wanted) {
      return Fail(EINVAL, "the server runs its port at " + std::to_string(*runs) + " bit/s, not " +
                              std::to_string(wanted));
    }
  }
  // The rest once, and again only when it changes, all at once; a server that does not
  // acknowledge them leaves remarks.
  static constexpr std::uint8_t kParity[] = {cpo::kParityNone, cpo::kParityOdd, cpo::kParityEven,
                                             cpo::kParityMark, cpo::kParitySpace};  // by TLineParity
  const bool first = !m_line;
  std::vector<TCommand> rest;
  if (first || m_line->dataBits != line.dataBits)
    rest.push_back({cpo::kSetDataSize, OneByte(static_cast<std::uint8_t>(line.dataBits)), "the data bits"});
  if (first || m_line->parity != line.parity)
    rest.push_back({cpo::kSetParity, OneByte(kParity[static_cast<int>(line.parity)]), "the parity"});
  if (first || m_line->stopBits != line.stopBits)
    rest.push_back({cpo::kSetStopSize, OneByte(line.stopBits >= 2 ? cpo::kStopTwo : cpo::kStopOne), "the stop bits"});
  if (first || m_line->hardwareFlow != line.hardwareFlow || m_line->xonXoffOut != line.xonXoffOut)
    rest.push_back({cpo::kSetControl,
                    OneByte(line.hardwareFlow ? cpo::kControlHardware
                            : line.xonXoffOut ? cpo::kControlXonXoff
                                              : cpo::kControlNoFlow),
                    "the flow control"});
  if (!rest.empty()) (void)Commands(rest);
  if (int e = LostError()) return e;
  m_line = line;
  m_line->bitsPerSecond = wanted;
  // The modem lines go as they are asked, but nothing waits for their acknowledgement: a
  // server in front of a pseudo-terminal never gives it. Levels that must hold (a boot
  // entry's) are set by SetModemLines, which waits.
  if (!m_modemLinesDeaf && (m_dtr != dtr || m_rts != rts)) {
    m_stream->SendCommand(cpo::kSetControl, OneByte(dtr ? cpo::kControlDtrOn : cpo::kControlDtrOff));
    m_stream->SendCommand(cpo::kSetControl, OneByte(rts ? cpo::kControlRtsOn : cpo::kControlRtsOff));
    m_dtr = dtr;
    m_rts = rts;
    if (int e = Pump(0, [] { return true; })) return e;
  }
  return 0;
}

int TNetComDevice::SetModemLines(bool dtr, bool rts) {
  m_failure.clear();
  if (m_fd < 0) return EBADF;
  if (!m_address.rfc2217) return ENOTSUP;  // raw TCP carries no modem lines
  bool ok = false;
  if (!m_modemLinesDeaf) {  // a server that did not acknowledge them before cannot set them now
    const std::vector<bool> answered = Commands(
        {{cpo::kSetControl, OneByte(dtr ? cpo::kControlDtrOn : cpo::kControlDtrOff), {}},
         {cpo::kSetControl, OneByte(rts ? cpo::kControlRtsOn : cpo::kControlRtsOff), {}}});
    ok = answered[0] && answered[1];
    m_modemLinesDeaf = !ok;
  }
  if (int e = LostError()) return e;
  m_dtr = dtr;
  m_rts = rts;
  if (!ok) return Fail(ETIMEDOUT, "the server did not acknowledge DTR and RTS: it cannot set them (a pseudo-terminal has none)");
  return 0;
}

int TNetComDevice::BytesWaiting(std::size_t& count) {
  m_failure.clear();
  count = 0;
  if (int e = Pump(0, [] { return true; })) return e;
  count = m_stream->Buffered();
  return 0;
}

int TNetComDevice::Read(std::uint8_t* buffer, std::size_t n, int timeoutMs, std::size_t& got) {
  m_failure.clear();
  got = 0;
  if (int e = Pump(0, [] { return true; })) return e;
  // What is waiting comes back at once; when nothing is, n bytes or the time-out.
  for (const std::int64_t deadline = timeoutMs < 0 ? -1 : m_clock.NowMs() + timeoutMs;
       m_stream->Buffered() == 0 && (deadline < 0 || Left(deadline) > 0);) {
    if (int e = Pump(deadline < 0 ? kConnectMs : Left(deadline), [&] { return m_stream->Buffered() >= n; })) return e;
    if (m_stream->Buffered() >= n) break;
  }
  got = m_stream->Take(buffer, n);
  return 0;
}

int TNetComDevice::Write(const std::uint8_t* buffer, std::size_t n, int timeoutMs, std::size_t& written) {
  m_failure.clear();
  written = 0;
  if (m_fd < 0) return EBADF;
  if (int e = LostError()) return e;
  m_stream->SendData(buffer, n);
  if (int e = Flush(timeoutMs < 0 ? kConnectMs : timeoutMs)) return e;
  written = n;
  return 0;
}

int TNetComDevice::Purge(bool input, bool output) {
  m_failure.clear();
  if (m_fd < 0) return EBADF;
  if (int e = Pump(0, [] { return true; })) return e;
  if (m_address.rfc2217 && (input || output)) {
    const std::uint8_t queues = input && output ? cpo::kPurgeBoth : input ? cpo::kPurgeReceive : cpo::kPurgeTransmit;
    Commands({{cpo::kPurgeData, OneByte(queues), "the purge of its queues"}});
  }
  if (int e = LostError()) return e;
  if (input) m_stream->DiscardInput();  // also what came meanwhile
  return 0;
}

int TNetComDevice::WaitForInput(int timeoutMs, bool& arrived) {
  m_failure.clear();
  arrived = false;
  if (int e = Pump(timeoutMs, [&] { return m_stream->Buffered() > 0; })) return e;
  arrived = m_stream->Buffered() > 0;
  return 0;
}

}  // namespace kavel
