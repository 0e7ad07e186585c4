// Time as a dependency: every pause and deadline of the programmer goes through TClock, so
// that engine tests run in virtual time and the program in real time.
#pragma once

#include <cstdint>
#include <vector>

namespace kavel {

class TClock {
 public:
  virtual ~TClock() = default;
  // Milliseconds on a monotonic scale with an arbitrary origin.
  virtual std::int64_t NowMs() = 0;
  // Blocks the calling thread for ms milliseconds (nothing for 0 or less).
  virtual void SleepMs(int ms) = 0;
};

// The real clock: CLOCK_MONOTONIC and clock_nanosleep.
class TSystemClock final : public TClock {
 public:
  std::int64_t NowMs() override;
  void SleepMs(int ms) override;
  // One process-wide instance; the clock has no state.
  static TSystemClock& Instance();
};

// A clock that only moves when someone sleeps or a simulated line waits: logic runs in virtual
// time, so that minutes of line time cost a test milliseconds.
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

}  // namespace kavel
