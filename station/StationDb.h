// The station database: one row for every board and run, and the named sequences its serial
// numbers are drawn from. An SQLite file for one station, or a PostgreSQL server that several
// stations share; one schema for both, created on first use and carried forward by its
// version. Every call is one transaction of the database's own; nothing here locks by hand.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station/StationStatus.h"

namespace kavel::station {

// What a row holds. Times are UTC, "2026-12-08T09:42:56.123Z", so that text order is time
// order in both databases.
struct TRunRow {
  std::int64_t id = 0;
  std::string started, ended;          // ended: "" until the run's end is recorded
  std::string station;                 // the station's name (the host name unless one is given)
  std::string port;                    // as given: COM1, /dev/ttyUSB0, rfc2217://...
  std::string command;                 // program, cycle, verify, erase
  std::string image;                   // the image file as given; "" for none
  std::string imageSha256;             // "" when it has none or it could not be read
  std::optional<int> deviceId;         // the chip's device id, once read
  std::string serialName;              // the sequence; "" when the run writes no number
  std::optional<std::int64_t> serial;  // the number drawn for this board
  bool serialVerified = false;         // the number was read back from the chip equal
  std::string result = kUnfinished;    // the outcome's kind (as --json names it), or kUnfinished
  std::optional<int> exitStatus;
  std::string firstDifference;         // "1234: wrote 55, read FF"; "" for none
  std::optional<double> seconds;
  std::optional<int> speed;            // bit/s, once confirmed
  int retries = 0;                     // data records sent again
  std::string operatorName;            // who ran it, when said; "" otherwise
  std::string lot;                     // the work order (lot) it belongs to, when said
  std::string device;                  // the device opened, links followed (a network port: its URL)
  std::string reason;                  // the run's outcome in the command line's words
  bool serialKept = false;             // the board held its number already and was given it again
  std::string resultClass = kBoard;    // kBoard, or kStation for a run no board had a part in

  // A row whose end was never recorded: its run is still going, or its process was killed.
  static constexpr const char* kUnfinished = "unfinished";
  // What a row counts as: a board's run, whatever became of it; or a run the station refused
  // before any chip answered (an image that cannot be used, a port that cannot be opened, a
  // log that cannot be reached), which the figures leave out of the boards.
  static constexpr const char* kBoard = "board";
  static constexpr const char* kStation = "station";
};

// Which rows the log lists: all those that match every filter given.
struct TLogFilter {
  std::string since;                   // UTC, as the rows hold it: rows started at or after
  std::optional<std::int64_t> serial;
  std::string port;
  std::string station, operatorName, lot;
  std::string until;                   // UTC: rows started before it; "" for no end
  std::vector<std::string> results;    // rows of one of these results (TRunRow::result); {} for any
  std::size_t newest = 0;              // List: only the newest rows, this many; 0 for all
};

enum class TStatsBy : std::uint8_t;  // Stats.h
struct TStatsGroup;

// A number to draw for a row: the sequence's next, never below first, the sequence going on
// by step, up to largest (the most its place holds). With values (a list), the sequence
// counts the values taken: the number is the value at the count, and there is none once all
// are taken. A number is handed out once in its domain (Domain()), whatever the sequence:
// one that is spent already is passed over.
struct TSerialDraw {
  std::string name = "default";
  std::int64_t first = 1;
  std::int64_t step = 1;
  std::int64_t largest = INT64_MAX;
  const std::vector<std::uint64_t>* values = nullptr;

  // Where a number is spent: a counter's own name; for every list of a database the same
  // one, so that two lists (two versions of one file) never hand out a value twice.
  std::string Domain() const { return values ? "list" : name; }
  // The largest count the sequence may stand at before it draws: the last value's index for
  // a list; for a counter the largest number it may hand out, one whose next still fits 64
  // bits.
  std::int64_t LastBase() const;
};

class TStationDb {
 public:
  virtual ~TStationDb() = default;
  // Inserts the row (its result kUnfinished), in one transaction. Fills in row.id. Done, or
  // ssFailed.
  virtual TStationStatus Begin(TRunRow& row) = 0;
  // Begin for several rows in one transaction: all are begun, or none.
  virtual TStationStatus BeginAll(std::vector<TRunRow>& rows) = 0;
  // Draws a number for each row (begun, without one), in the rows' order, and records it in
  // the row, in one transaction: all or none. When this returns done the numbers are spent
  // for good, whatever becomes of the runs; a row that the source had no number left for
  // gets none (row.serial empty). Done, or ssFailed (no number spent).
  virtual TStationStatus Draw(std::vector<TRunRow*>& rows, const TSerialDraw& draw) = 0;
  // The number (a list: the index of the value) the draw would take next, without taking
  // it: nothing when the source has none left. Done, or ssFailed.
  virtual TStationStatus Peek(const TSerialDraw& draw, std::optional<std::int64_t>& next) = 0;
  // Whether value was handed out in the draw's domain. Done, or ssFailed.
  virtual TStationStatus Spent(const TSerialDraw& draw, std::int64_t value, bool& spent) = 0;
  // Records the run's end into the row Begin made, in one transaction. Done, or
  // ssFailed.
  virtual TStationStatus Finish(const TRunRow& row) = 0;
  // Finish for a row kept in the spool: recorded only when the row is still unfinished, so
  // that a row is finished once, however often and by whomever it is sent. Done (recorded
  // now, or before), or ssFailed.
  virtual TStationStatus FinishOnce(const TRunRow& row) = 0;
  // The rows that match, oldest first. Done, or ssFailed.
  virtual TStationStatus List(const TLogFilter& filter, std::vector<TRunRow>& rows) = 0;
  // The figures of the rows that match, as Stats (Stats.h) gives them of those rows, added
  // up by the database: a group for each combination of the keys' values. Holds the groups,
  // never the rows. Done, or ssFailed.
  virtual TStationStatus Stats(const TLogFilter& filter, const std::vector<TStatsBy>& keys,
                               std::vector<TStatsGroup>& groups) = 0;

  // After a call that failed: the connection to the server was lost, so that a new one may
  // do what this one could not (a server that did not answer in time is not asked again: the
  // line would wait twice).
  virtual bool Lost() const = 0;
  // After a call that failed: its commit was sent but never confirmed, so that the database
  // may have recorded its work all the same.
  virtual bool Unconfirmed() const = 0;
};

// What a database is opened for: recording runs (an SQLite file is created when missing, the
// schema created or brought to this program's version), or only reading the log (the file
// must be there, it is opened read-only and its schema must be this program's); or reading
// it for a page that many browsers ask, where a statement that takes longer than
// kBrowseBoundMs is given up instead of holding the others up.
enum class TDbUse : std::uint8_t { duRecord, duRead, duBrowse };
inline constexpr int kBrowseBoundMs = 5000;

// The database named: a postgresql:// or postgres:// URL or a libpq key/value string, or else
// an SQLite file (its folder must exist). A busy database is waited for up to 10 s, and a
// server that does not answer a statement within 10 s is given up (its connection closed,
// so that nothing it was sent commits later). Done, or ssFailed saying why, without
// any password; a database of a newer schema than this program knows is refused.
TStationStatus OpenStationDb(const std::string& where, std::unique_ptr<TStationDb>& db, TDbUse use = TDbUse::duRecord);

// $XDG_DATA_HOME/KAVEL/station.db, else ~/.local/share/KAVEL/station.db; "" without a home.
std::string DefaultStationDbPath();
// Makes the folders of the default path that are missing (only ours: KAVEL and what leads
// to it). Done, or ssFailed: "<what> <path> cannot be made: <folder>: <why>".
TStationStatus MakeDefaultStationDbFolder(const std::string& path, const std::string& what = "the station database");

// The time now as the rows hold it.
std::string UtcNow();
// A time given by a person: "today" and "yesterday" (their local midnight), "-8h", "-30m" or
// "-2d" (so long before now), "2026-12-08", "2026-12-08T09:30", "2026-12-08 09:30:15", local
// time, or UTC with a trailing "Z" ("t" and "z" alike); as the rows hold it. Nothing when it
// is none of those or names a day that does not exist (why then ""), or is a local time that
// the clocks skip or go back over: why then says so, and how to give it in UTC instead.
std::optional<std::string> UtcFromText(const std::string& text, std::string& why, std::time_t now = std::time(nullptr));
// This station's name: the host name.
std::string StationName();

// The schema's version this program writes, and the statements that bring a database from
// version i to i + 1 (the dialects differ in the row's key and, from 4 on, in the times,
// which a server keeps as timestamptz).
inline constexpr int kSchemaVersion = 4;
std::vector<std::string> SchemaSteps(int fromVersion, bool postgres);

}  // namespace kavel::station
