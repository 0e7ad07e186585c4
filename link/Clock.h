// Time as a dependency: every pause and deadline of the programmer goes through TClock, so
// that engine tests run in virtual time (tests/support/VirtualClock.h) and the program in
// real time.
#pragma once

#include <cstdint>

namespace kavel {

class TClock {
 public:
  virtual ~TClock() = default;
  // Milliseconds on a monotonic scale with an arbitrary origin.
  virtual std::int64_t NowMs() = 0;
  // Blocks the calling thread for ms milliseconds (nothing for 0 or less).
  virtual void SleepMs(int ms) = 0;
  // Microseconds on the same scale, for a pause that counts from a moment already past.
  virtual std::int64_t NowUs() { return NowMs() * 1000; }
  // Blocks until the clock reads untilUs (nothing if it has passed). Work done between
  // taking the moment and this call then falls inside the pause instead of lengthening it.
  virtual void SleepUntilUs(std::int64_t untilUs) {
    const std::int64_t left = untilUs - NowUs();
    if (left > 0) SleepMs(static_cast<int>((left + 999) / 1000));
  }
};

// The real clock: CLOCK_MONOTONIC and clock_nanosleep.
class TSystemClock final : public TClock {
 public:
  std::int64_t NowMs() override;
  void SleepMs(int ms) override;
  std::int64_t NowUs() override;
  void SleepUntilUs(std::int64_t untilUs) override;
  // One process-wide instance; the clock has no state.
  static TSystemClock& Instance();
};

}  // namespace kavel
