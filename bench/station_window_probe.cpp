// One round of the station window, offscreen: the job's boards started at once, and the
// milliseconds until the round ended and the counters were read again, printed. Usage:
// station_window_probe JOBFILE CLI
#include <chrono>
#include <cstdio>

#include <QApplication>
#include <QTimer>

#include "station/Job.h"
#include "stationwin/StationWindow.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  kavel::station::TJob job;
  if (!kavel::station::LoadJob(argv[1], job).Ok()) return 2;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  kavel::stationwin::TStationWindow window(job, QString::fromLocal8Bit(argv[2]));
  int rounds = 0;
  std::chrono::steady_clock::time_point started;
  QObject::connect(&window, &kavel::stationwin::TStationWindow::RoundEnded, [&] {
    if (++rounds == 1) {  // the counters at the start: then the round
      started = std::chrono::steady_clock::now();
      window.StartReady();
      return;
    }
    const auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    int passed = 0;
    for (std::size_t i = 0; i < job.ports.size(); ++i)
      passed += window.Board(i).phase == kavel::stationwin::TBoardPhase::bpPass;
    std::printf("%.0f %d\n", ms, passed);
    app.quit();
  });
  return QApplication::exec();
}
