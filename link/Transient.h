// Errors that mean "not now" rather than "broken": a signal cut a call short (EINTR), or a
// non-blocking descriptor could not be served at once (EAGAIN; the drivers of some USB serial
// adapters answer control requests that way while they are busy). Such a call is simply made
// again, a few times; an error that outlasts the tries is taken as a real one.
#pragma once

#include <cerrno>

#include "link/Clock.h"

namespace kavel {

// Tries in all, the first one included.
inline constexpr int kTransientTries = 5;

constexpr bool IsTransient(int err) { return err == EINTR || err == EAGAIN; }

// Before try number tries + 1. A signal has been handled by the time EINTR comes back, so the
// call is made again at once; a busy driver is given a little time (1, 2, 4, 8 ms), which
// keeps the loop from spinning and still costs less than the shortest read time-out.
inline void TransientPause(TClock& clock, int err, int tries) {
  if (err == EAGAIN) clock.SleepMs(1 << (tries - 1));
}

// call() returns 0 or an errno value; it is made again while that is transient, at most
// kTransientTries times in all, the pauses going by clock. The last answer stands.
template <typename Call>
int RetryTransient(Call&& call, TClock& clock = TSystemClock::Instance()) {
  int err = call();
  for (int tries = 1; IsTransient(err) && tries < kTransientTries; ++tries) {
    TransientPause(clock, err, tries);
    err = call();
  }
  return err;
}

}  // namespace kavel
