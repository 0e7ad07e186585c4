#include "cli/CliStation.h"

#include <algorithm>
#include <vector>

#include "cli/CliProcess.h"
#include "image/HexText.h"
#include "link/WireText.h"
#include "station/Conninfo.h"
#include "station/Spool.h"

namespace kavel::cli {
namespace {

station::TRunRow NewRow(const TCliArgs& args, const TStationRun& station, const TPortArg& port) {
  station::TRunRow row;
  row.started = station::UtcNow();
  row.station = args.station.empty() ? station::StationName() : args.station;
  row.operatorName = args.operatorName;
  row.lot = args.lot;
  row.port = port.name;
  row.device = !port.address.empty() ? port.address : RealDevice(port);
  if (row.device.empty()) row.device = port.device;
  row.command = args.command;
  row.image = station.image;
  row.imageSha256 = station.imageSha256;
  return row;
}

}  // namespace

TRunStatus PrepareStation(const TCliArgs& args, TStationRun& station, std::unique_ptr<station::TStationDb>& db) {
  station.where = args.db.empty() ? station::DefaultStationDbPath() : args.db;
  if (args.db.empty() && !station.where.empty()) {
    if (TRunStatus made = station::MakeDefaultStationDbFolder(station.where); !made.Ok()) return made;
  }
  return station::OpenStationDb(station.where, db);
}

station::TSerialDraw TStationRun::SerialDraw(const TCliArgs& args) const {
  station::TSerialDraw draw{args.serialName, args.serialFirst, args.serialStep};
  if (list) draw = {list->SequenceName(), 0, 1};
  draw.values = list ? &list->values : nullptr;
  if (args.serialPlace) draw.largest = static_cast<std::int64_t>(std::min(args.serialPlace->Largest(), station::kLargestSerial));
  return draw;
}

std::string TStationRun::UsedUp(const TCliArgs& args) const {
  if (list) {
    return AtJobKey(args, "--serial-list",
                    TRunStatus::Make(rkStationFailed, "the serial list " + Printable(list->path) + " is used up: all " +
                                                          std::to_string(list->values.size()) + " of its numbers are spent"))
        .detail;
  }
  const station::TSerialDraw draw = SerialDraw(args);
  return AtJobKey(args, "--serial-name",
                  TRunStatus::Make(rkStationFailed, "the serial sequence " + Printable(draw.name) +
                                                        " is used up: its next number would not fit " +
                                                        (args.serialPlace ? args.serialPlace->FormatText()
                                                                          : std::string("its place")) +
                                                        " (at most " + std::to_string(draw.LastBase()) + ")"))
      .detail;
}

TRunStatus NumbersLeft(const TCliArgs& args, const TStationRun& station, station::TStationDb& db) {
  if (!args.serialPlace || args.serialKeep) return TRunStatus::Done();
  std::optional<std::int64_t> next;
  if (TRunStatus peeked = db.Peek(station.SerialDraw(args), next); !peeked.Ok()) return peeked;
  return next ? TRunStatus::Done() : TRunStatus::Make(rkStationFailed, station.UsedUp(args));
}

TRunStatus TBoardRecord::Begin(const TCliArgs& args, const TStationRun& station, const TPortArg& port) {
  m_row = NewRow(args, station, port);
  m_where = station.where;
  m_began = std::chrono::steady_clock::now();
  if (TRunStatus opened = station::OpenStationDb(station.where, m_db); !opened.Ok()) return opened;
  return m_db->Begin(m_row);
}

TRunStatus TBoardRecord::Draw(const TCliArgs& args, const TStationRun& station) {
  station::TRunRow row = m_row;
  std::vector<station::TRunRow*> rows{&row};
  const TRunStatus drawn = m_db->Draw(rows, station.SerialDraw(args));
  if (drawn.Ok()) {
    const std::lock_guard lock(m_rowLock);
    m_row = row;
  }
  return drawn;
}

void TBoardRecord::Took(std::int64_t serial, const TCliArgs& args, const TStationRun& station) {
  const std::lock_guard lock(m_rowLock);
  m_row.serial = serial;
  m_row.serialName = station.SerialDraw(args).name;
}

TRunStatus TBoardRecord::HandedOut(std::int64_t serial, const TCliArgs& args, const TStationRun& station, bool& known) {
  return m_db->Spent(station.SerialDraw(args), serial, known);
}

void TBoardRecord::Keep(std::int64_t serial, const TCliArgs& args, const TStationRun& station) {
  const std::lock_guard lock(m_rowLock);
  m_row.serial = serial;
  m_row.serialKept = true;
  m_row.serialName = station.SerialDraw(args).name;
}

TRunStatus TBoardRecord::Adopt(const TStationRun& station, const station::TRunRow& row) {
  m_row = row;
  m_where = station.where;
  m_began = std::chrono::steady_clock::now();
  return station::OpenStationDb(station.where, m_db);
}

TRunStatus BeginBoards(const TCliArgs& args, const TStationRun& station, station::TStationDb& db,
                       const std::vector<TPortArg>& ports, std::vector<station::TRunRow>& rows) {
  rows.clear();
  for (const TPortArg& port : ports) rows.push_back(NewRow(args, station, port));
  return db.BeginAll(rows);
}

void FinishUnstarted(const TStationRun& station, station::TRunRow row, TRunKind kind, int exit) {
  row.ended = station::UtcNow();
  row.result = KindName(kind);
  row.reason = "not started: nothing was done";
  row.resultClass = station::TRunRow::kStation;
  row.exitStatus = exit;
  row.seconds = 0.0;
  std::unique_ptr<station::TStationDb> db;
  if (station::OpenStationDb(station.where, db).Ok()) (void)db->Finish(row);
}

bool TBoardRecord::ClaimForRun() {
  if (m_claim.load() == kRun) return true;
  if (StopNow()) return false;  // the stopper is on its way to it
  int open = kOpen;
  return m_claim.compare_exchange_strong(open, kRun) || open == kRun;
}

void TBoardRecord::MarkStopped(int exit, const char* resultClass) {
  int open = kOpen;
  if (!m_claim.compare_exchange_strong(open, kStopper) || m_row.id == 0) return;
  station::TRunRow row;
  {
    const std::lock_guard lock(m_rowLock);
    row = m_row;
  }
  row.ended = station::UtcNow();
  row.result = KindName(rkStopped);
  row.reason = "stopped at once by a second stop signal";
  row.resultClass = resultClass;
  row.exitStatus = exit;
  row.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_began).count();
  std::unique_ptr<station::TStationDb> db;
  if (station::OpenStationDb(m_where, db).Ok()) (void)db->Finish(row);  // nothing is said: the stop was
}

TRunStatus TBoardRecord::Finish(const TRunFacts& facts) {
  m_row.ended = station::UtcNow();
  m_row.result = KindName(facts.status.kind);
  m_row.reason = Reason(facts);
  m_row.resultClass = ResultClass(facts);
  m_row.exitStatus = facts.exit;
  m_row.seconds = facts.seconds;
  if (facts.speed) m_row.speed = std::stoi(*facts.speed);
  m_row.retries = static_cast<int>(facts.resent);
  if (facts.deviceId) m_row.deviceId = *facts.deviceId;
  m_row.serialVerified = m_row.serial.has_value() && facts.verified;
  if (facts.verify.differing > 0) {
    m_row.firstDifference = HexText(facts.verify.firstAddress, 4) + ": wrote " + HexText(facts.verify.written, 2) + ", read " +
                            HexText(facts.verify.read, 2);
  }
  const TRunStatus kept = m_db->Finish(m_row);
  m_unconfirmed = m_db->Unconfirmed();
  if (kept.Ok()) return kept;
  if (!m_db->Lost()) return Spool(kept);
  // The connection went while the board was programmed (a server restarted, a network that
  // dropped it): once more, on a new one. A server that did not answer is not waited for
  // twice.
  std::unique_ptr<station::TStationDb> again;
  if (!station::OpenStationDb(m_where, again).Ok()) return Spool(kept);
  if (const TRunStatus retried = again->Finish(m_row); !retried.Ok()) {
    m_unconfirmed = m_unconfirmed || again->Unconfirmed();
    return Spool(kept);
  }
  m_unconfirmed = false;
  m_db = std::move(again);
  return TRunStatus::Done();
}

// A shared server's row only: an SQLite file is this station's own, and a spool beside it
// would be one more file that can fail the same way.
TRunStatus TBoardRecord::Spool(const TRunStatus& kept) {
  if (!station::IsConninfo(m_where)) return kept;
  const std::string spool = station::DefaultSpoolPath();
  if (const TRunStatus spooled = station::SpoolRow(spool, m_where, m_row); !spooled.Ok()) {
    m_spoolFailure = spooled.detail;
    return kept;
  }
  const std::string server = station::Masked(m_where, m_where);
  m_spooled = kept.detail + "; this board's row waits in the spool " + spool + " and is sent by the next run recorded on " +
              server + ", or by kavel-isp-cli --db " + server + " log --flush";
  return TRunStatus::Done();
}

std::string SendSpooled(const std::string& where, station::TStationDb& db) {
  if (!station::IsConninfo(where)) return {};
  station::TFlushed flushed;
  const TRunStatus sent = station::FlushSpool(station::DefaultSpoolPath(), where, db, flushed);
  std::string said;
  if (flushed.sent > 0)
    said = std::to_string(flushed.sent) + (flushed.sent == 1 ? " row" : " rows") + " sent from the spool";
  if (!sent.Ok() || flushed.left > 0) {
    said += (said.empty() ? "" : "; ") + std::to_string(flushed.left) + (flushed.left == 1 ? " row waits" : " rows wait") +
            " in the spool" + (sent.Ok() ? "" : ": " + sent.detail);
  }
  return said;
}

TRunStatus RecordRefused(const TCliArgs& args, const TStationRun& station, station::TStationDb& db,
                         const TRunStatus& refused, int exit) {
  for (const TPortArg& port : args.ports) {
    station::TRunRow row = NewRow(args, station, port);
    row.ended = row.started;
    row.result = KindName(refused.kind);
    row.reason = refused.detail;
    row.resultClass = station::TRunRow::kStation;
    row.exitStatus = exit;
    row.seconds = 0.0;
    if (TRunStatus begun = db.Begin(row); !begun.Ok()) return begun;
    if (TRunStatus finished = db.Finish(row); !finished.Ok()) return finished;
  }
  return TRunStatus::Done();
}

}  // namespace kavel::cli
