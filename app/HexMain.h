// TMainISPForm: the programmer's one window. It owns the port, the device operations (which
// hold the state they hand each other: OperationFailed, KTNSuspended, the image file) and the
// settings storage, and is the operations' host: options, boxes, the file dialog, progress.
// The operations show their own outcomes, the general error report included; every handler
// runs inside one guard that shows any other failure (the window's own, such as a port that
// cannot be opened at the show step) in that report, so nothing ever escapes into Qt's event
// loop; a second operation cannot start while one is
// running, and a close asked for during an operation takes effect when the operation returns.
//
// One class in three files: HexMain.cpp (creation, handlers, the guard, the close),
// FormLayout.cpp (the fixed geometry and the views), FormHost.cpp (the operations' host).
#pragma once

#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/FormStorage.h"
#include "app/IspHost.h"
#include "app/IspOperations.h"
#include "link/NAVOPort.h"

class QCheckBox;
class QComboBox;
class QFileDialog;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class QWidget;

namespace kavel {

class TComLed;

class TMainISPForm : public QMainWindow, public TIspHost {
  Q_OBJECT
 public:
  static constexpr int kClientWidth = 507;
  static constexpr int kUpperHeight = 120;
  static constexpr int kLowerHeight = 357;
  static constexpr int kStatusHeight = 25;
  static constexpr int kDesignedLeft = 282;
  static constexpr int kDesignedTop = 136;
  static constexpr int kStartTimerMs = 500;
  static constexpr int kDefaultDelay = 60;

  struct TSetup {
    std::vector<std::string> args;       // the command line without the program name
    QString settingsFile;                // empty: the per-user settings store
    TScreenMetricsSource screens = CurrentScreenMetrics;
    std::unique_ptr<TComDevice> device;  // the port's device seam; null: the real one
    TClock* clock = nullptr;             // the operations' pauses and deadlines; null: real time
  };

  // Creates the window as laid out, both areas shown and the service-only controls hidden
  // (FormCreate included); the start timer runs.
  explicit TMainISPForm(TSetup setup);
  ~TMainISPForm() override;

  // Restores the settings, runs the show step, and shows the window.
  void ShowForm();

  // The switch test on this window's command line.
  bool HasSwitch(std::string_view sw, bool ignoreCase) const;

  // Runs f as an operation: refused (with the alert sound) while another runs; any failure
  // goes to the general error report; a close asked for meanwhile happens afterwards.
  // Returns false when refused or failed.
  bool RunOperation(const std::function<void()>& f);
  // Runs f inside the general error report's guard. Returns false when it failed.
  bool Guarded(const std::function<void()>& f) noexcept;
  bool Busy() const { return m_busy; }

  // The window's handlers, unguarded (the controls run them through the guard).
  void FormCreate();
  void FormShow();
  // The port change and the open/close toggle return the toggle's outcome.
  TIspStatus ComComboBox1Change();
  TIspStatus ComLed3Click();
  void ComboBox1Change();
  void Button2Click();
  void DelayValExit();
  // The operations' handlers: each returns its outcome, which it has shown already.
  TIspStatus BSynchroClick() { return m_ops->BSynchroClick(); }
  TIspStatus BSendHexFileClick() { return m_ops->BSendHexFileClick(); }
  TIspStatus BFullEraseClick() { return m_ops->BFullEraseClick(); }
  TIspStatus BFullClick() { return m_ops->BFullClick(); }
  TIspStatus FullErase() { return m_ops->FullErase(); }
  TIspStatus BEraseBlocksClick() { return m_ops->BEraseBlocksClick(); }
  TIspStatus BBlankClick() { return m_ops->BBlankClick(); }
  TIspStatus BSetStatusClick() { return m_ops->BSetStatusClick(); }
  TIspStatus BSecurity1Click() { return m_ops->BSecurity1Click(); }
  TIspStatus BSecurity2Click() { return m_ops->BSecurity2Click(); }
  TIspStatus BSecurity3Click() { return m_ops->BSecurity3Click(); }
  TIspStatus B6ClockClick() { return m_ops->B6ClockClick(); }
  TIspStatus BReadStatusClick() { return m_ops->BReadStatusClick(); }
  void WFCClick() { UpdateStatusBar(); }
  void cb6clockClick() { UpdateStatusBar(); }
  void UpdateStatusBar();
  void Timer2Timer();
  void FormClose();

  // The file dialog: starts in the stored file's folder with the file selected; on OK the
  // chosen file becomes the image file. Returns false when cancelled.
  bool ExecuteOpenDialog();
  // Replaces running the dialog (tests): gets the prepared dialog, returns whether accepted.
  void SetDialogRunner(std::function<bool(QFileDialog&)> runner) { m_dialogRunner = std::move(runner); }

  // TIspHost
  void ProcessEvents() override;
  // Sleeps in the event loop until a window event, input on the port or the deadline.
  void IdleWait(TNAVOPort& port, int timeoutMs) override;
  int Box(const TMessageBoxRequest& request) override;
  std::optional<std::string> ChooseImageFile(const std::string& preselected) override;
  void SetProgress(std::string_view text) override;
  std::string ProgressText() const override;
  void EnableWindow(bool enabled) override;
  void AppendDebug(std::string_view line) override;
  void ClearStatus() override;
  void AddStatusLine(std::string_view line) override;
  void ShowImageFile(std::string_view fileName) override;
  void SelectTargetBaud(TBaudRate rate) override;
  void ShowPortState() override { UpdateStatusBar(); }
  TIspOptions Options() const override;

  // The options one by one.
  int Delay() const { return m_delay; }
  bool WaitForConfirmation() const;
  bool SixClock() const;
  // The speed list's selected rate; br9600 when none is selected.
  TBaudRate TargetBaud() const;
  const std::string& ImageFileName() const { return m_ops->ImageFileName(); }
  void SetImageFileName(const QString& name) { m_ops->SetImageFileName(name.toStdString()); }

  TNAVOPort& Port() { return *m_port; }
  TIspOperations& Operations() { return *m_ops; }
  TIspEngine& Engine() { return m_ops->Engine(); }
  TFormStorage& FormStorage() { return *m_storage; }
  std::int32_t PortNumber() const { return m_portNumber; }
  bool ServiceView() const { return m_serviceView; }

  // Controls, named by what they are for. Each control's Qt objectName is its name on the
  // form, given after the member where the two differ: the handlers (ComComboBox1Change,
  // Button2Click ...) and the stored settings ("ComComboBox1_Tag") carry that name.
  QComboBox* PortChooser = nullptr;            // ComComboBox1: the serial ports present
  QLabel* LampLabel = nullptr;                 // Label1: "Open/Close" above the lamp
  TComLed* PortLamp = nullptr;                 // ComLed3: lit while the port is open
  QPushButton* OnOffButton = nullptr;          // Button1: "ON/OFF", the open/close toggle
  QPushButton* BExit = nullptr;
  QPushButton* BFull = nullptr;
  QPushButton* FullChipEraseButton = nullptr;  // Button3: "FULL CHIP ERASE"
  QComboBox* SpeedList = nullptr;              // ComboBox1: the target speeds
  QPushButton* SetDefaultButton = nullptr;     // Button2: "Set default"
  QCheckBox* WFC = nullptr;
  QLabel* DelayLabel = nullptr;                // Label2: "Delay"
  QLineEdit* DelayVal = nullptr;
  QCheckBox* cb6clock = nullptr;
  QWidget* UpperArea = nullptr;                // the port, the two big buttons, the options
  QWidget* LowerArea = nullptr;                // the service view's single operations
  QPushButton* BSynchro = nullptr;
  QPushButton* BFullErase = nullptr;
  QListWidget* EraseBlocks = nullptr;
  QPushButton* BEraseBlocks = nullptr;
  QPushButton* BBlank = nullptr;
  QPushButton* BSendHexFile = nullptr;
  QPushButton* BSetStatus = nullptr;
  QPushButton* BSecurity1 = nullptr;
  QPushButton* BSecurity2 = nullptr;
  QPushButton* BSecurity3 = nullptr;
  QPushButton* B6Clock = nullptr;
  QPushButton* BReadStatus = nullptr;
  QPlainTextEdit* StatusMemo = nullptr;
  QPlainTextEdit* OutMemo = nullptr;
  QCheckBox* DebugWindowCheck = nullptr;       // CheckBox1: "Debug window", hidden like OutMemo
  QLabel* ProgressPanel = nullptr;             // StatusPanel0: the running operation's progress
  QLabel* PortPanel = nullptr;                 // StatusPanel1: the port's name, speed and format
  QTimer* StartTimer = nullptr;                // Timer2: fires once, 500 ms after creation

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildUpperArea();
  void BuildLowerArea();
  void BuildStatusBar();
  void ConnectControls();
  void ApplyView(bool service);
  // Caption := title + " [" + image file name + "]".
  void ShowFileInCaption();
  // The upper area's controls of the service view.
  std::vector<QWidget*> ServiceOnlyControls() const;
  void SetClientHeight(int height);
  // Fills the chooser with the ports present. A list that cannot be read still leaves the
  // others' names in the chooser; its error is thrown, but only the first time it is met.
  void FillPortList();
  void ReportError(std::string_view message) noexcept;
  std::vector<TStoredProp> StoredProps();

  std::vector<std::string> m_args;
  std::unique_ptr<TNAVOPort> m_port;
  std::unique_ptr<TIspOperations> m_ops;
  std::unique_ptr<TFormStorage> m_storage;
  std::function<bool(QFileDialog&)> m_dialogRunner;
  std::int32_t m_delay = kDefaultDelay;
  std::int32_t m_portNumber = 0;
  QString m_dialogDir;
  std::string m_portListProblem;  // the port-list error reported last, until the list reads again
  bool m_serviceView = false;
  bool m_busy = false;
  bool m_closePending = false;
  bool m_startStepPending = false;  // the start timer fired while an operation ran
  bool m_closed = false;
};

}  // namespace kavel
