#include "stationwin/StationWindow.h"

#include <algorithm>
#include <csignal>

#include <QCheckBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>

#include "station/StationDb.h"

namespace kavel::stationwin {
namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

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

TStationWindow::TStationWindow(station::TJob job, QString cli, QWidget* parent)
    : QWidget(parent), m_job(std::move(job)), m_cli(std::move(cli)), m_boards(m_job.ports.size()) {
  m_station = station::StationName();
  for (const station::TJobOption& o : m_job.options) {
    if (o.key == "station") m_station = o.words.back();
    // Where the number goes, so that it is shown as the command line shows it (a MAC address
    // as its bytes); the job was checked whole before the window opened.
    station::TSerialPlace place;
    if (o.key == "serial" && station::ParseSerialPlace(o.words.back(), place).Ok()) m_serialPlace = place;
  }
  std::string lot;
  for (const station::TJobOption& o : m_job.options)
    if (o.key == "lot") lot = o.words.back();
  setWindowTitle("Kavel ISP station - " + QFileInfo(Q(m_job.path)).fileName());
  auto* top = new QVBoxLayout(this);
  auto* head = new QLabel(QString("Job %1: %2 %3, SHA-256 %4; station %5%6")
                              .arg(QFileInfo(Q(m_job.path)).fileName(), Q(m_job.operation),
                                   QFileInfo(Q(m_job.image)).fileName(), Q(m_job.sha256.substr(0, 16)) + "...",
                                   Q(m_station), lot.empty() ? QString() : ", lot " + Q(lot)));
  head->setAccessibleName("Job");
  head->setWordWrap(true);
  top->addWidget(head);
  m_lot = new QLabel;
  m_lot->setAccessibleName("Lot counters");
  QFont big = m_lot->font();
  big.setPointSize(big.pointSize() + 6);
  big.setBold(true);
  m_lot->setFont(big);
  top->addWidget(m_lot);
  m_banner = new QLabel;
  m_banner->setAccessibleName("Banner");
  m_banner->setStyleSheet("background: #ff8080; padding: 6px;");
  m_banner->setWordWrap(true);
  m_banner->hide();
  top->addWidget(m_banner);

  auto* grid = new QGridLayout;
  for (std::size_t i = 0; i < m_job.ports.size(); ++i) {
    auto* frame = new QFrame;
    frame->setFrameShape(QFrame::Box);
    frame->setAccessibleName(Q(m_job.ports[i]) + " tile");
    auto* box = new QVBoxLayout(frame);
    TTile t{};
    const auto label = [&](const QString& role, int grow) {
      auto* l = new QLabel;
      l->setAccessibleName(Q(m_job.ports[i]) + " " + role);
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
    t.step = label("step", 2);
    t.bar = new QProgressBar;
    t.bar->setAccessibleName(Q(m_job.ports[i]) + " progress");
    box->addWidget(t.bar);
    t.serial = label("serial", 6);
    t.reason = label("reason", 2);
    // Room for a reason of three lines, which the tile never clips (the window grows instead).
    t.reason->setMinimumHeight(3 * t.reason->fontMetrics().lineSpacing());
    t.counts = label("counters", 0);
    t.port->setText(Q(m_job.ports[i]));
    m_tiles.push_back(t);
    grid->addWidget(frame, static_cast<int>(i / 2), static_cast<int>(i % 2));
    Show(i);
  }
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
  for (const int key : {int(Qt::Key_Return), int(Qt::Key_Enter), int(Qt::Key_Space)})
    connect(new QShortcut(QKeySequence(key), this), &QShortcut::activated, this, [this] { StartReady(); });
  connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this, [this] { StopAll(); });
  resize(QSize(900, 640).expandedTo(minimumSizeHint()));
  QTimer::singleShot(0, this, [this] { ReadCounts(); });  // once the window is there to show them
}

TStationWindow::~TStationWindow() {
  // Boards are never left half done by closing the window: the round is asked to stop, and
  // its end awaited.
  StopAll();
  for (const auto& r : m_rounds) {
    r->process->disconnect();  // its end is no longer shown: nothing may touch the rounds meanwhile
    r->process->waitForFinished(30000);
  }
}

void TStationWindow::Show(std::size_t i) {
  const TBoardState& b = m_boards[i];
  TTile& t = m_tiles[i];
  t.state->setText(b.Word());
  t.state->setStyleSheet(QString("background: %1; padding: 8px;").arg(Colour(b.phase)));
  t.step->setText(Q(b.step));
  t.bar->setRange(0, b.phase == TBoardPhase::bpRunning && b.percent < 0 ? 0 : 100);
  t.bar->setValue(std::max(b.percent, 0));
  QString serial = b.serial ? "serial " + Q(station::SerialText(static_cast<std::uint64_t>(*b.serial), m_serialPlace)) : QString();
  if (b.seconds) serial += QString(serial.isEmpty() ? "%1 s" : "   %1 s").arg(*b.seconds, 0, 'f', 1);
  t.serial->setText(serial);
  t.reason->setText(Q(b.reason));
  if (i < m_counts.ports.size()) t.counts->setText("this port: " + CountsText(m_counts.ports[i]));
  // A screen reader gets the texts under the labels' names.
  for (QLabel* l : {t.state, t.step, t.serial, t.reason, t.counts}) l->setAccessibleDescription(l->text());
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
  if (boards.empty()) return false;
  QStringList args{"--job", Q(m_job.path), "--json", "--yes"};
  for (std::size_t i : boards) {
    args << "--port" << Q(m_job.ports[i]);
    m_boards[i].Begin();
    if (i < m_pollers.size()) m_pollers[i]->Stop();  // the round's port now
    Show(i);
  }
  auto round = std::make_unique<TRound>();
  round->boards = std::move(boards);
  round->process = std::make_unique<QProcess>();
  TRound* r = round.get();
  connect(r->process.get(), &QProcess::readyReadStandardOutput, this, [this, r] { TakeOutput(*r); });
  connect(r->process.get(), &QProcess::readyReadStandardError, this, [this, r] { TakeErrors(*r); });
  connect(r->process.get(), &QProcess::finished, this, [this, r] { Finished(r); });
  connect(r->process.get(), &QProcess::errorOccurred, this, [this, r](QProcess::ProcessError e) {
    if (e == QProcess::FailedToStart) {
      r->lastErr = "cannot start " + m_cli + ": " + r->process->errorString();
      Finished(r);
    }
  });
  m_rounds.push_back(std::move(round));
  r->process->start(m_cli, args);
  return true;
}

void TStationWindow::StopAll() {
  for (const auto& r : m_rounds)
    if (r->process->state() != QProcess::NotRunning) ::kill(static_cast<pid_t>(r->process->processId()), SIGINT);
}

void TStationWindow::TakeOutput(TRound& round) {
  round.out += round.process->readAllStandardOutput();
  for (qsizetype nl; (nl = round.out.indexOf('\n')) >= 0;) {
    const std::string line = round.out.left(nl).toStdString();
    round.out.remove(0, nl + 1);
    // The object names its port; with one port, it is that one.
    for (std::size_t i : round.boards) {
      const std::string quoted = "\"port\":\"" + m_job.ports[i] + "\"";
      if (line.find(quoted) != std::string::npos || round.boards.size() == 1) {
        if (m_boards[i].TakeResult(line)) Show(i);
        break;
      }
    }
  }
}

void TStationWindow::TakeErrors(TRound& round) {
  round.err += round.process->readAllStandardError();
  std::vector<std::string> ports;
  for (std::size_t i : round.boards) ports.push_back(m_job.ports[i]);
  for (qsizetype nl; (nl = round.err.indexOf('\n')) >= 0;) {
    const std::string line = round.err.left(nl).toStdString();
    round.err.remove(0, nl + 1);
    const auto [port, text] = SplitLabel(line, ports);
    if (port.empty()) {
      round.lastErr = Q(text);  // about the whole round: a bad job, a database that failed
      continue;
    }
    for (std::size_t i : round.boards) {
      if (m_job.ports[i] == port) {
        m_boards[i].TakeErrLine(text);
        Show(i);
      }
    }
  }
}

void TStationWindow::Finished(TRound* round) {
  const auto at = std::find_if(m_rounds.begin(), m_rounds.end(), [round](const auto& r) { return r.get() == round; });
  if (at == m_rounds.end()) return;  // said already (it failed to start, then finished)
  std::unique_ptr<TRound> done = std::move(*at);
  m_rounds.erase(at);
  TakeOutput(*done);
  TakeErrors(*done);
  for (std::size_t i : done->boards) {
    m_boards[i].Ended(done->lastErr.isEmpty() ? "the run ended without a result" : done->lastErr.toStdString());
    Show(i);
    if (m_automatic) {
      m_armed[i] = false;  // the board programmed is still there: the next is the one after it
      m_pollers[i]->Start();
    }
  }
  Banner(done->lastErr);
  done->process->disconnect();
  done->process.release()->deleteLater();  // its signals may still be on their way
  ReadCounts();
}

void TStationWindow::SetAutomatic(bool on) {
  m_automatic = on;
  {
    const QSignalBlocker quiet(m_automaticBox);
    m_automaticBox->setChecked(on);
  }
  if (m_pollers.empty()) {
    TBaudRate speed = br115200;
    std::vector<TModemStep> entry;
    bool invertDtr = false, invertRts = false;
    for (const station::TJobOption& o : m_job.options) {
      if (o.key == "baud") speed = BaudRateFromText(o.words.back());
      if (o.key == "boot-entry") (void)ParseModemSteps(o.words.back(), entry);  // checked with the job
      invertDtr = invertDtr || o.key == "invert-dtr";
      invertRts = invertRts || o.key == "invert-rts";
    }
    for (std::size_t i = 0; i < m_job.ports.size(); ++i) {
      m_pollers.push_back(std::make_unique<TBoardPoller>(m_job.ports[i], speed, entry, invertDtr, invertRts));
      connect(m_pollers[i].get(), &TBoardPoller::Heard, this, [this, i](bool present) { Heard(i, present); });
    }
  }
  // A board whose tile shows a result is done: the next is the one put in after it has gone.
  m_armed.resize(m_boards.size());
  for (std::size_t i = 0; i < m_boards.size(); ++i) m_armed[i] = m_boards[i].phase == TBoardPhase::bpReady;
  for (std::size_t i = 0; i < m_pollers.size(); ++i) {
    if (on && !InRound(i)) m_pollers[i]->Start();
    if (!on) m_pollers[i]->Stop();
  }
}

void TStationWindow::Heard(std::size_t board, bool present) {
  if (!m_automatic || InRound(board)) return;
  if (!present && !m_armed[board]) {  // the board has gone: the socket is ready for the next
    m_armed[board] = true;
    m_boards[board] = {};
    Show(board);
  }
  if (present && m_armed[board]) StartRound({board});
}

void TStationWindow::ReadCounts() {
  QStringList where;  // the job's log and lot
  for (const station::TJobOption& o : m_job.options) {
    if (o.key != "db" && o.key != "lot") continue;
    where << Q(o.words[0]) << Q(o.words[1]);
    // A log file that is not there yet holds no boards: nothing to count, nothing wrong.
    const QString file = Q(o.words[1]);
    if (o.key == "db" && !file.contains("://") && !file.contains('=') && !QFileInfo::exists(file)) {
      m_counts = CountStats("", "", m_job.ports);
      ShowCounts();
      emit RoundEnded();
      return;
    }
  }
  // The lot's figures of every station (a second station's boards count too), and this
  // station's a port: log --stats, the command line's own.
  const QStringList asked[] = {where, where + QStringList{"--by", "port", "--station", Q(m_station)}};
  m_statsPending = 2;
  m_statsFailed.clear();
  for (std::size_t i = 0; i < 2; ++i) {
    if (m_stats[i]) m_stats[i]->disconnect(this);  // a read still going from before counts no more
    m_stats[i] = std::make_unique<QProcess>();
    const auto ended = [this, i](int exit) {
      m_statsOut[i] = m_stats[i]->readAllStandardOutput();
      if (exit != 0 && m_statsFailed.isEmpty()) {
        m_statsFailed = QString::fromUtf8(m_stats[i]->readAllStandardError()).trimmed();
        if (m_statsFailed.isEmpty()) m_statsFailed = m_stats[i]->errorString();
      }
      if (--m_statsPending > 0) return;
      if (!m_statsFailed.isEmpty()) {
        Banner("the lot's counters cannot be read: " + m_statsFailed);
      } else {
        m_counts = CountStats(m_statsOut[0].toStdString(), m_statsOut[1].toStdString(), m_job.ports);
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

void TStationWindow::Banner(const QString& text) {
  m_banner->setText(text);
  m_banner->setVisible(!text.isEmpty());
}

}  // namespace kavel::stationwin
