#include "link/BootEntry.h"

#include <algorithm>

namespace kavel {

bool RunModemSteps(TCustomComPort& port, TClock& clock, std::span<const TModemStep> steps, bool invertDtr,
                   bool invertRts, const std::function<bool()>& stop) {
  const auto stopped = [&stop] { return stop && stop(); };
  bool dtr = false, rts = false;
  for (const TModemStep& s : steps) {
    if (stopped()) return false;
    if (s.what == TModemStep::mwPause) {
      // In slices when a stop may come, so that it does not wait for a long pause to end.
      const int slice = stop ? kStopCheckMs : std::max(s.ms, 1);
      for (int left = s.ms; left > 0; left -= slice) {
        if (left != s.ms && stopped()) return false;
        clock.SleepMs(std::min(left, slice));
      }
      continue;
    }
    (s.what == TModemStep::mwDtr ? dtr : rts) = s.on;
    port.SetModemLines(dtr != invertDtr, rts != invertRts);
  }
  return true;
}

}  // namespace kavel
