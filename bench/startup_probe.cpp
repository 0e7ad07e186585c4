// One start-up, for bench/startup_bench.sh: "window" builds and shows the programmer's window
// as kavel-isp's main does (service view); "minimal" a Qt Widgets window with one button and
// one status label. Either ends as soon as its status text has been painted on screen, and
// prints the wall clock then (ns) and its peak memory (KB).
#include <sys/resource.h>
#include <time.h>

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/HexMain.h"
#include "app/QtMessageService.h"

namespace {

// The wall clock in nanoseconds, which the script set against the time it started us.
long long NowNs() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// Ends the program once the label has been painted.
class TPaintWatch final : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && !m_done) {
      m_done = true;
      QTimer::singleShot(0, [] {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        std::printf("%lld %ld\n", NowNs(), u.ru_maxrss);
        std::fflush(stdout);
        QApplication::exit(0);
      });
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  bool m_done = false;
};

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "window";
  QApplication app(argc, argv);
  TPaintWatch watch;
  if (mode == "minimal") {
    QMainWindow window;
    window.setCentralWidget(new QPushButton(QStringLiteral("Synchronize")));
    auto* label = new QLabel(QStringLiteral("COM1: 9600, 8, 1, N"));
    window.statusBar()->addWidget(label);
    label->installEventFilter(&watch);
    window.show();
    return QApplication::exec();
  }
  kavel::TQtMessageService boxes;
  kavel::SetMessageService(&boxes);
  kavel::TMainISPForm::TSetup setup;
  setup.args = {"/Kavel"};
  auto form = std::make_unique<kavel::TMainISPForm>(std::move(setup));
  form->PortPanel->installEventFilter(&watch);
  form->ShowForm();
  const int rc = QApplication::exec();
  form.reset();
  kavel::SetMessageService(nullptr);
  return rc;
}
