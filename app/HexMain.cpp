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
#include "app/Shell.h"
#include "isp/MessageBoxes.h"
#include "link/ComNames.h"
#include "link/EComPort.h"

namespace kavel {

namespace {

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

const char* const kBaudItems[] = {"4800", "9600", "14400", "19200", "38400"};
constexpr int kBaudItem19200 = 3;

// The port chooser: asks for a fresh list of ports each time it drops down, so that an
// adapter plugged in after start-up can be chosen.
class TPortComboBox final : public QComboBox {
 public:
  using QComboBox::QComboBox;
  std::function<void()> beforePopup;

 protected:
  void showPopup() override {
    if (beforePopup) beforePopup();
    QComboBox::showPopup();
  }
};

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption, QRect where) {
  auto* b = new QPushButton(QString::fromUtf8(caption), parent);
  b->setObjectName(QString::fromUtf8(name));
  b->setGeometry(where);
  return b;
}

QCheckBox* MakeCheckBox(QWidget* parent, const char* name, const char* caption, QRect where) {
  auto* c = new QCheckBox(QString::fromUtf8(caption), parent);
  c->setObjectName(QString::fromUtf8(name));
  c->setGeometry(where);
  return c;
}

}  // namespace

TMainISPForm::TMainISPForm(TSetup setup)
    : QMainWindow(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                               Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                               Qt::WindowCloseButtonHint),
      m_args(std::move(setup.args)) {
  setObjectName(QStringLiteral("TMainISPForm"));
  setWindowTitle(Q(kAppTitle));

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

  // The designed form: both areas, the normal view's button, no service-only controls.
  for (QWidget* w : ServiceOnlyControls()) w->hide();
  SetClientHeight(kUpperHeight + kLowerHeight + kStatusHeight);
  move(kDesignedLeft, kDesignedTop);

  Timer2 = new QTimer(this);
  Timer2->setObjectName(QStringLiteral("Timer2"));
  Timer2->setInterval(kStartTimerMs);
  connect(Timer2, &QTimer::timeout, this, [this] {
    Timer2->stop();  // it fires once
    if (m_busy) {
      m_startStepPending = true;  // runs as soon as the running operation has ended
      return;
    }
    RunOperation([this] { Timer2Timer(); });
  });
  Timer2->start();

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

void TMainISPForm::BuildUpperArea() {
  QWidget* a = UpperArea;
  auto* ports = new TPortComboBox(a);
  ports->beforePopup = [this] { Guarded([this] { FillPortList(); }); };
  ComComboBox1 = ports;
  ComComboBox1->setObjectName(QStringLiteral("ComComboBox1"));
  ComComboBox1->setAccessibleName(tr("Serial port"));
  ComComboBox1->setGeometry(8, 20, 92, 26);

  Label1 = new QLabel(tr("Open/Close"), a);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->setAlignment(Qt::AlignCenter);
  Label1->setGeometry(104, 2, 72, 18);
  ComLed3 = new TComLed(a);
  ComLed3->setObjectName(QStringLiteral("ComLed3"));
  ComLed3->setAccessibleName(tr("Open/Close"));
  ComLed3->setGeometry(129, 22, 22, 22);

  Button1 = MakeButton(a, "Button1", "ON/OFF", {182, 18, 76, 30});
  ComboBox1 = new QComboBox(a);
  ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
  ComboBox1->setAccessibleName(tr("Baud rate"));
  for (const char* item : kBaudItems) ComboBox1->addItem(QString::fromLatin1(item));
  ComboBox1->setGeometry(266, 20, 78, 26);
  Button2 = MakeButton(a, "Button2", "Set default", {352, 18, 86, 30});
  BExit = MakeButton(a, "BExit", "Exit", {446, 18, 53, 30});

  BFull = MakeButton(a, "BFull", "Full programming cycle", {8, 62, 241, 44});
  Button3 = MakeButton(a, "Button3", "FULL CHIP ERASE", {258, 62, 241, 44});
  WFC = MakeCheckBox(a, "WFC", "Wait for confirmation  \".\"", {210, 58, 200, 22});
  cb6clock = MakeCheckBox(a, "cb6clock", "Use 6-clock in full cycle", {210, 86, 200, 22});
  Label2 = new QLabel(tr("Delay"), a);
  Label2->setObjectName(QStringLiteral("Label2"));
  Label2->setGeometry(420, 58, 79, 20);
  DelayVal = new QLineEdit(QStringLiteral("60"), a);
  DelayVal->setObjectName(QStringLiteral("DelayVal"));
  DelayVal->setAccessibleName(tr("Delay"));
  DelayVal->setGeometry(420, 82, 79, 26);
  Label2->setBuddy(DelayVal);
}

void TMainISPForm::BuildLowerArea() {
  QWidget* a = LowerArea;
  constexpr int kCol1 = 8, kCol1Width = 170, kCol2 = 186, kCol2Width = 150, kCol3 = 344;
  BFullErase = MakeButton(a, "BFullErase", "SECTORS TO ERASE", {kCol1, 6, kCol1Width, 30});
  EraseBlocks = new QListWidget(a);
  EraseBlocks->setObjectName(QStringLiteral("EraseBlocks"));
  EraseBlocks->setAccessibleName(tr("Blocks to erase"));
  EraseBlocks->setGeometry(kCol1, 42, kCol1Width, 268);
  for (int block = 0; block < 16; ++block) {
    auto* item = new QListWidgetItem(
        QStringLiteral("block %1, %2k - %3k").arg(block).arg(block * 4).arg(block * 4 + 4),
        EraseBlocks);
    item->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    item->setCheckState(Qt::Unchecked);
  }
  BEraseBlocks = MakeButton(a, "BEraseBlocks", "Erase blocks", {kCol1, 318, kCol1Width, 30});

  const std::pair<QPushButton**, std::pair<const char*, const char*>> column[] = {
      {&BSynchro, {"BSynchro", "Synchronize"}},
      {&BBlank, {"BBlank", "Blank check"}},
      {&BSendHexFile, {"BSendHexFile", "Send hex"}},
      {&BSetStatus, {"BSetStatus", "Set status byte 0"}},
      {&BSecurity1, {"BSecurity1", "Set security bit 1"}},
      {&BSecurity2, {"BSecurity2", "Set security bit 2"}},
      {&BSecurity3, {"BSecurity3", "Set security bit 3"}},
      {&B6Clock, {"B6Clock", "Set 6-clock mode"}},
      {&BReadStatus, {"BReadStatus", "Read status"}},
  };
  int y = 6;
  for (const auto& [field, names] : column) {
    *field = MakeButton(a, names.first, names.second, {kCol2, y, kCol2Width, 30});
    y += 39;
  }

  StatusMemo = new QPlainTextEdit(a);
  StatusMemo->setObjectName(QStringLiteral("StatusMemo"));
  StatusMemo->setAccessibleName(tr("Status"));
  StatusMemo->setReadOnly(true);
  StatusMemo->setGeometry(kCol3, 6, kClientWidth - 8 - kCol3, 342);
  // The debug box and the only control that would show it stay hidden in every view.
  OutMemo = new QPlainTextEdit(a);
  OutMemo->setObjectName(QStringLiteral("OutMemo"));
  OutMemo->setAccessibleName(tr("Debug"));
  OutMemo->setReadOnly(true);
  OutMemo->setGeometry(kCol3, 6, kClientWidth - 8 - kCol3, 342);
  OutMemo->hide();
  CheckBox1 = MakeCheckBox(a, "CheckBox1", "Debug window", {kCol3, 6, 150, 22});
  CheckBox1->hide();
  connect(CheckBox1, &QCheckBox::toggled, OutMemo, &QWidget::setVisible);
}

void TMainISPForm::BuildStatusBar() {
  auto* bar = new QStatusBar(this);
  bar->setObjectName(QStringLiteral("StatusBar1"));
  bar->setSizeGripEnabled(false);
  bar->setFixedHeight(kStatusHeight);
  StatusPanel0 = new QLabel(bar);
  StatusPanel0->setObjectName(QStringLiteral("StatusPanel0"));
  StatusPanel0->setAccessibleDescription(tr("Progress"));
  StatusPanel0->setFixedWidth(320);
  StatusPanel1 = new QLabel(bar);
  StatusPanel1->setObjectName(QStringLiteral("StatusPanel1"));
  StatusPanel1->setAccessibleDescription(tr("Port"));
  // 320 + 200 is wider than the window: the second panel shows what fits.
  StatusPanel1->setMinimumWidth(0);
  StatusPanel1->setMaximumWidth(200);
  for (QLabel* panel : {StatusPanel0, StatusPanel1}) {
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Sunken);
    panel->setContentsMargins(3, 0, 3, 0);
  }
  bar->addWidget(StatusPanel0);
  bar->addWidget(StatusPanel1, 1);
  setStatusBar(bar);
}

void TMainISPForm::ConnectControls() {
  // A choice refused during an operation must not stay on show: the choosers are set back
  // to the port's name and rate afterwards in any case.
  connect(ComComboBox1, &QComboBox::activated, this, [this] {
    RunOperation([this] { ComComboBox1Change(); });
    Guarded([this] { UpdateStatusBar(); });
  });
  connect(ComLed3, &QAbstractButton::clicked, this,
          [this] { RunOperation([this] { ComLed3Click(); }); });
  connect(Button1, &QPushButton::clicked, this,
          [this] { RunOperation([this] { ComLed3Click(); }); });
  connect(ComboBox1, &QComboBox::activated, this, [this] {
    RunOperation([this] { ComboBox1Change(); });
    Guarded([this] { UpdateStatusBar(); });
  });
  connect(Button2, &QPushButton::clicked, this,
          [this] { RunOperation([this] { Button2Click(); }); });
  connect(DelayVal, &QLineEdit::editingFinished, this,
          [this] { Guarded([this] { DelayValExit(); }); });
  connect(WFC, &QCheckBox::clicked, this, [this] { Guarded([this] { WFCClick(); }); });
  connect(cb6clock, &QCheckBox::clicked, this, [this] { Guarded([this] { cb6clockClick(); }); });
  connect(BExit, &QPushButton::clicked, this, [this] { close(); });
  connect(BSynchro, &QPushButton::clicked, this,
          [this] { RunOperation([this] { BSynchroClick(); }); });
  const std::pair<QPushButton*, void (TMainISPForm::*)()> operations[] = {
      {BSendHexFile, &TMainISPForm::BSendHexFileClick},
      {BFull, &TMainISPForm::BFullClick},
      {Button3, &TMainISPForm::Button3Click},
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
            [this, handler] { RunOperation([this, handler] { (this->*handler)(); }); });
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

void TMainISPForm::SetClientHeight(int height) {
  centralWidget()->setFixedSize(kClientWidth, height - kStatusHeight);
  setFixedSize(kClientWidth, menuBar()->sizeHint().height() + height);
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
  const QString current = ComComboBox1->currentText();
  ComComboBox1->clear();
  for (const std::string& name : names) ComComboBox1->addItem(Q(name));
  ComComboBox1->setCurrentIndex(ComComboBox1->findText(current));
  // An unreadable directory stays so; say it once, not at every drop-down.
  if (message == m_portListProblem) return;
  m_portListProblem = message;
  if (problem) std::rethrow_exception(problem);
}

void TMainISPForm::FormCreate() {
  // The lamp follows the port's open state; the chooser shows the ports present.
  m_port->AddObserver([this](bool connected) { ComLed3->SetLit(connected); });
  FillPortList();
  ComComboBox1->setCurrentIndex(ComComboBox1->findText(Q(m_port->Port())));
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
  ComboBox1->setCurrentIndex(kBaudItem19200);
  UpdateStatusBar();
  if (!Timer2->isActive()) Timer2->start();  // it runs from creation; this keeps its phase
  if (HasSwitch("/6", false)) cb6clock->setChecked(true);
  if (HasSwitch("/12", false)) cb6clock->setChecked(false);
  if (HasSwitch("/SAME", true) || HasSwitch("/AUTO", true)) {
    ShowFileInCaption();
  }
}

std::vector<QWidget*> TMainISPForm::ServiceOnlyControls() const {
  return {DelayVal, Label2, WFC, cb6clock, Button2, ComboBox1};
}

void TMainISPForm::ApplyView(bool service) {
  m_serviceView = service;
  for (QWidget* w : ServiceOnlyControls()) w->setVisible(service);
  LowerArea->setVisible(service);
  Button3->setVisible(!service);
  // The normal view has the room of the service-only controls for its two big buttons.
  BFull->setGeometry(service ? QRect(8, 62, 190, 44) : QRect(8, 62, 241, 44));
  if (service) {
    SetClientHeight(kLowerHeight + kUpperHeight + kStatusHeight);
  } else {
    SetClientHeight(kUpperHeight + kStatusHeight);
    Button2Click();
  }
}

void TMainISPForm::ShowFileInCaption() { ShowImageFile(ImageFileName()); }

void TMainISPForm::ShowImageFile(std::string_view fileName) {
  setWindowTitle(Q(kAppTitle) + QStringLiteral(" [") + Q(fileName) + QStringLiteral("]"));
  repaint();
}

bool TMainISPForm::HasSwitch(std::string_view sw, bool ignoreCase) const {
  return kavel::HasSwitch(m_args, sw, ignoreCase);
}

void TMainISPForm::ComComboBox1Change() {
  m_port->ClosePort();
  m_port->SetPort(ComComboBox1->currentText().toStdString());
  m_portNumber = PortNumberFromName(m_port->Port());
  UpdateStatusBar();
  ComLed3Click();
}

void TMainISPForm::ComLed3Click() { m_ops->TogglePort(); }

void TMainISPForm::ComboBox1Change() {
  m_port->SetBaudRate(BaudRateFromText(ComboBox1->currentText().toStdString()));
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
  ComComboBox1->setCurrentIndex(ComComboBox1->findText(Q(m_port->Port())));
  for (int i = 0; i < ComboBox1->count(); ++i) {
    if (BaudRateFromText(ComboBox1->itemText(i).toStdString()) == m_port->BaudRate()) {
      ComboBox1->setCurrentIndex(i);
      break;
    }
  }
  StatusPanel1->setText(Q(PortSummary(m_port->Port(), m_port->BaudRate(), m_port->Connected())));
}

void TMainISPForm::Timer2Timer() {
  Timer2->stop();
  if (!HasSwitch("/AUTO", true)) return;
  ShowFileInCaption();
  // A failure that no step handles ends the cycle in the error report and keeps the window.
  m_ops->BFullClick();
  close();
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
  Timer2->stop();
  Guarded([this] { m_storage->SaveSettings(false); });
  Guarded([this] { FormClose(); });
}

bool TMainISPForm::ExecuteOpenDialog() {
  std::optional<std::string> chosen = ChooseImageFile(ImageFileName());
  if (chosen) SetImageFileName(Q(*chosen));
  return chosen.has_value();
}

std::optional<std::string> TMainISPForm::ChooseImageFile(const std::string& preselected) {
  QFileDialog dialog(this);
  dialog.setObjectName(QStringLiteral("OpenDialog1"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setOption(QFileDialog::HideNameFilterDetails);
  dialog.setNameFilters({QStringLiteral("HEX files [*.hex] (*.hex)"),
                         QStringLiteral("BIN files [*.bin] (*.bin)")});
  dialog.setDefaultSuffix(QStringLiteral("hex"));
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setSizeGripEnabled(true);
  if (!m_dialogDir.isEmpty()) dialog.setDirectory(m_dialogDir);
  if (!preselected.empty()) dialog.selectFile(Q(preselected));
  const bool accepted = m_dialogRunner ? m_dialogRunner(dialog) : dialog.exec() == QDialog::Accepted;
  if (!accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  const QString file = dialog.selectedFiles().constFirst();
  m_dialogDir = QFileInfo(file).path();
  return file.toStdString();
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
    ShowBox({ErrorReportText(message), std::string(kAppTitle), kMbIconStop});  // with the error sound
  } catch (...) {
    // Nothing is left to tell the operator with.
  }
}

void TMainISPForm::ProcessEvents() { QCoreApplication::processEvents(); }

void TMainISPForm::IdleWait(TNAVOPort& port, int timeoutMs) {
  const int handle = port.PollHandle();
  if (timeoutMs <= 0 || handle < 0) {
    TIspHost::IdleWait(port, timeoutMs);
    return;
  }
  // The event loop sleeps until something happens: a window event, the port's descriptor
  // turning readable, or this timer; then it processes what came, once.
  QSocketNotifier input(handle, QSocketNotifier::Read);
  connect(&input, &QSocketNotifier::activated, &input, [&input] { input.setEnabled(false); });
  QTimer deadline;
  deadline.setTimerType(Qt::PreciseTimer);
  deadline.setSingleShot(true);
  deadline.start(timeoutMs);
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

int TMainISPForm::Box(const TMessageBoxRequest& request) { return ShowBox(request); }

void TMainISPForm::SetProgress(std::string_view text) {
  StatusPanel0->setText(Q(text));
  StatusPanel0->repaint();
}

std::string TMainISPForm::ProgressText() const { return StatusPanel0->text().toStdString(); }

void TMainISPForm::EnableWindow(bool enabled) { setEnabled(enabled); }

void TMainISPForm::AppendDebug(std::string_view line) { OutMemo->appendPlainText(Q(line)); }

void TMainISPForm::ClearStatus() { StatusMemo->clear(); }

void TMainISPForm::AddStatusLine(std::string_view line) { StatusMemo->appendPlainText(Q(line)); }

void TMainISPForm::SelectTargetBaud(std::string_view text) {
  ComboBox1->setCurrentIndex(ComboBox1->findText(Q(text)));
}

bool TMainISPForm::WaitForConfirmation() const { return WFC->isChecked(); }
bool TMainISPForm::SixClock() const { return cb6clock->isChecked(); }
std::string TMainISPForm::TargetBaudText() const { return ComboBox1->currentText().toStdString(); }

TIspOptions TMainISPForm::Options() const {
  TIspOptions options;
  options.delay = m_delay;
  options.waitForConfirmation = WaitForConfirmation();
  options.sixClock = SixClock();
  options.targetBaud = TargetBaudText();
  options.reuseImageFile = HasSwitch("/SAME", true) || HasSwitch("/AUTO", true);
  for (int i = 0; i < EraseBlocks->count() && i < static_cast<int>(options.eraseBlocks.size()); ++i) {
    options.eraseBlocks.set(static_cast<std::size_t>(i), EraseBlocks->item(i)->checkState() == Qt::Checked);
  }
  return options;
}

}  // namespace kavel
