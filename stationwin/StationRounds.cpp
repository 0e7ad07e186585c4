// The rounds: one kavel-isp-cli process for some boards, started, read line by line, stopped
// and ended; and the lot's counters read again after each.
#include "stationwin/StationWindow.h"

#include <unistd.h>

#include <algorithm>

#include <QFileInfo>
#include <QLineEdit>
#include <QTimer>

#include "station/Conninfo.h"
#include "station/Serial.h"
#include "station/StationDb.h"

namespace kavel::stationwin {
namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// How the rows of a round say it was stopped, a signal each: the operator's Stop (Esc), and
// the window closed during the round. A SIGTERM the program received is passed on as it is.
const QStringList kStopWords{"--stop-words", "INT=by the operator (Esc)", "--stop-words", "HUP=when the window closed"};

}  // namespace

bool TStationWindow::InRound(std::size_t board) const {
  for (const auto& r : m_rounds)
    if (std::find(r->boards.begin(), r->boards.end(), board) != r->boards.end()) return true;
  return false;
}

bool TStationWindow::StartReady() {
  std::vector<std::size_t> boards;
  for (std::size_t i = 0; i < m_boards.size(); ++i)
    if (!InRound(i)) boards.push_back(i);
  return StartRound(std::move(boards));
}

bool TStationWindow::StartRound(std::vector<std::size_t> boards) {
  if (boards.empty() || m_closing) return false;
  if (OperatorName().isEmpty()) {
    Banner(bkOperator, "Enter the operator's name first: the log records who programmed each board.");
    m_operator->setFocus();
    return false;
  }
  Banner(bkOperator, {});
  Banner(bkRound, {});
  auto round = std::make_unique<TRound>();
  round->boards = std::move(boards);
  for (std::size_t i : round->boards) {
    m_boards[i].Begin();
    ShowSocket(i, {});
    Show(i);
  }
  TRound* r = round.get();
  m_rounds.push_back(std::move(round));
  // Its ports are the round's once their probes are over; a probe that is asked to stop
  // ends at its next step.
  for (std::size_t i : r->boards)
    if (i < m_pollers.size()) m_pollers[i]->Stop();
  Launch(*r);
  return true;
}

void TStationWindow::Launch(TRound& round) {
  if (round.process || round.stopped) return;
  for (std::size_t i : round.boards)
    if (i < m_pollers.size() && m_pollers[i]->Probing()) return;  // again at its Idle
  QStringList args{"--job", Q(m_job.job), "--json", "--events", "--yes", "--operator", OperatorName()};
  args << kStopWords;
  for (std::size_t i : round.boards) args << "--port" << Q(m_job.ports[i].name);
  round.process = std::make_unique<QProcess>();
  TRound* r = &round;
  QProcess* p = r->process.get();
  // A group of its own: a Ctrl-C at the terminal that started the window reaches the window
  // alone, which passes on the stop it means.
  p->setChildProcessModifier([] { ::setpgid(0, 0); });
  connect(p, &QProcess::readyReadStandardOutput, this, [this, r] { TakeOutput(*r); });
  connect(p, &QProcess::readyReadStandardError, this, [r] {
    r->err += r->process->readAllStandardError();
    if (r->err.size() > 65536) r->err.remove(0, r->err.size() - 65536);  // its last words are what count
  });
  connect(p, &QProcess::finished, this, [this, r](int exit, QProcess::ExitStatus how) {
    Finished(r, exit, how == QProcess::CrashExit);
  });
  connect(p, &QProcess::errorOccurred, this, [this, r](QProcess::ProcessError e) {
    if (e != QProcess::FailedToStart) return;
    r->err = ("cannot start " + m_cli + ": " + r->process->errorString()).toUtf8();
    Finished(r, -1, false);
  });
  p->start(m_cli, args);
}

void TStationWindow::StopRounds(int signal) {
  std::vector<TRound*> unbegun;
  for (const auto& r : m_rounds) {
    // (Never to pid 0, which is a process group: this window's own.)
    if (r->process && r->process->state() != QProcess::NotRunning && r->process->processId() > 0)
      ::kill(static_cast<pid_t>(r->process->processId()), signal);
    else if (!r->process)
      unbegun.push_back(r.get());
  }
  for (TRound* r : unbegun) {
    r->stopped = true;
    Finished(r, -2, false);
  }
}

void TStationWindow::TakeOutput(TRound& round) {
  round.out += round.process->readAllStandardOutput();
  for (qsizetype nl; (nl = round.out.indexOf('\n')) >= 0;) {
    const TRunLine line = ReadRunLine(std::string_view(round.out.constData(), static_cast<std::size_t>(nl)));
    round.out.remove(0, nl + 1);
    for (std::size_t i : round.boards) {
      if (m_job.ports[i].name != line.port) continue;
      if (!m_boards[i].Take(line)) {
        Banner(bkRound, "Not programmed: " + Q(line.diagnosis.empty() ? line.message : line.diagnosis.front()), true);
        round.saidFault = true;
      }
      Show(i);
    }
  }
  if (round.out.size() > 1 << 20) round.out.clear();  // no line is that long: not the command line's
}

void TStationWindow::Finished(TRound* round, int exit, bool crashed) {
  const auto at = std::find_if(m_rounds.begin(), m_rounds.end(), [round](const auto& r) { return r.get() == round; });
  if (at == m_rounds.end()) return;  // said already (it failed to start, then finished)
  std::unique_ptr<TRound> done = std::move(*at);
  m_rounds.erase(at);
  if (done->process) TakeOutput(*done);
  // Its last words on standard error: what it said of the whole round, when it gave no result.
  QString said = QString::fromUtf8(done->err).trimmed();
  said = said.mid(said.lastIndexOf('\n') + 1);
  if (said.startsWith("kavel-isp-cli: ")) said.remove(0, 15);
  // A round that never reached a board (it could not start, its job or its log failed at once,
  // or it was stopped before it began) is the station's: its boards are as they were.
  const bool station = exit == -1 || exit == -2 || (!crashed && (exit == cli::kExitUsage || exit == cli::kExitStation));
  for (std::size_t i : done->boards) {
    if (m_boards[i].phase == TBoardPhase::bpRunning && station) {
      m_boards[i] = {};
      m_boards[i].reason = exit == -2 ? "stopped before it began" : "not programmed: see above";
    }
    m_boards[i].Ended(said.isEmpty() ? "the run ended without a result" : "the run ended without a result: " + said.toStdString());
    Show(i);
    if (!m_automatic || i >= m_pollers.size()) continue;
    if (m_boards[i].phase == TBoardPhase::bpReady && exit != -2) {
      // Not worked on, the station's fault (not stopped by the operator before it began): the board
      // is still new, and is tried again after a pause that grows while the fault lasts.
      TSocket& s = m_sockets[i];
      s.retryMs = s.retryMs == 0 ? TBoardPoller::kBackOffMs : std::min(2 * s.retryMs, TBoardPoller::kBackOffMaxMs);
      m_pollers[i]->Start(s.retryMs);
    } else {
      m_sockets[i] = {};  // the board programmed is still there: the next is the one after it
      m_pollers[i]->Start();
    }
  }
  if (station && exit != -2 && !done->saidFault)
    Banner(bkRound, "Nothing was programmed: " + (said.isEmpty() ? QString("kavel-isp-cli ended with status %1").arg(exit) : said), true);
  if (done->process) {
    done->process->disconnect();
    done->process.release()->deleteLater();  // its signals may still be on their way
  }
  if (m_closing && m_rounds.empty()) {
    QTimer::singleShot(0, this, [this] { close(); });
    return;
  }
  ReadCounts();
}

void TStationWindow::ReadCounts() {
  if (m_job.noDb) return emit RoundEnded();  // nothing is logged: nothing to count
  QStringList where;  // the job's log and lot
  if (!m_job.db.empty()) where << "--db" << Q(m_job.db);
  if (!m_job.lot.empty()) where << "--lot" << Q(m_job.lot);
  // A log file that is not there yet holds no boards: nothing to count, nothing wrong.
  const std::string file = m_job.db.empty() ? station::DefaultStationDbPath() : m_job.db;
  if (!station::IsConninfo(file) && !QFileInfo::exists(Q(file))) {
    std::vector<std::string> ports;
    for (const cli::TPortArg& p : m_job.ports) ports.push_back(p.name);
    m_counts = CountStats("", "", ports);
    ShowCounts();
    return emit RoundEnded();
  }
  const QString stationName = Q(m_job.station.empty() ? station::StationName() : m_job.station);
  // The lot's figures of every station (a second station's boards count too), and this
  // station's a port: log --stats, the command line's own.
  const QStringList asked[] = {where, where + QStringList{"--by", "port", "--station", stationName}};
  m_statsPending = 2;
  m_statsFailed.clear();
  for (std::size_t i = 0; i < 2; ++i) {
    if (m_stats[i]) m_stats[i]->disconnect(this);  // a read still going from before counts no more
    m_stats[i] = std::make_unique<QProcess>();
    const auto ended = [this, i](int exit) {
      m_statsOut[i] = m_stats[i]->readAllStandardOutput();
      if (exit != 0 && m_statsFailed.isEmpty()) {
        m_statsFailed = QString::fromUtf8(m_stats[i]->readAllStandardError()).trimmed();
        if (m_statsFailed.startsWith("kavel-isp-cli: ")) m_statsFailed.remove(0, 15);
        if (m_statsFailed.isEmpty()) m_statsFailed = m_stats[i]->errorString();
      }
      if (--m_statsPending > 0) return;
      if (!m_statsFailed.isEmpty()) {
        Banner(bkCounts, "the lot's counters cannot be read: " + m_statsFailed);
      } else {
        Banner(bkCounts, {});
        std::vector<std::string> ports;
        for (const cli::TPortArg& p : m_job.ports) ports.push_back(p.name);
        m_counts = CountStats(m_statsOut[0].toStdString(), m_statsOut[1].toStdString(), ports);
        ShowCounts();
      }
      emit RoundEnded();
    };
    connect(m_stats[i].get(), &QProcess::finished, this, ended);
    // A program that cannot be started never finishes: its end is this.
    connect(m_stats[i].get(), &QProcess::errorOccurred, this, [ended](QProcess::ProcessError error) {
      if (error == QProcess::FailedToStart) ended(-1);
    });
    m_stats[i]->start(m_cli, QStringList{"log", "--stats", "--json"} + asked[i]);
  }
}

}  // namespace kavel::stationwin
