// The window's fixed geometry: its two areas, the status bar, the views and their heights.
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
#include <QProxyStyle>
#include <QPushButton>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QStyleFactory>
#include <QTimer>
#include <QVBoxLayout>

#include "app/ComLed.h"
#include "app/FormParts.h"
#include "app/Shell.h"
#include "app/MessageBoxes.h"
#include "link/ComNames.h"
#include "link/EComPort.h"

namespace kavel {

namespace {

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

// The application's own style, with one thing left out: the menu bar's overflow button,
// which a bar with one entry never shows, would load its icon at start-up, and with it every
// image-format plugin installed (about a millisecond, a twentieth of the start-up).
class TFormStyle final : public QProxyStyle {
 public:
  using QProxyStyle::QProxyStyle;
  QIcon standardIcon(StandardPixmap which, const QStyleOption* option, const QWidget* widget) const override {
    if (which == SP_ToolBarHorizontalExtensionButton) return {};
    return QProxyStyle::standardIcon(which, option, widget);
  }
};

}  // namespace

void UseFormStyle() {
  if (dynamic_cast<const TFormStyle*>(QApplication::style()) != nullptr) return;
  QApplication::setStyle(new TFormStyle(QStyleFactory::create(QApplication::style()->name())));
}

void TMainISPForm::BuildUpperArea() {
  QWidget* a = UpperArea;
  auto* ports = new TPortComboBox(a);
  ports->beforePopup = [this] { Guarded([this] { FillPortList(); }); };
  PortChooser = ports;
  PortChooser->setObjectName(QStringLiteral("ComComboBox1"));
  PortChooser->setAccessibleName(tr("Serial port"));
  PortChooser->setGeometry(8, 20, 92, 26);

  LampLabel = new QLabel(tr("Open/Close"), a);
  LampLabel->setObjectName(QStringLiteral("Label1"));
  LampLabel->setAlignment(Qt::AlignCenter);
  LampLabel->setGeometry(104, 2, 72, 18);
  PortLamp = new TComLed(a);
  PortLamp->setObjectName(QStringLiteral("ComLed3"));
  PortLamp->setAccessibleName(tr("Open/Close"));
  PortLamp->setGeometry(129, 22, 22, 22);

  OnOffButton = MakeButton(a, "Button1", "ON/OFF", {182, 18, 76, 30});
  SpeedList = new QComboBox(a);
  SpeedList->setObjectName(QStringLiteral("ComboBox1"));
  SpeedList->setAccessibleName(tr("Baud rate"));
  for (const char* item : kBaudItems) SpeedList->addItem(QString::fromLatin1(item));
  SpeedList->setGeometry(266, 20, 78, 26);
  SetDefaultButton = MakeButton(a, "Button2", "Set default", {352, 18, 86, 30});
  BExit = MakeButton(a, "BExit", "Exit", {446, 18, 53, 30});

  BFull = MakeButton(a, "BFull", "Full programming cycle", {8, 62, 241, 44});
  FullChipEraseButton = MakeButton(a, "Button3", "FULL CHIP ERASE", {258, 62, 241, 44});
  WFC = MakeCheckBox(a, "WFC", "Wait for confirmation  \".\"", {210, 58, 200, 22});
  cb6clock = MakeCheckBox(a, "cb6clock", "Use 6-clock in full cycle", {210, 86, 200, 22});
  DelayLabel = new QLabel(tr("Delay"), a);
  DelayLabel->setObjectName(QStringLiteral("Label2"));
  DelayLabel->setGeometry(420, 58, 79, 20);
  DelayVal = new QLineEdit(QStringLiteral("60"), a);
  DelayVal->setObjectName(QStringLiteral("DelayVal"));
  DelayVal->setAccessibleName(tr("Delay"));
  DelayVal->setGeometry(420, 82, 79, 26);
  DelayLabel->setBuddy(DelayVal);
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
  DebugWindowCheck = MakeCheckBox(a, "CheckBox1", "Debug window", {kCol3, 6, 150, 22});
  DebugWindowCheck->hide();
  connect(DebugWindowCheck, &QCheckBox::toggled, OutMemo, &QWidget::setVisible);
}

void TMainISPForm::BuildStatusBar() {
  auto* bar = new QStatusBar(this);
  bar->setObjectName(QStringLiteral("StatusBar1"));
  bar->setSizeGripEnabled(false);
  bar->setFixedHeight(kStatusHeight);
  ProgressPanel = new QLabel(bar);
  ProgressPanel->setObjectName(QStringLiteral("StatusPanel0"));
  ProgressPanel->setAccessibleDescription(tr("Progress"));
  ProgressPanel->setFixedWidth(320);
  PortPanel = new QLabel(bar);
  PortPanel->setObjectName(QStringLiteral("StatusPanel1"));
  PortPanel->setAccessibleDescription(tr("Port"));
  // 320 + 200 is wider than the window: the second panel shows what fits.
  PortPanel->setMinimumWidth(0);
  PortPanel->setMaximumWidth(200);
  for (QLabel* panel : {ProgressPanel, PortPanel}) {
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Sunken);
    panel->setContentsMargins(3, 0, 3, 0);
  }
  bar->addWidget(ProgressPanel);
  bar->addWidget(PortPanel, 1);
  setStatusBar(bar);
}

void TMainISPForm::SetClientHeight(int height) {
  centralWidget()->setFixedSize(kClientWidth, height - kStatusHeight);
  setFixedSize(kClientWidth, menuBar()->sizeHint().height() + height);
}

std::vector<QWidget*> TMainISPForm::ServiceOnlyControls() const {
  return {DelayVal, DelayLabel, WFC, cb6clock, SetDefaultButton, SpeedList};
}

void TMainISPForm::ApplyView(bool service) {
  m_serviceView = service;
  for (QWidget* w : ServiceOnlyControls()) w->setVisible(service);
  LowerArea->setVisible(service);
  FullChipEraseButton->setVisible(!service);
  // The normal view has the room of the service-only controls for its two big buttons.
  BFull->setGeometry(service ? QRect(8, 62, 190, 44) : QRect(8, 62, 241, 44));
  if (service) {
    SetClientHeight(kLowerHeight + kUpperHeight + kStatusHeight);
  } else {
    SetClientHeight(kUpperHeight + kStatusHeight);
    Button2Click();
  }
}

}  // namespace kavel
