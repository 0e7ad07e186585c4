// The station's statements, once for both databases: parameters as $1, $2 ... (SQLite takes
// them as named parameters, numbered in the order they first stand), casts where PostgreSQL
// must know a parameter's type, and the row's values as text, which SQLite's column types
// turn into numbers as they are stored.
#include "station/SqlStatements.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace kavel::station {
namespace {

// The row's columns but the id, in the order of RowValues.
constexpr const char* kColumns[] = {"started",     "ended",           "station",      "port",   "command",
                                    "image",       "image_sha256",    "device_id",    "serial_name", "serial",
                                    "serial_verified", "result",      "exit_status",  "first_difference",
                                    "seconds",     "speed",           "retries",      "operator_name",
                                    "lot",         "device",          "reason",       "serial_kept",
                                    "result_class"};
// How many of them each schema has (from 1): a log of an older one is read with the rest empty.
constexpr std::size_t kColumnsOfSchema[] = {17, 20, 22, 23};
constexpr std::size_t kColumnCount = std::size(kColumns);
static_assert(std::size(kColumnsOfSchema) == kSchemaVersion && kColumnsOfSchema[kSchemaVersion - 1] == kColumnCount);

}  // namespace

// The statements are built by appending: concatenating onto temporaries makes GCC 12's
// optimizer warn of overlapping copies that cannot happen.
std::string InsertSql() {
  std::string names, params;
  for (std::size_t i = 0; i < kColumnCount; ++i) {
    names.append(i ? ", " : "").append(kColumns[i]);
    params.append(i ? ", " : "").append(SqlParameter(i + 1));
  }
  std::string sql = "INSERT INTO kavel_runs (";
  sql.append(names).append(") VALUES (").append(params).append(") RETURNING id");
  return sql;
}

// A row's number, once drawn, stays: a run that finishes its row without knowing it (its
// number drawn by another process, and the answer lost) leaves it as it is.
std::string UpdateSql(bool onlyUnfinished) {
  std::string sql = "UPDATE kavel_runs SET ";
  for (std::size_t i = 0; i < kColumnCount; ++i) {
    const std::string_view column = kColumns[i];
    sql.append(i ? ", " : "").append(column).append(" = ");
    if (column == "serial_name" || column == "serial") {
      sql.append("COALESCE(").append(SqlParameter(i + 1)).append(", ").append(column).append(")");
    } else {
      sql.append(SqlParameter(i + 1));
    }
  }
  sql.append(" WHERE id = CAST(").append(SqlParameter(kColumnCount + 1)).append(" AS BIGINT)");
  if (onlyUnfinished) sql.append(" AND result = '").append(TRunRow::kUnfinished).append("'");
  return sql;
}

namespace {

// The times as the rows hold them, and a time given as a parameter: a server's log of schema
// 4 on keeps them as timestamptz, the others as text in that form.
std::string TimeColumn(const char* column, bool timestamps) {
  if (!timestamps) return column;
  std::string sql = "to_char(";
  sql.append(column).append(" AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')");
  return sql;
}
std::string TimeParameter(std::size_t n, bool timestamps) {
  std::string sql = "CAST(";
  sql.append(SqlParameter(n)).append(timestamps ? " AS TIMESTAMPTZ)" : " AS TEXT)");
  return sql;
}

// The filter's conditions, from " FROM": $1 since, $2 serial, $3 port, $4 station, $5
// operator, $6 lot, $7 until, then $8 ... one for each result asked. A filter not given is
// still named, as a parameter that is NULL, so that every statement takes the same ones; it
// is no condition the planner must weigh, so that a filter given can use its column's index
// (SQLite scans the whole log for "$1 IS NULL OR started >= $1").
std::string WhereSql(int version, bool postgres, const TLogFilter& filter) {
  const bool timestamps = postgres && version >= 4;
  std::string sql = " FROM kavel_runs WHERE ";
  const auto condition = [&sql](bool given, const std::string& parameter, const std::string& test) {
    if (sql.back() != ' ') sql.append(" AND ");
    sql.append(given ? test : parameter + " IS NULL");
  };
  const std::string since = TimeParameter(1, timestamps), until = TimeParameter(7, timestamps);
  condition(!filter.since.empty(), since, "started >= " + since);
  condition(filter.serial.has_value(), "CAST($2 AS BIGINT)", "serial = CAST($2 AS BIGINT)");
  condition(!filter.port.empty(), "CAST($3 AS TEXT)", "port = $3");
  condition(!filter.station.empty(), "CAST($4 AS TEXT)", "station = $4");
  // A log of the first schema holds no operator or lot: a row of either is none of its rows.
  condition(version >= 2 && !filter.operatorName.empty(), "CAST($5 AS TEXT)", "operator_name = $5");
  condition(version >= 2 && !filter.lot.empty(), "CAST($6 AS TEXT)", "lot = $6");
  condition(!filter.until.empty(), until, "started < " + until);
  for (std::size_t i = 0; i < filter.results.size(); ++i) sql.append(i ? ", " : " AND result IN (").append(SqlParameter(8 + i));
  if (!filter.results.empty()) sql.append(")");
  return sql;
}

// Whether the log of that schema has the column.
bool Has(int version, std::string_view column) {
  const auto* end = kColumns + kColumnsOfSchema[version - 1];
  return std::find(kColumns, end, column) != end;
}

}  // namespace

// The newest rows come first when only they are asked for (newest), the oldest otherwise.
std::string SelectSql(int version, bool postgres, const TLogFilter& filter) {
  const bool timestamps = postgres && version >= 4;
  std::string names = "SELECT id";
  for (std::size_t i = 0; i < kColumnsOfSchema[version - 1]; ++i) {
    const std::string_view column = kColumns[i];
    names.append(", ").append(column == "started" || column == "ended" ? TimeColumn(kColumns[i], timestamps)
                                                                         : std::string(column));
  }
  for (std::size_t i = kColumnsOfSchema[version - 1]; i < kColumnCount; ++i) names.append(", NULL");
  names.append(WhereSql(version, postgres, filter));
  if (filter.newest == 0) return names.append(" ORDER BY id");
  // From a time on, the rows are found by their time's index and the newest taken of them;
  // walked newest first by id, a day's few failures would have SQLite read the whole log.
  names.append(filter.since.empty() ? " ORDER BY id" : " ORDER BY +id");
  return names.append(" DESC LIMIT ").append(std::to_string(filter.newest));
}

bool IsTime(TStatsBy by) { return by == TStatsBy::sbDay || by == TStatsBy::sbHour; }

// The statement of Stats: the time the rows started (when a day or hour is asked), each other
// key's column in the keys' order, the result, the class, and what the rows add up to: how
// many, the first tries among them, how many are timed, their seconds' sum and the longest.
// A server adds the rows up itself, a group for each quarter hour (UTC) they started in,
// which holds no local day's or hour's end in any time zone: every zone's offset is a whole
// number of quarter hours. SQLite sorts every row for a GROUP BY (a million rows take
// seconds): it hands each row over as it reads it, its figures those of one row, and the
// rows are added up as they come (TStatsAdder).
std::string StatsSql(int version, bool postgres, const std::vector<TStatsBy>& keys, const TLogFilter& filter) {
  const bool timed = std::any_of(keys.begin(), keys.end(), IsTime);
  const auto column = [version](TStatsBy by) -> std::string {
    const char* name = by == TStatsBy::sbStation ? "station"
                       : by == TStatsBy::sbPort  ? "port"
                       : by == TStatsBy::sbLot   ? "lot"
                                                 : "operator_name";
    return Has(version, name) ? name : "NULL";
  };
  std::string select = "SELECT ", group;
  const auto both = [&select, &group](const std::string& sql) {
    select.append(sql).append(", ");
    group.append(group.empty() ? " GROUP BY " : ", ").append(sql);
  };
  if (timed && postgres) {
    const std::string started = version >= 4 ? "started" : "CAST(started AS TIMESTAMPTZ)";
    const std::string quarter = "floor(date_part('epoch', " + started + ") / 900)";
    select.append(TimeColumn(("to_timestamp(" + quarter + " * 900)").c_str(), true)).append(", ");
    group.append(" GROUP BY ").append(quarter);
  } else if (timed) {
    select.append("started, ");
  }
  for (TStatsBy by : keys) {
    if (IsTime(by) || by == TStatsBy::sbResult) continue;
    if (postgres) {
      both(column(by));
    } else {
      select.append(column(by)).append(", ");
    }
  }
  const std::string resultClass = Has(version, "result_class") ? "result_class" : "NULL";
  const std::string kept = Has(version, "serial_kept") ? "serial_kept" : "0";
  if (postgres) {
    both("result");
    both(resultClass);
    select.append("count(*), sum(CASE WHEN " + kept + " = 0 THEN 1 ELSE 0 END), count(seconds), sum(seconds), "
                  "max(seconds)");
  } else {
    select.append("result, " + resultClass + ", 1, CASE WHEN " + kept +
                  " = 0 THEN 1 ELSE 0 END, CASE WHEN seconds IS NULL THEN 0 ELSE 1 END, seconds, seconds");
  }
  return select + WhereSql(version, postgres, filter) + group;
}

std::optional<std::string> Text(const std::string& text) {
  if (text.empty()) return std::nullopt;
  return text;
}

TValues RowValues(const TRunRow& row) {
  return {Text(row.started),    Text(row.ended),      Text(row.station),         Text(row.port),
          Text(row.command),    Text(row.image),      Text(row.imageSha256),     Text(row.deviceId),
          Text(row.serialName), Text(row.serial),     std::string(row.serialVerified ? "1" : "0"),
          Text(row.result),     Text(row.exitStatus), Text(row.firstDifference), Text(row.seconds),
          Text(row.speed),      std::to_string(row.retries), Text(row.operatorName), Text(row.lot),
          Text(row.device),     Text(row.reason),     std::string(row.serialKept ? "1" : "0"),
          Text(row.resultClass)};
}

std::optional<std::int64_t> Number(const std::optional<std::string>& v) {
  if (!v) return std::nullopt;
  return std::strtoll(v->c_str(), nullptr, 10);
}
// A whole number as a statement returns it, and nothing for anything else (a real that a
// counter past 64 bits became).
std::optional<std::int64_t> Whole(const std::optional<std::string>& v) {
  std::int64_t n = 0;
  if (!v) return std::nullopt;
  const auto [end, error] = std::from_chars(v->data(), v->data() + v->size(), n);
  if (error != std::errc() || end != v->data() + v->size()) return std::nullopt;
  return n;
}
std::optional<int> Small(const std::optional<std::string>& v) {
  const auto n = Number(v);
  return n ? std::optional<int>(static_cast<int>(*n)) : std::nullopt;
}

// A row as SelectSql returns it: the id, then the columns in order.
TRunRow RowFrom(const TValues& v) {
  const auto text = [&v](std::size_t i) { return v[i].value_or(""); };
  TRunRow row;
  row.id = Number(v[0]).value_or(0);
  row.started = text(1);
  row.ended = text(2);
  row.station = text(3);
  row.port = text(4);
  row.command = text(5);
  row.image = text(6);
  row.imageSha256 = text(7);
  row.deviceId = Small(v[8]);
  row.serialName = text(9);
  row.serial = Number(v[10]);
  row.serialVerified = Number(v[11]).value_or(0) != 0;
  row.result = text(12);
  row.exitStatus = Small(v[13]);
  row.firstDifference = text(14);
  if (v[15]) row.seconds = std::strtod(v[15]->c_str(), nullptr);
  row.speed = Small(v[16]);
  row.retries = Small(v[17]).value_or(0);
  row.operatorName = text(18);
  row.lot = text(19);
  row.device = text(20);
  row.reason = text(21);
  row.serialKept = Number(v[22]).value_or(0) != 0;
  if (v[23]) row.resultClass = *v[23];
  return row;
}

std::string SqlParameter(std::size_t n) {
  std::string name = "$";
  name.append(std::to_string(n));
  return name;
}

TValues RowAsValues(const TRunRow& row) {
  TValues values;
  values.reserve(kColumnCount + 1);
  values.emplace_back(std::to_string(row.id));
  for (auto& v : RowValues(row)) values.push_back(std::move(v));
  return values;
}

TRunRow RowFromValues(const TValues& values) {
  TValues v = values;
  v.resize(kColumnCount + 1);
  return RowFrom(v);
}

// The filter's parameters, as WhereSql numbers them.
TValues FilterValues(const TLogFilter& filter) {
  TValues values{Text(filter.since),        Text(filter.serial), Text(filter.port), Text(filter.station),
                 Text(filter.operatorName), Text(filter.lot),    Text(filter.until)};
  for (const std::string& result : filter.results) values.emplace_back(result);
  return values;
}

}  // namespace kavel::station
