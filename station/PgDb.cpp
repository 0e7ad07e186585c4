// The station database on a PostgreSQL server that several stations share. Numbers are drawn
// by one upsert, which the server serializes on the sequence's row.
#include <libpq-fe.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

#include "station/Backends.h"
#include "station/Conninfo.h"

namespace kavel::station {
namespace {

using TResult = std::unique_ptr<PGresult, void (*)(PGresult*)>;
using TClock = std::chrono::steady_clock;

// How long a statement's answer is waited for. The server's own bounds on statements and
// locks are a second shorter, so that a busy server says so itself before this runs out; a
// server that answers nothing at all (stopped, or its host gone quiet) is given up here.
constexpr int kAnswerMs = kBusyMs;
constexpr int kServerBoundMs = kBusyMs - 1000;

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
  TPgDb(std::string url, TDbUse use) : TSqlDb(Masked(url, url)), m_url(std::move(url)), m_use(use) {}
  ~TPgDb() override { PQfinish(m_conn); }
  TPgDb(const TPgDb&) = delete;
  TPgDb& operator=(const TPgDb&) = delete;

  TStationStatus Open();
  bool Lost() const override { return !m_givenUp && (!m_conn || PQstatus(m_conn) == CONNECTION_BAD); }

 protected:
  bool QueryEach(const std::string& sql, const TValues& params,
                 const std::function<void(const TRowReader&)>& take) override;
  std::string Error() const override {
    return Masked(m_givenUp || !m_conn ? m_gone : Words(PQerrorMessage(m_conn)), m_url);
  }
  // Stations that start together create the schema once: one key of this schema's, held to
  // the end of the transaction.
  std::vector<std::string> WriteTransaction(bool migrating) const override {
    if (migrating) return {"BEGIN", "SELECT pg_advisory_xact_lock(7270716)"};
    return {"BEGIN"};
  }
  bool Postgres() const override { return true; }
  bool Gone() const override { return m_givenUp || !m_conn || PQstatus(m_conn) == CONNECTION_BAD; }
  bool Sent() const override { return m_sent; }

 private:
  // Waits until the connection's socket is ready for what is asked (events) or the deadline
  // has passed: false then.
  bool Await(short events, TClock::time_point deadline) const;
  // Gives up a server that did not answer in time: the connection is closed, so that nothing
  // sent on it (a transaction's statements without their commit) is carried out later.
  bool GiveUp();

  std::string m_url;
  TDbUse m_use;
  PGconn* m_conn = nullptr;
  bool m_givenUp = false;
  bool m_sent = false;  // the last statement went out whole
  std::string m_gone = "the server could not be reached";  // why there is no connection
};

bool TPgDb::Await(short events, TClock::time_point deadline) const {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
    if (left <= 0) return false;
    pollfd fd{PQsocket(m_conn), events, 0};
    const int ready = poll(&fd, 1, static_cast<int>(left));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return true;  // libpq's next call says what is wrong
  }
}

bool TPgDb::GiveUp() {
  PQfinish(m_conn);
  m_conn = nullptr;
  m_givenUp = true;
  m_gone = "the server did not answer within " + std::to_string(kAnswerMs / 1000) + " s";
  return false;
}

// A row of a result.
class TPgRow final : public TRowReader {
 public:
  TPgRow(const PGresult* result, int row) : m_result(result), m_row(row) {}
  int Columns() const override { return PQnfields(m_result); }
  bool Null(int c) const override { return PQgetisnull(m_result, m_row, c) != 0; }
  std::string_view Text(int c) const override {
    return {PQgetvalue(m_result, m_row, c), static_cast<std::size_t>(PQgetlength(m_result, m_row, c))};
  }
  double Real(int c) const override { return std::strtod(PQgetvalue(m_result, m_row, c), nullptr); }
  std::int64_t Whole(int c) const override { return std::strtoll(PQgetvalue(m_result, m_row, c), nullptr, 10); }

 private:
  const PGresult* m_result;
  int m_row;
};

bool TPgDb::QueryEach(const std::string& sql, const TValues& params,
                      const std::function<void(const TRowReader&)>& take) {
  m_sent = false;
  if (!m_conn) return false;
  std::vector<const char*> values;
  for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
  if (!PQsendQueryParams(m_conn, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                         nullptr, 0))
    return false;
  const auto deadline = TClock::now() + std::chrono::milliseconds(kAnswerMs);
  // Sent whole, then answered whole, within the deadline.
  for (int flushed; (flushed = PQflush(m_conn)) != 0;) {
    if (flushed < 0) return false;
    if (!Await(POLLIN | POLLOUT, deadline)) return GiveUp();
    if (!PQconsumeInput(m_conn)) return false;
  }
  m_sent = true;
  bool ok = true;
  for (;;) {
    while (PQisBusy(m_conn)) {
      if (!Await(POLLIN, deadline)) return GiveUp();
      if (!PQconsumeInput(m_conn)) return false;
    }
    const TResult r(PQgetResult(m_conn), &PQclear);
    if (!r) break;
    const ExecStatusType status = PQresultStatus(r.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) ok = false;
    for (int i = 0; ok && i < PQntuples(r.get()); ++i) take(TPgRow(r.get(), i));
  }
  return ok;
}

TStationStatus TPgDb::Open() {
  // The connection string as given, with a bound on connecting (ours, over its own: a line
  // never waits without end), and keep-alives, so that a connection whose server went away
  // while a board was programmed is found dead instead of waited on.
  const char* keys[] = {"dbname", "connect_timeout", "application_name", "keepalives", "keepalives_idle",
                        "keepalives_interval", "keepalives_count", nullptr};
  const std::string timeout = std::to_string(kBusyMs / 1000);
  const char* program = m_use == TDbUse::duBrowse ? "kavel-isp-dashboard" : "kavel-isp-cli";
  const char* values[] = {m_url.c_str(), timeout.c_str(), program, "1", "5", "2", "3", nullptr};
  m_conn = PQconnectdbParams(keys, values, 1);
  if (!m_conn) return StationFailed(m_shown, "cannot be reached", "out of memory");
  if (PQstatus(m_conn) != CONNECTION_OK) return Failed("cannot be reached");
  PQsetNoticeProcessor(m_conn, &Quiet, nullptr);
  if (PQsetnonblocking(m_conn, 1) != 0) return Failed("cannot be used");
  // A statement or a lock that waits longer than the bound fails instead of hanging the line.
  const std::string bound = std::to_string(m_use == TDbUse::duBrowse ? kBrowseBoundMs : kServerBoundMs);
  if (!Query("SET statement_timeout = " + bound, {}, nullptr) || !Query("SET lock_timeout = " + bound, {}, nullptr) ||
      !Query("SET client_min_messages = warning", {}, nullptr))
    return Failed("cannot be used");
  return Prepare(m_use);
}

}  // namespace

TStationStatus OpenPostgres(const std::string& url, TDbUse use, std::unique_ptr<TStationDb>& db) {
  auto pg = std::make_unique<TPgDb>(url, use);
  if (TStationStatus opened = pg->Open(); !opened.Ok()) return opened;
  db = std::move(pg);
  return TStationStatus::Done();
}

}  // namespace kavel::station
