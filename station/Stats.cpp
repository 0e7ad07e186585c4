#include "station/Stats.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace kavel::station {
namespace {

constexpr const char* kByNames[] = {"station", "port", "lot", "day", "hour", "result", "operator"};

// The local time of a time as the rows hold it; nothing when it is none.
std::optional<std::tm> LocalTm(const std::string& utc) {
  std::tm tm{};
  int got = 0;
  if (std::sscanf(utc.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                  &tm.tm_min, &tm.tm_sec, &got) != 6)
    return std::nullopt;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  const std::time_t seconds = timegm(&tm);
  std::tm local{};
  if (seconds == static_cast<std::time_t>(-1) || !localtime_r(&seconds, &local)) return std::nullopt;
  return local;
}

std::string DayText(const std::tm& local) {
  char day[16];
  std::snprintf(day, sizeof day, "%04d-%02d-%02d", (local.tm_year + 1900) % 10000, (local.tm_mon + 1) % 100,
                local.tm_mday % 100);
  return day;
}

std::string HourText(const std::tm& local) {
  char hour[8];
  std::snprintf(hour, sizeof hour, " %02d:00", local.tm_hour % 100);
  return DayText(local) + hour;
}

std::string KeyOf(const TRunRow& row, TStatsBy by) {
  switch (by) {
    case TStatsBy::sbStation: return row.station;
    case TStatsBy::sbPort: return row.port;
    case TStatsBy::sbLot: return row.lot;
    case TStatsBy::sbDay: return LocalDay(row.started);
    case TStatsBy::sbHour: return LocalHour(row.started);
    case TStatsBy::sbResult: return row.result;
    case TStatsBy::sbOperator: return row.operatorName;
  }
  return {};
}

// The quarter hour of a time as the rows hold it ("2026-12-08T09:42:56..."): its first 14
// characters and the quarter ("2026-12-08T09:2"), which decide its local day and hour in
// every zone (each zone's offset is a whole number of quarter hours, and changes on one);
// "" for a time that is not in that form.
std::string_view Quarter(std::string_view utc, char (&quarter)[15]) {
  const auto digit = [&utc](std::size_t i) { return utc[i] >= '0' && utc[i] <= '9'; };
  if (utc.size() < 19 || utc[13] != ':' || utc[16] != ':' || !digit(14) || !digit(15) || !digit(17) || !digit(18))
    return {};
  std::copy_n(utc.data(), 14, quarter);
  quarter[14] = static_cast<char>('0' + ((utc[14] - '0') * 10 + (utc[15] - '0')) / 15);
  return {quarter, sizeof quarter};
}

}  // namespace

std::optional<TStatsBy> StatsByFromText(std::string_view text) {
  for (std::size_t i = 0; i < std::size(kByNames); ++i)
    if (text == kByNames[i]) return static_cast<TStatsBy>(i);
  return std::nullopt;
}

const char* StatsByName(TStatsBy by) { return kByNames[static_cast<std::size_t>(by)]; }

std::string StatsByNames(std::string_view between) {
  std::string names;
  for (const char* name : kByNames) names.append(names.empty() ? "" : between).append(name);
  return names;
}

std::optional<double> TStatsGroup::Yield() const {
  if (passed + failed == 0) return std::nullopt;
  return 100.0 * passed / (passed + failed);
}

std::optional<double> TStatsGroup::FirstPassYield() const {
  if (firstTries == 0) return std::nullopt;
  return 100.0 * firstPassed / firstTries;
}

std::optional<double> TStatsGroup::Average() const {
  if (timed == 0) return std::nullopt;
  return secondsSum / timed;
}

std::string LocalDay(const std::string& utc) {
  const auto local = LocalTm(utc);
  return local ? DayText(*local) : std::string();
}

std::string LocalHour(const std::string& utc) {
  const auto local = LocalTm(utc);
  return local ? HourText(*local) : std::string();
}

void AddTo(TStatsGroup& group, const TStatsPart& part) {
  if (part.resultClass == TRunRow::kStation) {
    group.notBoards += part.rows;
    group.notBoardResults[std::string(part.result)] += part.rows;
    return;
  }
  group.boards += part.rows;
  if (part.result == TRunRow::kUnfinished) return;
  if (part.result == "ok") {
    group.passed += part.rows;
    group.firstPassed += part.firsts;
  } else {
    group.failed += part.rows;
    group.failures[std::string(part.result)] += part.rows;
  }
  group.firstTries += part.firsts;
  if (part.timed > 0) {
    group.secondsSum += part.secondsSum;
    group.longest = group.timed > 0 ? std::max(group.longest, part.longest) : part.longest;
    group.timed += part.timed;
  }
}

std::vector<TStatsGroup> Stats(const std::vector<TRunRow>& rows, const std::vector<TStatsBy>& keys) {
  std::map<std::vector<std::string>, TStatsGroup> groups;
  if (keys.empty()) groups[{}];
  for (const TRunRow& row : rows) {
    std::vector<std::string> key;
    for (TStatsBy by : keys) key.push_back(KeyOf(row, by));
    TStatsGroup& g = groups[key];
    g.keys = key;
    const bool timed = row.seconds.has_value();
    AddTo(g, {row.result, row.resultClass, 1, row.serialKept ? 0 : 1, timed ? 1 : 0, row.seconds.value_or(0),
              row.seconds.value_or(0)});
  }
  std::vector<TStatsGroup> out;
  for (auto& [key, group] : groups) out.push_back(std::move(group));
  return out;
}

const std::string& TStatsAdder::Local(std::string_view utc, bool hour) {
  char buffer[15];
  const std::string_view quarter = Quarter(utc, buffer);
  if (quarter.empty()) {  // no time as the rows hold it: worked out on its own
    const auto local = LocalTm(std::string(utc));
    m_odd = {local ? DayText(*local) : "", local ? HourText(*local) : ""};
    return hour ? m_odd.hour : m_odd.day;
  }
  if (!m_last || quarter != m_lastQuarter) {
    m_lastQuarter = quarter;
    const auto [at, added] = m_local.try_emplace(m_lastQuarter);
    if (added) {
      const auto local = LocalTm(std::string(utc));
      at->second = {local ? DayText(*local) : "", local ? HourText(*local) : ""};
    }
    m_last = &at->second;
  }
  return hour ? m_last->hour : m_last->day;
}

void TStatsAdder::Add(std::span<const std::string_view> texts, const TStatsPart& part) {
  m_packed.clear();
  for (std::size_t i = 0; i < m_keys.size(); ++i) {
    const bool time = m_keys[i] == TStatsBy::sbDay || m_keys[i] == TStatsBy::sbHour;
    const std::string_view text = time ? std::string_view(Local(texts[i], m_keys[i] == TStatsBy::sbHour)) : texts[i];
    // Each text after its length, so that no two lists of texts pack alike.
    const auto size = static_cast<std::uint32_t>(text.size());
    m_packed.append(reinterpret_cast<const char*>(&size), sizeof size).append(text);
  }
  const auto [at, added] = m_index.try_emplace(m_packed, m_groups.size());
  if (added) {
    TStatsGroup& g = m_groups.emplace_back();
    for (std::size_t i = 0; i < m_keys.size(); ++i) {
      const bool time = m_keys[i] == TStatsBy::sbDay || m_keys[i] == TStatsBy::sbHour;
      g.keys.emplace_back(time ? std::string_view(Local(texts[i], m_keys[i] == TStatsBy::sbHour)) : texts[i]);
    }
  }
  AddTo(m_groups[at->second], part);
}

std::vector<TStatsGroup> TStatsAdder::Groups() && {
  if (m_keys.empty() && m_groups.empty()) m_groups.emplace_back();
  std::sort(m_groups.begin(), m_groups.end(), [](const TStatsGroup& a, const TStatsGroup& b) { return a.keys < b.keys; });
  return std::move(m_groups);
}

}  // namespace kavel::station
