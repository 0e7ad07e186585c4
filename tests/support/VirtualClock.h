// A clock that only moves when someone sleeps or waits: engine tests run in virtual time.
#pragma once

#include <cstdint>
#include <vector>

#include "link/Clock.h"

namespace kavel::test {

class TVirtualClock final : public TClock {
 public:
  std::int64_t NowMs() override { return m_now; }
  void SleepMs(int ms) override {
    if (ms > 0) {
      m_now += ms;
      sleeps.push_back(ms);
    }
  }
  void AdvanceTo(std::int64_t t) {
    if (t > m_now) m_now = t;
  }
  std::vector<int> sleeps;  // every SleepMs, in order

 private:
  std::int64_t m_now = 1000;
};

}  // namespace kavel::test
