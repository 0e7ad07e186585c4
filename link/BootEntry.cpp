#include "link/BootEntry.h"

#include <algorithm>
#include <iterator>

#include "link/NumberText.h"

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

std::string ParseModemSteps(std::string_view text, std::vector<TModemStep>& steps) {
  steps.clear();
  if (text == "dtr-rts") {
    steps.assign(std::begin(kDtrRtsEntry), std::end(kDtrRtsEntry));
    return {};
  }
  for (std::size_t p = 0; p <= text.size();) {
    const std::size_t end = std::min(text.find(',', p), text.size());
    const std::string_view step = text.substr(p, end - p);
    if (step == "dtr=1" || step == "dtr=0" || step == "rts=1" || step == "rts=0") {
      const bool on = step[4] == '1';
      steps.push_back(step[0] == 'd' ? TModemStep::Dtr(on) : TModemStep::Rts(on));
    } else if (const auto ms = ParseWhole(std::string(step), 0, 10000)) {
      steps.push_back(TModemStep::Pause(static_cast<int>(*ms)));
    } else {
      std::string what = "\"";
      what.append(step).append("\" is no step: dtr=1, dtr=0, rts=1, rts=0 or a pause in ms (0 to 10000)");
      return what;
    }
    p = end + 1;
  }
  if (steps.size() > kMaxModemSteps) {
    return std::to_string(steps.size()) + " steps are too many: a sequence holds " + std::to_string(kMaxModemSteps) +
           " at most";
  }
  int pauses = 0;
  for (const TModemStep& s : steps) pauses += s.ms;  // at most 64 x 10000: no overflow
  if (pauses > kMaxModemPausesMs) {
    return "its pauses add up to " + std::to_string(pauses) + " ms: a sequence pauses " +
           std::to_string(kMaxModemPausesMs) + " ms at most in all";
  }
  return {};
}

}  // namespace kavel
