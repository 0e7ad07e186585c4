#include "link/KTNFrames.h"

namespace kavel {
namespace {
constexpr std::uint8_t kLead1 = 0x42, kLead2 = 0x62, kLead3 = 0x13, kRequestPrefix = 0xFF;
}  // namespace

std::uint8_t KtnChecksum(std::uint8_t code, std::span<const std::uint8_t> data) {
  unsigned sum = kKtnChecksumBase + code;
  for (std::uint8_t b : data) sum += b;
  return static_cast<std::uint8_t>(sum & 0xFFu);
}

namespace {
// Lead-in, code, data, sum.
std::vector<std::uint8_t> Frame(std::span<const std::uint8_t> leadIn, std::uint8_t code,
                                std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> frame;
  frame.reserve(leadIn.size() + data.size() + 2);
  for (std::uint8_t b : leadIn) frame.push_back(b);
  frame.push_back(code);
  for (std::uint8_t b : data) frame.push_back(b);
  frame.push_back(KtnChecksum(code, data));
  return frame;
}
constexpr std::uint8_t kRequestLeadIn[] = {kRequestPrefix, kRequestPrefix, kLead2, kLead1, kLead3};
constexpr std::uint8_t kReplyLeadIn[] = {kLead1, kLead2, kLead3};
}  // namespace

std::vector<std::uint8_t> KtnRequestFrame(std::uint8_t code, std::span<const std::uint8_t> data) {
  return Frame(kRequestLeadIn, code, data);
}

std::vector<std::uint8_t> KtnReplyFrame(std::uint8_t code, std::span<const std::uint8_t> data) {
  return Frame(kReplyLeadIn, code, data);
}

TControllerConfig SuspendedConfig(TControllerConfig config) {
  config[0] = static_cast<std::uint8_t>(config[0] | 1u);
  for (std::size_t i = 4; i < 8; ++i) config[i] = 0xFF;
  return config;
}

std::optional<TKtnResult> TFrameReceiver::Feed(const TKtnRead& read, bool expired) {
  if (m_state == TState::Done || m_state == TState::Ended) return std::nullopt;
  if (!read.Ok()) {
    m_state = TState::Ended;
    return read.result;
  }
  const std::uint8_t byte = read.byte;
  switch (m_state) {
    case TState::Want62:
      if (byte == kLead2) {
        m_state = TState::Want13;
        return std::nullopt;
      }
      break;  // taken again as a byte of the hunt
    case TState::Want13:
      if (byte == kLead3) {
        m_state = TState::Code;
        return std::nullopt;
      }
      break;
    case TState::Code:
      m_code = byte;
      m_sum = kKtnChecksumBase + byte;
      m_state = m_dataLength == 0 ? TState::Sum : TState::Data;
      return std::nullopt;
    case TState::Data:
      m_data.push_back(byte);
      m_sum += byte;
      if (m_data.size() == m_dataLength) m_state = TState::Sum;
      return std::nullopt;
    case TState::Sum:
      m_state = TState::Done;
      return byte == (m_sum & 0xFFu) ? TKtnResult::krOk : TKtnResult::krChecksum;
    default:
      break;
  }
  // The hunt for the lead-in's first byte.
  if (byte == kLead1) {
    m_state = TState::Want62;
    return std::nullopt;
  }
  m_state = TState::Hunt;
  if (expired) {
    m_state = TState::Ended;
    return TKtnResult::krNoFrame;
  }
  return std::nullopt;
}

}  // namespace kavel
