#include "stationwin/BoardState.h"

#include <algorithm>
#include <charconv>

#include <nlohmann/json.hpp>

namespace kavel::stationwin {

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
  const std::string result = o["result"].is_string() ? o["result"].get<std::string>() : "";
  phase = result == "ok" ? TBoardPhase::bpPass : result == "stopped" ? TBoardPhase::bpStopped : TBoardPhase::bpFail;
  if (o.contains("serial") && o["serial"].is_number_integer()) serial = o["serial"].get<std::int64_t>();
  if (o.contains("seconds") && o["seconds"].is_number()) seconds = o["seconds"].get<double>();
  reason = phase == TBoardPhase::bpPass || !o["message"].is_string() ? "" : o["message"].get<std::string>();
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

TLotCounts CountRows(std::string_view jsonLines, const std::vector<std::string>& ports, const std::string& station) {
  TLotCounts counts;
  counts.ports.resize(ports.size());
  for (std::size_t at = 0; at < jsonLines.size();) {
    const std::size_t end = std::min(jsonLines.find('\n', at), jsonLines.size());
    const nlohmann::json row = nlohmann::json::parse(jsonLines.substr(at, end - at), nullptr, false);
    at = end + 1;
    if (!row.is_object() || !row["result"].is_string() || row["result"] == "unfinished") continue;
    const bool passed = row["result"] == "ok";
    (passed ? counts.all.passed : counts.all.failed)++;
    if (!row["station"].is_string() || row["station"] != station || !row["port"].is_string()) continue;
    const auto port = std::find(ports.begin(), ports.end(), row["port"].get<std::string>());
    if (port != ports.end()) (passed ? counts.ports[port - ports.begin()].passed : counts.ports[port - ports.begin()].failed)++;
  }
  return counts;
}

}  // namespace kavel::stationwin
