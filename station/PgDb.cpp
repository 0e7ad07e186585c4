// The station database on a PostgreSQL server that several stations share. Numbers are drawn
// by one upsert, which the server serializes on the sequence's row.
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

class TPgDb final : public TSqlDb {
 public:
  TPgDb(std::string url, TDbUse use) : TSqlDb(Shown(url)), m_url(std::move(url)), m_use(use) {}
  ~TPgDb() override { PQfinish(m_conn); }
  TPgDb(const TPgDb&) = delete;
  TPgDb& operator=(const TPgDb&) = delete;

  TIspStatus Open();

 protected:
  bool Query(const std::string& sql, const TValues& params, std::vector<TValues>* rows) override;
  std::string Error() const override { return Words(PQerrorMessage(m_conn)); }
  // Stations that start together create the schema once: one key of this schema's, held to
  // the end of the transaction.
  std::vector<std::string> WriteTransaction(bool migrating) const override {
    if (migrating) return {"BEGIN", "SELECT pg_advisory_xact_lock(7270716)"};
    return {"BEGIN"};
  }
  bool Postgres() const override { return true; }

 private:
  std::string m_url;
  TDbUse m_use;
  PGconn* m_conn = nullptr;
};

bool TPgDb::Query(const std::string& sql, const TValues& params, std::vector<TValues>* rows) {
  std::vector<const char*> values;
  for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
  const TResult r(PQexecParams(m_conn, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                               nullptr, 0),
                  &PQclear);
  const ExecStatusType status = PQresultStatus(r.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) return false;
  for (int i = 0; rows && i < PQntuples(r.get()); ++i) {
    TValues row;
    for (int c = 0; c < PQnfields(r.get()); ++c)
      row.push_back(PQgetisnull(r.get(), i, c) ? std::nullopt : std::optional<std::string>(PQgetvalue(r.get(), i, c)));
    rows->push_back(std::move(row));
  }
  return true;
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
  if (!Query("SET statement_timeout = " + bound, {}, nullptr) || !Query("SET lock_timeout = " + bound, {}, nullptr) ||
      !Query("SET client_min_messages = warning", {}, nullptr))
    return Failed("cannot be used");
  return Prepare(m_use);
}

}  // namespace

TIspStatus OpenPostgres(const std::string& url, TDbUse use, std::unique_ptr<TStationDb>& db) {
  auto pg = std::make_unique<TPgDb>(url, use);
  if (TIspStatus opened = pg->Open(); !opened.Ok()) return opened;
  db = std::move(pg);
  return TIspStatus::Done();
}

}  // namespace kavel::station
