#include "cli/CliValues.h"

#include <algorithm>
#include <iterator>

#include "link/BaudRate.h"
#include "link/NumberText.h"

namespace kavel::cli {

bool ParseNumber(const std::string& text, int& value, int low, int high) {
  const auto v = ParseWhole(text, low, high);
  if (v) value = static_cast<int>(*v);
  return v.has_value();
}

bool KnownBaud(const std::string& text) {
  return BaudRateText(BaudRateFromText(text)) == text && text != "Custom";
}

bool ParseHex(const std::string& text, unsigned& value, unsigned max) {
  const auto v = ParseWhole(text, 0, max, 16);
  if (v) value = static_cast<unsigned>(*v);
  return v.has_value();
}

bool ParseRange(const std::string& text, std::uint16_t& start, std::uint16_t& end) {
  const std::size_t dash = text.find('-');
  unsigned s = 0, e = 0;
  if (dash == std::string::npos || !ParseHex(text.substr(0, dash), s, 0xFFFF) ||
      !ParseHex(text.substr(dash + 1), e, 0xFFFF) || e < s)
    return false;
  start = static_cast<std::uint16_t>(s);
  end = static_cast<std::uint16_t>(e);
  return true;
}

TRunStatus ParseModemSteps(std::string_view text, std::vector<TModemStep>& steps) {
  steps.clear();
  if (text == "dtr-rts") {
    steps.assign(std::begin(kDtrRtsEntry), std::end(kDtrRtsEntry));
    return TRunStatus::Done();
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
      return TRunStatus::Make(rkUsage, what);
    }
    p = end + 1;
  }
  if (steps.size() > kMaxModemSteps) {
    return TRunStatus::Make(rkUsage, std::to_string(steps.size()) + " steps are too many: a sequence holds " +
                 std::to_string(kMaxModemSteps) + " at most");
  }
  int pauses = 0;
  for (const TModemStep& s : steps) pauses += s.ms;  // at most 64 x 10000: no overflow
  if (pauses > kMaxModemPausesMs) {
    return TRunStatus::Make(rkUsage, "its pauses add up to " + std::to_string(pauses) + " ms: a sequence pauses " +
                 std::to_string(kMaxModemPausesMs) + " ms at most in all");
  }
  return TRunStatus::Done();
}

}  // namespace kavel::cli
