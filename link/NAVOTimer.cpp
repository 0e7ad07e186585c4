#include "link/NAVOTimer.h"

namespace kavel {

void TNAVOTimer::Start(int limitMs) {
  m_limit = limitMs > kMinLimitMs ? limitMs : kMinLimitMs;
  m_start = m_clock.NowMs();
}

bool TNAVOTimer::Expired() const {
  const std::int64_t elapsed = m_clock.NowMs() - m_start;
  return (elapsed < 0 ? -elapsed : elapsed) > m_limit;
}

}  // namespace kavel
