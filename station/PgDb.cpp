// The station database on a PostgreSQL server that several stations share. Numbers are drawn
// by one upsert, which the server serializes on the sequence's row; the schema is created
// under a transaction-scoped advisory lock, so that stations starting together create it once.
#include <libpq-fe.h>

#include <cstdlib>
#include <string>

#include "station/Backends.h"

namespace kavel::station {
namespace {

using TResult = std::unique_ptr<PGresult, void (*)(PGresult*)>;

// The URL without its password, for messages.
std::string Shown(const std::string& url) {
  const std::size_t scheme = url.find("://");
  const std::size_t at = url.find('@');
  if (scheme == std::string::npos || at == std::string::npos) return url;
  const std::size_t colon = url.find(':', scheme + 3);
  if (colon == std::string::npos || colon > at) return url;
  return url.substr(0, colon) + ":***" + url.substr(at);
}

// libpq's message on one line: its line breaks and tabs as single spaces, no full stop at the end.
std::string Words(const char* message) {
  std::string text;
  for (const char* c = message ? message : ""; *c; ++c) {
    const bool space = *c == '\n' || *c == '\t' || *c == ' ';
    if (!space) {
      text += *c;
    } else if (!text.empty() && text.back() != ' ') {
      text += ' ';
    }
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '.')) text.pop_back();
  return text.empty() ? "the server gave no reason" : text;
}

// The server's notices (a shutdown's farewell) are not the command line's to print.
void Quiet(void*, const char*) {}

class TPgDb final : public TStationDb {
 public:
  explicit TPgDb(std::string url) : m_url(std::move(url)), m_shown(Shown(m_url)) {}
  ~TPgDb() override { PQfinish(m_conn); }
  TPgDb(const TPgDb&) = delete;
  TPgDb& operator=(const TPgDb&) = delete;

  TIspStatus Open();
  TIspStatus Begin(TRunRow& row, const TSerialDraw* draw) override;
  TIspStatus Finish(const TRunRow& row) override;
  TIspStatus List(const TLogFilter& filter, std::vector<TRunRow>& rows) override;

 private:
  TIspStatus Failed(const std::string& what) const { return StationFailed(m_shown, what, Words(PQerrorMessage(m_conn))); }
  // Runs a statement with text parameters ("" and nothing are NULL).
  TResult Run(const std::string& sql, const std::vector<std::optional<std::string>>& params = {}) {
    std::vector<const char*> values;
    for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
    return TResult(PQexecParams(m_conn, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                                nullptr, 0),
                   &PQclear);
  }
  static bool Good(const TResult& r) {
    const ExecStatusType s = PQresultStatus(r.get());
    return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
  }
  bool Exec(const std::string& sql) { return Good(Run(sql)); }
  TIspStatus Rollback(const std::string& what) {
    const TIspStatus failed = Failed(what);
    Exec("ROLLBACK");
    return failed;
  }
  TIspStatus Migrate();

  std::string m_url, m_shown;
  PGconn* m_conn = nullptr;
};

std::optional<std::string> Param(const std::string& text) {
  if (text.empty()) return std::nullopt;
  return text;
}
template <typename T>
std::optional<std::string> Param(const std::optional<T>& value) {
  if (!value) return std::nullopt;
  return std::to_string(*value);
}

// The row's columns but the id, as parameters $1 to $17.
std::vector<std::optional<std::string>> RowParams(const TRunRow& row) {
  return {Param(row.started),   Param(row.ended),       Param(row.station),     Param(row.port),
          Param(row.command),   Param(row.image),       Param(row.imageSha256), Param(row.deviceId),
          Param(row.serialName), Param(row.serial),     std::string(row.serialVerified ? "1" : "0"),
          Param(row.result),    Param(row.exitStatus),  Param(row.firstDifference), Param(row.seconds),
          Param(row.speed),     std::to_string(row.retries)};
}

TIspStatus TPgDb::Open() {
  // The URL as given, with a bound on connecting unless it sets one itself.
  const char* keys[] = {"dbname", "connect_timeout", "application_name", nullptr};
  const std::string timeout = std::to_string(kBusyMs / 1000);
  const char* values[] = {m_url.c_str(), timeout.c_str(), "kavel-isp-cli", nullptr};
  m_conn = PQconnectdbParams(keys, values, 1);
  if (!m_conn) return StationFailed(m_shown, "cannot be reached", "out of memory");
  if (PQstatus(m_conn) != CONNECTION_OK) return Failed("cannot be reached");
  PQsetNoticeProcessor(m_conn, &Quiet, nullptr);
  // A statement or a lock that waits longer than the bound fails instead of hanging the line.
  const std::string bound = std::to_string(kBusyMs);
  if (!Exec("SET statement_timeout = " + bound) || !Exec("SET lock_timeout = " + bound) ||
      !Exec("SET client_min_messages = warning"))
    return Failed("cannot be used");
  return Migrate();
}

TIspStatus TPgDb::Migrate() {
  if (!Exec("BEGIN")) return Failed("cannot be written");
  // One key for this schema, held to the end of the transaction.
  if (!Exec("SELECT pg_advisory_xact_lock(7270716)") ||
      !Exec("CREATE TABLE IF NOT EXISTS kavel_schema (version INTEGER NOT NULL)"))
    return Rollback("cannot be written");
  int version = 0;
  {
    const TResult r = Run("SELECT version FROM kavel_schema");
    if (!Good(r)) return Rollback("cannot be read");
    if (PQntuples(r.get()) > 0) version = std::atoi(PQgetvalue(r.get(), 0, 0));
  }
  if (version > kSchemaVersion) {
    Exec("ROLLBACK");
    return StationFailed(m_shown, "is of a newer schema", "version " + std::to_string(version) +
                                                              ", this program knows " + std::to_string(kSchemaVersion) +
                                                              " at most");
  }
  for (int v = version; v < kSchemaVersion; ++v) {
    for (const std::string& step : SchemaSteps(v, true))
      if (!Exec(step)) return Rollback("cannot be brought to schema " + std::to_string(v + 1));
  }
  if (version != kSchemaVersion &&
      (!Exec("DELETE FROM kavel_schema") ||
       !Exec("INSERT INTO kavel_schema (version) VALUES (" + std::to_string(kSchemaVersion) + ")")))
    return Rollback("cannot be written");
  if (!Exec("COMMIT")) return Rollback("cannot be written");
  return TIspStatus::Done();
}

TIspStatus TPgDb::Begin(TRunRow& row, const TSerialDraw* draw) {
  if (!Exec("BEGIN")) return Failed("cannot be written");
  if (draw) {
    const TResult r = Run(
        "INSERT INTO kavel_serials (name, next) VALUES ($1, $2::bigint + 1) ON CONFLICT (name) DO UPDATE SET next = "
        "GREATEST(kavel_serials.next, $2::bigint) + 1 RETURNING next - 1",
        {draw->name, std::to_string(draw->first)});
    if (!Good(r) || PQntuples(r.get()) != 1) return Rollback("cannot be written");
    row.serial = std::strtoll(PQgetvalue(r.get(), 0, 0), nullptr, 10);
    row.serialName = draw->name;
  }
  const TResult r = Run(
      "INSERT INTO kavel_runs (started, ended, station, port, command, image, image_sha256, device_id, serial_name, "
      "serial, serial_verified, result, exit_status, first_difference, seconds, speed, retries) VALUES ($1, $2, $3, "
      "$4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16, $17) RETURNING id",
      RowParams(row));
  if (!Good(r) || PQntuples(r.get()) != 1 || !Exec("COMMIT")) {
    row.serial.reset();
    return Rollback("cannot be written");
  }
  row.id = std::strtoll(PQgetvalue(r.get(), 0, 0), nullptr, 10);
  return TIspStatus::Done();
}

TIspStatus TPgDb::Finish(const TRunRow& row) {
  std::vector<std::optional<std::string>> params = RowParams(row);
  params.push_back(std::to_string(row.id));
  const TResult r = Run(
      "UPDATE kavel_runs SET started = $1, ended = $2, station = $3, port = $4, command = $5, image = $6, "
      "image_sha256 = $7, device_id = $8, serial_name = $9, serial = $10, serial_verified = $11, result = $12, "
      "exit_status = $13, first_difference = $14, seconds = $15, speed = $16, retries = $17 WHERE id = $18",
      params);
  if (!Good(r)) return Failed("cannot be written");
  return TIspStatus::Done();
}

TIspStatus TPgDb::List(const TLogFilter& filter, std::vector<TRunRow>& rows) {
  rows.clear();
  const TResult r = Run(std::string("SELECT ") + kRowColumns +
                            " FROM kavel_runs WHERE ($1::text IS NULL OR started >= $1) AND ($2::bigint IS NULL OR "
                            "serial = $2) AND ($3::text IS NULL OR port = $3) ORDER BY id",
                        {Param(filter.since), Param(filter.serial), Param(filter.port)});
  if (!Good(r)) return Failed("cannot be read");
  const auto text = [&r](int row, int col) { return std::string(PQgetvalue(r.get(), row, col)); };
  const auto number = [&r](int row, int col) -> std::optional<std::int64_t> {
    if (PQgetisnull(r.get(), row, col)) return std::nullopt;
    return std::strtoll(PQgetvalue(r.get(), row, col), nullptr, 10);
  };
  const auto small = [&number](int row, int col) -> std::optional<int> {
    const auto n = number(row, col);
    return n ? std::optional<int>(static_cast<int>(*n)) : std::nullopt;
  };
  for (int i = 0; i < PQntuples(r.get()); ++i) {
    TRunRow row;
    row.id = number(i, 0).value_or(0);
    row.started = text(i, 1);
    row.ended = text(i, 2);
    row.station = text(i, 3);
    row.port = text(i, 4);
    row.command = text(i, 5);
    row.image = text(i, 6);
    row.imageSha256 = text(i, 7);
    row.deviceId = small(i, 8);
    row.serialName = text(i, 9);
    row.serial = number(i, 10);
    row.serialVerified = number(i, 11).value_or(0) != 0;
    row.result = text(i, 12);
    row.exitStatus = small(i, 13);
    row.firstDifference = text(i, 14);
    if (!PQgetisnull(r.get(), i, 15)) row.seconds = std::strtod(PQgetvalue(r.get(), i, 15), nullptr);
    row.speed = small(i, 16);
    row.retries = small(i, 17).value_or(0);
    rows.push_back(std::move(row));
  }
  return TIspStatus::Done();
}

}  // namespace

TIspStatus OpenPostgres(const std::string& url, std::unique_ptr<TStationDb>& db) {
  auto pg = std::make_unique<TPgDb>(url);
  if (TIspStatus opened = pg->Open(); !opened.Ok()) return opened;
  db = std::move(pg);
  return TIspStatus::Done();
}

}  // namespace kavel::station
