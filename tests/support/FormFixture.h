// A window under test: its own port directory with a pty on COM1, its own settings file,
// fixed screen metrics and a message-box service that records instead of asking anyone.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/HexMain.h"
#include "app/MessageBoxes.h"
#include "tests/support/PtyFixture.h"

namespace kavel::test {

class TRecordingBoxes final : public TMessageService {
 public:
  int Show(const TMessageBoxRequest& request) override {
    shown.push_back(request);
    if (onShow) onShow(request);
    return DefaultButtonId(request.style);
  }
  void Sound(unsigned iconStyle) override { sounds.push_back(iconStyle); }

  std::vector<TMessageBoxRequest> shown;
  std::vector<unsigned> sounds;
  std::function<void(const TMessageBoxRequest&)> onShow;
};

class FormTest : public ::testing::Test {
 protected:
  FormTest() : com1(ports.Path(), "COM1") { SetMessageService(&boxes); }
  ~FormTest() override {
    form.reset();
    SetMessageService(nullptr);
  }

  QString SettingsFile() const { return QString::fromStdString(settingsDir.Path() + "/ISP.conf"); }

  // A window for the command line args, shown as at start-up; adjust may change the rest of
  // its setup (its port's device, its clock).
  TMainISPForm& Start(std::vector<std::string> args = {},
                      const std::function<void(TMainISPForm::TSetup&)>& adjust = {}) {
    TMainISPForm::TSetup setup;
    setup.args = std::move(args);
    if (adjust) adjust(setup);
    setup.settingsFile = SettingsFile();
    setup.screens = [this] { return screen; };
    form = std::make_unique<TMainISPForm>(std::move(setup));
    form->ShowForm();
    return *form;
  }
  // Closes the window as the close box does, and destroys it.
  void CloseAndDestroy() {
    if (!form) return;
    form->close();
    form.reset();
  }

  std::string Settings() const {
    QFile f(SettingsFile());
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll().toStdString();
  }
  void WriteSettings(const std::string& text) const {
    QFile f(SettingsFile());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text.data(), static_cast<qint64>(text.size()));
  }
  std::vector<std::string> Captions() const {
    std::vector<std::string> out;
    for (const auto& box : boxes.shown) out.push_back(box.caption);
    return out;
  }
  // Lets the event loop run for ms.
  static void Pump(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      usleep(2000);
    }
  }

  TPortDirScope ports;
  TTempDir settingsDir;
  TPtyPair com1;
  TRecordingBoxes boxes;
  TScreenMetrics screen{QSize(1280, 1024), 96, {QRect(0, 0, 1280, 1024)}};
  std::unique_ptr<TMainISPForm> form;
};

}  // namespace kavel::test
