// The station database by its name: a PostgreSQL URL, or else an SQLite file.
#include "station/Backends.h"

namespace kavel::station {

TIspStatus OpenStationDb(const std::string& where, std::unique_ptr<TStationDb>& db, TDbUse use) {
  db.reset();
  if (where.empty()) return StationFailed("", "cannot be found", "no file or URL was given, and there is no home folder");
  const bool postgres = where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
  return postgres ? OpenPostgres(where, use, db) : OpenSqlite(where, use, db);
}

}  // namespace kavel::station
