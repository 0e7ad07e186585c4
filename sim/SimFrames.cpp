#include "sim/SimFrames.h"

namespace kavel::sim {
namespace {

constexpr std::uint8_t kLeadIn[] = {0xFF, 0xFF, 0x62, 0x42, 0x13};
constexpr std::uint8_t kWriteConfig = 0x70;  // "p": the one request with data

std::size_t DataLength(std::uint8_t code) { return code == kWriteConfig ? 12 : 0; }

}  // namespace

TRequestScanner::TStep TRequestScanner::Feed(std::uint8_t byte) {
  if (m_complete) {
    m_complete = false;
    m_request.clear();
    m_leadIn = 0;
  }
  if (m_leadIn < sizeof kLeadIn) {
    if (byte == kLeadIn[m_leadIn]) {
      ++m_leadIn;
      return TStep::stInside;
    }
    const bool begun = m_leadIn > 0;
    m_leadIn = byte == kLeadIn[0] ? 1 : 0;  // an FF may begin the next lead-in
    if (m_leadIn == 1) return TStep::stInside;
    return begun ? TStep::stBroken : TStep::stOutside;
  }
  m_request.push_back(byte);
  if (m_request.size() < 1 + DataLength(m_request[0]) + 1) return TStep::stInside;
  m_complete = true;
  return TStep::stComplete;
}

std::vector<std::uint8_t> TRequestScanner::Data() const {
  if (m_request.size() < 2) return {};
  return {m_request.begin() + 1, m_request.end() - 1};
}

bool TRequestScanner::SumRight() const {
  if (m_request.size() < 2) return false;
  unsigned sum = 0x62u + 0x42u + 0x13u;
  for (std::size_t i = 0; i + 1 < m_request.size(); ++i) sum += m_request[i];
  return (sum & 0xFFu) == m_request.back();
}

}  // namespace kavel::sim
