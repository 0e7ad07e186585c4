// The station database in an SQLite file: write-ahead logging, so that the log can be read
// while a board is recorded, and a full sync at every commit, so that a number once drawn
// stays drawn through a power cut.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <chrono>
#include <string_view>
#include <string>
#include <thread>

#include "image/HexText.h"
#include "station/Backends.h"

namespace kavel::station {
namespace {

using TStatement = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;

class TSqliteDb final : public TSqlDb {
 public:
  TSqliteDb(const std::string& path, TDbUse use) : TSqlDb(path), m_path(path), m_use(use) {}
  ~TSqliteDb() override { sqlite3_close_v2(m_db); }
  TSqliteDb(const TSqliteDb&) = delete;
  TSqliteDb& operator=(const TSqliteDb&) = delete;

  TStationStatus Open();
  bool Lost() const override { return false; }

 protected:
  bool QueryEach(const std::string& sql, const TValues& params,
                 const std::function<void(const TRowReader&)>& take) override;
  std::string Error() const override {
    return m_overran ? "the query took longer than " + std::to_string(kBrowseBoundMs / 1000) + " s" : sqlite3_errmsg(m_db);
  }
  // BEGIN IMMEDIATE takes the write lock first: two stations migrating at once, or drawing
  // numbers, go one after the other.
  std::vector<std::string> WriteTransaction(bool) const override { return {"BEGIN IMMEDIATE"}; }
  bool Postgres() const override { return false; }
  bool Gone() const override { return false; }
  bool Sent() const override { return true; }

 private:
  // A page's statement is given up once it has run past its deadline (duBrowse).
  static int Overran(void* self);

  std::string m_path;
  TDbUse m_use;
  sqlite3* m_db = nullptr;
  std::chrono::steady_clock::time_point m_deadline;
  bool m_overran = false;
};

int TSqliteDb::Overran(void* self) {
  auto* db = static_cast<TSqliteDb*>(self);
  db->m_overran = std::chrono::steady_clock::now() > db->m_deadline;
  return db->m_overran ? 1 : 0;
}

// The statement's current row.
class TSqliteRow final : public TRowReader {
 public:
  explicit TSqliteRow(sqlite3_stmt* statement) : m_statement(statement) {}
  int Columns() const override { return sqlite3_column_count(m_statement); }
  bool Null(int c) const override { return sqlite3_column_type(m_statement, c) == SQLITE_NULL; }
  std::string_view Text(int c) const override {
    const unsigned char* text = sqlite3_column_text(m_statement, c);
    if (!text) return {};
    return {reinterpret_cast<const char*>(text), static_cast<std::size_t>(sqlite3_column_bytes(m_statement, c))};
  }
  double Real(int c) const override { return sqlite3_column_double(m_statement, c); }
  std::int64_t Whole(int c) const override { return sqlite3_column_int64(m_statement, c); }

 private:
  sqlite3_stmt* m_statement;
};

bool TSqliteDb::QueryEach(const std::string& sql, const TValues& params,
                          const std::function<void(const TRowReader&)>& take) {
  m_deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBrowseBoundMs);
  m_overran = false;
  sqlite3_stmt* prepared = nullptr;
  if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &prepared, nullptr) != SQLITE_OK) return false;
  const TStatement statement(prepared, &sqlite3_finalize);
  for (std::size_t i = 0; i < params.size(); ++i) {
    const int at = sqlite3_bind_parameter_index(prepared, SqlParameter(i + 1).c_str());
    if (at == 0) continue;
    if (params[i]) {
      sqlite3_bind_text(prepared, at, params[i]->c_str(), static_cast<int>(params[i]->size()), SQLITE_TRANSIENT);
    } else {
      sqlite3_bind_null(prepared, at);
    }
  }
  const TSqliteRow row(prepared);
  int step;
  while ((step = sqlite3_step(prepared)) == SQLITE_ROW) take(row);
  return step == SQLITE_DONE;
}

// The file's name as an SQLite URI, with the parameters given ("mode=ro"): an absolute path
// after an empty authority ("file:///..."), so that one that begins with "//" names no host.
std::string FileUri(const std::string& path, const char* parameters) {
  std::string uri = path.rfind('/', 0) == 0 ? "file://" : "file:";
  for (const unsigned char c : path) {
    if (std::isalnum(c) || std::string_view("/-._~").find(static_cast<char>(c)) != std::string_view::npos) {
      uri += static_cast<char>(c);
    } else {
      uri += '%';
      uri += HexText(c, 2);
    }
  }
  return uri.append("?").append(parameters);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// How a log that is only read is opened. One that may not be written (a copy kept for an
// audit, a read-only mount) cannot have its write-ahead log's index made beside it. It is
// read as it stands (immutable) only when no write-ahead log's files lie beside it: then its
// last writer closed it cleanly and no station has it open. Otherwise it is read through
// the files that are there. The files are looked for beside the database itself, where a
// link to it leads.
std::string ReadUri(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  const std::string file = real ? real : path;
  std::free(real);
  const std::size_t slash = file.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
  if (access(file.c_str(), W_OK) == 0 && access(folder.c_str(), W_OK) == 0) return FileUri(path, "mode=ro");
  const bool logThere = Exists(file + "-wal") || Exists(file + "-shm");
  return FileUri(path, logThere ? "mode=ro" : "immutable=1");
}

TStationStatus TSqliteDb::Open() {
  const bool record = m_use == TDbUse::duRecord;
  const int flags = record ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
  const std::string name = record ? m_path : ReadUri(m_path);
  if (sqlite3_open_v2(name.c_str(), &m_db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
    return Failed("cannot be opened");
  sqlite3_busy_timeout(m_db, kBusyMs);
  if (!record) {
    // The clock is looked at every few thousand steps of the statement.
    if (m_use == TDbUse::duBrowse) sqlite3_progress_handler(m_db, 4000, &TSqliteDb::Overran, this);
    return CheckSchema();
  }
  // Switching to the write-ahead log, or finding it there, can meet another process in the
  // middle of the same (or recovering the log of one that was killed) and is refused at once
  // instead of waited for: it is tried again, within the same bound.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyMs);
  int rc;
  while (((rc = sqlite3_exec(m_db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr)) & 0xFF) == SQLITE_BUSY &&
         std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (rc != SQLITE_OK || !Query("PRAGMA synchronous=FULL", {}, nullptr)) return Failed("cannot be opened");
  return Prepare(m_use);
}

}  // namespace

TStationStatus OpenSqlite(const std::string& path, TDbUse use, std::unique_ptr<TStationDb>& db) {
  // A device or a FIFO (a serial port named by mistake) would block the first read.
  struct stat st {};
  const bool there = stat(path.c_str(), &st) == 0;
  if (there && !S_ISREG(st.st_mode)) return StationFailed(path, "cannot be opened", "not a regular file");
  if (!there && use != TDbUse::duRecord) return StationFailed(path, "cannot be opened", "no such file: nothing was recorded there");
  auto sqlite = std::make_unique<TSqliteDb>(path, use);
  if (TStationStatus opened = sqlite->Open(); !opened.Ok()) return opened;
  db = std::move(sqlite);
  return TStationStatus::Done();
}

}  // namespace kavel::station
