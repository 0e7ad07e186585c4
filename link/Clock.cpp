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
  timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

TSystemClock& TSystemClock::Instance() {
  static TSystemClock clock;
  return clock;
}

}  // namespace kavel
