// What became of a call into the station: done, or why not, in words for people. The front end
// that called maps it to its own manners (the command line: a usage error, a bad image, or exit
// status 5).
#pragma once

#include <cstdint>
#include <string>

namespace kavel::station {

enum class TStationKind : std::uint8_t {
  ssOk,          // done
  ssBadPlace,    // the place or the list given for the serial number cannot be used (the request is wrong)
  ssImageClash,  // the image holds data where the number goes, or the number does not fit
  ssFailed,      // the database could not be opened, read or written, so a record would be lost
  ssBadJob,      // the job file cannot be read, is no TOML, or holds a key that cannot be used
};
using enum TStationKind;

struct [[nodiscard]] TStationStatus {
  TStationKind kind = ssOk;
  std::string detail;

  bool Ok() const { return kind == ssOk; }
  static TStationStatus Done() { return {}; }
  static TStationStatus Make(TStationKind kind, std::string detail) { return {kind, std::move(detail)}; }
};

}  // namespace kavel::station
