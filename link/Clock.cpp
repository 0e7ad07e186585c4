#include "link/Clock.h"

#include <cerrno>
#include <ctime>

namespace kavel {

std::int64_t TSystemClock::NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::int64_t TSystemClock::NowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void TSystemClock::SleepMs(int ms) {
  if (ms > 0) SleepUntilUs(NowUs() + static_cast<std::int64_t>(ms) * 1000);
}

void TSystemClock::SleepUntilUs(std::int64_t untilUs) {
  if (untilUs <= NowUs()) return;
  // An absolute deadline: however often a signal interrupts the sleep, it ends on time.
  timespec until{};
  until.tv_sec = static_cast<time_t>(untilUs / 1000000);
  until.tv_nsec = static_cast<long>(untilUs % 1000000) * 1000L;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

TSystemClock& TSystemClock::Instance() {
  static TSystemClock clock;
  return clock;
}

}  // namespace kavel
