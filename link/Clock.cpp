#include "link/Clock.h"

#include <cerrno>
#include <ctime>

namespace kavel {

std::int64_t TSystemClock::NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void TSystemClock::SleepMs(int ms) {
  if (ms <= 0) return;
  // An absolute deadline: however often a signal interrupts the sleep, it ends on time.
  timespec until{};
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += ms / 1000;
  until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

TSystemClock& TSystemClock::Instance() {
  static TSystemClock clock;
  return clock;
}

}  // namespace kavel
