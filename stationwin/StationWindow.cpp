// The window itself: built, its tiles, banner and counters shown, and closed only once its
// rounds have ended.
#include "stationwin/StationWindow.h"

#include <algorithm>

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
#include <QTimer>
#include <QVBoxLayout>

#include "station/Serial.h"
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

TStationWindow::TStationWindow(cli::TCliArgs job, QString cli, const QString& operatorName, QWidget* parent)
    : QWidget(parent), m_job(std::move(job)), m_cli(std::move(cli)), m_boards(m_job.ports.size()) {
  m_clock.start();
  const QString jobName = QFileInfo(Q(m_job.job)).fileName();
  setWindowTitle("Kavel ISP station - " + jobName);
  auto* top = new QVBoxLayout(this);
  BuildHead(top, jobName, operatorName);
  BuildBanners(top);
  auto* grid = new QGridLayout;
  BuildTiles(grid);
  top->addLayout(grid, 1);
  BuildControls(top);
  resize(QSize(900, 680).expandedTo(minimumSizeHint()));
  QTimer::singleShot(0, this, [this] { ReadCounts(); });  // once the window is there to show them
  if (OperatorName().isEmpty()) m_operator->setFocus();
}

void TStationWindow::BuildHead(QVBoxLayout* top, const QString& jobName, const QString& operatorName) {
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
}

void TStationWindow::BuildBanners(QVBoxLayout* top) {
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
}

void TStationWindow::BuildControls(QVBoxLayout* top) {
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
