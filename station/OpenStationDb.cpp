// The station database by its name: a PostgreSQL connection string, or else an SQLite file.
#include "station/Backends.h"
#include "station/Conninfo.h"

namespace kavel::station {

TStationStatus OpenStationDb(const std::string& where, std::unique_ptr<TStationDb>& db, TDbUse use) {
  db.reset();
  if (where.empty()) return StationFailed("", "cannot be found", "no file or URL was given, and there is no home folder");
  return IsConninfo(where) ? OpenPostgres(where, use, db) : OpenSqlite(where, use, db);
}

}  // namespace kavel::station
