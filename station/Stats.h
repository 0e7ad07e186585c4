// The figures a quality department asks of the log: how many boards, how many passed and
// failed, the yield and the first-pass yield, how long a board took, and why the failed ones
// failed; in all, or for each station, port, lot, day, hour, result or operator, or a
// combination of them. A run the station refused before any chip answered is no board: it is
// counted apart.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "station/StationDb.h"

namespace kavel::station {

enum class TStatsBy : std::uint8_t { sbStation, sbPort, sbLot, sbDay, sbHour, sbResult, sbOperator };

// "station", "port", "lot", "day", "hour", "result", "operator"; nothing for another word.
std::optional<TStatsBy> StatsByFromText(std::string_view text);
// The key's name, as --by takes it and the figures name their field.
const char* StatsByName(TStatsBy by);
// Every key's name in that order, between: "station, port, ..." with between ", ".
std::string StatsByNames(std::string_view between);

struct TStatsGroup {
  std::vector<std::string> keys;  // the group's value of each key asked, in their order
  int boards = 0;                 // the boards' rows, a run still going (or whose end was never recorded) too
  int passed = 0, failed = 0;     // the boards' rows that ended: result ok, and any other
  double secondsSum = 0;          // over the boards' rows that ended and say how long they took
  int timed = 0;
  double longest = 0;
  std::map<std::string, int> failures;  // the failed boards' rows by result kind
  // A board's first try: a board's row that ended and is no later try of a board seen before
  // (one that kept its serial number); of those, the ones that passed.
  int firstTries = 0, firstPassed = 0;
  int notBoards = 0;                           // the station's rows (TRunRow::kStation)
  std::map<std::string, int> notBoardResults;  // those by result kind

  int Unfinished() const { return boards - passed - failed; }
  // The share passed of those that ended, in percent; nothing before the first.
  std::optional<double> Yield() const;
  // The share passed of the first tries, in percent; nothing before the first.
  std::optional<double> FirstPassYield() const;
  std::optional<double> Average() const;
};

// Rows of one result and one class in a group, added up (by the database, or one row).
struct TStatsPart {
  std::string_view result, resultClass;
  int rows = 0;
  int firsts = 0;  // of them, those that are no later try (serial_kept 0)
  int timed = 0;   // of them, those that say how long they took
  double secondsSum = 0, longest = 0;
};
// Adds the part to the group's figures.
void AddTo(TStatsGroup& group, const TStatsPart& part);

// The rows' figures, one group for each combination of the keys' values, in their order (one
// group for no keys, even of no rows). A day or hour is the local one the run started in.
std::vector<TStatsGroup> Stats(const std::vector<TRunRow>& rows, const std::vector<TStatsBy>& keys);

// The local day ("2026-12-08") of a time as the rows hold it; "" when it is none.
std::string LocalDay(const std::string& utc);
// The local hour ("2026-12-08 09:00") of a time as the rows hold it; "" when it is none.
std::string LocalHour(const std::string& utc);

// Groups the figures of many parts as they come (the database's answer, read row by row),
// holding only the groups: each part's group found by its keys' texts, a day or an hour
// worked out once for each quarter hour (UTC) the rows started in.
class TStatsAdder {
 public:
  explicit TStatsAdder(std::vector<TStatsBy> keys) : m_keys(std::move(keys)) {}
  // texts: each key's value for the part, in the keys' order; a day's or an hour's is the
  // time (UTC, as the rows hold it) the part's runs started in.
  void Add(std::span<const std::string_view> texts, const TStatsPart& part);
  // The groups in the order of their keys' values (one for no keys, even of no parts).
  std::vector<TStatsGroup> Groups() &&;

 private:
  // The local day or hour of a time, as LocalDay and LocalHour, kept for its quarter hour.
  const std::string& Local(std::string_view utc, bool hour);

  std::vector<TStatsBy> m_keys;
  std::unordered_map<std::string, std::size_t> m_index;  // the keys' texts, packed: the group
  std::vector<TStatsGroup> m_groups;
  std::string m_packed;
  struct TLocal {
    std::string day, hour;
  };
  std::unordered_map<std::string, TLocal> m_local;  // by the time's quarter hour ("2026-12-08T09:2")
  std::string m_lastQuarter;
  const TLocal* m_last = nullptr;  // m_lastQuarter's
  TLocal m_odd;                    // the last time that was none as the rows hold it
};

}  // namespace kavel::station
