// The window offscreen: views, switches, port handling, status bar, delay, defaults, the close
// step, the general error report and closing during an operation.
#include <fstream>

#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "app/ComLed.h"
#include "app/QtMessageService.h"
#include "app/Shell.h"
#include "link/ComNames.h"
#include "link/EComPort.h"
#include "sim/SimChip.h"
#include "tests/support/SimComDevice.h"
#include "sim/SimController.h"
#include "sim/SimLine.h"
#include "tests/support/FormFixture.h"

namespace kavel::test {
namespace {

int ClientHeight(const TMainISPForm& f) { return f.height() - f.menuBar()->sizeHint().height(); }

// Picks a port or rate in a chooser as the user does.
void Choose(QComboBox* box, const QString& text) {
  const int index = box->findText(text);
  ASSERT_GE(index, 0) << text.toStdString();
  box->setCurrentIndex(index);
  emit box->activated(index);
}

using Views = FormTest;

TEST_F(Views, ServiceSwitchInAnyCaseOnlyAsWholeArgument) {
  const std::pair<std::vector<std::string>, bool> cases[] = {
      {{"/Kavel"}, true}, {{"/kavel"}, true}, {{"/KAVEL"}, true}, {{"x", "/kAvEl"}, true},
      {{"-Kavel"}, false}, {{"Kavel"}, false}, {{"/Kavelx"}, false}, {{}, false},
  };
  for (const auto& [args, service] : cases) {
    TMainISPForm& f = Start(args);
    EXPECT_EQ(f.ServiceView(), service);
    EXPECT_EQ(f.LowerArea->isVisible(), service);
    EXPECT_EQ(f.FullChipEraseButton->isVisible(), !service);
    for (QWidget* w : {static_cast<QWidget*>(f.DelayVal), static_cast<QWidget*>(f.WFC),
                       static_cast<QWidget*>(f.cb6clock), static_cast<QWidget*>(f.SetDefaultButton),
                       static_cast<QWidget*>(f.SpeedList), static_cast<QWidget*>(f.DelayLabel)}) {
      EXPECT_EQ(w->isVisible(), service) << w->objectName().toStdString();
    }
    EXPECT_FALSE(f.OutMemo->isVisible());
    EXPECT_FALSE(f.DebugWindowCheck->isVisible());
    EXPECT_EQ(f.width(), 507);
    EXPECT_EQ(ClientHeight(f), service ? 502 : 145);
    EXPECT_EQ(f.minimumSize(), f.maximumSize());  // fixed size
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
    CloseAndDestroy();
  }
}

TEST_F(Views, SixAndTwelveClockSwitches) {
  EXPECT_TRUE(Start({"/Kavel", "/6"}).cb6clock->isChecked());
  CloseAndDestroy();
  EXPECT_FALSE(Start({"/Kavel", "/12", "/6"}).cb6clock->isChecked());  // "/12" wins
  CloseAndDestroy();
  EXPECT_TRUE(Start({"/6"}).SixClock());  // normal view: after Set default cleared it
  CloseAndDestroy();
  WriteSettings("[TMainISPForm]\ncb6clock_Checked=True\n");
  EXPECT_TRUE(Start({"/kavel"}).SixClock());  // the service view keeps the stored option
}

TEST_F(Views, CaptionShowsTheImageFileWithSameOrAuto) {
  WriteSettings("[TMainISPForm]\nOpenDialog1_FileName=/tmp/fw/app.hex\n");
  EXPECT_EQ(Start({"/same"}).windowTitle().toStdString(), "Kavel ISP 2.6.1 [/tmp/fw/app.hex]");
  CloseAndDestroy();
  EXPECT_EQ(Start().windowTitle().toStdString(), "Kavel ISP 2.6.1");
}

TEST_F(Views, AutoGivenTwiceRunsTheStartTimerOnceAndCloses) {
  TMainISPForm& f = Start({"/AUTO", "/auto"});
  int fired = 0, dialogs = 0;
  QObject::connect(f.StartTimer, &QTimer::timeout, [&] { ++fired; });
  f.SetDialogRunner([&](QFileDialog&) { return ++dialogs, false; });  // the cycle's file: cancelled
  EXPECT_TRUE(f.isVisible());
  Pump(1300);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(dialogs, 1);
  EXPECT_FALSE(f.isVisible());
  EXPECT_FALSE(f.Port().Connected());
  EXPECT_NE(Settings().find("Visible=0"), std::string::npos);
}

TEST_F(Views, AStartTimerThatFiresDuringAnOperationRunsItsStepAfterIt) {
  TMainISPForm& f = Start({"/AUTO"});
  int fired = 0, dialogs = 0;
  QObject::connect(f.StartTimer, &QTimer::timeout, [&] { ++fired; });
  f.SetDialogRunner([&](QFileDialog&) { return ++dialogs, false; });
  // An operation waits 1.3 s for a reply that never comes; the timer's 500 ms pass meanwhile.
  EXPECT_TRUE(f.RunOperation([&] { f.Engine().WaitForDot(1300); }));
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(dialogs, 0);
  EXPECT_TRUE(boxes.sounds.empty());  // no refusal: it is no second operation
  Pump(200);
  EXPECT_EQ(dialogs, 1);
  EXPECT_FALSE(f.isVisible());
}

TEST_F(Views, EveryCaptionFitsItsControlAtTheDefaultFont) {
  TMainISPForm& f = Start({"/Kavel"});
  // A push button's frame and padding take about 6 px a side; a check box's size hint is
  // its box and its text.
  for (auto* b : f.findChildren<QPushButton*>()) {
    if (!b->isVisibleTo(&f)) continue;
    EXPECT_LE(b->fontMetrics().horizontalAdvance(b->text()) + 12, b->width())
        << b->text().toStdString();
    EXPECT_LE(b->fontMetrics().height() + 8, b->height()) << b->text().toStdString();
  }
  for (auto* c : f.findChildren<QCheckBox*>()) {
    if (!c->isVisibleTo(&f)) continue;
    EXPECT_LE(c->sizeHint().width(), c->width()) << c->text().toStdString();
  }
  for (QLabel* l : {f.LampLabel, f.DelayLabel}) EXPECT_LE(l->sizeHint().width(), l->width());
  EXPECT_GE(f.EraseBlocks->count(), 16);
  EXPECT_EQ(f.EraseBlocks->item(15)->text().toStdString(), "block 15, 60k - 64k");
  EXPECT_EQ(f.EraseBlocks->item(1)->checkState(), Qt::Unchecked);
  EXPECT_EQ(f.WFC->text().toStdString(), "Wait for confirmation  \".\"");
}

TEST_F(Views, ControlsAndPanelsSpeakToAssistiveTechnology) {
  TMainISPForm& f = Start({"/Kavel"});
  f.SetProgress("Synchronizing");
  auto name = [](QObject* o) {
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(o);
    return a ? a->text(QAccessible::Name).toStdString() : std::string("<none>");
  };
  EXPECT_EQ(name(f.PortPanel), "COM1: 9600, 8, 1, N");
  EXPECT_EQ(name(f.ProgressPanel), "Synchronizing");
  EXPECT_EQ(name(f.BSynchro), "Synchronize");
  EXPECT_EQ(name(f.PortLamp), "Open/Close");
  EXPECT_TRUE(QAccessible::queryAccessibleInterface(f.PortLamp)->state().checked);
  EXPECT_EQ(name(f.DelayVal), "Delay");
  f.StatusMemo->setPlainText("Security bits: 0");
  QAccessibleInterface* memo = QAccessible::queryAccessibleInterface(f.StatusMemo);
  ASSERT_NE(memo->textInterface(), nullptr);
  EXPECT_EQ(memo->textInterface()->text(0, 16).toStdString(), "Security bits: 0");
}

// Each control keeps its name on the form as its objectName, by which whatever walks the
// widget tree finds it, whatever the member holding it is called.
TEST_F(Views, ControlsKeepTheirFormNamesAsObjectNames) {
  TMainISPForm& f = Start({"/Kavel"});
  const std::pair<const char*, QObject*> controls[] = {
      {"ComComboBox1", f.PortChooser},   {"Label1", f.LampLabel},
      {"ComLed3", f.PortLamp},           {"Button1", f.OnOffButton},
      {"Button2", f.SetDefaultButton},   {"Button3", f.FullChipEraseButton},
      {"ComboBox1", f.SpeedList},        {"Label2", f.DelayLabel},
      {"CheckBox1", f.DebugWindowCheck}, {"StatusPanel0", f.ProgressPanel},
      {"StatusPanel1", f.PortPanel},     {"Timer2", f.StartTimer},
  };
  for (const auto& [name, control] : controls) {
    EXPECT_EQ(f.findChild<QObject*>(QString::fromLatin1(name)), control) << name;
  }
}

using PortControls = FormTest;

TEST_F(PortControls, StatusBarFollowsOpenCloseAndRate) {
  TMainISPForm& f = Start({"/Kavel"});
  EXPECT_EQ(f.PortPanel->text().toStdString(), "COM1: 9600, 8, 1, N");
  EXPECT_EQ(f.SpeedList->currentText().toStdString(), "9600");
  EXPECT_EQ(f.PortChooser->currentText().toStdString(), "COM1");
  EXPECT_TRUE(f.PortLamp->Lit());
  Choose(f.SpeedList, "19200");
  EXPECT_EQ(f.PortPanel->text().toStdString(), "COM1: 19200, 8, 1, N");
  QTest::mouseClick(f.OnOffButton, Qt::LeftButton);
  EXPECT_FALSE(f.Port().Connected());
  EXPECT_FALSE(f.PortLamp->Lit());
  EXPECT_EQ(f.PortPanel->text().toStdString(), "");
  QTest::mouseClick(f.PortLamp, Qt::LeftButton);
  EXPECT_TRUE(f.Port().Connected());
  EXPECT_EQ(f.PortPanel->text().toStdString(), "COM1: 19200, 8, 1, N");
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(PortControls, PortThatCannotBeOpenedShowsOpenPortErrorWithItsName) {
  TPtyPair com3(ports.Path(), "COM3");
  TNAVOPort holder(3, 0);
  holder.OpenPort();  // someone else has COM3
  TMainISPForm& f = Start({"/Kavel"});
  f.PortChooser->showPopup();  // the list is read again as it drops down
  f.PortChooser->hidePopup();
  Choose(f.PortChooser, "COM3");
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, "Open port error");
  EXPECT_EQ(boxes.shown[0].caption, "Open COM3 port");
  EXPECT_EQ(boxes.shown[0].style, 0u);
  EXPECT_FALSE(f.Port().Connected());
  EXPECT_FALSE(f.PortLamp->Lit());
  EXPECT_EQ(f.PortPanel->text().toStdString(), "");
  EXPECT_EQ(f.PortNumber(), 3);
}

TEST_F(PortControls, AnUnreadablePortDirectoryIsReportedOnceAndTheListGoesOn) {
  TMainISPForm& f = Start({"/Kavel"});
  const std::string bad = settingsDir.Path() + "/ISP.conf";  // a file, not a directory
  WriteSettings("");
  setenv("KAVEL_ISP_PORT_DIR", bad.c_str(), 1);
  for (int i = 0; i < 3; ++i) {
    f.PortChooser->showPopup();
    f.PortChooser->hidePopup();
  }
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, "Registry error: cannot read " + bad + " (win error code: 20)");
  // The default rule's names are still offered (whatever devices this machine has).
  std::vector<std::string> offered;
  for (int i = 0; i < f.PortChooser->count(); ++i)
    offered.push_back(f.PortChooser->itemText(i).toStdString());
  EXPECT_EQ(offered, TPortMap(bad).List().names);
  // Readable again, then unreadable again: said again.
  setenv("KAVEL_ISP_PORT_DIR", ports.Path().c_str(), 1);
  f.PortChooser->showPopup();
  f.PortChooser->hidePopup();
  EXPECT_GE(f.PortChooser->findText("COM1"), 0);
  setenv("KAVEL_ISP_PORT_DIR", bad.c_str(), 1);
  f.PortChooser->showPopup();
  f.PortChooser->hidePopup();
  EXPECT_EQ(boxes.shown.size(), 2u);
  setenv("KAVEL_ISP_PORT_DIR", ports.Path().c_str(), 1);
}

TEST_F(PortControls, PortNumberRuleAtChangeAndAtNextStart) {
  TPtyPair com20(ports.Path(), "COM20");
  TPtyPair com2(ports.Path(), "COM2");
  TMainISPForm& f = Start({"/Kavel"});
  Choose(f.PortChooser, "COM20");
  EXPECT_EQ(f.PortPanel->text().toStdString(), "COM20: 9600, 8, 1, N");
  CloseAndDestroy();
  EXPECT_NE(Settings().find("ComComboBox1_Tag=2"), std::string::npos);
  EXPECT_EQ(Start().Port().Port(), "COM2");
  CloseAndDestroy();
  for (const char* stored : {"0", "5", "7", "x", "-3"}) {
    WriteSettings(std::string("[TMainISPForm]\nComComboBox1_Tag=") + stored + "\n");
    EXPECT_EQ(Start().Port().Port(), "COM1") << stored;
    EXPECT_TRUE(form->Port().Connected());
    form.reset();  // destroyed without a close: the next file is written by the test
  }
}

TEST_F(PortControls, DelayEntryTakesSignedIntegersAndRevertsOtherwise) {
  TMainISPForm& f = Start({"/Kavel"});
  auto enter = [&](const char* text) {
    f.DelayVal->setText(QString::fromUtf8(text));
    emit f.DelayVal->editingFinished();
  };
  enter("250");
  EXPECT_EQ(f.Delay(), 250);
  enter("-5");
  EXPECT_EQ(f.Delay(), -5);
  enter("abc");
  EXPECT_EQ(f.Delay(), -5);
  EXPECT_EQ(f.DelayVal->text().toStdString(), "-5");
  enter("99999999999");
  EXPECT_EQ(f.DelayVal->text().toStdString(), "-5");
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(PortControls, SetDefaultAndTheNormalViewStartAt9600And60) {
  TMainISPForm& f = Start({"/Kavel"});
  Choose(f.SpeedList, "38400");
  f.DelayVal->setText("100");
  emit f.DelayVal->editingFinished();
  f.WFC->setChecked(true);
  f.cb6clock->setChecked(true);
  QTest::mouseClick(f.SetDefaultButton, Qt::LeftButton);
  EXPECT_EQ(f.Port().BaudRate(), br9600);
  EXPECT_EQ(f.Delay(), 60);
  EXPECT_EQ(f.DelayVal->text().toStdString(), "60");
  EXPECT_FALSE(f.WaitForConfirmation());
  EXPECT_FALSE(f.SixClock());
  EXPECT_EQ(f.PortPanel->text().toStdString(), "COM1: 9600, 8, 1, N");
  CloseAndDestroy();
  WriteSettings("[TMainISPForm]\nDelayVal_Tag=500\nDelayVal_Text=500\ncb6clock_Checked=True\n");
  TMainISPForm& normal = Start();
  EXPECT_EQ(normal.Delay(), 60);
  EXPECT_EQ(normal.DelayVal->text().toStdString(), "60");
  EXPECT_FALSE(normal.SixClock());
  EXPECT_EQ(normal.SpeedList->currentText().toStdString(), "9600");
}

TEST_F(PortControls, ChoiceRefusedDuringAnOperationIsSetBack) {
  TMainISPForm& f = Start({"/Kavel"});
  f.RunOperation([&] { Choose(f.SpeedList, "38400"); });
  EXPECT_EQ(f.Port().BaudRate(), br9600);
  EXPECT_EQ(f.SpeedList->currentText().toStdString(), "9600");
}

// The operations read the speed list as a rate and have it show one: a rate the list does
// not hold leaves nothing selected, which they then take as 9600.
TEST_F(PortControls, SpeedListGivesAndShowsTheTargetRate) {
  TMainISPForm& f = Start({"/Kavel"});
  const struct {
    TBaudRate shown;
    const char* text;
    TBaudRate target;
  } cases[] = {{br19200, "19200", br19200}, {br4800, "4800", br4800}, {br57600, "", br9600}};
  for (const auto& c : cases) {
    f.SelectTargetBaud(c.shown);
    EXPECT_EQ(f.SpeedList->currentText().toStdString(), c.text);
    EXPECT_EQ(f.Options().targetBaud, c.target);
  }
}

TEST_F(PortControls, FileDialogStartsAtTheStoredFileAndTakesTheChosenOne) {
  TTempDir fw;
  const QString stored = QString::fromStdString(fw.Path() + "/old.hex");
  const QString chosen = QString::fromStdString(fw.Path() + "/new.BIN");
  for (const QString& file : {stored, chosen}) {
    QFile out(file);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
  }
  WriteSettings("[TMainISPForm]\nOpenDialog1_FileName=" + stored.toStdString() + "\n");
  TMainISPForm& f = Start({"/Kavel"});
  f.SetDialogRunner([&](QFileDialog& d) {
    EXPECT_EQ(d.nameFilters(), QStringList({"HEX files [*.hex; *.ihx] (*.hex *.ihx)", "BIN files [*.bin] (*.bin)"}));
    EXPECT_EQ(d.defaultSuffix().toStdString(), "hex");
    EXPECT_EQ(d.fileMode(), QFileDialog::ExistingFile);
    EXPECT_EQ(d.directory().absolutePath().toStdString(), fw.Path());
    EXPECT_EQ(d.selectedFiles().value(0), stored);
    d.selectFile(chosen);
    return true;
  });
  EXPECT_TRUE(f.ExecuteOpenDialog());
  EXPECT_EQ(QString::fromStdString(f.ImageFileName()), chosen);
  f.SetDialogRunner([](QFileDialog&) { return false; });
  EXPECT_FALSE(f.ExecuteOpenDialog());
  EXPECT_EQ(QString::fromStdString(f.ImageFileName()), chosen);  // a cancel keeps the file
}

// The window against a simulated chip served on COM2 over a real pty.
class Operations : public FormTest {
 protected:
  void Serve(sim::TSimChip& chip) {
    std::string error;
    ASSERT_TRUE(line.Open(error)) << error;
    ASSERT_TRUE(line.Register(ports.Path(), "COM2", false, error)) << error;
    line.AddDevice(&chip);
    line.Start();
  }
  sim::TSimLine line;
};

// One service session, every button in the order an operator would press them.
TEST_F(Operations, EveryServiceButtonWorksAgainstTheSimulatedChip) {
  sim::TSimChipOptions options;
  options.fullEraseMs = 20;
  options.blockEraseMs = 20;
  sim::TSimChip chip(options);
  chip.Flash().fill(0);
  Serve(chip);
  const std::string image = std::string(KAVEL_EXAMPLES_DIR) + "/blink/blink.hex";
  WriteSettings("[TMainISPForm]\nComComboBox1_Tag=2\nOpenDialog1_FileName=" + image + "\n");
  TMainISPForm& f = Start({"/Kavel", "/SAME"});
  ASSERT_TRUE(f.Port().Connected());
  f.WFC->setChecked(true);
  f.EraseBlocks->item(3)->setCheckState(Qt::Checked);
  std::vector<std::string> shown;  // "caption: text", and whether the window was enabled
  boxes.onShow = [&](const TMessageBoxRequest& r) {
    shown.push_back(r.caption + ": " + r.text + (f.isEnabled() ? "" : " (disabled)"));
  };
  // "/SAME": "Send hex" takes the stored file without a dialog, and says nothing when it went well.
  for (QPushButton* button : {f.BSynchro, f.BFullErase, f.BEraseBlocks, f.BBlank, f.BSendHexFile, f.BSetStatus,
                              f.BSecurity1, f.BSecurity2, f.BSecurity3, f.B6Clock, f.BReadStatus}) {
    QTest::mouseClick(button, Qt::LeftButton);
  }
  EXPECT_EQ(shown, (std::vector<std::string>{
                       "OK: Flash synchronized: 9600", "OK: Flash erased (disabled)",
                       "Erase OK: Selected blocks erased (disabled)", "OK: Flash is blank (disabled)",
                       "OK: Status byte set to 0 (application)", "OK: Security bit 1 set", "OK: Security bit 2 set",
                       "OK: Security bit 3 set", "OK: Clock set"}));
  EXPECT_TRUE(f.isEnabled());
  EXPECT_EQ(f.Operations().OperationFailed, 0);
  EXPECT_EQ(f.windowTitle().toStdString(), "Kavel ISP 2.6.1 [" + image + "]");
  EXPECT_EQ(f.ProgressPanel->text().toStdString(), "");
  EXPECT_EQ(f.StatusMemo->toPlainText().toStdString(),
            "Security 1: ON\nSecurity 2: ON\nSecurity 3: ON\nStatus: 00");
  // The debug box keeps the erase's and the clock command's replies.
  EXPECT_EQ(f.OutMemo->toPlainText().toStdString(), ":0100000307F5.\n:0300000306028072.");
  CloseAndDestroy();
  line.Stop();
  EXPECT_EQ(chip.SecurityBits(), 7);
  EXPECT_EQ(chip.StatusByte(), 0);
  EXPECT_TRUE(chip.SixClock());
  const std::string bin = ReadWholeFile(std::string(KAVEL_EXAMPLES_DIR) + "/blink/blink.bin");
  EXPECT_TRUE(std::equal(bin.begin(), bin.end(), chip.Flash().begin(),
                         [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
}

TEST_F(Operations, AutoRunsTheCycleAndClosesUnlessAFailureNoStepHandles) {
  const std::string image = std::string(KAVEL_EXAMPLES_DIR) + "/blink/blink.hex";
  TTempDir fw;
  const std::string vanishing = fw.Path() + "/locked.hex", commanding = fw.Path() + "/status.hex";
  std::ofstream(commanding) << ":0100000042BD\n:030000030600559F\n:00000001FF\n";
  const struct {
    const char* name;
    std::string file;
    std::string refusal;  // the error report's text; "": the cycle runs
  } rows[] = {
      {"a whole cycle", image, ""},
      {"the file cannot be opened", vanishing, "Cannot open file \"" + vanishing + "\". No such file or directory."},
      {"an image that commands the chip", commanding,
       "\"" + commanding + "\", line 2: :030000030600559F is a command for the chip, not image data: it writes "
       "the status byte."},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TVirtualClock clock;
    sim::TSimChip chip;
    sim::TSimController controller;
    sim::TSimComDevice* wire = nullptr;
    boxes.shown.clear();
    WriteSettings("[TMainISPForm]\nOpenDialog1_FileName=" + row.file + "\n");
    TMainISPForm& f = Start({"/AUTO"}, [&](TMainISPForm::TSetup& setup) {
      auto virtualLine = std::make_unique<sim::TSimComDevice>(clock);
      virtualLine->AddDevice(&chip);
      virtualLine->AddDevice(&controller);
      wire = virtualLine.get();
      setup.device = std::move(virtualLine);
      setup.clock = &clock;
    });
    std::ofstream(vanishing) << ":00000001FF\n";
    f.SetDialogRunner([&](QFileDialog&) {
      std::remove(vanishing.c_str());  // taken away after it was chosen
      return true;
    });
    Pump(1300);
    if (row.refusal.empty()) {
      EXPECT_EQ(Captions(), (std::vector<std::string>{"Info", "Full programming", "Attention"}));
      EXPECT_FALSE(f.isVisible());
      EXPECT_TRUE(controller.Suspended());
      const std::string bin = ReadWholeFile(std::string(KAVEL_EXAMPLES_DIR) + "/blink/blink.bin");
      EXPECT_TRUE(std::equal(bin.begin(), bin.end(), chip.Flash().begin(),
                             [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
      EXPECT_EQ(chip.SecurityBits(), 7);
    } else {
      // Known before anything is sent: no controller sought, no jumper asked for, no erase;
      // and "Send hex" refuses the file the same way.
      f.BSendHexFile->click();
      ASSERT_EQ(Captions(), (std::vector<std::string>{"Kavel ISP 2.6.1", "Kavel ISP 2.6.1"}));
      EXPECT_EQ(boxes.shown[0].text, row.refusal);
      EXPECT_EQ(boxes.shown[1].text, row.refusal);
      EXPECT_TRUE(f.isVisible());  // the error report keeps the window
      EXPECT_TRUE(std::none_of(wire->WireLog().begin(), wire->WireLog().end(),
                               [](const TWireEntry& e) { return e.direction == '>'; }));
    }
    CloseAndDestroy();
  }
}

using Failures = FormTest;

TEST_F(Failures, PortThatCannotBeOpenedAtStartEndsTheShowStepInTheErrorReport) {
  com1.HangUp();
  std::filesystem::remove(ports.Path() + "/COM1");
  std::filesystem::create_symlink(ports.Path() + "/unplugged", ports.Path() + "/COM1");
  TMainISPForm& f = Start({"/Kavel", "/6", "/SAME"});
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, "Unable to open com port (win error code: 2)");
  EXPECT_EQ(boxes.shown[0].caption, "Kavel ISP 2.6.1");
  EXPECT_EQ(boxes.shown[0].style, kMbIconStop);
  // The window as created, no view chosen: both areas, "FULL CHIP ERASE", no service-only
  // controls.
  EXPECT_TRUE(f.isVisible());
  EXPECT_TRUE(f.LowerArea->isVisible());
  EXPECT_TRUE(f.FullChipEraseButton->isVisible());
  EXPECT_FALSE(f.SpeedList->isVisible());
  EXPECT_EQ(ClientHeight(f), 502);
  EXPECT_EQ(f.PortPanel->text().toStdString(), "");
  EXPECT_FALSE(f.SixClock());
  EXPECT_EQ(f.windowTitle().toStdString(), "Kavel ISP 2.6.1");
}

TEST_F(Failures, EveryFailureOfAHandlerEndsInOneReportAndTheWindowGoesOn) {
  TMainISPForm& f = Start({"/Kavel"});
  EXPECT_FALSE(f.RunOperation([] { throw std::runtime_error("Image file not found"); }));
  EXPECT_FALSE(f.RunOperation([] { throw EComPort(CE_WriteFailed, 5); }));
  EXPECT_FALSE(f.RunOperation([] { throw 42; }));
  ASSERT_EQ(boxes.shown.size(), 3u);
  EXPECT_EQ(boxes.shown[0].text, "Image file not found.");
  EXPECT_EQ(boxes.shown[1].text, "WriteFile function failed (win error code: 5)");
  EXPECT_EQ(boxes.shown[2].text, "Unknown failure.");
  for (const auto& box : boxes.shown) {
    EXPECT_EQ(box.caption, "Kavel ISP 2.6.1");
    EXPECT_EQ(box.style, kMbIconStop);
  }
  EXPECT_EQ(boxes.sounds, std::vector<unsigned>(3, kMbIconStop));  // each with the error sound
  EXPECT_FALSE(f.Busy());
  EXPECT_TRUE(f.RunOperation([] {}));
}

using Closing = FormTest;

TEST_F(Closing, AttentionBoxOnlyAfterASuspensionAndAfterThePortIsClosed) {
  Start();
  CloseAndDestroy();
  EXPECT_TRUE(boxes.shown.empty());
  TMainISPForm& g = Start();
  g.Operations().KTNSuspended = true;
  bool portOpenAtBox = true;
  boxes.onShow = [&](const TMessageBoxRequest&) { portOpenAtBox = g.Port().Connected(); };
  CloseAndDestroy();
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].caption, "Attention");
  EXPECT_EQ(boxes.shown[0].text,
            "Attenntion KTN in suspended mode. Do not forget to open ZV Master and resume KTN "
            "operation.");
  EXPECT_EQ(boxes.shown[0].style, 0u);
  EXPECT_FALSE(portOpenAtBox);
}

TEST_F(Closing, CloseDuringAReplyWaitTakesEffectWhenTheOperationReturns) {
  TMainISPForm& f = Start({"/Kavel"});
  bool visibleAfterWait = false;
  bool secondRefused = false;
  QTimer::singleShot(50, &f, [&] {
    secondRefused = !f.RunOperation([] {});
    QTest::mouseClick(f.OnOffButton, Qt::LeftButton);  // refused too: the port stays open
    f.close();
  });
  const bool ok = f.RunOperation([&] {
    f.Engine().WaitForDot(300);  // nothing answers: the whole time-out
    visibleAfterWait = f.isVisible();
    EXPECT_TRUE(f.Port().Connected());
  });
  EXPECT_TRUE(ok);
  EXPECT_TRUE(secondRefused);
  EXPECT_TRUE(visibleAfterWait);
  EXPECT_EQ(boxes.sounds.size(), 2u);
  Pump(50);
  EXPECT_FALSE(f.isVisible());
  EXPECT_FALSE(f.Port().Connected());
  EXPECT_NE(Settings().find("Visible=0"), std::string::npos);
  form.reset();
}

TEST_F(Closing, ExitButtonAndMenuClose) {
  TMainISPForm& f = Start();
  QTest::mouseClick(f.BExit, Qt::LeftButton);
  EXPECT_FALSE(f.isVisible());
  CloseAndDestroy();
  TMainISPForm& g = Start();
  const auto actions = g.menuBar()->actions();
  ASSERT_EQ(actions.size(), 1);
  EXPECT_EQ(actions[0]->text().toStdString(), "Exit");
  actions[0]->trigger();
  EXPECT_FALSE(g.isVisible());
}

// Each kind of box and set of buttons as it reaches the screen.
TEST(QtBoxes, KindAndButtonsBecomeCaptionIconButtonsAndDefault) {
  using B = QMessageBox;
  const struct {
    TMessageKind kind;
    TMessageButtons buttons;
    const char* caption;
    B::Icon icon;
    std::vector<B::StandardButton> shown;  // all of them, the default first
  } cases[] = {
      {mkWarning, {mbtYes, mbtNo}, "Warning", B::Warning, {B::No, B::Yes}},
      {mkError, {mbtOK}, "Error", B::Critical, {B::Ok}},
      {mkInformation, {mbtOK, mbtCancel}, "Information", B::Information, {B::Ok, B::Cancel}},
      {mkConfirmation, {mbtYes, mbtNo, mbtCancel}, "Confirm", B::Question, {B::Yes, B::No, B::Cancel}},
      {mkCustom, {mbtAbort, mbtRetry, mbtIgnore}, "Mine", B::NoIcon, {B::Abort, B::Retry, B::Ignore}},
      {mkError, {mbtRetry, mbtCancel}, "Error", B::Critical, {B::Retry, B::Cancel}},
      {mkError, {mbtOK, mbtHelp}, "Error", B::Critical, {B::Ok, B::Help}},
      {mkError, {}, "Error", B::Critical, {B::Ok}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.caption);
    std::unique_ptr<QMessageBox> box(
        TQtMessageService::MakeBox(MessageBoxRequest("Error 301\rKTN do not answer!", c.kind, c.buttons, "Mine")));
    EXPECT_EQ(box->windowTitle().toStdString(), c.caption);
    EXPECT_EQ(box->icon(), c.icon);
    EXPECT_EQ(box->text().toStdString(), "Error 301\nKTN do not answer!");  // two lines
    std::vector<B::StandardButton> shown{box->standardButton(box->defaultButton())};
    for (QAbstractButton* button : box->buttons()) {
      if (button != box->defaultButton()) shown.push_back(box->standardButton(button));
    }
    std::sort(shown.begin() + 1, shown.end());
    std::vector<B::StandardButton> expected = c.shown;
    std::sort(expected.begin() + 1, expected.end());
    EXPECT_EQ(shown, expected);
  }
  std::unique_ptr<QMessageBox> plain(TQtMessageService::MakeBox(PlainBoxRequest("Done", "OK")));
  EXPECT_EQ(plain->icon(), QMessageBox::NoIcon);
  EXPECT_EQ(plain->buttons().size(), 1);
}

TEST(QtBoxes, ShowReturnsThePressedButtonsIdentifier) {
  TQtMessageService service;
  const std::pair<unsigned, int> cases[] = {
      {kMbIconExclamation | kMbDefButton2 | kMbYesNo, kIdNo},
      {kMbIconQuestion | kMbYesNoCancel, kIdYes},
      {kMbOk, kIdOk},
      {kMbRetryCancel | kMbHelp, kIdRetry},
  };
  for (const auto& [style, expected] : cases) {
    // Presses the default button as Enter does, once the box is up.
    QTimer::singleShot(20, [] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        box->defaultButton()->click();
      }
    });
    EXPECT_EQ(service.Show({"text", "caption", style}), expected) << style;
  }
  QTimer::singleShot(20, [] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) box->reject();
  });
  EXPECT_EQ(service.Show({"text", "caption", kMbOkCancel}), kIdCancel);  // closed = Cancel
}

}  // namespace
}  // namespace kavel::test
