// TNAVOTimer: a time-out of at least 30 ms on the monotonic clock, for the controller
// protocol's reply windows. The clock is injected so that the protocol runs in virtual time
// under test.
#pragma once

#include <cstdint>

#include "link/Clock.h"

namespace kavel {

// The shortest wait of the controller protocol: a byte's wait (TNAVOPort::ReadByteTimed,
// TCustomPort::GetByte) and a reply window never last less.
inline constexpr int kMinWaitMs = 30;

class TNAVOTimer {
 public:
  static constexpr int kMinLimitMs = kMinWaitMs;

  // Starts at once with limitMs.
  TNAVOTimer(TClock& clock, int limitMs) : m_clock(clock) { Start(limitMs); }
  // Restarts from now; the limit is limitMs when greater than 30, else 30.
  void Start(int limitMs);
  // True once strictly more than the limit has passed since the start.
  bool Expired() const;
  int Limit() const { return m_limit; }

 private:
  TClock& m_clock;
  int m_limit = kMinLimitMs;
  std::int64_t m_start = 0;
};

}  // namespace kavel
