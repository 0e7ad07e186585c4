#include "stationwin/StationWindow.h"

#include <unistd.h>

#include <algorithm>
#include <set>

#include <QCheckBox>
#include <QCloseEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>

#include "station/Conninfo.h"
#include "station/Serial.h"
#include "station/StationDb.h"

namespace kavel::stationwin {
namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// A socket is ready for the next board once it has been seen empty this long, by two
// probes in a row at the least: a probe that missed a chip's answer once is no empty socket.
constexpr qint64 kEmptyForMs = 1000;

// How the rows of a round say it was stopped, a signal each: the operator's Stop (Esc), and
// the window closed during the round. A SIGTERM the program received is passed on as it is.
const QStringList kStopWords{"--stop-words", "INT=by the operator (Esc)", "--stop-words", "HUP=when the window closed"};

// Each state its colour; its word says it too, so that colour is never the only sign.
const char* Colour(TBoardPhase phase) {
  switch (phase) {
    case TBoardPhase::bpReady: return "#d9d9d9";
    case TBoardPhase::bpRunning: return "#ffe08a";
    case TBoardPhase::bpPass: return "#7ed67e";
    case TBoardPhase::bpFail: return "#ff8080";
    case TBoardPhase::bpStopped: break;
  }
  return "#b0b0ff";
}

QString CountsText(const TCounts& c) {
  QString text = QString("%1 passed, %2 failed").arg(c.passed).arg(c.failed);
  if (const auto yield = c.Yield()) text += QString(", yield %1%").arg(*yield, 0, 'f', 1);
  return text;
}

}  // namespace

TStationWindow::TStationWindow(cli::TCliArgs job, QString cli, const QString& operatorName, QWidget* parent)
    : QWidget(parent), m_job(std::move(job)), m_cli(std::move(cli)), m_boards(m_job.ports.size()) {
  m_clock.start();
  const QString jobName = QFileInfo(Q(m_job.job)).fileName();
  setWindowTitle("Kavel ISP station - " + jobName);
  auto* top = new QVBoxLayout(this);
  auto* head = new QLabel(QString("Job %1: %2 %3, SHA-256 %4; station %5%6")
                              .arg(jobName, Q(m_job.command), QFileInfo(Q(m_job.file)).fileName(),
                                   Q(m_job.expectSha256.substr(0, 16)) + "...",
                                   Q(m_job.station.empty() ? station::StationName() : m_job.station),
                                   m_job.lot.empty() ? QString() : ", lot " + Q(m_job.lot)));
  head->setAccessibleName("Job");
  head->setWordWrap(true);
  top->addWidget(head);
  auto* who = new QHBoxLayout;
  auto* whoLabel = new QLabel("Operator:");
  m_operator = new QLineEdit(operatorName.isEmpty() ? Q(m_job.operatorName) : operatorName);
  m_operator->setAccessibleName("Operator");
  m_operator->setPlaceholderText("your name, for the log of every board");
  m_operator->setMaxLength(64);  // as the log takes it
  // Typed into when clicked, or when a name is missing; else the keys (a pedal's space
  // included) are the window's. Enter gives them back.
  m_operator->setFocusPolicy(Qt::ClickFocus);
  connect(m_operator, &QLineEdit::returnPressed, m_operator, [this] { m_operator->clearFocus(); });
  whoLabel->setBuddy(m_operator);
  who->addWidget(whoLabel);
  who->addWidget(m_operator, 1);
  top->addLayout(who);
  m_lot = new QLabel;
  m_lot->setAccessibleName("Lot counters");
  QFont big = m_lot->font();
  big.setPointSize(big.pointSize() + 6);
  big.setBold(true);
  m_lot->setFont(big);
  top->addWidget(m_lot);
  m_banner = new QLabel;
  m_banner->setAccessibleName("Banner");
  m_banner->setObjectName("banner");
  m_banner->setStyleSheet("background: #ffd0a0; padding: 6px;");
  m_banner->setWordWrap(true);
  m_banner->hide();
  top->addWidget(m_banner);
  auto* grid = new QGridLayout;
  BuildTiles(grid);
  top->addLayout(grid, 1);

  auto* buttons = new QHBoxLayout;
  m_start = new QPushButton("Start (Enter)");
  m_start->setAccessibleName("Start");
  m_stop = new QPushButton("Stop (Esc)");
  m_stop->setAccessibleName("Stop");
  for (QPushButton* b : {m_start, m_stop}) {
    QFont f = b->font();
    f.setPointSize(f.pointSize() + 8);
    b->setFont(f);
    b->setMinimumHeight(60);
    b->setFocusPolicy(Qt::NoFocus);  // Enter and space are the window's, never a button's alone
    buttons->addWidget(b);
  }
  auto* automatic = m_automaticBox = new QCheckBox("Automatic: program each board put in");
  automatic->setAccessibleName("Automatic");
  automatic->setFocusPolicy(Qt::NoFocus);
  buttons->addWidget(automatic);
  connect(automatic, &QCheckBox::toggled, this, [this](bool on) { SetAutomatic(on); });
  top->addLayout(buttons);
  connect(m_start, &QPushButton::clicked, this, [this] { StartReady(); });
  connect(m_stop, &QPushButton::clicked, this, [this] { StopAll(); });
  // One start, by whatever the operator has: Enter, the space bar, a foot pedal that types one.
  // Enter in the operator's field only takes the name.
  for (const int key : {int(Qt::Key_Return), int(Qt::Key_Enter), int(Qt::Key_Space)})
    connect(new QShortcut(QKeySequence(key), this), &QShortcut::activated, this, [this] {
      if (m_operator->hasFocus()) return m_operator->clearFocus();
      StartReady();
    });
  connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this, [this] { StopAll(); });
  resize(QSize(900, 680).expandedTo(minimumSizeHint()));
  QTimer::singleShot(0, this, [this] { ReadCounts(); });  // once the window is there to show them
  if (OperatorName().isEmpty()) m_operator->setFocus();
}

void TStationWindow::BuildTiles(QGridLayout* grid) {
  for (std::size_t i = 0; i < m_job.ports.size(); ++i) {
    const QString port = Q(m_job.ports[i].name);
    auto* frame = new QFrame;
    frame->setFrameShape(QFrame::Box);
    frame->setAccessibleName(port + " tile");
    auto* box = new QVBoxLayout(frame);
    TTile t{};
    const auto label = [&](const QString& role, int grow) {
      auto* l = new QLabel;
      l->setAccessibleName(port + " " + role);
      l->setWordWrap(true);
      QFont f = l->font();
      f.setPointSize(f.pointSize() + grow);
      l->setFont(f);
      box->addWidget(l);
      return l;
    };
    t.port = label("port", 4);
    t.state = label("state", 18);
    t.state->setAlignment(Qt::AlignCenter);
    QFont bold = t.state->font();
    bold.setBold(true);
    t.state->setFont(bold);
    t.socket = label("socket", 0);
    t.socket->setObjectName(QString("socket%1").arg(i));
    t.socket->hide();  // automatic mode's
    t.step = label("step", 2);
    t.bar = new QProgressBar;
    t.bar->setAccessibleName(port + " progress");
    box->addWidget(t.bar);
    t.serial = label("serial", 6);
    t.reason = label("reason", 0);
    // Room for a diagnosis of four lines, which the tile never clips (the window grows instead).
    t.reason->setMinimumHeight(4 * t.reason->fontMetrics().lineSpacing());
    t.counts = label("counters", 0);
    t.port->setText(port);
    m_tiles.push_back(t);
    grid->addWidget(frame, static_cast<int>(i / 2), static_cast<int>(i % 2));
    Show(i);
  }
}

TStationWindow::~TStationWindow() {
  // Boards are never left half done by the window going: the rounds are asked to stop, and
  // their ends awaited (closing the window asks first, and waits without blocking).
  m_closing = true;  // a round that ends now starts nothing more
  StopRounds(SIGHUP);
  for (const auto& stats : m_stats)
    if (stats) stats->disconnect();  // a count still going is shown no more
  for (const auto& r : m_rounds) {
    if (!r->process) continue;
    r->process->disconnect();  // its end is no longer shown: nothing may touch the rounds meanwhile
    r->process->waitForFinished(30000);
  }
}

QString TStationWindow::OperatorName() const { return m_operator->text().trimmed(); }

void TStationWindow::Show(std::size_t i) {
  const TBoardState& b = m_boards[i];
  TTile& t = m_tiles[i];
  t.state->setText(b.Word());
  t.state->setStyleSheet(QString("background: %1; padding: 8px;").arg(Colour(b.phase)));
  t.step->setText(Q(b.step));
  t.bar->setRange(0, b.phase == TBoardPhase::bpRunning && b.percent < 0 ? 0 : 100);
  t.bar->setValue(std::max(b.percent, 0));
  const station::TSerialPlace place = m_job.serialPlace.value_or(station::TSerialPlace{});
  QString serial = b.serial ? "serial " + Q(station::SerialText(static_cast<std::uint64_t>(*b.serial), place)) : QString();
  if (b.seconds) serial += QString(serial.isEmpty() ? "%1 s" : "   %1 s").arg(*b.seconds, 0, 'f', 1);
  t.serial->setText(serial);
  QString reason = Q(b.reason);
  if (b.resent) reason += QString(reason.isEmpty() ? "%1 %2 sent again" : "\n%1 %2 sent again").arg(b.resent).arg(b.resent == 1 ? "record" : "records");
  t.reason->setText(reason);
  if (i < m_counts.ports.size()) t.counts->setText("this port: " + CountsText(m_counts.ports[i]));
  // A screen reader gets the texts under the labels' names.
  for (QLabel* l : {t.state, t.socket, t.step, t.serial, t.reason, t.counts}) l->setAccessibleDescription(l->text());
}

void TStationWindow::ShowSocket(std::size_t i, const QString& text) {
  m_tiles[i].socket->setText(text);
  m_tiles[i].socket->setAccessibleDescription(text);
  m_tiles[i].socket->setVisible(!text.isEmpty());
}

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

void TStationWindow::StopAndClose(int signal) {
  m_closing = true;
  StopRounds(signal);
  if (m_rounds.empty()) close();
}

void TStationWindow::closeEvent(QCloseEvent* event) {
  if (m_rounds.empty()) return event->accept();
  event->ignore();
  if (m_closing) return;  // it closes once they have stopped
  int running = 0;
  for (const TBoardState& b : m_boards) running += b.phase == TBoardPhase::bpRunning;
  QMessageBox ask(QMessageBox::Question, "Kavel ISP station",
                  running == 1 ? QString("1 board is being programmed. Stop it and close?")
                               : QString("%1 boards are being programmed. Stop them and close?").arg(running),
                  QMessageBox::Yes | QMessageBox::No, this);
  ask.setDefaultButton(QMessageBox::No);
  if (ask.exec() != QMessageBox::Yes) return;
  if (m_rounds.empty()) return (void)close();  // they ended meanwhile
  Banner(bkRound, "Stopping the boards at their next safe point; the window closes when they have stopped.");
  StopAndClose(SIGHUP);
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

void TStationWindow::SetAutomatic(bool on) {
  m_automatic = on;
  {
    const QSignalBlocker quiet(m_automaticBox);
    m_automaticBox->setChecked(on);
  }
  if (m_pollers.empty()) {
    for (std::size_t i = 0; i < m_job.ports.size(); ++i) {
      m_pollers.push_back(std::make_unique<TBoardPoller>(m_job, m_job.ports[i]));
      connect(m_pollers[i].get(), &TBoardPoller::Heard, this, [this, i](const cli::TProbe& p) { Heard(i, p); });
      connect(m_pollers[i].get(), &TBoardPoller::Idle, this, [this] {
        for (std::size_t r = 0; r < m_rounds.size(); ++r) Launch(*m_rounds[r]);
      });
    }
  }
  // A board in its socket now is not new: it waits for Start, or to be taken out.
  m_sockets.assign(m_boards.size(), {});
  for (std::size_t i = 0; i < m_pollers.size(); ++i) {
    if (on && !InRound(i)) m_pollers[i]->Start();
    if (!on) m_pollers[i]->Stop();
    ShowSocket(i, on && !InRound(i) ? "looking for a board..." : "");
  }
}

void TStationWindow::Heard(std::size_t board, const cli::TProbe& probe) {
  if (!m_automatic || InRound(board)) return;
  TSocket& s = m_sockets[board];
  if (probe.what != cli::TProbe::pwQuiet) s.quiet = 0;
  switch (probe.what) {
    case cli::TProbe::pwQuiet: {
      const qint64 now = m_clock.elapsed();
      if (s.quiet++ == 0) s.quietSinceMs = now;
      if (!s.armed && s.quiet >= 2 && now - s.quietSinceMs >= kEmptyForMs) {
        s.armed = true;  // the board has gone: the socket is ready for the next
        m_boards[board] = {};
        Show(board);
      }
      return ShowSocket(board, s.armed ? "empty: put a board in" : "empty?");
    }
    case cli::TProbe::pwAnswered:
      if (s.armed) {
        if (!StartRound({board})) ShowSocket(board, "a board answers: it waits for the operator's name");
        return;
      }
      return ShowSocket(board, m_boards[board].phase == TBoardPhase::bpReady
                                   ? "a board was in the socket: press Start to program it, or take it out"
                                   : "the board is still in its socket: take it out for the next");
    case cli::TProbe::pwNoise: return ShowSocket(board, "board present, not answering");
    case cli::TProbe::pwNoPort: return ShowSocket(board, "the port cannot be opened: " + Q(probe.words));
    case cli::TProbe::pwStopped: return;
  }
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

void TStationWindow::ShowCounts() {
  m_lot->setText("This lot: " + CountsText(m_counts.all));
  for (std::size_t i = 0; i < m_tiles.size(); ++i) Show(i);
}

void TStationWindow::Banner(TBannerKind kind, const QString& text, bool add) {
  QString& said = m_said[kind];
  if (!add || said.isEmpty()) {
    said = text;
  } else if (!said.split('\n').contains(text)) {
    said += "\n" + text;  // each thing once, however many ports said it
  }
  QStringList lines;
  for (const QString& part : m_said)
    if (!part.isEmpty()) lines << part;
  m_banner->setText(lines.join('\n'));
  m_banner->setAccessibleDescription(m_banner->text());
  m_banner->setVisible(!lines.isEmpty());
}

}  // namespace kavel::stationwin
