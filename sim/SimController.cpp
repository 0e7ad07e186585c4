#include "sim/SimController.h"

#include "image/HexText.h"

namespace kavel::sim {
namespace {

constexpr std::uint8_t kAck = 0x2B, kRefusal = 0x2D, kPoll = 0x3F;
constexpr std::uint8_t kOtherCode = 0x3E;  // a frame for somebody else on the bus

}  // namespace

TSimController::TSimController(TSimControllerOptions options) : m_options(std::move(options)) {
  if (m_options.suspended) m_config[0] = static_cast<std::uint8_t>(m_config[0] | 1u);
}

std::string TSimController::Frame(std::uint8_t code, const std::vector<std::uint8_t>& data,
                                  bool badSum) const {
  unsigned sum = 0x62u + 0x42u + 0x13u + code;
  std::string frame = {0x42, 0x62, 0x13, static_cast<char>(code)};
  for (std::uint8_t b : data) {
    frame += static_cast<char>(b);
    sum += b;
  }
  frame += static_cast<char>((sum + (badSum ? 1u : 0u)) & 0xFFu);
  return frame;
}

void TSimController::Tick(std::int64_t nowMs, std::vector<TSimOutput>& out) {
  if (Suspended() || m_options.pollIntervalMs <= 0) return;
  if (m_nextPollMs < 0) m_nextPollMs = nowMs + m_options.pollIntervalMs;
  // Every poll that is due, at its time (a program that was not reading finds them waiting).
  while (m_nextPollMs <= nowMs) {
    ++m_polls;
    const bool invite = m_options.inviteEvery > 0 && m_polls % m_options.inviteEvery == 0;
    out.push_back({m_nextPollMs, Frame(kPoll, {static_cast<std::uint8_t>(invite ? 0x30 : 0x31)}, false),
                   kSpeed});
    m_nextPollMs += m_options.pollIntervalMs;
  }
}

void TSimController::Restart(std::int64_t nowMs) {
  m_scanner = {};
  m_nextPollMs = nowMs + m_options.pollIntervalMs;
}

std::int64_t TSimController::NextTickMs() const {
  return Suspended() || m_options.pollIntervalMs <= 0 ? -1 : m_nextPollMs;
}

void TSimController::Receive(std::uint8_t byte, std::uint32_t bitsPerSecond, std::int64_t nowMs,
                             std::vector<TSimOutput>& out) {
  if (bitsPerSecond != kSpeed) byte = Garble(byte);
  if (m_scanner.Feed(byte) != TRequestScanner::TStep::stComplete) return;
  if (!m_scanner.SumRight()) return;  // a garbled request is not answered
  ++m_requests;
  Answer(m_scanner.Code(), m_scanner.Data(), nowMs, out);
}

void TSimController::Answer(std::uint8_t code, const std::vector<std::uint8_t>& data,
                            std::int64_t nowMs, std::vector<TSimOutput>& out) {
  std::uint8_t replyCode = code;
  std::vector<std::uint8_t> reply;
  switch (code) {
    case 0x61:  // "a"
      replyCode = kAck;
      reply = {code};
      break;
    case 0x6D:  // "m": 14 bytes the program only carries
      reply = {m_options.state, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06,
               0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D};
      break;
    case 0x71:  // "q"
      reply = {m_options.state};
      break;
    case 0x6F:  // "o"
      reply.assign(m_config.begin(), m_config.end());
      break;
    case 0x70:  // "p"
      if (++m_writes <= m_options.refuseWrites) {
        replyCode = kRefusal;
      } else {
        std::copy(data.begin(), data.end(), m_config.begin());
        replyCode = kAck;
      }
      reply = {code};
      break;
    default:
      return;  // not ours
  }
  std::string bytes = m_options.noise;
  for (int i = 0; i < m_options.otherFramesBeforeReply; ++i) bytes += Frame(kOtherCode, {0x30}, false);
  ++m_replies;
  bytes += Frame(replyCode, reply, m_options.badChecksumReplies.count(m_replies) != 0);
  out.push_back({nowMs + m_options.replyDelayMs, std::move(bytes), kSpeed});
}

std::string TSimController::Report() const {
  std::string config;
  for (std::uint8_t b : m_config) AppendHexByte(config, b);
  return "controller_suspended=" + std::to_string(Suspended() ? 1 : 0) + "\n" +
         "controller_config=" + config + "\n" + "controller_requests=" + std::to_string(m_requests) +
         "\n";
}

}  // namespace kavel::sim
