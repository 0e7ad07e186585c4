// The station database in an SQLite file: write-ahead logging, so that the log can be read
// while a board is recorded, and a full sync at every commit, so that a number once drawn
// stays drawn through a power cut.
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>

#include "station/Backends.h"

namespace kavel::station {
namespace {

using TStatement = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;

class TSqliteDb final : public TStationDb {
 public:
  explicit TSqliteDb(std::string path) : m_path(std::move(path)) {}
  ~TSqliteDb() override { sqlite3_close_v2(m_db); }
  TSqliteDb(const TSqliteDb&) = delete;
  TSqliteDb& operator=(const TSqliteDb&) = delete;

  TIspStatus Open();
  TIspStatus Begin(TRunRow& row, const TSerialDraw* draw) override;
  TIspStatus Finish(const TRunRow& row) override;
  TIspStatus List(const TLogFilter& filter, std::vector<TRunRow>& rows) override;

 private:
  TIspStatus Failed(const std::string& what) const { return StationFailed(m_path, what, sqlite3_errmsg(m_db)); }
  bool Exec(const std::string& sql) { return sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK; }
  TStatement Prepare(const char* sql) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(m_db, sql, -1, &statement, nullptr);
    return TStatement(statement, &sqlite3_finalize);
  }
  TIspStatus Migrate();
  void BindRow(sqlite3_stmt* s, const TRunRow& row);

  std::string m_path;
  sqlite3* m_db = nullptr;
};

void BindText(sqlite3_stmt* s, int i, const std::string& text) {
  if (text.empty()) {
    sqlite3_bind_null(s, i);
  } else {
    sqlite3_bind_text(s, i, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
}
template <typename T>
void BindOptional(sqlite3_stmt* s, int i, const std::optional<T>& value) {
  if (!value) {
    sqlite3_bind_null(s, i);
  } else if constexpr (std::is_floating_point_v<T>) {
    sqlite3_bind_double(s, i, *value);
  } else {
    sqlite3_bind_int64(s, i, static_cast<sqlite3_int64>(*value));
  }
}
std::string Text(sqlite3_stmt* s, int i) {
  const unsigned char* text = sqlite3_column_text(s, i);
  return text ? reinterpret_cast<const char*>(text) : "";
}
template <typename T>
std::optional<T> Optional(sqlite3_stmt* s, int i) {
  if (sqlite3_column_type(s, i) == SQLITE_NULL) return std::nullopt;
  if constexpr (std::is_floating_point_v<T>) return sqlite3_column_double(s, i);
  return static_cast<T>(sqlite3_column_int64(s, i));
}

TIspStatus TSqliteDb::Open() {
  if (sqlite3_open_v2(m_path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK)
    return Failed("cannot be opened");
  sqlite3_busy_timeout(m_db, kBusyMs);
  // Switching to the write-ahead log, or finding it there, can meet another process in the
  // middle of the same (or recovering the log of one that was killed) and is refused at once
  // instead of waited for: it is tried again, within the same bound.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyMs);
  int rc;
  while (((rc = sqlite3_exec(m_db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr)) & 0xFF) == SQLITE_BUSY &&
         std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (rc != SQLITE_OK || !Exec("PRAGMA synchronous=FULL")) return Failed("cannot be opened");
  return Migrate();
}

TIspStatus TSqliteDb::Migrate() {
  // BEGIN IMMEDIATE takes the write lock first: two stations starting at once migrate one
  // after the other, and the second finds the work done.
  if (!Exec("BEGIN IMMEDIATE")) return Failed("cannot be written");
  if (!Exec("CREATE TABLE IF NOT EXISTS kavel_schema (version INTEGER NOT NULL)")) {
    Exec("ROLLBACK");
    return Failed("cannot be written");
  }
  int version = 0;
  {
    TStatement s = Prepare("SELECT version FROM kavel_schema");
    if (s && sqlite3_step(s.get()) == SQLITE_ROW) version = sqlite3_column_int(s.get(), 0);
  }
  if (version > kSchemaVersion) {
    Exec("ROLLBACK");
    return StationFailed(m_path, "is of a newer schema", "version " + std::to_string(version) + ", this program knows " +
                                                             std::to_string(kSchemaVersion) + " at most");
  }
  for (int v = version; v < kSchemaVersion; ++v) {
    for (const std::string& step : SchemaSteps(v, false)) {
      if (!Exec(step)) {
        const TIspStatus failed = Failed("cannot be brought to schema " + std::to_string(v + 1));
        Exec("ROLLBACK");
        return failed;
      }
    }
  }
  const bool wrote = version == kSchemaVersion ||
                     (Exec("DELETE FROM kavel_schema") &&
                      Exec("INSERT INTO kavel_schema (version) VALUES (" + std::to_string(kSchemaVersion) + ")"));
  if (!wrote || !Exec("COMMIT")) {
    const TIspStatus failed = Failed("cannot be written");
    Exec("ROLLBACK");
    return failed;
  }
  return TIspStatus::Done();
}

// Binds the row's columns but the id to parameters 1 to 17.
void TSqliteDb::BindRow(sqlite3_stmt* s, const TRunRow& row) {
  BindText(s, 1, row.started);
  BindText(s, 2, row.ended);
  BindText(s, 3, row.station);
  BindText(s, 4, row.port);
  BindText(s, 5, row.command);
  BindText(s, 6, row.image);
  BindText(s, 7, row.imageSha256);
  BindOptional(s, 8, row.deviceId);
  BindText(s, 9, row.serialName);
  BindOptional(s, 10, row.serial);
  sqlite3_bind_int(s, 11, row.serialVerified ? 1 : 0);
  BindText(s, 12, row.result);
  BindOptional(s, 13, row.exitStatus);
  BindText(s, 14, row.firstDifference);
  BindOptional(s, 15, row.seconds);
  BindOptional(s, 16, row.speed);
  sqlite3_bind_int(s, 17, row.retries);
}

TIspStatus TSqliteDb::Begin(TRunRow& row, const TSerialDraw* draw) {
  if (!Exec("BEGIN IMMEDIATE")) return Failed("cannot be written");
  bool good = true;
  if (draw) {
    TStatement s = Prepare(
        "INSERT INTO kavel_serials (name, next) VALUES (?1, ?2 + 1) "
        "ON CONFLICT (name) DO UPDATE SET next = max(next, ?2) + 1 RETURNING next - 1");
    good = s != nullptr;
    if (good) {
      sqlite3_bind_text(s.get(), 1, draw->name.c_str(), static_cast<int>(draw->name.size()), SQLITE_TRANSIENT);
      sqlite3_bind_int64(s.get(), 2, draw->first);
      good = sqlite3_step(s.get()) == SQLITE_ROW;
      if (good) row.serial = sqlite3_column_int64(s.get(), 0);
      good = good && sqlite3_step(s.get()) == SQLITE_DONE;
    }
    row.serialName = draw->name;
  }
  if (good) {
    TStatement s = Prepare(
        "INSERT INTO kavel_runs (started, ended, station, port, command, image, image_sha256, device_id, serial_name, "
        "serial, serial_verified, result, exit_status, first_difference, seconds, speed, retries) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17)");
    good = s != nullptr;
    if (good) {
      BindRow(s.get(), row);
      good = sqlite3_step(s.get()) == SQLITE_DONE;
    }
  }
  if (!good || !Exec("COMMIT")) {
    const TIspStatus failed = Failed("cannot be written");
    Exec("ROLLBACK");
    row.serial.reset();
    return failed;
  }
  row.id = sqlite3_last_insert_rowid(m_db);
  return TIspStatus::Done();
}

TIspStatus TSqliteDb::Finish(const TRunRow& row) {
  TStatement s = Prepare(
      "UPDATE kavel_runs SET started = ?1, ended = ?2, station = ?3, port = ?4, command = ?5, image = ?6, "
      "image_sha256 = ?7, device_id = ?8, serial_name = ?9, serial = ?10, serial_verified = ?11, result = ?12, "
      "exit_status = ?13, first_difference = ?14, seconds = ?15, speed = ?16, retries = ?17 WHERE id = ?18");
  if (!s) return Failed("cannot be written");
  BindRow(s.get(), row);
  sqlite3_bind_int64(s.get(), 18, row.id);
  if (sqlite3_step(s.get()) != SQLITE_DONE) return Failed("cannot be written");
  return TIspStatus::Done();
}

TIspStatus TSqliteDb::List(const TLogFilter& filter, std::vector<TRunRow>& rows) {
  rows.clear();
  const std::string sql = std::string("SELECT ") + kRowColumns +
                          " FROM kavel_runs WHERE (?1 IS NULL OR started >= ?1) AND (?2 IS NULL OR serial = ?2) AND "
                          "(?3 IS NULL OR port = ?3) ORDER BY id";
  TStatement s = Prepare(sql.c_str());
  if (!s) return Failed("cannot be read");
  BindText(s.get(), 1, filter.since);
  BindOptional(s.get(), 2, filter.serial);
  BindText(s.get(), 3, filter.port);
  int step;
  while ((step = sqlite3_step(s.get())) == SQLITE_ROW) {
    TRunRow r;
    sqlite3_stmt* q = s.get();
    r.id = sqlite3_column_int64(q, 0);
    r.started = Text(q, 1);
    r.ended = Text(q, 2);
    r.station = Text(q, 3);
    r.port = Text(q, 4);
    r.command = Text(q, 5);
    r.image = Text(q, 6);
    r.imageSha256 = Text(q, 7);
    r.deviceId = Optional<int>(q, 8);
    r.serialName = Text(q, 9);
    r.serial = Optional<std::int64_t>(q, 10);
    r.serialVerified = sqlite3_column_int(q, 11) != 0;
    r.result = Text(q, 12);
    r.exitStatus = Optional<int>(q, 13);
    r.firstDifference = Text(q, 14);
    r.seconds = Optional<double>(q, 15);
    r.speed = Optional<int>(q, 16);
    r.retries = sqlite3_column_int(q, 17);
    rows.push_back(std::move(r));
  }
  if (step != SQLITE_DONE) return Failed("cannot be read");
  return TIspStatus::Done();
}

}  // namespace

TIspStatus OpenSqlite(const std::string& path, std::unique_ptr<TStationDb>& db) {
  // A device or a FIFO (a serial port named by mistake) would block the first read.
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return StationFailed(path, "cannot be opened", "not a regular file");
  auto sqlite = std::make_unique<TSqliteDb>(path);
  if (TIspStatus opened = sqlite->Open(); !opened.Ok()) return opened;
  db = std::move(sqlite);
  return TIspStatus::Done();
}

}  // namespace kavel::station
