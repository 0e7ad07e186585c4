#include "station/StationDb.h"

#include <algorithm>
#include <charconv>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>

namespace kavel::station {
namespace {

std::string UtcText(std::time_t seconds, int millis) {
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
  return text;
}

// The UTC moment of a local clock's reading (given in text; reading: it as if it were UTC),
// seconds: whether text gave them. None, with why, when the clocks skip that reading or go
// back over it.
std::optional<std::string> LocalMoment(const std::string& text, std::time_t reading, bool seconds, std::string& why) {
  // The moments whose local reading it is: one, none (the clocks skip it) or two (they go
  // back over it). The offsets from UTC around it are those it may have been read at.
  std::set<std::time_t> moments;
  for (const std::time_t around : {-86400, -43200, 0, 43200, 86400}) {
    const std::time_t probe = reading + around;
    std::tm at{}, check{};
    if (!localtime_r(&probe, &at)) continue;
    const std::time_t moment = reading - at.tm_gmtoff;
    if (localtime_r(&moment, &check) && check.tm_gmtoff == at.tm_gmtoff) moments.insert(moment);
  }
  if (moments.size() == 1) return UtcText(*moments.begin(), 0);
  if (moments.empty()) {
    why = text + " does not exist in local time: the clocks are put forward over it; give it in UTC, with Z";
    return std::nullopt;
  }
  why = text + " exists twice in local time: the clocks are put back over it; say which in UTC, with Z:";
  for (const std::time_t moment : moments) {
    std::tm at{};
    gmtime_r(&moment, &at);
    char written[40];
    std::snprintf(written, sizeof written, seconds ? "%04d-%02d-%02dT%02d:%02d:%02dZ" : "%04d-%02d-%02dT%02d:%02dZ",
                  at.tm_year + 1900, at.tm_mon + 1, at.tm_mday, at.tm_hour, at.tm_min, at.tm_sec);
    why.append(moment == *moments.begin() ? " " : " or ").append(written);
  }
  return std::nullopt;
}

}  // namespace

std::string DefaultStationDbPath() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && *data == '/') return std::string(data) + "/KAVEL/station.db";
  const char* home = std::getenv("HOME");
  if (home && *home == '/') return std::string(home) + "/.local/share/KAVEL/station.db";
  return {};
}

TStationStatus MakeDefaultStationDbFolder(const std::string& path, const std::string& what) {
  const auto failed = [&path, &what](const std::string& part) {
    return TStationStatus::Make(ssFailed, what + " " + path + " cannot be made: " + part + ": " + std::strerror(errno));
  };
  const std::string folder = path.substr(0, path.rfind('/'));
  for (std::size_t slash = 1; slash != std::string::npos; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (part.empty()) continue;
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return failed(part);
  }
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return failed(folder);
  return TStationStatus::Done();
}

std::string UtcNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return UtcText(ts.tv_sec, static_cast<int>(ts.tv_nsec / 1000000));
}

std::optional<std::string> UtcFromText(const std::string& text, std::string& why, std::time_t now) {
  why.clear();
  if (text == "today" || text == "yesterday") {
    std::tm day{};
    localtime_r(&now, &day);
    day.tm_hour = day.tm_min = day.tm_sec = 0;
    day.tm_mday -= text == "yesterday" ? 1 : 0;
    day.tm_isdst = -1;
    const std::time_t midnight = mktime(&day);
    if (midnight == static_cast<std::time_t>(-1)) return std::nullopt;
    return UtcText(midnight, 0);
  }
  if (text.size() >= 3 && text[0] == '-' && text[1] >= '0' && text[1] <= '9') {  // "-8h": so long before now
    long long amount = 0;
    const auto [end, error] = std::from_chars(text.data() + 1, text.data() + text.size() - 1, amount);
    const char unit = text.back();
    const long long per = unit == 'm' ? 60 : unit == 'h' ? 3600 : unit == 'd' ? 86400 : 0;
    if (error != std::errc() || end != text.data() + text.size() - 1 || per == 0 || amount > 3650LL * 86400 / per)
      return std::nullopt;
    return UtcText(now - static_cast<std::time_t>(amount * per), 0);
  }
  std::string t = text;
  const bool utc = !t.empty() && (t.back() == 'Z' || t.back() == 'z');
  if (utc) t.pop_back();
  std::tm tm{};
  int got = 0;
  char sep = 0, end = 0;
  const int n = std::sscanf(t.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%c%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &sep,
                            &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &end, &got);
  const bool timed = sep == 'T' || sep == 't' || sep == ' ';
  const bool dateOnly = n == 3 && t.size() == 10;
  const bool minutes = n == 6 && timed && t.size() == 16;
  const bool seconds = n == 7 && timed && t.size() == 19;
  if (!dateOnly && !minutes && !seconds) return std::nullopt;
  if (dateOnly) tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  if (minutes) tm.tm_sec = 0;
  if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
      tm.tm_sec > 60)
    return std::nullopt;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  const std::tm given = tm;
  // The clock's reading as if it were UTC: a day the month does not have (the 31st of
  // February) is carried into the next month.
  const std::time_t reading = timegm(&tm);
  if (reading == static_cast<std::time_t>(-1) || tm.tm_mday != given.tm_mday || tm.tm_mon != given.tm_mon)
    return std::nullopt;
  if (utc) return UtcText(reading, 0);
  if (dateOnly) {  // the day's first moment, whatever the clocks do that night
    tm = given;
    const std::time_t midnight = mktime(&tm);
    if (midnight == static_cast<std::time_t>(-1)) return std::nullopt;
    return UtcText(midnight, 0);
  }
  return LocalMoment(text, reading, seconds, why);
}

std::string StationName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "unknown";
  return name;
}

std::int64_t TSerialDraw::LastBase() const {
  if (values) return static_cast<std::int64_t>(values->size()) - 1;
  return std::min(largest, INT64_MAX - step);
}

std::vector<std::string> SchemaSteps(int fromVersion, bool postgres) {
  if (fromVersion == 3) {
    // 4: what a row counts as; each number spent once in its domain (every list sharing one),
    // the numbers the log holds spent already; a server's times as times; the station's
    // index. A counter that ran past 64 bits (SQLite kept it as a real) is used up.
    std::vector<std::string> steps{
        "ALTER TABLE kavel_runs ADD COLUMN result_class TEXT NOT NULL DEFAULT 'board'",
        "UPDATE kavel_runs SET result_class = 'station' WHERE result IN ('bad_image', 'station_failed', 'usage') OR "
        "(result IN ('port_failed', 'cancelled', 'stopped', 'output_failed', 'internal_error') AND device_id IS NULL "
        "AND speed IS NULL)",
        "CREATE TABLE kavel_spent (domain TEXT NOT NULL, value BIGINT NOT NULL, PRIMARY KEY (domain, value))",
        "INSERT INTO kavel_spent (domain, value) SELECT DISTINCT CASE WHEN serial_name LIKE 'list:%' THEN 'list' ELSE "
        "serial_name END, serial FROM kavel_runs WHERE serial IS NOT NULL AND serial_name IS NOT NULL",
        "CREATE INDEX kavel_runs_station ON kavel_runs (station)",
    };
    if (postgres) {
      steps.emplace_back("ALTER TABLE kavel_runs ALTER COLUMN started TYPE timestamptz USING started::timestamptz, "
                         "ALTER COLUMN ended TYPE timestamptz USING NULLIF(ended, '')::timestamptz");
    } else {
      steps.emplace_back("UPDATE kavel_serials SET next = 9223372036854775807 WHERE typeof(next) <> 'integer'");
    }
    return steps;
  }
  if (fromVersion == 2) {
    // 3: why a run ended as it did, and the numbers a board kept.
    return {"ALTER TABLE kavel_runs ADD COLUMN reason TEXT",
            "ALTER TABLE kavel_runs ADD COLUMN serial_kept INTEGER NOT NULL DEFAULT 0"};
  }
  if (fromVersion == 1) {
    // 2: who ran a board, for which work order, and the device the port led to.
    return {"ALTER TABLE kavel_runs ADD COLUMN operator_name TEXT", "ALTER TABLE kavel_runs ADD COLUMN lot TEXT",
            "ALTER TABLE kavel_runs ADD COLUMN device TEXT", "CREATE INDEX kavel_runs_lot ON kavel_runs (lot)"};
  }
  if (fromVersion != 0) return {};
  const std::string key = postgres ? "BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY" : "INTEGER PRIMARY KEY";
  return {
      "CREATE TABLE kavel_serials (name TEXT PRIMARY KEY, next BIGINT NOT NULL)",
      "CREATE TABLE kavel_runs (id " + key +
          ", started TEXT NOT NULL, ended TEXT, station TEXT NOT NULL, port TEXT NOT NULL, command TEXT NOT NULL, "
          "image TEXT, image_sha256 TEXT, device_id INTEGER, serial_name TEXT, serial BIGINT, "
          "serial_verified INTEGER NOT NULL DEFAULT 0, result TEXT NOT NULL, exit_status INTEGER, "
          "first_difference TEXT, seconds DOUBLE PRECISION, speed INTEGER, retries INTEGER NOT NULL DEFAULT 0)",
      "CREATE INDEX kavel_runs_started ON kavel_runs (started)",
      "CREATE INDEX kavel_runs_serial ON kavel_runs (serial)",
  };
}

}  // namespace kavel::station
