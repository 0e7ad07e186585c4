// The log command: the rows of the station's log that its filters select, written for a person
// (a table), for programs (JSON Lines, CSV) or as their figures (--stats), and the spool sent
// to its server (--flush). The line's page answers with the same text.
#pragma once

#include <cstddef>
#include <string>

#include "cli/CliArgs.h"
#include "station/StationDb.h"

namespace kavel::cli {

// What log's filters select, from its options.
station::TLogFilter LogFilter(const TCliArgs& args);
// What log writes of the rows of db (nullptr: a log that holds none yet) that args select: as
// a table, JSON Lines (--json) or CSV (--csv), or their figures (--stats). Done, or
// rkStationFailed when db cannot be read. The line's page answers with the same, of the newest
// rows only (newest; 0 for all).
TRunStatus LogText(const TCliArgs& args, station::TStationDb* db, std::string& text, std::size_t newest = 0);
// kavel-isp-cli log: the rows, as a table, JSON Lines (--json) or CSV (--csv); the figures
// (--stats); or the spool sent (--flush). The exit status.
int ListLog(const TCliArgs& args);

}  // namespace kavel::cli
