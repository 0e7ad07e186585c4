// What a station tile shows of its board, taken from what the command line says of the run:
// its progress lines on standard error and its one JSON object on standard output. Plain
// C++, so that the window only shows it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavel::stationwin {

enum class TBoardPhase : std::uint8_t { bpReady, bpRunning, bpPass, bpFail, bpStopped };

struct TBoardState {
  TBoardPhase phase = TBoardPhase::bpReady;
  std::string step;                  // "programming", "verifying" ...
  int percent = -1;                  // -1 while the step has no measure
  std::optional<std::int64_t> serial;
  std::optional<double> seconds;
  std::string reason;                // on failure, in the command line's words

  // The state in a word, as the tile writes it: READY, RUNNING, PASS, FAIL, STOPPED.
  const char* Word() const;
  // A run begins: everything of the last one forgotten.
  void Begin();
  // A line of the run's standard error, its port's label taken off.
  void TakeErrLine(std::string_view line);
  // The run's JSON object. False when it is none.
  bool TakeResult(std::string_view json);
  // The run's process ended; a board it never said anything of failed with why.
  void Ended(const std::string& why);
};

// "COM1: programming 5% (1/18 records)" as the port it is about and the rest; a line without
// a label of one of ports is about the only port, or about none ("").
std::pair<std::string, std::string> SplitLabel(std::string_view line, const std::vector<std::string>& ports);

// The counters of a lot, as kavel-isp-cli log --stats --json gives them: passed and failed (a
// run still going, or whose end was never recorded, counts as neither), in all (every
// station's) and for each of ports at this station (--by port --station).
struct TCounts {
  int passed = 0, failed = 0;
  // The share passed, in percent; nothing before the first board.
  std::optional<double> Yield() const;
};
struct TLotCounts {
  TCounts all;
  std::vector<TCounts> ports;  // as ports are given
};
// all: the lot's figures (one JSON line); byPort: this station's, a line a port. Lines that
// are no figures count nothing.
TLotCounts CountStats(std::string_view all, std::string_view byPort, const std::vector<std::string>& ports);

}  // namespace kavel::stationwin
