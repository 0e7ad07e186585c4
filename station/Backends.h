// The two databases behind TStationDb (internal to the station).
#pragma once

#include <memory>
#include <string>

#include "station/StationDb.h"

namespace kavel::station {

inline constexpr int kBusyMs = 10000;  // how long a busy database is waited for

TIspStatus OpenSqlite(const std::string& path, std::unique_ptr<TStationDb>& db);
TIspStatus OpenPostgres(const std::string& url, std::unique_ptr<TStationDb>& db);

// skStationFailed: "the station database <where> <what>: <why>".
inline TIspStatus StationFailed(const std::string& where, const std::string& what, const std::string& why) {
  return TIspStatus::Make(skStationFailed, "the station database " + where + " " + what + ": " + why);
}

// The columns of a row, in the order the backends read and write them.
inline constexpr const char* kRowColumns =
    "id, started, ended, station, port, command, image, image_sha256, device_id, serial_name, serial, "
    "serial_verified, result, exit_status, first_difference, seconds, speed, retries";

}  // namespace kavel::station
