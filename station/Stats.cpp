#include "station/Stats.h"

#include <cstdio>
#include <ctime>

namespace kavel::station {
namespace {

constexpr const char* kByNames[] = {"", "station", "port", "lot", "day", "result"};

std::string KeyOf(const TRunRow& row, TStatsBy by) {
  switch (by) {
    case TStatsBy::sbStation: return row.station;
    case TStatsBy::sbPort: return row.port;
    case TStatsBy::sbLot: return row.lot;
    case TStatsBy::sbDay: return LocalDay(row.started);
    case TStatsBy::sbResult: return row.result;
    case TStatsBy::sbAll: break;
  }
  return {};
}

}  // namespace

std::optional<TStatsBy> StatsByFromText(std::string_view text) {
  for (std::size_t i = 1; i < std::size(kByNames); ++i)
    if (text == kByNames[i]) return static_cast<TStatsBy>(i);
  return std::nullopt;
}

const char* StatsByName(TStatsBy by) { return kByNames[static_cast<std::size_t>(by)]; }

std::optional<double> TStatsGroup::Yield() const {
  if (passed + failed == 0) return std::nullopt;
  return 100.0 * passed / (passed + failed);
}

std::optional<double> TStatsGroup::Average() const {
  if (timed == 0) return std::nullopt;
  return secondsSum / timed;
}

std::string LocalDay(const std::string& utc) {
  std::tm tm{};
  int got = 0;
  if (std::sscanf(utc.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                  &tm.tm_min, &tm.tm_sec, &got) != 6)
    return {};
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  const std::time_t seconds = timegm(&tm);
  std::tm local{};
  if (seconds == static_cast<std::time_t>(-1) || !localtime_r(&seconds, &local)) return {};
  char day[16];
  std::snprintf(day, sizeof day, "%04d-%02d-%02d", (local.tm_year + 1900) % 10000, (local.tm_mon + 1) % 100,
                local.tm_mday % 100);
  return day;
}

std::vector<TStatsGroup> Stats(const std::vector<TRunRow>& rows, TStatsBy by) {
  std::map<std::string, TStatsGroup> groups;
  if (by == TStatsBy::sbAll) groups[""];
  for (const TRunRow& row : rows) {
    const std::string key = KeyOf(row, by);
    TStatsGroup& g = groups[key];
    g.key = key;
    ++g.boards;
    if (row.result == TRunRow::kUnfinished) continue;
    if (row.result == "ok") {
      ++g.passed;
    } else {
      ++g.failed;
      ++g.failures[row.result];
    }
    if (row.seconds) {
      g.secondsSum += *row.seconds;
      ++g.timed;
      if (*row.seconds > g.longest) g.longest = *row.seconds;
    }
  }
  std::vector<TStatsGroup> out;
  for (auto& [key, group] : groups) out.push_back(std::move(group));
  return out;
}

}  // namespace kavel::station
