// The log's figures as the database adds them up, held against those of the rows it lists
// (station::Stats, the reference), for the station's tests on SQLite and on PostgreSQL.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <ctime>
#include <vector>

#include "station/StationDb.h"
#include "station/Stats.h"

namespace kavel::test {

// Rows of every kind, one every 7 minutes 13 seconds for two days from 2026-03-28 00:00 UTC:
// across Europe's change to summer time and past the midnights of zones an hour, half an hour
// and three quarters of an hour off UTC; boards and the station's refusals, later tries, rows
// without seconds, lot or operator.
inline std::vector<station::TRunRow> StatsRows() {
  const char* const results[] = {"ok", "ok", "ok", "no_answer", "refused", "unfinished", "bad_image"};
  std::vector<station::TRunRow> rows;
  for (int i = 0; i < 400; ++i) {
    station::TRunRow r;
    const std::time_t started = 1774656000 + i * 433;  // 2026-03-28T00:00:00Z
    std::tm tm{};
    gmtime_r(&started, &tm);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, i % 1000);
    r.started = text;
    r.station = "line-" + std::to_string(i % 3);
    r.port = "COM" + std::to_string(i % 4 + 1);
    r.command = "cycle";
    r.result = results[i % 7];
    r.resultClass = r.result == "bad_image" ? station::TRunRow::kStation : station::TRunRow::kBoard;
    r.serialKept = i % 5 == 0;
    if (i % 6 != 0 && r.result != "unfinished") r.seconds = 1 + (i % 13) * 0.125;
    r.lot = i % 4 == 0 ? "" : "W-" + std::to_string(i % 2);
    r.operatorName = i % 3 == 0 ? "" : "op" + std::to_string(i % 2);
    rows.push_back(r);
  }
  return rows;
}

// The key combinations held against each other, each in every zone of StatsZones.
inline const std::vector<std::vector<station::TStatsBy>>& StatsKeys() {
  using enum station::TStatsBy;
  static const std::vector<std::vector<station::TStatsBy>> keys{
      {}, {sbDay, sbStation}, {sbHour}, {sbPort, sbResult}, {sbOperator, sbLot, sbDay}, {sbResult, sbHour}};
  return keys;
}
inline const std::vector<const char*>& StatsZones() {
  static const std::vector<const char*> zones{"UTC", "Europe/Berlin", "Asia/Kolkata", "Asia/Kathmandu",
                                              "America/St_Johns", "Australia/Lord_Howe"};
  return zones;
}

// The database's figures of the rows that match filter are those of the rows it lists.
inline void ExpectFiguresOfTheRows(station::TStationDb& db, const station::TLogFilter& filter,
                                   const std::vector<station::TStatsBy>& keys) {
  std::vector<station::TRunRow> rows;
  std::vector<station::TStatsGroup> added;
  ASSERT_TRUE(db.List(filter, rows).Ok());
  const station::TStationStatus status = db.Stats(filter, keys, added);
  ASSERT_TRUE(status.Ok()) << status.detail;
  const std::vector<station::TStatsGroup> counted = station::Stats(rows, keys);
  ASSERT_EQ(added.size(), counted.size());
  for (std::size_t i = 0; i < added.size(); ++i) {
    const station::TStatsGroup &a = added[i], &c = counted[i];
    SCOPED_TRACE(testing::PrintToString(c.keys));
    EXPECT_EQ(a.keys, c.keys);
    EXPECT_EQ(std::tie(a.boards, a.passed, a.failed, a.timed, a.firstTries, a.firstPassed, a.notBoards),
              std::tie(c.boards, c.passed, c.failed, c.timed, c.firstTries, c.firstPassed, c.notBoards));
    EXPECT_NEAR(a.secondsSum, c.secondsSum, 1e-9);
    EXPECT_EQ(a.longest, c.longest);
    EXPECT_EQ(a.failures, c.failures);
    EXPECT_EQ(a.notBoardResults, c.notBoardResults);
  }
}

// The rows begun in db, and its figures held against the rows' own in each of the zones (the
// process's local time zone), for every set of keys, with no filter and with results and a
// time: some.
inline void ExpectTheDatabaseAddsUp(station::TStationDb& db, const std::vector<const char*>& zones,
                                    std::vector<std::string> results) {
  std::vector<station::TRunRow> rows = StatsRows();
  ASSERT_TRUE(db.BeginAll(rows).Ok());
  station::TLogFilter some;
  some.since = "2026-03-29T00:00:00.000Z";
  some.results = std::move(results);
  for (const char* zone : zones) {
    setenv("TZ", zone, 1);
    tzset();
    for (const auto& keys : StatsKeys()) {
      SCOPED_TRACE(std::string(zone) + " " + std::to_string(keys.size()));
      ExpectFiguresOfTheRows(db, {}, keys);
      ExpectFiguresOfTheRows(db, some, keys);
    }
  }
  unsetenv("TZ");
  tzset();
}

}  // namespace kavel::test
