#include "sim/SimNetLine.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libtelnet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "link/Clock.h"
#include "link/Rfc2217.h"
#include "link/WireText.h"

namespace kavel::sim {
namespace {

namespace cpo = rfc2217;  // the COM-PORT-OPTION's commands and values
using cpo::kComPortOption;

// What the server offers and wants: binary both ways, suppress-go-ahead, and the client's
// COM-PORT-OPTION.
const telnet_telopt_t kTelopts[] = {
    {TELNET_TELOPT_BINARY, TELNET_WILL, TELNET_DO},
    {TELNET_TELOPT_SGA, TELNET_WILL, TELNET_DO},
    {kComPortOption, TELNET_WONT, TELNET_DO},
    {-1, 0, 0},
};

}  // namespace

TSimNetLine::TSimNetLine() : m_origin(TSystemClock::Instance().NowMs()) {}

TSimNetLine::~TSimNetLine() {
  Drop();
  if (m_listen >= 0) close(m_listen);
}

std::int64_t TSimNetLine::NowMs() const { return TSystemClock::Instance().NowMs() - m_origin; }

void TSimNetLine::Log(char direction, const std::string& bytes) {
  if (!m_log || bytes.empty()) return;
  std::fputs((WireLogLine({NowMs(), direction, m_speed, bytes}) + "\n").c_str(), m_log);
  std::fflush(m_log);
}

bool TSimNetLine::Listen(int port, std::string& error) {
  if (!m_wake.Ok()) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int on = 1;
  setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (m_listen < 0 || bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(m_listen, 1) != 0) {
    error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool TSimNetLine::TakeAsked() {
  const TSimWake::TAsked asked = m_wake.Take();
  for (int i = 0; i < asked.toggles && m_toggle; ++i) {
    m_pending.clear();
    m_outbox.clear();
    Log('!', m_toggle(NowMs()));
  }
  return asked.stop;
}

void TSimNetLine::OnTelnetEvent(telnet_t*, telnet_event_t* event, void* self) {
  static_cast<TSimNetLine*>(self)->OnEvent(*event);
}

void TSimNetLine::OnEvent(telnet_event_t& event) {
  switch (event.type) {
    case TELNET_EV_DATA: {
      const std::string bytes(event.data.buffer, event.data.size);
      Log('>', bytes);
      const std::int64_t now = NowMs();
      for (char b : bytes)
        for (TSimDevice* device : m_devices) device->Receive(static_cast<std::uint8_t>(b), m_speed, now, m_pending);
      break;
    }
    case TELNET_EV_SEND:
      m_tx.append(event.data.buffer, event.data.size);
      break;
    case TELNET_EV_SUBNEGOTIATION:
      if (event.sub.telopt == kComPortOption && event.sub.size >= 1)
        OnCommand(reinterpret_cast<const std::uint8_t*>(event.sub.buffer), event.sub.size);
      break;
    default:
      break;
  }
}

void TSimNetLine::Answer(std::uint8_t command, const std::string& value) {
  std::string body(1, static_cast<char>(command + cpo::kServerAnswer));
  body += value;
  telnet_subnegotiation(m_telnet, kComPortOption, body.data(), body.size());
}

void TSimNetLine::OnCommand(const std::uint8_t* value, std::size_t size) {
  const std::uint8_t command = value[0];
  const std::string rest(reinterpret_cast<const char*>(value + 1), size - 1);
  if (command == cpo::kSetBaudRate && size >= 5) {  // 0 asks for the speed
    const std::uint32_t bits = static_cast<std::uint32_t>(value[1]) << 24 | value[2] << 16 | value[3] << 8 | value[4];
    if (bits != 0) m_speed = bits;
    Answer(command, {static_cast<char>(m_speed >> 24), static_cast<char>(m_speed >> 16), static_cast<char>(m_speed >> 8),
                     static_cast<char>(m_speed)});
    Log('!', "speed " + std::to_string(m_speed));
    return;
  }
  if (command == cpo::kSetControl && size >= 2) {  // DTR and RTS drive the reset lines
    const std::uint8_t what = value[1];
    if (what == cpo::kControlDtrOn || what == cpo::kControlDtrOff) m_dtr = what == cpo::kControlDtrOn;
    if (what == cpo::kControlRtsOn || what == cpo::kControlRtsOff) m_rts = what == cpo::kControlRtsOn;
    if (what >= cpo::kControlDtrOn && what <= cpo::kControlRtsOff) {
      Log('!', std::string("DTR ") + (m_dtr ? "on" : "off") + ", RTS " + (m_rts ? "on" : "off"));
      for (TSimDevice* device : m_devices) device->ModemLines(m_dtr, m_rts, NowMs());
    }
  }
  if (command == cpo::kPurgeData) {  // what the line had for the client
    m_pending.clear();
    m_outbox.clear();
  }
  Answer(command, rest);
}

void TSimNetLine::SendDue(std::int64_t now) {
  std::stable_sort(m_pending.begin(), m_pending.end(),
                   [](const TSimOutput& a, const TSimOutput& b) { return a.atMs < b.atMs; });
  std::size_t due = 0;
  std::string wire;
  for (; due < m_pending.size() && m_pending[due].atMs <= now; ++due) {
    std::string bytes = m_pending[due].bytes;
    if (m_pending[due].bitsPerSecond != 0 && m_pending[due].bitsPerSecond != m_speed)
      for (auto& b : bytes) b = static_cast<char>(Garble(static_cast<std::uint8_t>(b)));
    wire += bytes;
  }
  m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(due));
  if (wire.empty() || !m_telnet) return;
  Log('<', wire);
  m_outbox += wire;
  SendPaced();
}

void TSimNetLine::SendPaced() {
  if (!m_telnet) {
    m_outbox.clear();
    return;
  }
  std::size_t n = m_outbox.size();
  if (m_paced && n > 0) {
    // Up to two milliseconds ahead: the line is woken once a millisecond at most, and a wake-up
    // that comes late still finds bytes on their way, so that no line time is lost.
    const std::int64_t now = TSystemClock::Instance().NowUs();
    const std::int64_t byteUs = 10'000'000 / std::max<std::uint32_t>(m_speed, 1);
    m_lineFreeUs = std::max(m_lineFreeUs, now);
    n = std::min(n, static_cast<std::size_t>(std::max<std::int64_t>(0, (now + 2000 - m_lineFreeUs) / byteUs + 1)));
    m_lineFreeUs += static_cast<std::int64_t>(n) * byteUs;
  }
  if (n == 0) return;
  telnet_send(m_telnet, m_outbox.data(), n);  // 0xFF doubled
  m_outbox.erase(0, n);
}

int TSimNetLine::PacedWaitMs() const {
  if (m_outbox.empty()) return -1;
  const std::int64_t aheadUs = m_lineFreeUs - 2000 - TSystemClock::Instance().NowUs();
  return static_cast<int>(std::max<std::int64_t>(1, (aheadUs + 999) / 1000));
}

void TSimNetLine::Flush() {
  while (!m_tx.empty() && m_client >= 0) {
    const ssize_t n = send(m_client, m_tx.data(), m_tx.size(), MSG_NOSIGNAL);
    if (n > 0) {
      m_tx.erase(0, static_cast<std::size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{m_client, POLLOUT, 0};
      poll(&p, 1, 100);
    } else {
      Drop();
    }
  }
}

void TSimNetLine::Drop() {
  if (m_telnet) telnet_free(m_telnet);
  m_telnet = nullptr;
  if (m_client >= 0) close(m_client);
  m_client = -1;
  m_tx.clear();
  m_outbox.clear();
}

void TSimNetLine::Run() {
  for (;;) {
    const std::int64_t now = NowMs();
    for (TSimDevice* device : m_devices) device->Tick(now, m_pending);
    SendDue(now);
    SendPaced();
    Flush();
    std::int64_t next = -1;
    for (const auto& p : m_pending) next = next < 0 ? p.atMs : std::min(next, p.atMs);
    for (const TSimDevice* device : m_devices) {
      const std::int64_t tick = device->NextTickMs();
      if (tick >= 0) next = next < 0 ? tick : std::min(next, tick);
    }
    int timeout = next < 0 ? -1 : static_cast<int>(std::max<std::int64_t>(next - now, 0));
    if (const int paced = PacedWaitMs(); paced >= 0) timeout = timeout < 0 ? paced : std::min(timeout, paced);
    pollfd fds[3] = {{m_wake.Fd(), POLLIN, 0}, {m_listen, POLLIN, 0}, {m_client, POLLIN, 0}};
    if (poll(fds, m_client >= 0 ? 3 : 2, timeout) < 0 && errno != EINTR) return;
    if (fds[0].revents && TakeAsked()) return;
    if (fds[1].revents & POLLIN) {
      const int client = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (client >= 0) {
        Drop();  // one client at a time: the newest
        m_client = client;
        const int on = 1;
        setsockopt(m_client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        m_telnet = telnet_init(kTelopts, &TSimNetLine::OnTelnetEvent, 0, this);
      }
    }
    if (m_client >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
      char buffer[4096];
      const ssize_t n = recv(m_client, buffer, sizeof buffer, 0);
      if (n > 0 && m_telnet) {
        telnet_recv(m_telnet, buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        Drop();
      }
    }
  }
}

}  // namespace kavel::sim
