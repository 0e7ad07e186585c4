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
};

// The real clock: CLOCK_MONOTONIC and clock_nanosleep.
class TSystemClock final : public TClock {
 public:
  std::int64_t NowMs() override;
  void SleepMs(int ms) override;
  // One process-wide instance; the clock has no state.
  static TSystemClock& Instance();
};

}  // namespace kavel
