// The rows that a shared server could not be given at a run's end, kept on this station until
// it can: an SQLite file beside the default database. A row waits there under its server's
// name as shown (no password is kept) and its id on that server.
#pragma once

#include <string>

#include "station/StationDb.h"

namespace kavel::station {

// The server the rows wait for, by a name without any password: masked, then the mask itself
// left out, so that the same server given with another password, or with none (a .pgpass
// file), is the same server.
std::string ServerKey(const std::string& server);

// $XDG_DATA_HOME/KAVEL/spool.db (beside the default database); "" without a home.
std::string DefaultSpoolPath();

// Keeps the finished row for the server (its connection string), written and synced before
// this returns. Done, or ssFailed.
TStationStatus SpoolRow(const std::string& spool, const std::string& server, const TRunRow& row);

struct TFlushed {
  int sent = 0;  // finished on the server (now, or before) and removed from the spool by this
                 // flush: one that another flush removed meanwhile is that one's
  int left = 0;  // still waiting
};
// Sends the rows that wait for the server (its connection string) to db, finishing each there
// only when it is still unfinished, and removes each once the server has it. A spool that is
// not there holds none. Done, or ssFailed for the first row that could not be sent (it waits;
// the others are sent all the same) or removed.
TStationStatus FlushSpool(const std::string& spool, const std::string& server, TStationDb& db, TFlushed& flushed);

}  // namespace kavel::station
