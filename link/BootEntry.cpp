#include "link/BootEntry.h"

#include "link/NumberText.h"

namespace kavel {

std::optional<std::vector<TModemStep>> ParseModemSteps(std::string_view text, std::string& problem) {
  if (text == "dtr-rts") text = kDtrRtsEntry;
  std::vector<TModemStep> steps;
  for (std::size_t p = 0; p <= text.size();) {
    std::size_t end = text.find(',', p);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view step = text.substr(p, end - p);
    TModemStep s;
    if (step == "dtr=1" || step == "dtr=0" || step == "rts=1" || step == "rts=0") {
      s.what = step[0] == 'd' ? TModemStep::mwDtr : TModemStep::mwRts;
      s.on = step[4] == '1';
    } else if (const auto ms = ParseWhole(std::string(step), 0, 10000)) {
      s.ms = static_cast<int>(*ms);
    } else {
      problem.assign(1, '"').append(step).append("\" is no step: dtr=1, dtr=0, rts=1, rts=0 or a pause in ms (0 to 10000)");
      return std::nullopt;
    }
    steps.push_back(s);
    p = end + 1;
  }
  return steps;
}

void RunModemSteps(TCustomComPort& port, TClock& clock, const std::vector<TModemStep>& steps, bool invertDtr,
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
