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

void TBoardState::Begin() { *this = {TBoardPhase::bpRunning, "starting", -1, {}, {}, {}}; }

void TBoardState::TakeErrLine(std::string_view line) {
  if (phase != TBoardPhase::bpRunning || line.empty()) return;
  // "programming 50% (9/18 records)": a step and its measure.
  const std::size_t sign = line.find("% (");
  const std::size_t space = sign == std::string_view::npos ? sign : line.rfind(' ', sign);
  int value = -1;
  if (space != std::string_view::npos && std::from_chars(line.data() + space + 1, line.data() + sign, value).ec == std::errc()) {
    step = line.substr(0, space);
    percent = std::clamp(value, 0, 100);
    return;
  }
  if (line.starts_with("line speed:")) return;  // a note, no step
  const std::size_t colon = line.find(':');
  step = line.substr(0, colon == std::string_view::npos ? line.size() : colon);
  percent = -1;
}

bool TBoardState::TakeResult(std::string_view json) {
  const nlohmann::json o = nlohmann::json::parse(json, nullptr, false);
  if (!o.is_object() || !o.contains("result")) return false;
  const std::string result = Field(o, "result").is_string() ? Field(o, "result").get<std::string>() : "";
  phase = result == "ok" ? TBoardPhase::bpPass : result == "stopped" ? TBoardPhase::bpStopped : TBoardPhase::bpFail;
  if (Field(o, "serial").is_number_integer()) serial = Field(o, "serial").get<std::int64_t>();
  if (Field(o, "seconds").is_number()) seconds = Field(o, "seconds").get<double>();
  reason = phase == TBoardPhase::bpPass || !Field(o, "message").is_string() ? "" : Field(o, "message").get<std::string>();
  if (phase == TBoardPhase::bpPass) step = "done";
  if (phase != TBoardPhase::bpPass && reason.starts_with(step)) step.clear();  // the reason says it
  if (phase == TBoardPhase::bpPass) percent = 100;
  return true;
}

void TBoardState::Ended(const std::string& why) {
  if (phase != TBoardPhase::bpRunning) return;
  phase = TBoardPhase::bpFail;
  reason = why;
}

std::pair<std::string, std::string> SplitLabel(std::string_view line, const std::vector<std::string>& ports) {
  for (const std::string& port : ports) {
    if (line.size() > port.size() + 1 && line.starts_with(port) && line.substr(port.size(), 2) == ": ")
      return {port, std::string(line.substr(port.size() + 2))};
  }
  return {ports.size() == 1 ? ports.front() : std::string(), std::string(line)};
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
