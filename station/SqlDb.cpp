// The station's log in either database: its schema made or checked, rows begun and finished,
// serial numbers drawn and spent, and the log read, each in a transaction of its own. The
// statements themselves are SqlStatements.h's.
#include <algorithm>

#include "station/Backends.h"
#include "station/SqlStatements.h"
#include "station/Stats.h"

namespace kavel::station {
namespace {

// The sequence's next number, never below first ($2), the sequence going on by step ($3),
// taken in one statement, while it is at most the last ($4); no row once it is past. The
// caller sees to it that first is at most the last, so that nothing here runs past 64 bits.
constexpr const char* kDrawSql =
    "INSERT INTO kavel_serials (name, next) VALUES ($1, CAST($2 AS BIGINT) + CAST($3 AS BIGINT)) ON CONFLICT (name) "
    "DO UPDATE SET next = CASE WHEN kavel_serials.next > CAST($2 AS BIGINT) THEN kavel_serials.next ELSE "
    "CAST($2 AS BIGINT) END + CAST($3 AS BIGINT) WHERE CASE WHEN kavel_serials.next > CAST($2 AS BIGINT) THEN "
    "kavel_serials.next ELSE CAST($2 AS BIGINT) END <= CAST($4 AS BIGINT) RETURNING next - CAST($3 AS BIGINT)";
// The number spent in its domain ($1): a row back when it was not spent before, none when it
// was. Two transactions that spend one number at once are put one after the other by the
// key: the second finds it spent once the first commits.
constexpr const char* kSpendSql =
    "INSERT INTO kavel_spent (domain, value) VALUES ($1, CAST($2 AS BIGINT)) ON CONFLICT DO NOTHING RETURNING value";
constexpr const char* kRecordDrawSql =
    "UPDATE kavel_runs SET serial_name = $1, serial = CAST($2 AS BIGINT) WHERE id = CAST($3 AS BIGINT)";
// How many numbers of a counter in a row may be found spent before the draw gives up: they
// are spent only by a log that was brought together from others.
constexpr std::size_t kCounterTries = 1000;

}  // namespace

TStationStatus TSqlDb::Rollback(const std::string& what) {
  const TStationStatus failed = Failed(what);
  Query("ROLLBACK");
  return failed;
}

TStationStatus TSqlDb::Commit() {
  m_unconfirmed = false;
  if (Query("COMMIT")) return TStationStatus::Done();
  if (!Gone() || !Sent()) return Rollback("cannot be written");
  m_unconfirmed = true;
  return Failed("did not confirm what was written");
}

bool TSqlDb::Write(bool migrating) {
  for (const std::string& statement : WriteTransaction(migrating))
    if (!Query(statement)) return false;
  return true;
}

TStationStatus TSqlDb::Migrate() {
  if (!Write(true)) return Rollback("cannot be written");
  std::vector<TValues> found;
  if (!Query("CREATE TABLE IF NOT EXISTS kavel_schema (version INTEGER NOT NULL)") ||
      !Query("SELECT version FROM kavel_schema", {}, &found))
    return Rollback("cannot be written");
  const int version = found.empty() ? 0 : Small(found[0][0]).value_or(0);
  if (version > kSchemaVersion) {
    Query("ROLLBACK");
    return StationFailed(m_shown, "is of a newer schema", "version " + std::to_string(version) +
                                                              ", this program knows " + std::to_string(kSchemaVersion) +
                                                              " at most");
  }
  for (int v = version; v < kSchemaVersion; ++v) {
    for (const std::string& step : SchemaSteps(v, Postgres()))
      if (!Query(step)) return Rollback("cannot be brought to schema " + std::to_string(v + 1));
  }
  if (version != kSchemaVersion &&
      (!Query("DELETE FROM kavel_schema") ||
       !Query("INSERT INTO kavel_schema (version) VALUES (" + std::to_string(kSchemaVersion) + ")")))
    return Rollback("cannot be written");
  return Commit();
}

TStationStatus TSqlDb::CheckSchema() {
  std::vector<TValues> found;
  if (!Query("SELECT version FROM kavel_schema", {}, &found) || found.empty()) {
    if (Gone()) return Failed("cannot be read");  // the server went, or did not answer
    const std::string why = Error();
    // No tables at all (of ours, on a shared server): nothing was recorded yet, or the first
    // run is making them this moment. Anything else is not a station's log.
    std::vector<TValues> tables;
    const char* const count = Postgres()
                                  ? "SELECT count(*) FROM information_schema.tables WHERE table_name LIKE 'kavel\\_%'"
                                  : "SELECT count(*) FROM sqlite_master";
    if (Query(count, {}, &tables) && tables.size() == 1 && tables[0][0] == "0") {
      m_nothingYet = true;
      return TStationStatus::Done();
    }
    return StationFailed(m_shown, "holds no station log", why);
  }
  const int version = Small(found[0][0]).value_or(0);
  // An older log is read as it stands, what it did not keep yet empty.
  if (version >= 1 && version <= kSchemaVersion) {
    m_readVersion = version;
    return TStationStatus::Done();
  }
  return StationFailed(m_shown, version > kSchemaVersion ? "is of a newer schema" : "is of an older schema",
                       "version " + std::to_string(version) + ", this program reads " + std::to_string(kSchemaVersion) +
                           (version < kSchemaVersion ? " (recording a run with this program brings it up)" : ""));
}

TStationStatus TSqlDb::Begin(TRunRow& row) {
  std::vector<TRunRow> rows{row};
  const TStationStatus begun = BeginAll(rows);
  row = rows[0];
  return begun;
}

TStationStatus TSqlDb::BeginAll(std::vector<TRunRow>& rows) {
  const auto failed = [&rows](TStationStatus status) {
    for (TRunRow& row : rows) row.id = 0;
    return status;
  };
  if (!Write(false)) return failed(Rollback("cannot be written"));
  for (TRunRow& row : rows) {
    std::vector<TValues> inserted;
    if (!Query(InsertSql(), RowValues(row), &inserted) || inserted.size() != 1)
      return failed(Rollback("cannot be written"));
    row.id = Number(inserted[0][0]).value_or(0);
  }
  if (TStationStatus committed = Commit(); !committed.Ok()) return failed(committed);
  return TStationStatus::Done();
}

TStationStatus TSqlDb::DrawInto(TRunRow& row, const TSerialDraw& draw) {
  row.serialName = draw.name;
  row.serial.reset();
  const std::int64_t first = draw.values ? 0 : draw.first, last = draw.LastBase();
  if (first > last) return TStationStatus::Done();  // none left, or none that fits
  const std::size_t tries = draw.values ? draw.values->size() + 1 : kCounterTries;
  for (std::size_t i = 0; i < tries; ++i) {
    std::vector<TValues> drawn, spent;
    if (!Query(kDrawSql, {draw.name, std::to_string(first), std::to_string(draw.step), std::to_string(last)}, &drawn) ||
        drawn.size() > 1)
      return Failed("cannot be written");
    if (drawn.empty()) return TStationStatus::Done();  // used up
    const std::optional<std::int64_t> n = Whole(drawn[0][0]);
    if (!n || (draw.values && (*n < 0 || static_cast<std::size_t>(*n) >= draw.values->size())))
      return StationFailed(m_shown, "holds a serial sequence that cannot be used",
                           draw.name + " stands at " + drawn[0][0].value_or("nothing"));
    const std::int64_t value =
        draw.values ? static_cast<std::int64_t>((*draw.values)[static_cast<std::size_t>(*n)]) : *n;
    if (!Query(kSpendSql, {draw.Domain(), std::to_string(value)}, &spent)) return Failed("cannot be written");
    if (spent.size() == 1) {
      row.serial = value;
      return TStationStatus::Done();
    }
  }
  return StationFailed(m_shown, "cannot draw from " + draw.name,
                       std::to_string(tries) + " numbers in a row were handed out already");
}

TStationStatus TSqlDb::Draw(std::vector<TRunRow*>& rows, const TSerialDraw& draw) {
  std::vector<TRunRow> drawn;
  if (!Write(false)) return Rollback("cannot be written");
  for (const TRunRow* row : rows) {
    drawn.push_back(*row);
    if (TStationStatus status = DrawInto(drawn.back(), draw); !status.Ok()) {
      Query("ROLLBACK");
      return status;
    }
    if (!Query(kRecordDrawSql, {Text(drawn.back().serialName), Text(drawn.back().serial), std::to_string(row->id)}))
      return Rollback("cannot be written");
  }
  if (TStationStatus committed = Commit(); !committed.Ok()) return committed;
  for (std::size_t i = 0; i < rows.size(); ++i) *rows[i] = drawn[i];
  return TStationStatus::Done();
}

TStationStatus TSqlDb::Peek(const TSerialDraw& draw, std::optional<std::int64_t>& next) {
  next.reset();
  std::vector<TValues> found;
  if (!Query("SELECT next FROM kavel_serials WHERE name = $1", {draw.name}, &found) || found.size() > 1)
    return Failed("cannot be read");
  const std::int64_t first = draw.values ? 0 : draw.first;
  std::int64_t base = first;
  if (!found.empty()) {
    const std::optional<std::int64_t> stored = Whole(found[0][0]);
    if (!stored)
      return StationFailed(m_shown, "holds a serial sequence that cannot be used",
                           draw.name + " stands at " + found[0][0].value_or("nothing"));
    base = std::max(*stored, first);
  }
  if (base <= draw.LastBase()) next = base;
  return TStationStatus::Done();
}

TStationStatus TSqlDb::Spent(const TSerialDraw& draw, std::int64_t value, bool& spent) {
  std::vector<TValues> found;
  if (!Query("SELECT count(*) FROM kavel_spent WHERE domain = $1 AND value = CAST($2 AS BIGINT)",
             {draw.Domain(), std::to_string(value)}, &found) ||
      found.size() != 1)
    return Failed("cannot be read");
  spent = found[0][0] != "0";
  return TStationStatus::Done();
}

// In a transaction of its own: a server that stops answering halfway leaves the row as it
// was, even when it takes up the statements sent to it later.
TStationStatus TSqlDb::Update(const TRunRow& row, bool onlyUnfinished) {
  TValues values = RowValues(row);
  values.push_back(std::to_string(row.id));
  if (!Write(false) || !Query(UpdateSql(onlyUnfinished), values)) return Rollback("cannot be written");
  if (onlyUnfinished) {
    // A row sent late must have its row there (finished now, or before): a database made anew
    // since would take it nowhere.
    std::vector<TValues> found;
    if (!Query("SELECT count(*) FROM kavel_runs WHERE id = CAST($1 AS BIGINT)", {std::to_string(row.id)}, &found) ||
        found.size() != 1)
      return Rollback("cannot be read");
    if (found[0][0] != "1") {
      Query("ROLLBACK");
      return StationFailed(m_shown, "holds no row " + std::to_string(row.id), "the row waits");
    }
  }
  return Commit();
}

TStationStatus TSqlDb::Finish(const TRunRow& row) { return Update(row, false); }
TStationStatus TSqlDb::FinishOnce(const TRunRow& row) { return Update(row, true); }

TStationStatus TSqlDb::List(const TLogFilter& filter, std::vector<TRunRow>& rows) {
  rows.clear();
  if (m_nothingYet) return TStationStatus::Done();
  std::vector<TValues> found;
  if (!Query(SelectSql(m_readVersion, Postgres(), filter), FilterValues(filter), &found))
    return Failed("cannot be read");
  if (filter.newest > 0) std::reverse(found.begin(), found.end());
  for (const TValues& v : found) rows.push_back(RowFrom(v));
  return TStationStatus::Done();
}

TStationStatus TSqlDb::Stats(const TLogFilter& filter, const std::vector<TStatsBy>& keys,
                             std::vector<TStatsGroup>& groups) {
  groups.clear();
  TStatsAdder adder(keys);
  if (!m_nothingYet) {
    // The columns as StatsSql lays them out: each key's, then the result's and the rest.
    int next = std::any_of(keys.begin(), keys.end(), IsTime) ? 1 : 0;
    std::vector<int> at;
    for (TStatsBy by : keys) at.push_back(IsTime(by) ? 0 : by == TStatsBy::sbResult ? -1 : next++);
    const int result = next;
    std::replace(at.begin(), at.end(), -1, result);
    std::vector<std::string_view> texts(keys.size());
    const auto take = [&](const TRowReader& row) {
      for (std::size_t i = 0; i < keys.size(); ++i) texts[i] = row.Text(at[i]);
      adder.Add(texts, {row.Text(result), row.Null(result + 1) ? TRunRow::kBoard : row.Text(result + 1),
                        static_cast<int>(row.Whole(result + 2)), static_cast<int>(row.Whole(result + 3)),
                        static_cast<int>(row.Whole(result + 4)), row.Real(result + 5), row.Real(result + 6)});
    };
    // A server holds a group for each quarter hour and key while it adds them up: months of a
    // line's rows take tens of MB, which its default working memory (4 MB) would spill to disk.
    const bool server = Postgres();
    if (server && (!Query("BEGIN") || !Query("SET LOCAL work_mem = '64MB'"))) return Rollback("cannot be read");
    if (!QueryEach(StatsSql(m_readVersion, server, keys, filter), FilterValues(filter), take))
      return server ? Rollback("cannot be read") : Failed("cannot be read");
    if (server && !Query("COMMIT")) return Rollback("cannot be read");
  }
  groups = std::move(adder).Groups();
  return TStationStatus::Done();
}

bool TSqlDb::Query(const std::string& sql, const TValues& params, std::vector<TValues>* rows) {
  return QueryEach(sql, params, [rows](const TRowReader& row) {
    if (!rows) return;
    TValues values;
    for (int c = 0; c < row.Columns(); ++c)
      values.push_back(row.Null(c) ? std::nullopt : std::optional<std::string>(row.Text(c)));
    rows->push_back(std::move(values));
  });
}

}  // namespace kavel::station
