#include "stationwin/BoardState.h"

#include <algorithm>
#include <charconv>

#include <nlohmann/json.hpp>

namespace kavel::stationwin {
namespace {

// The object's member of that name; null for one it does not have, or for no object.
const nlohmann::json& Field(const nlohmann::json& o, const char* key) {
  static const nlohmann::json none;
  if (!o.is_object()) return none;
  const auto it = o.find(key);
  return it == o.end() ? none : *it;
}

}  // namespace

const char* TBoardState::Word() const {
  switch (phase) {
    case TBoardPhase::bpReady: return "READY";
    case TBoardPhase::bpRunning: return "RUNNING";
    case TBoardPhase::bpPass: return "PASS";
    case TBoardPhase::bpFail: return "FAIL";
    case TBoardPhase::bpStopped: break;
  }
  return "STOPPED";
}

void TBoardState::Begin() { *this = {TBoardPhase::bpRunning, "", "starting", -1, {}, {}, {}, 0}; }

TRunLine ReadRunLine(std::string_view text) {
  TRunLine line;
  const nlohmann::json o = nlohmann::json::parse(text, nullptr, false);
  const auto str = [&o](const char* key) { return Field(o, key).is_string() ? Field(o, key).get<std::string>() : std::string(); };
  const auto count = [&o](const char* key) {
    return Field(o, key).is_number_unsigned() ? Field(o, key).get<std::size_t>() : std::size_t{0};
  };
  line.port = str("port");
  if (line.port.empty()) return line;
  if (Field(o, "serial").is_number_integer()) line.serial = Field(o, "serial").get<std::int64_t>();
  const std::string event = str("event");
  line.step = str("step");
  if (event == "step") {
    line.kind = TRunLine::rlStep;
    line.text = str("text");
  } else if (event == "progress") {
    line.kind = TRunLine::rlProgress;
    line.done = count("done");
    line.total = count("total");
  } else if (event == "serial") {
    line.kind = line.serial ? TRunLine::rlSerial : TRunLine::rlNone;
  } else if (event.empty() && Field(o, "result").is_string()) {
    line.kind = TRunLine::rlResult;
    line.result = str("result");
    line.station = str("class") == "station";
    line.message = str("message");
    for (const nlohmann::json& d : Field(o, "diagnosis"))
      if (d.is_string()) line.diagnosis.push_back(d.get<std::string>());
    if (Field(o, "seconds").is_number()) line.seconds = Field(o, "seconds").get<double>();
    line.resent = count("resent");
  }
  return line;
}

bool TBoardState::Take(const TRunLine& line) {
  if (phase != TBoardPhase::bpRunning) return true;  // its result is in: nothing after it counts
  switch (line.kind) {
    case TRunLine::rlNone: break;
    case TRunLine::rlStep:
      stepKey = line.step;
      step = line.text.empty() ? line.step : line.text;
      percent = -1;
      break;
    case TRunLine::rlProgress:
      if (line.step != stepKey || line.total == 0) break;
      percent = static_cast<int>(std::min<std::size_t>(line.done, line.total) * 100 / line.total);
      break;
    case TRunLine::rlSerial: serial = line.serial; break;
    case TRunLine::rlResult: {
      if (line.serial) serial = line.serial;
      seconds = line.seconds;
      resent = line.resent;
      std::string said;
      for (const std::string& d : line.diagnosis) said += (said.empty() ? "" : "\n") + d;
      if (said.empty()) said = line.message;
      if (line.station && line.result != "ok") {
        *this = {};
        reason = "not programmed: see above";  // the window's banner says why, once for every port
        return false;
      }
      phase = line.result == "ok" ? TBoardPhase::bpPass : line.result == "stopped" ? TBoardPhase::bpStopped : TBoardPhase::bpFail;
      if (phase == TBoardPhase::bpPass) {
        step = "done";
        percent = 100;
      } else {
        reason = said.empty() ? line.result : said;
      }
      break;
    }
  }
  return true;
}

void TBoardState::Ended(const std::string& why) {
  if (phase != TBoardPhase::bpRunning) return;
  phase = TBoardPhase::bpFail;
  reason = why;
}

std::optional<double> TCounts::Yield() const {
  if (passed + failed == 0) return std::nullopt;
  return 100.0 * passed / (passed + failed);
}

TLotCounts CountStats(std::string_view all, std::string_view byPort, const std::vector<std::string>& ports) {
  TLotCounts counts;
  counts.ports.resize(ports.size());
  // Each JSON line of figures, with what it counts.
  const auto lines = [](std::string_view text, const auto& take) {
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t end = std::min(text.find('\n', at), text.size());
      const nlohmann::json line = nlohmann::json::parse(text.substr(at, end - at), nullptr, false);
      at = end + 1;
      if (Field(line, "passed").is_number_integer() && Field(line, "failed").is_number_integer())
        take(line, TCounts{Field(line, "passed").get<int>(), Field(line, "failed").get<int>()});
    }
  };
  lines(all, [&counts](const nlohmann::json&, TCounts c) { counts.all = c; });
  lines(byPort, [&](const nlohmann::json& line, TCounts c) {
    if (!Field(line, "port").is_string()) return;
    const auto port = std::find(ports.begin(), ports.end(), Field(line, "port").get<std::string>());
    if (port != ports.end()) counts.ports[static_cast<std::size_t>(port - ports.begin())] = c;
  });
  return counts;
}

}  // namespace kavel::stationwin
