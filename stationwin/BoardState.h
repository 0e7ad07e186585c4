// What a station tile shows of its board, taken from what the command line says of the run
// on its standard output under --json --events: typed events (the step, its progress, the
// serial number drawn) and the run's one result object, each naming its port. Plain C++, so
// that the window only shows it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavel::stationwin {

enum class TBoardPhase : std::uint8_t { bpReady, bpRunning, bpPass, bpFail, bpStopped };

// One line of a run's standard output, read.
struct TRunLine {
  enum TKind : std::uint8_t { rlNone, rlStep, rlProgress, rlSerial, rlResult };
  TKind kind = rlNone;  // rlNone: no line of the run's (not JSON, no port, an event of no known kind)
  std::string port;
  std::string step, text;  // rlStep, rlProgress: the step's key; rlStep: its words
  std::size_t done = 0, total = 0;
  std::optional<std::int64_t> serial;  // rlSerial, rlResult
  // rlResult:
  std::string result;                  // "ok", "refused", "stopped" ...
  bool station = false;                // a fault of the station's ("class": "station"), not the board's
  std::string message;
  std::vector<std::string> diagnosis;  // the message and its hints, a line each
  std::optional<double> seconds;
  std::size_t resent = 0;              // data records sent again
};
TRunLine ReadRunLine(std::string_view line);

struct TBoardState {
  TBoardPhase phase = TBoardPhase::bpReady;
  std::string stepKey;               // "sync", "program" ...
  std::string step;                  // its words: "programming", "verifying" ...
  int percent = -1;                  // -1 while the step has no measure
  std::optional<std::int64_t> serial;
  std::optional<double> seconds;
  std::string reason;                // on failure, the command line's diagnosis, hints included
  std::size_t resent = 0;

  // The state in a word, as the tile writes it: READY, RUNNING, PASS, FAIL, STOPPED.
  const char* Word() const;
  // A run begins: everything of the last one forgotten.
  void Begin();
  // A line of the run about this board. False for a result of the station's own fault: the
  // board was not worked on, and is ready as it was (its reason points to the banner).
  bool Take(const TRunLine& line);
  // The run's process ended; a board it never gave a result of failed with why.
  void Ended(const std::string& why);
};

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
