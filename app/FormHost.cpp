// The window as the operations' host: the options, boxes, the file dialog, progress, the
// text boxes, and its wait that sleeps in the event loop.
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

void TMainISPForm::ShowImageFile(std::string_view fileName) {
  setWindowTitle(Q(kAppTitle) + QStringLiteral(" [") + Q(fileName) + QStringLiteral("]"));
  repaint();
}

std::optional<std::string> TMainISPForm::ChooseImageFile(const std::string& preselected) {
  QFileDialog dialog(this);
  dialog.setObjectName(QStringLiteral("OpenDialog1"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setOption(QFileDialog::HideNameFilterDetails);
  // SDCC names its HEX output .ihx.
  dialog.setNameFilters({QStringLiteral("HEX files [*.hex; *.ihx] (*.hex *.ihx)"),
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
  ProgressPanel->setText(Q(text));
  ProgressPanel->repaint();
}

std::string TMainISPForm::ProgressText() const { return ProgressPanel->text().toStdString(); }

void TMainISPForm::EnableWindow(bool enabled) { setEnabled(enabled); }

void TMainISPForm::AppendDebug(std::string_view line) { OutMemo->appendPlainText(Q(line)); }

void TMainISPForm::ClearStatus() { StatusMemo->clear(); }

void TMainISPForm::AddStatusLine(std::string_view line) { StatusMemo->appendPlainText(Q(line)); }

void TMainISPForm::SelectTargetBaud(TBaudRate rate) {
  SpeedList->setCurrentIndex(SpeedList->findText(Q(BaudRateText(rate))));
}

bool TMainISPForm::WaitForConfirmation() const { return WFC->isChecked(); }

bool TMainISPForm::SixClock() const { return cb6clock->isChecked(); }

TBaudRate TMainISPForm::TargetBaud() const {
  return BaudRateFromText(SpeedList->currentText().toStdString());
}

TIspOptions TMainISPForm::Options() const {
  TIspOptions options;
  options.delay = m_delay;
  options.waitForConfirmation = WaitForConfirmation();
  options.sixClock = SixClock();
  options.targetBaud = TargetBaud();
  options.reuseImageFile = HasSwitch("/SAME", true) || HasSwitch("/AUTO", true);
  for (int i = 0; i < EraseBlocks->count() && i < static_cast<int>(options.eraseBlocks.size()); ++i) {
    options.eraseBlocks.set(static_cast<std::size_t>(i), EraseBlocks->item(i)->checkState() == Qt::Checked);
  }
  return options;
}

}  // namespace kavel
