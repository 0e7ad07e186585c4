// The production station as the command line keeps it: the database each run is recorded
// in, and a board's row begun (and its serial number drawn) before anything is sent to it and
// finished with what happened, or kept in the spool for a server that is away. What the log
// command writes of the rows is CliLog.h's.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cli/CliArgs.h"
#include "cli/CliReport.h"
#include "station/StationDb.h"

namespace kavel::cli {

// Where the runs are recorded, and the image they program.
struct TStationRun {
  std::string where;        // the SQLite file or the postgresql:// URL
  std::string image;        // the image file as given; "" for none
  std::string imageSha256;  // "" for none
  std::optional<station::TSerialList> list;  // --serial-list: its values

  // The draw of a board's number: from the list, or from the sequence --serial-name names.
  station::TSerialDraw SerialDraw(const TCliArgs& args) const;
  // The words for a board that the source has no number left for (the list is spent, or
  // the counter's next would not fit), led by the job's line when a job gave the source.
  std::string UsedUp(const TCliArgs& args) const;
};

// The station database of the command line, for recording: --db, or the default file (its
// folders made). Opened into db, its schema brought up to date: done, or rkStationFailed;
// said before any port is touched.
TRunStatus PrepareStation(const TCliArgs& args, TStationRun& station, std::unique_ptr<station::TStationDb>& db);
// Whether the source of --serial has a number left (unless the boards may keep theirs):
// done, or rkStationFailed saying it is used up, or why the database cannot tell.
TRunStatus NumbersLeft(const TCliArgs& args, const TStationRun& station, station::TStationDb& db);

// One board's row, from before anything is sent to it to the run's end.
class TBoardRecord {
 public:
  // Opens the database and begins the row. Done, or rkStationFailed.
  TRunStatus Begin(const TCliArgs& args, const TStationRun& station, const TPortArg& port);
  // Takes on a row begun already (BeginBoards), and opens the database to finish it. Done, or
  // rkStationFailed.
  TRunStatus Adopt(const TStationRun& station, const station::TRunRow& row);
  std::optional<std::int64_t> Serial() const { return m_row.serial; }
  // The row is begun (and may be finished).
  bool Begun() const { return m_db && m_row.id != 0; }
  // Draws the board's number now and records it in the row: done (Serial() empty when the
  // source is used up), or rkStationFailed.
  TRunStatus Draw(const TCliArgs& args, const TStationRun& station);
  // The number another process drew for this row and recorded in it.
  void Took(std::int64_t serial, const TCliArgs& args, const TStationRun& station);
  // Whether the log knows serial as handed out from the run's source (its counter, or any
  // serial list): done, or rkStationFailed.
  TRunStatus HandedOut(std::int64_t serial, const TCliArgs& args, const TStationRun& station, bool& known);
  // The board keeps the number it holds: the row says so when it is finished.
  void Keep(std::int64_t serial, const TCliArgs& args, const TStationRun& station);
  // The row is the run's to finish: true, unless a run cut short at once has claimed it
  // (MarkStopped), which then ends the process.
  bool ClaimForRun();
  // Finishes the row with what the run did, on a new connection when the first one has gone;
  // a shared server's row that cannot be given to it goes into the spool. The run must have
  // claimed it. Done, or rkStationFailed.
  TRunStatus Finish(const TRunFacts& facts);
  // After a Finish that failed: the database may have recorded the row all the same.
  bool Unconfirmed() const { return m_unconfirmed; }
  // After a Finish that was done by keeping the row in the spool: the server's words and the
  // spool's name; "" when the server has it.
  const std::string& Spooled() const { return m_spooled; }
  // After a Finish that failed because the spool could not take the row either: the spool's
  // words (its path and the system's error); "" otherwise.
  const std::string& SpoolFailure() const { return m_spoolFailure; }
  // For a run cut short at once, from a thread of its own (TStopper): unless the run has
  // claimed the row, finishes it as stopped with the exit status and its class (TRunRow::kBoard
  // or kStation), on a connection of its own. Blocks as long as the database does.
  void MarkStopped(int exit, const char* resultClass);

 private:
  std::string m_where;
  std::unique_ptr<station::TStationDb> m_db;
  station::TRunRow m_row;
  std::mutex m_rowLock;  // m_row, as the run changes it while a stopper may copy it
  std::chrono::steady_clock::time_point m_began;
  enum : int { kOpen, kRun, kStopper };
  std::atomic<int> m_claim{kOpen};  // who finishes the row
  bool m_unconfirmed = false;
  std::string m_spooled, m_spoolFailure;
  // The finished row into the spool when its server could not be given it. Done, or the
  // server's own failure (kept).
  TRunStatus Spool(const TRunStatus& kept);
};

// The rows of several boards begun in db at once, before any of their runs starts, in one
// transaction (their numbers are drawn once their chips answer). Done, or rkStationFailed
// (no row begun).
TRunStatus BeginBoards(const TCliArgs& args, const TStationRun& station, station::TStationDb& db,
                       const std::vector<TPortArg>& ports, std::vector<station::TRunRow>& rows);
// A row begun for a run that never started, finished as kind with the exit status; nothing
// is said when that fails.
void FinishUnstarted(const TStationRun& station, station::TRunRow row, TRunKind kind, int exit);

// A row for each port in db, saying the run was refused before anything was sent (the
// station's, not a board's).
TRunStatus RecordRefused(const TCliArgs& args, const TStationRun& station, station::TStationDb& db,
                         const TRunStatus& refused, int exit);

// Sends the rows that wait in the spool for the server where names to db. What to say of it:
// how many were sent, or why those left wait on; "" when none waited (or where is no server).
std::string SendSpooled(const std::string& where, station::TStationDb& db);

}  // namespace kavel::cli
