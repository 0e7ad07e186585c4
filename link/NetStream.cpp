#include "link/NetStream.h"

#include <libtelnet.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "link/Rfc2217.h"

namespace kavel {
namespace {

using rfc2217::kComPortOption;

// What the client offers and wants: binary both ways (all 8 bits pass), suppress-go-ahead,
// and the COM-PORT-OPTION on our side. Anything else the server offers (its echo) is
// refused.
const telnet_telopt_t kTelopts[] = {
    {TELNET_TELOPT_BINARY, TELNET_WILL, TELNET_DO},
    {TELNET_TELOPT_SGA, TELNET_WILL, TELNET_DO},
    {kComPortOption, TELNET_WILL, TELNET_DONT},
    {-1, 0, 0},
};

// The telnet layer's warnings said in words, at most this many kinds: a server that makes new
// faults without end says no more.
constexpr std::size_t kWarningKinds = 8;

}  // namespace

void TRemarks::Add(std::string_view text) {
  static constexpr std::string_view kMore = "\nmore remarks were dropped";
  if (m_full) return;
  if (m_text.size() + 1 + text.size() + kMore.size() > kCap) {  // room is kept for kMore
    m_text += m_text.empty() ? kMore.substr(1) : kMore;
    m_full = true;
    return;
  }
  if (!m_text.empty()) m_text += '\n';
  m_text += text;
}

std::string TRemarks::Take() {
  m_full = false;
  return std::exchange(m_text, {});
}

TNetStream::TNetStream(bool telnet) {
  if (!telnet) return;
  m_telnet = telnet_init(kTelopts, &TNetStream::OnTelnetEvent, 0, this);
  if (!m_telnet) throw std::bad_alloc();
}

TNetStream::~TNetStream() {
  if (m_telnet) telnet_free(m_telnet);
}

void TNetStream::OnTelnetEvent(telnet_t*, telnet_event_t* event, void* self) {
  static_cast<TNetStream*>(self)->OnEvent(*event);
}

void TNetStream::OnEvent(const telnet_event_t& event) {
  // A broken stream takes nothing more: what libtelnet still makes of the bytes of its
  // last Receive (a compressed stream inflated) is dropped.
  if (!m_broken.empty()) return;
  switch (event.type) {
    case TELNET_EV_DATA:
      Store(event.data.buffer, event.data.size);
      break;
    case TELNET_EV_SEND:
      m_out.append(event.data.buffer, event.data.size);
      break;
    case TELNET_EV_SUBNEGOTIATION:
      if (event.sub.telopt == kComPortOption && event.sub.size >= 1) {
        const auto answer = static_cast<std::uint8_t>(event.sub.buffer[0]);
        if (answer <= rfc2217::kServerAnswer) break;
        std::uint32_t& count = m_acks[answer - rfc2217::kServerAnswer];
        if (count < UINT32_MAX) ++count;
        if (answer == rfc2217::kSetBaudRate + rfc2217::kServerAnswer) {
          m_speed.reset();
          if (event.sub.size >= 5) {
            const auto* b = reinterpret_cast<const unsigned char*>(event.sub.buffer + 1);
            m_speed = std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
          }
        }
      }
      break;
    case TELNET_EV_COMPRESS:
      // MCCP, which a port server has no use for and this side never agreed to: the bytes
      // after it would be taken for zlib's.
      if (event.compress.state) Break("the server compresses its stream (MCCP), which was never agreed");
      break;
    case TELNET_EV_WARNING:
      if (m_warned.size() < kWarningKinds && m_warned.emplace(event.error.msg).second)
        m_remarks.Add(std::string("the server's telnet stream is faulty: ") + event.error.msg);
      break;
    case TELNET_EV_ERROR:
      Break(std::string("the server's telnet stream is broken: ") + event.error.msg);
      break;
    default:
      break;
  }
}

void TNetStream::Break(const std::string& why) {
  m_broken = why;
  m_remarks.Add(why);
}

void TNetStream::Store(const char* bytes, std::size_t n) {
  const std::size_t kept = std::min(n, kInputCap - m_held);
  if (m_ring.empty()) m_ring.resize(kInputCap);
  const std::size_t end = (m_first + m_held) % kInputCap;
  const std::size_t before = std::min(kept, kInputCap - end);  // before the ring's end, then from its start
  if (kept > 0) {
    std::memcpy(m_ring.data() + end, bytes, before);
    std::memcpy(m_ring.data(), bytes + before, kept - before);
  }
  m_held += kept;
  if (kept == n) return;
  if (m_dropped == 0) {
    m_remarks.Add("the server sent more than " + std::to_string(kInputCap) +
                  " bytes that were not read: what came beyond them was dropped");
  }
  m_dropped += n - kept;
}

void TNetStream::Receive(const std::uint8_t* bytes, std::size_t n) {
  if (!m_broken.empty() || n == 0) return;
  if (m_telnet) {
    telnet_recv(m_telnet, reinterpret_cast<const char*>(bytes), n);
  } else {
    Store(reinterpret_cast<const char*>(bytes), n);
  }
}

void TNetStream::Offer() {
  if (!m_telnet) return;
  telnet_negotiate(m_telnet, TELNET_WILL, kComPortOption);
  telnet_negotiate(m_telnet, TELNET_WILL, TELNET_TELOPT_BINARY);
  telnet_negotiate(m_telnet, TELNET_DO, TELNET_TELOPT_BINARY);
}

void TNetStream::SendData(const std::uint8_t* bytes, std::size_t n) {
  if (m_telnet) {
    telnet_send(m_telnet, reinterpret_cast<const char*>(bytes), n);
  } else {
    m_out.append(reinterpret_cast<const char*>(bytes), n);
  }
}

void TNetStream::SendCommand(std::uint8_t command, std::string_view value) {
  if (!m_telnet) return;
  std::string body(1, static_cast<char>(command));
  body += value;
  telnet_subnegotiation(m_telnet, kComPortOption, body.data(), body.size());
}

std::size_t TNetStream::Take(std::uint8_t* buffer, std::size_t n) {
  const std::size_t got = std::min(n, m_held);
  const std::size_t before = std::min(got, kInputCap - m_first);
  if (got > 0) {
    std::memcpy(buffer, m_ring.data() + m_first, before);
    std::memcpy(buffer + before, m_ring.data(), got - before);
  }
  m_first = (m_first + got) % kInputCap;
  m_held -= got;
  return got;
}

bool TNetStream::Holds(std::string_view text) const {
  const auto at = [this](std::size_t i) { return static_cast<char>(m_ring[(m_first + i) % kInputCap]); };
  for (std::size_t i = 0; i + text.size() <= m_held; ++i) {
    std::size_t k = 0;
    while (k < text.size() && at(i + k) == text[k]) ++k;
    if (k == text.size()) return true;
  }
  return false;
}

}  // namespace kavel
