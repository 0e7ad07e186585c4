// A clock that only moves when someone sleeps or a simulated line waits: logic runs in
// virtual time, so that minutes of line time cost a test milliseconds. Test-only.
#pragma once

#include <cstdint>
#include <vector>

#include "link/Clock.h"

namespace kavel {

class TVirtualClock final : public TClock {
 public:
  std::int64_t NowMs() override { return m_now; }
  void SleepMs(int ms) override {
    if (ms > 0) {
      m_now += ms;
      sleeps.push_back(ms);
    }
  }
  // Moves the clock forward to t (never back).
  void AdvanceTo(std::int64_t t) {
    if (t > m_now) m_now = t;
  }
  std::vector<int> sleeps;  // every SleepMs, in order

 private:
  std::int64_t m_now = 1000;
};

namespace test {
using kavel::TVirtualClock;
}  // namespace test

}  // namespace kavel
