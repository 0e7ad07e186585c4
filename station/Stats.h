// The figures a quality department asks of the log: how many boards, how many passed and
// failed, the yield, how long a board took, and why the failed ones failed; in all, or for
// each station, port, lot, day or result.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "station/StationDb.h"

namespace kavel::station {

enum class TStatsBy : std::uint8_t { sbAll, sbStation, sbPort, sbLot, sbDay, sbResult };

// "station", "port", "lot", "day", "result"; nothing for another word.
std::optional<TStatsBy> StatsByFromText(std::string_view text);
// The column's name: "" for sbAll.
const char* StatsByName(TStatsBy by);

struct TStatsGroup {
  std::string key;              // the station, port, lot, local day or result ("" for sbAll)
  int boards = 0;               // every row, a run still going (or whose end was never recorded) too
  int passed = 0, failed = 0;   // the rows that ended: result ok, and any other
  double secondsSum = 0;        // over the rows that ended and say how long they took
  int timed = 0;
  double longest = 0;
  std::map<std::string, int> failures;  // the failed rows by result kind

  int Unfinished() const { return boards - passed - failed; }
  // The share passed of those that ended, in percent; nothing before the first.
  std::optional<double> Yield() const;
  std::optional<double> Average() const;
};

// The rows' figures, one group for each value of by in its order (one group for sbAll, even
// of no rows). A day is the local day the run started.
std::vector<TStatsGroup> Stats(const std::vector<TRunRow>& rows, TStatsBy by);

// The local day ("2026-12-08") of a time as the rows hold it; "" when it is none.
std::string LocalDay(const std::string& utc);

}  // namespace kavel::station
