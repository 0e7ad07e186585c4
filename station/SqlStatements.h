// The station's statements as text, for both databases, and a row's values as they are bound
// to them and read back (internal to the station: TSqlDb runs them).
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "station/Backends.h"
#include "station/Stats.h"

namespace kavel::station {

// A row inserted: its columns as RowValues gives them, its id returned.
std::string InsertSql();
// A row finished: its columns as RowValues gives them, then its id; onlyUnfinished: only a
// row that is still unfinished.
std::string UpdateSql(bool onlyUnfinished);
// The rows the filter selects from a log of that schema version, its parameters
// FilterValues'.
std::string SelectSql(int version, bool postgres, const TLogFilter& filter);
// The statement of Stats, its parameters FilterValues'.
std::string StatsSql(int version, bool postgres, const std::vector<TStatsBy>& keys, const TLogFilter& filter);
// A key of the time the rows started: the day or the hour.
bool IsTime(TStatsBy by);

// A value as a parameter: nothing for "" or none; a real with three decimals.
std::optional<std::string> Text(const std::string& text);
template <typename T>
std::optional<std::string> Text(const std::optional<T>& value) {
  if (!value) return std::nullopt;
  if constexpr (std::is_floating_point_v<T>) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", *value);
    return text;
  }
  return std::to_string(*value);
}
// A row's columns but the id, as parameters in their order.
TValues RowValues(const TRunRow& row);
// The filter's parameters.
TValues FilterValues(const TLogFilter& filter);
// A row as SelectSql returns it.
TRunRow RowFrom(const TValues& v);
// A value as a number: none for nothing.
std::optional<std::int64_t> Number(const std::optional<std::string>& v);
// A whole number as a statement returns it, and nothing for anything else.
std::optional<std::int64_t> Whole(const std::optional<std::string>& v);
std::optional<int> Small(const std::optional<std::string>& v);

}  // namespace kavel::station
