// The two databases behind TStationDb (internal to the station). What the station does is
// written once, in SQL both understand, in TSqlDb; a backend only connects, runs a statement
// with text parameters and says what went wrong.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <string>
#include <vector>

#include "station/StationDb.h"

namespace kavel::station {

inline constexpr int kBusyMs = 10000;  // how long a busy database is waited for

TStationStatus OpenSqlite(const std::string& path, TDbUse use, std::unique_ptr<TStationDb>& db);
TStationStatus OpenPostgres(const std::string& url, TDbUse use, std::unique_ptr<TStationDb>& db);

// ssFailed: "the station database <where> <what>: <why>".
inline TStationStatus StationFailed(const std::string& where, const std::string& what, const std::string& why) {
  return TStationStatus::Make(ssFailed, "the station database " + where + " " + what + ": " + why);
}

// Values as text, nothing for NULL: the parameters of a statement, or a row it returns.
using TValues = std::vector<std::optional<std::string>>;
// The statements' parameter n (from 1): "$1", "$2" ...
std::string SqlParameter(std::size_t n);
// A row as values: its id, then its columns as the log holds them; and back.
TValues RowAsValues(const TRunRow& row);
TRunRow RowFromValues(const TValues& values);

// A row of a statement's answer while it is read: its columns by number, from 0.
class TRowReader {
 public:
  virtual int Columns() const = 0;
  virtual bool Null(int column) const = 0;
  // The column as text ("" for NULL), valid until the next row is read.
  virtual std::string_view Text(int column) const = 0;
  // As a number: 0 for NULL.
  virtual double Real(int column) const = 0;
  virtual std::int64_t Whole(int column) const = 0;

 protected:
  ~TRowReader() = default;
};

class TSqlDb : public TStationDb {
 public:
  TStationStatus Begin(TRunRow& row) override;
  TStationStatus BeginAll(std::vector<TRunRow>& rows) override;
  TStationStatus Draw(std::vector<TRunRow*>& rows, const TSerialDraw& draw) override;
  TStationStatus Peek(const TSerialDraw& draw, std::optional<std::int64_t>& next) override;
  TStationStatus Spent(const TSerialDraw& draw, std::int64_t value, bool& spent) override;
  TStationStatus Finish(const TRunRow& row) override;
  TStationStatus FinishOnce(const TRunRow& row) override;
  TStationStatus List(const TLogFilter& filter, std::vector<TRunRow>& rows) override;
  TStationStatus Stats(const TLogFilter& filter, const std::vector<TStatsBy>& keys,
                       std::vector<TStatsGroup>& groups) override;
  bool Unconfirmed() const override { return m_unconfirmed; }

 protected:
  explicit TSqlDb(std::string shown) : m_shown(std::move(shown)) {}
  // Creates the schema, or brings it to this program's version, in one transaction.
  TStationStatus Migrate();
  // Done when the schema is this program's; for a database that is only read.
  TStationStatus CheckSchema();
  // The one or the other.
  TStationStatus Prepare(TDbUse use) { return use == TDbUse::duRecord ? Migrate() : CheckSchema(); }

  // Runs sql with $1, $2 ... bound to params, handing each row it returns to take as it is
  // read. False on failure, which Error() then says.
  virtual bool QueryEach(const std::string& sql, const TValues& params,
                         const std::function<void(const TRowReader&)>& take) = 0;
  // QueryEach, the rows into rows (when given).
  bool Query(const std::string& sql, const TValues& params = {}, std::vector<TValues>* rows = nullptr);
  virtual std::string Error() const = 0;
  // What opens a transaction that writes: the one that migrates, or one that records.
  virtual std::vector<std::string> WriteTransaction(bool migrating) const = 0;
  virtual bool Postgres() const = 0;
  // The connection can say nothing more: lost, or given up on a server that did not answer.
  virtual bool Gone() const = 0;
  // The last statement went out whole (its answer may still not have come).
  virtual bool Sent() const = 0;

  TStationStatus Failed(const std::string& what) const { return StationFailed(m_shown, what, Error()); }

  const std::string m_shown;  // the database's name for messages (a URL without its password)

 private:
  TStationStatus Rollback(const std::string& what);
  // Commits the write transaction; on failure the status, rolled back unless the commit
  // went unanswered (Unconfirmed() then).
  TStationStatus Commit();
  TStationStatus Update(const TRunRow& row, bool onlyUnfinished);
  bool m_nothingYet = false;   // read only, the database holds no tables yet
  int m_readVersion = kSchemaVersion;  // read only: the schema the log was written in
  bool m_unconfirmed = false;  // the last commit was sent, and went unanswered
  bool Write(bool migrating);
  // Within a write transaction: the draw's next number into row, the first that is not spent
  // in its domain (none when the source is used up). Done, or ssFailed (the transaction is
  // then the caller's to roll back).
  TStationStatus DrawInto(TRunRow& row, const TSerialDraw& draw);
};

}  // namespace kavel::station
