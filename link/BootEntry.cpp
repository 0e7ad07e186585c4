#include "link/BootEntry.h"

namespace kavel {

void RunModemSteps(TCustomComPort& port, TClock& clock, std::span<const TModemStep> steps, bool invertDtr,
                   bool invertRts) {
  bool dtr = false, rts = false;
  for (const TModemStep& s : steps) {
    if (s.what == TModemStep::mwPause) {
      clock.SleepMs(s.ms);
      continue;
    }
    (s.what == TModemStep::mwDtr ? dtr : rts) = s.on;
    port.SetModemLines(dtr != invertDtr, rts != invertRts);
  }
}

}  // namespace kavel
