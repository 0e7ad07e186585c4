#include "link/NetComDevice.h"

#include <fcntl.h>
#include <libtelnet.h>
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

namespace kavel {
namespace {

constexpr unsigned char kComPortOption = 44;

// What the client offers and wants: binary both ways (all 8 bits pass), suppress-go-ahead,
// and the COM-PORT-OPTION on our side. Anything else the server offers (its echo) is
// refused.
const telnet_telopt_t kTelopts[] = {
    {TELNET_TELOPT_BINARY, TELNET_WILL, TELNET_DO},
    {TELNET_TELOPT_SGA, TELNET_WILL, TELNET_DO},
    {kComPortOption, TELNET_WILL, TELNET_DONT},
    {-1, 0, 0},
};

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

void TNetComDevice::OnTelnetEvent(telnet_t*, telnet_event_t* event, void* self) {
  static_cast<TNetComDevice*>(self)->OnEvent(*event);
}

void TNetComDevice::OnEvent(telnet_event_t& event) {
  switch (event.type) {
    case TELNET_EV_DATA:
      m_rx.insert(m_rx.end(), event.data.buffer, event.data.buffer + event.data.size);
      break;
    case TELNET_EV_SEND:
      m_tx.append(event.data.buffer, event.data.size);
      break;
    case TELNET_EV_SUBNEGOTIATION:
      if (event.sub.telopt == kComPortOption && event.sub.size >= 1) {
        const auto answer = static_cast<std::uint8_t>(event.sub.buffer[0]);
        if (answer > 100) m_acks += static_cast<char>(answer - 100);
        if (answer == kSetBaudRate + 100 && event.sub.size >= 5) {
          const auto* b = reinterpret_cast<const unsigned char*>(event.sub.buffer + 1);
          m_bitsPerSecond = static_cast<std::uint32_t>(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3];
        }
      }
      break;
    case TELNET_EV_ERROR:
      Remark(std::string("the telnet stream is broken: ") + event.error.msg);
      m_gone = true;
      break;
    default:
      break;
  }
}

void TNetComDevice::Remark(const std::string& text) { m_remarks += (m_remarks.empty() ? "" : "\n") + text; }

std::string TNetComDevice::TakeRemarks() { return std::exchange(m_remarks, {}); }

int TNetComDevice::Open(const std::string&) {
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
  // Every reply is awaited: small packets go at once. A peer that vanishes is noticed.
  const int on = 1, idle = 10, interval = 5, count = 3;
  setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  setsockopt(m_fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(m_fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(m_fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(m_fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  m_gone = false;
  m_rx.clear();
  m_tx.clear();
  m_line.reset();
  m_dtr.reset();
  m_rts.reset();
  m_modemLinesDeaf = false;
  if (!m_address.rfc2217) {
    Remark("socket:// has no speed control: the server's speed must be the one given");
    return 0;
  }
  m_telnet = telnet_init(kTelopts, &TNetComDevice::OnTelnetEvent, 0, this);
  if (!m_telnet) {
    Close();
    return ENOMEM;
  }
  telnet_negotiate(m_telnet, TELNET_WILL, kComPortOption);
  telnet_negotiate(m_telnet, TELNET_WILL, TELNET_TELOPT_BINARY);
  telnet_negotiate(m_telnet, TELNET_DO, TELNET_TELOPT_BINARY);
  if (int e = Flush(m_ackMs)) {
    Close();
    return e;
  }
  return 0;
}

void TNetComDevice::Close() {
  if (m_telnet) telnet_free(m_telnet);
  m_telnet = nullptr;
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

int TNetComDevice::SetQueueSizes(std::size_t, std::size_t) { return m_fd < 0 ? EBADF : 0; }

int TNetComDevice::Flush(int timeoutMs) {
  const std::int64_t deadline = m_clock.NowMs() + std::max(timeoutMs, 0);
  while (!m_tx.empty()) {
    const ssize_t n = send(m_fd, m_tx.data(), m_tx.size(), MSG_NOSIGNAL);
    if (n > 0) {
      m_tx.erase(0, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      m_gone = true;
      return GoneError();
    }
    pollfd p{m_fd, POLLOUT, 0};
    if (poll(&p, 1, Left(deadline)) == 0 && Left(deadline) == 0) return ETIMEDOUT;
  }
  return 0;
}

int TNetComDevice::GoneError() const {
  // A server that refuses a second client says so before it closes (ser2net: "Port's device
  // already in use").
  static constexpr std::string_view kInUse = "in use";
  return std::search(m_rx.begin(), m_rx.end(), kInUse.begin(), kInUse.end()) != m_rx.end() ? EBUSY : ECONNRESET;
}

int TNetComDevice::Pump(int timeoutMs, const std::function<bool()>& done) {
  if (m_fd < 0) return EBADF;
  const std::int64_t deadline = m_clock.NowMs() + std::max(timeoutMs, 0);
  for (;;) {
    // Everything that is waiting now.
    for (;;) {
      char buffer[4096];
      const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
      if (n > 0) {
        if (m_telnet) {
          telnet_recv(m_telnet, buffer, static_cast<std::size_t>(n));
          if (Flush(m_ackMs) != 0) m_gone = true;  // the server's negotiation answers go back at once
        } else {
          m_rx.insert(m_rx.end(), buffer, buffer + n);
        }
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n == 0 || errno != EAGAIN) m_gone = true;  // closed, or broken
      break;
    }
    if (m_gone) return GoneError();
    if (done() || Left(deadline) == 0) return 0;
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, Left(deadline)) < 0 && errno != EINTR) return errno;
  }
}

std::vector<bool> TNetComDevice::Commands(const std::vector<TCommand>& commands) {
  std::vector<bool> answered(commands.size(), false);
  if (!m_telnet) return answered;
  m_acks.clear();
  for (const TCommand& c : commands) {
    const std::string body = static_cast<char>(c.number) + c.value;
    telnet_subnegotiation(m_telnet, kComPortOption, body.data(), body.size());
  }
  const auto tally = [&] {  // the first answers of each command number are the first commands'
    bool all = true;
    for (std::size_t i = 0; i < commands.size(); ++i) {
      const auto sent = std::count_if(commands.begin(), commands.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                      [&](const TCommand& c) { return c.number == commands[i].number; });
      answered[i] = std::count(m_acks.begin(), m_acks.end(), static_cast<char>(commands[i].number)) >= sent;
      all = all && answered[i];
    }
    return all;
  };
  if (Flush(m_ackMs) == 0) Pump(m_ackMs, tally);
  tally();
  for (std::size_t i = 0; i < commands.size(); ++i) {
    if (!answered[i] && !commands[i].what.empty() && !m_gone)
      Remark("the server did not acknowledge " + std::string(commands[i].what) + " within " +
             std::to_string(m_ackMs) + " ms");
  }
  return answered;
}

int TNetComDevice::SetLine(const TLineTermios& line, bool dtr, bool rts) {
  if (m_fd < 0) return EBADF;
  if (m_gone) return GoneError();
  if (!m_address.rfc2217) return 0;  // the server's speed is fixed on its side
  const std::uint32_t wanted = line.bitsPerSecond ? line.bitsPerSecond : 9600;
  if (!m_line || m_line->bitsPerSecond != wanted) {
    m_bitsPerSecond = 0;
    if (!Command(kSetBaudRate, Big32(wanted))) return m_gone ? GoneError() : ETIMEDOUT;
    if (m_bitsPerSecond != wanted) {
      Remark("the server runs its port at " + std::to_string(m_bitsPerSecond) + " bit/s, not " + std::to_string(wanted));
      return EINVAL;
    }
  }
  // The rest once, and again only when it changes, all at once; a server that does not
  // acknowledge them leaves remarks.
  static constexpr char kParity[] = {1, 2, 3, 4, 5};  // none, odd, even, mark, space
  const bool first = !m_line;
  std::vector<TCommand> rest;
  if (first || m_line->dataBits != line.dataBits)
    rest.push_back({kSetDataSize, std::string(1, static_cast<char>(line.dataBits)), "the data bits"});
  if (first || m_line->parity != line.parity)
    rest.push_back({kSetParity, std::string(1, kParity[static_cast<int>(line.parity)]), "the parity"});
  if (first || m_line->stopBits != line.stopBits)
    rest.push_back({kSetStopSize, std::string(1, static_cast<char>(line.stopBits >= 2 ? 2 : 1)), "the stop bits"});
  if (first || m_line->hardwareFlow != line.hardwareFlow || m_line->xonXoffOut != line.xonXoffOut)
    rest.push_back({kSetControl, std::string(1, line.hardwareFlow ? 3 : line.xonXoffOut ? 2 : 1), "the flow control"});
  // Modem lines a server does not acknowledge once (it cannot set them) are not asked again.
  const bool modemLines = !m_modemLinesDeaf && (m_dtr != dtr || m_rts != rts);
  if (modemLines) {
    rest.push_back({kSetControl, std::string(1, dtr ? 8 : 9), "DTR"});
    rest.push_back({kSetControl, std::string(1, rts ? 11 : 12), "RTS"});
  }
  const std::vector<bool> answered = rest.empty() ? std::vector<bool>{} : Commands(rest);
  m_line = line;
  m_line->bitsPerSecond = wanted;
  if (modemLines) {
    m_modemLinesDeaf = !answered[answered.size() - 2] || !answered.back();
    m_dtr = dtr;
    m_rts = rts;
  }
  return m_gone ? GoneError() : 0;
}

int TNetComDevice::SetModemLines(bool dtr, bool rts) {
  if (m_fd < 0) return EBADF;
  if (!m_address.rfc2217) return ENOTSUP;  // raw TCP carries no modem lines
  bool ok = false;
  if (!m_modemLinesDeaf) {  // a server that did not acknowledge them before cannot set them now
    const std::vector<bool> answered =
        Commands({{kSetControl, std::string(1, dtr ? 8 : 9), {}}, {kSetControl, std::string(1, rts ? 11 : 12), {}}});
    ok = answered[0] && answered[1];
    m_modemLinesDeaf = !ok;
  }
  if (m_gone) return GoneError();
  if (!ok) Remark("the server did not acknowledge DTR and RTS: it cannot set them (a pseudo-terminal has none)");
  m_dtr = dtr;
  m_rts = rts;
  return ok ? 0 : ETIMEDOUT;
}

int TNetComDevice::BytesWaiting(std::size_t& count) {
  count = 0;
  if (int e = Pump(0, [] { return true; })) return e;
  count = m_rx.size();
  return 0;
}

int TNetComDevice::Read(std::uint8_t* buffer, std::size_t n, int timeoutMs, std::size_t& got) {
  got = 0;
  if (int e = Pump(0, [] { return true; })) return e;
  // What is waiting comes back at once; when nothing is, n bytes or the time-out.
  for (const std::int64_t deadline = timeoutMs < 0 ? -1 : m_clock.NowMs() + timeoutMs;
       m_rx.empty() && (deadline < 0 || Left(deadline) > 0);) {
    if (int e = Pump(deadline < 0 ? kConnectMs : Left(deadline), [&] { return m_rx.size() >= n; })) return e;
    if (m_rx.size() >= n) break;
  }
  while (got < n && !m_rx.empty()) {
    buffer[got++] = m_rx.front();
    m_rx.pop_front();
  }
  return 0;
}

int TNetComDevice::Write(const std::uint8_t* buffer, std::size_t n, int timeoutMs, std::size_t& written) {
  written = 0;
  if (m_fd < 0) return EBADF;
  if (m_gone) return GoneError();
  if (m_telnet) {
    telnet_send(m_telnet, reinterpret_cast<const char*>(buffer), n);  // 0xFF doubled
  } else {
    m_tx.append(reinterpret_cast<const char*>(buffer), n);
  }
  if (int e = Flush(timeoutMs < 0 ? kConnectMs : timeoutMs)) return e;
  written = n;
  return 0;
}

int TNetComDevice::Purge(bool input, bool output) {
  if (m_fd < 0) return EBADF;
  if (int e = Pump(0, [] { return true; })) return e;
  if (m_telnet && (input || output)) {
    Commands({{kPurgeData, std::string(1, input && output ? 3 : input ? 1 : 2), "the purge of its queues"}});
  }
  if (input) m_rx.clear();  // also what came meanwhile
  return m_gone ? GoneError() : 0;
}

int TNetComDevice::WaitForInput(int timeoutMs, bool& arrived) {
  arrived = false;
  if (int e = Pump(timeoutMs, [&] { return !m_rx.empty(); })) return e;
  arrived = !m_rx.empty();
  return 0;
}

}  // namespace kavel
