#include "app/HexMain.h"

#include <exception>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

#include "app/ComLed.h"
#include "app/FormParts.h"
#include "app/Shell.h"
#include "app/MessageBoxes.h"
#include "link/ComNames.h"
#include "link/EComPort.h"

namespace kavel {

TMainISPForm::TMainISPForm(TSetup setup)
    : QMainWindow(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                               Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                               Qt::WindowCloseButtonHint),
      m_args(std::move(setup.args)) {
  setObjectName(QStringLiteral("TMainISPForm"));
  setWindowTitle(Q(kAppTitle));

  // The menu bar stays in the window, whose fixed height counts it, also on desktops that
  // offer a global menu; not asking the desktop for one saves a bus round trip at start-up.
  QCoreApplication::setAttribute(Qt::AA_DontUseNativeMenuBar);
  UseFormStyle();
  auto* exitAction = menuBar()->addAction(tr("Exit"));
  exitAction->setObjectName(QStringLiteral("Exit1"));
  connect(exitAction, &QAction::triggered, this, [this] { close(); });

  auto* client = new QWidget(this);
  auto* layout = new QVBoxLayout(client);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  UpperArea = new QWidget(client);
  UpperArea->setFixedSize(kClientWidth, kUpperHeight);
  LowerArea = new QWidget(client);
  LowerArea->setFixedSize(kClientWidth, kLowerHeight);
  layout->addWidget(UpperArea);
  layout->addWidget(LowerArea);
  layout->addStretch();
  setCentralWidget(client);
  BuildUpperArea();
  BuildLowerArea();
  BuildStatusBar();

  // As created, before the show step chooses a view: both areas, "FULL CHIP ERASE", no
  // service-only controls.
  for (QWidget* w : ServiceOnlyControls()) w->hide();
  SetClientHeight(kUpperHeight + kLowerHeight + kStatusHeight);
  move(kDesignedLeft, kDesignedTop);

  StartTimer = new QTimer(this);
  StartTimer->setObjectName(QStringLiteral("Timer2"));
  StartTimer->setInterval(kStartTimerMs);
  connect(StartTimer, &QTimer::timeout, this, [this] {
    StartTimer->stop();  // it fires once
    if (m_busy) {
      m_startStepPending = true;  // runs as soon as the running operation has ended
      return;
    }
    RunOperation([this] { Timer2Timer(); });
  });
  StartTimer->start();

  m_port = std::make_unique<TNAVOPort>(0, 0, std::move(setup.device));
  m_ops = std::make_unique<TIspOperations>(
      *m_port, setup.clock ? *setup.clock : TSystemClock::Instance(), *this);
  m_storage = std::make_unique<TFormStorage>(*this, StoredProps(), setup.settingsFile,
                                             std::move(setup.screens));
  ConnectControls();
  Guarded([this] { FormCreate(); });
}

TMainISPForm::~TMainISPForm() {
  // A window destroyed without an accepted close still keeps its settings.
  if (!m_storage->Saved()) Guarded([this] { m_storage->SaveSettings(true); });
  // FormDestroy: the port goes with the window (closed by its destructor).
  m_ops.reset();
  m_port.reset();
}

void TMainISPForm::ConnectControls() {
  // A choice refused during an operation must not stay on show: the choosers are set back
  // to the port's name and rate afterwards in any case.
  connect(PortChooser, &QComboBox::activated, this, [this] {
    RunOperation([this] { return ComComboBox1Change(); });
    Guarded([this] { UpdateStatusBar(); });
  });
  connect(PortLamp, &QAbstractButton::clicked, this,
          [this] { RunOperation([this] { return ComLed3Click(); }); });
  connect(OnOffButton, &QPushButton::clicked, this,
          [this] { RunOperation([this] { return ComLed3Click(); }); });
  connect(SpeedList, &QComboBox::activated, this, [this] {
    RunOperation([this] { ComboBox1Change(); });
    Guarded([this] { UpdateStatusBar(); });
  });
  connect(SetDefaultButton, &QPushButton::clicked, this,
          [this] { RunOperation([this] { Button2Click(); }); });
  connect(DelayVal, &QLineEdit::editingFinished, this,
          [this] { Guarded([this] { DelayValExit(); }); });
  connect(WFC, &QCheckBox::clicked, this, [this] { Guarded([this] { WFCClick(); }); });
  connect(cb6clock, &QCheckBox::clicked, this, [this] { Guarded([this] { cb6clockClick(); }); });
  connect(BExit, &QPushButton::clicked, this, [this] { close(); });
  const std::pair<QPushButton*, TIspStatus (TMainISPForm::*)()> operations[] = {
      {BSynchro, &TMainISPForm::BSynchroClick},
      {BSendHexFile, &TMainISPForm::BSendHexFileClick},
      {BFull, &TMainISPForm::BFullClick},
      {FullChipEraseButton, &TMainISPForm::FullErase},
      {BFullErase, &TMainISPForm::BFullEraseClick},
      {BEraseBlocks, &TMainISPForm::BEraseBlocksClick},
      {BBlank, &TMainISPForm::BBlankClick},
      {BSetStatus, &TMainISPForm::BSetStatusClick},
      {BSecurity1, &TMainISPForm::BSecurity1Click},
      {BSecurity2, &TMainISPForm::BSecurity2Click},
      {BSecurity3, &TMainISPForm::BSecurity3Click},
      {B6Clock, &TMainISPForm::B6ClockClick},
      {BReadStatus, &TMainISPForm::BReadStatusClick},
  };
  for (const auto& [button, handler] : operations) {
    connect(button, &QPushButton::clicked, this,
            [this, handler] { RunOperation([this, handler] { return (this->*handler)(); }); });
  }
}

std::vector<TStoredProp> TMainISPForm::StoredProps() {
  return {
      {QStringLiteral("DelayVal.Tag"), TStoredProp::pkInteger,
       [this] { return QString::number(m_delay); },
       [this](const QString& v) { m_delay = v.toInt(); }},
      {QStringLiteral("DelayVal.Text"), TStoredProp::pkText, [this] { return DelayVal->text(); },
       [this](const QString& v) { DelayVal->setText(v); }},
      {QStringLiteral("OpenDialog1.FileName"), TStoredProp::pkText,
       [this] { return Q(ImageFileName()); }, [this](const QString& v) { SetImageFileName(v); }},
      {QStringLiteral("cb6clock.Checked"), TStoredProp::pkBoolean,
       [this] { return cb6clock->isChecked() ? QStringLiteral("True") : QStringLiteral("False"); },
       [this](const QString& v) {
         const bool checked = v == QLatin1String("True");
         if (checked == cb6clock->isChecked()) return;
         cb6clock->setChecked(checked);
         cb6clockClick();
       }},
      {QStringLiteral("ComComboBox1.Tag"), TStoredProp::pkInteger,
       [this] { return QString::number(m_portNumber); },
       [this](const QString& v) { m_portNumber = v.toInt(); }},
  };
}

void TMainISPForm::FillPortList() {
  std::vector<std::string> names;
  std::exception_ptr problem;
  std::string message;
  try {
    PortList(names);
  } catch (const EComPort& e) {
    problem = std::current_exception();
    message = e.what();
  }
  const QString current = PortChooser->currentText();
  PortChooser->clear();
  for (const std::string& name : names) PortChooser->addItem(Q(name));
  PortChooser->setCurrentIndex(PortChooser->findText(current));
  // An unreadable directory stays so; say it once, not at every drop-down.
  if (message == m_portListProblem) return;
  m_portListProblem = message;
  if (problem) std::rethrow_exception(problem);
}

void TMainISPForm::FormCreate() {
  // The lamp follows the port's open state; the chooser shows the ports present.
  m_port->AddObserver([this](bool connected) { PortLamp->SetLit(connected); });
  FillPortList();
  PortChooser->setCurrentIndex(PortChooser->findText(Q(m_port->Port())));
}

void TMainISPForm::ShowForm() {
  Guarded([this] { m_storage->RestoreSettings(); });
  Guarded([this] { FormShow(); });
  show();
}

void TMainISPForm::FormShow() {
  m_delay = kDefaultDelay;
  DelayVal->setText(QString::number(kDefaultDelay));
  if (!ImageFileName().empty()) m_dialogDir = QFileInfo(Q(ImageFileName())).path();
  setWindowTitle(Q(kAppTitle));
  m_port->SetPort(PortNameForNumber(m_portNumber));
  m_port->OpenPort();  // a failure ends the show step here, in the general error report
  ApplyView(HasSwitch("/Kavel", true));
  SpeedList->setCurrentIndex(kBaudItem19200);
  UpdateStatusBar();
  if (!StartTimer->isActive()) StartTimer->start();  // it runs from creation; this keeps its phase
  if (HasSwitch("/6", false)) cb6clock->setChecked(true);
  if (HasSwitch("/12", false)) cb6clock->setChecked(false);
  if (HasSwitch("/SAME", true) || HasSwitch("/AUTO", true)) {
    ShowFileInCaption();
  }
}

void TMainISPForm::ShowFileInCaption() { ShowImageFile(ImageFileName()); }

bool TMainISPForm::HasSwitch(std::string_view sw, bool ignoreCase) const {
  return kavel::HasSwitch(m_args, sw, ignoreCase);
}

TIspStatus TMainISPForm::ComComboBox1Change() {
  m_port->ClosePort();
  m_port->SetPort(PortChooser->currentText().toStdString());
  m_portNumber = PortNumberFromName(m_port->Port());
  UpdateStatusBar();
  return ComLed3Click();
}

TIspStatus TMainISPForm::ComLed3Click() { return m_ops->TogglePort(); }

void TMainISPForm::ComboBox1Change() {
  m_port->SetBaudRate(BaudRateFromText(SpeedList->currentText().toStdString()));
  UpdateStatusBar();
}

void TMainISPForm::Button2Click() {
  m_port->SetBaudRate(br9600);
  m_delay = kDefaultDelay;
  DelayVal->setText(QString::number(kDefaultDelay));
  WFC->setChecked(false);
  cb6clock->setChecked(false);
  UpdateStatusBar();
}

void TMainISPForm::DelayValExit() {
  if (auto value = ParseInt32(TrimBlanks(DelayVal->text()).toStdString())) {
    m_delay = *value;
  } else {
    DelayVal->setText(QString::number(m_delay));
  }
}

void TMainISPForm::UpdateStatusBar() {
  PortChooser->setCurrentIndex(PortChooser->findText(Q(m_port->Port())));
  for (int i = 0; i < SpeedList->count(); ++i) {
    if (BaudRateFromText(SpeedList->itemText(i).toStdString()) == m_port->BaudRate()) {
      SpeedList->setCurrentIndex(i);
      break;
    }
  }
  PortPanel->setText(Q(PortSummary(m_port->Port(), m_port->BaudRate(), m_port->Connected())));
}

void TMainISPForm::Timer2Timer() {
  StartTimer->stop();
  if (!HasSwitch("/AUTO", true)) return;
  ShowFileInCaption();
  // A cycle that ended in the general error report keeps the window.
  if (!TIspOperations::InErrorReport(m_ops->BFullClick())) close();
}

void TMainISPForm::FormClose() {
  m_portNumber = PortNumberFromName(m_port->Port());
  m_port->ClosePort();
  if (m_ops->KTNSuspended) {
    ShowPlainBox(
        "Attenntion KTN in suspended mode. Do not forget to open ZV Master and resume KTN "
        "operation.",
        "Attention");
  }
}

void TMainISPForm::closeEvent(QCloseEvent* event) {
  if (m_busy) {
    // The running operation is inside a reply wait; the close follows when it returns.
    m_closePending = true;
    event->ignore();
    return;
  }
  event->accept();
  if (m_closed) return;
  m_closed = true;
  StartTimer->stop();
  Guarded([this] { m_storage->SaveSettings(false); });
  Guarded([this] { FormClose(); });
}

bool TMainISPForm::ExecuteOpenDialog() {
  std::optional<std::string> chosen = ChooseImageFile(ImageFileName());
  if (chosen) SetImageFileName(Q(*chosen));
  return chosen.has_value();
}

bool TMainISPForm::RunOperation(const std::function<void()>& f) {
  if (m_busy) {
    MessageService().Sound(kMbIconNone);
    return false;
  }
  m_busy = true;
  const bool ok = Guarded(f);
  m_busy = false;
  if (m_closePending) {
    m_closePending = false;
    m_startStepPending = false;  // the window goes: nothing more starts
    // Outside the handler that asked for it, so the event that started the operation
    // finishes before the window goes.
    QTimer::singleShot(0, this, [this] { close(); });
  } else if (m_startStepPending) {
    m_startStepPending = false;
    QTimer::singleShot(0, this, [this] { RunOperation([this] { Timer2Timer(); }); });
  }
  return ok;
}

bool TMainISPForm::Guarded(const std::function<void()>& f) noexcept {
  try {
    f();
    return true;
  } catch (const std::exception& e) {
    ReportError(e.what());
  } catch (...) {
    ReportError("Unknown failure");
  }
  return false;
}

void TMainISPForm::ReportError(std::string_view message) noexcept {
  try {
    ShowBox(ErrorReportRequest(message));  // with the error sound
  } catch (...) {
    // Nothing is left to tell the operator with.
  }
}

}  // namespace kavel
