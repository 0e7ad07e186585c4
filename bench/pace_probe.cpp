// One "Send hex" in the programmer's window, for bench/pace_bench.sh: the service view on
// COM1 (a simulated chip the script serves), a 4 KB image (257 records), "Wait for
// confirmation" off and the delay D given (default 20 ms). Once the window is on screen it
// synchronizes, then times the operation, and prints the milliseconds it took, the number of
// records whose progress text was painted, in order, and OperationFailed.
// Usage: pace_probe WORKDIR [D]   (WORKDIR gets the image and the window's settings)
#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "app/HexMain.h"
#include "app/MessageBoxes.h"

#include "BenchSupport.h"

namespace {

// Answers every box with its default button, and says on standard error what it showed.
class TQuietBoxes final : public kavel::TMessageService {
 public:
  int Show(const kavel::TMessageBoxRequest& request) override {
    std::fprintf(stderr, "box: %s: %s\n", request.caption.c_str(), request.text.c_str());
    return kavel::DefaultButtonId(request.style);
  }
  void Sound(unsigned /*iconStyle*/) override {}
};

// Counts the progress texts painted while an image goes out: each "Programming line: i / N"
// must be painted once at least, i counting up from 0 in order.
class TProgressWatch final : public QObject {
 public:
  explicit TProgressWatch(QLabel* panel) : m_panel(panel) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && watched == m_panel) {
      const QString text = m_panel->text();
      if (text == QStringLiteral("Programming line: %1 / 257").arg(inOrder)) ++inOrder;
      shown = true;
    }
    return QObject::eventFilter(watched, event);
  }
  int inOrder = 0;     // records whose text was painted, in order
  bool shown = false;  // the panel has been painted once: the window is on screen

 private:
  QLabel* m_panel;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: pace_probe WORKDIR [delay ms]\n");
    return 2;
  }
  const std::string work = argv[1];
  const int delay = argc > 2 ? std::stoi(argv[2]) : 20;
  QApplication app(argc, argv);
  TQuietBoxes boxes;
  kavel::SetMessageService(&boxes);

  const std::string image = kavel::bench::WriteBenchImage(work, 4096);  // 256 data records + the end
  const QString settings = QString::fromStdString(work + "/ISP.conf");
  std::ofstream(work + "/ISP.conf") << "[TMainISPForm]\nComComboBox1_Tag=1\nOpenDialog1_FileName=" << image << "\n";

  kavel::TMainISPForm::TSetup setup;
  setup.args = {"/Kavel", "/SAME"};
  setup.settingsFile = settings;
  auto form = std::make_unique<kavel::TMainISPForm>(std::move(setup));
  TProgressWatch watch(form->ProgressPanel);
  form->ProgressPanel->installEventFilter(&watch);
  form->ShowForm();

  int rc = 1;
  QTimer start;
  start.setInterval(10);
  QObject::connect(&start, &QTimer::timeout, [&] {
    if (!watch.shown) return;  // not on screen yet
    start.stop();
    form->DelayVal->setText(QString::number(delay));
    form->DelayValExit();
    form->BSynchro->click();
    const auto t0 = std::chrono::steady_clock::now();
    form->BSendHexFile->click();
    const double ms = kavel::bench::MsSince(t0);
    std::printf("%.3f %d %d\n", ms, watch.inOrder, form->Operations().OperationFailed);
    std::fflush(stdout);
    rc = form->Operations().OperationFailed == 0 && watch.inOrder == 257 ? 0 : 1;
    QApplication::exit(0);
  });
  start.start();
  QApplication::exec();
  form.reset();
  kavel::SetMessageService(nullptr);
  return rc;
}
