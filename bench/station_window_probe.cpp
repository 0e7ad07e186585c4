// The station window under measure, offscreen. Modes:
//   round JOBFILE CLI                  the job's boards started at once: the milliseconds until
//                                      the round ended and the counters were read again, and
//                                      how many passed
//   stall SECONDS JOBFILE CLI          automatic mode for SECONDS with a timer due every 5 ms
//                                      on the window's (GUI) thread: the longest gap between
//                                      its firings, the firings, the gaps over 50 ms, the
//                                      process's CPU seconds and its peak resident memory (MB)
//   idle SECONDS JOBFILE CLI           automatic mode for SECONDS: the process's CPU seconds
//   put-in PID BOARD TRIALS JOBFILE CLI
//                                      automatic mode; TRIALS times: SIGUSR1 to the simulator
//                                      PID puts its board in, and the milliseconds until tile
//                                      BOARD (from 0) shows RUNNING; once the round has ended
//                                      the board is taken out again (SIGUSR1) and its tile
//                                      awaited READY before the next trial
// Ends with 2 on bad arguments or a job that cannot be used, 1 when a trial does not come
// about within a minute.
#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QLabel>
#include <QTimer>

#include "cli/CliArgs.h"
#include "station/Job.h"
#include "stationwin/StationWindow.h"

namespace {

using kavel::stationwin::TBoardPhase;
using kavel::stationwin::TStationWindow;
using Clock = std::chrono::steady_clock;

// The window under measure, made from the job file as kavel-isp-station makes it; null when
// the job cannot be used.
std::unique_ptr<TStationWindow> MakeWindow(const char* jobFile, const char* cli) {
  kavel::cli::TCliArgs job;
  if (!kavel::cli::ParseCliArgs({"--job", jobFile}, job).Ok()) return nullptr;
  return std::make_unique<TStationWindow>(std::move(job), QString::fromLocal8Bit(cli), "bench");
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The process's CPU seconds so far, every thread's (its children's not).
double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double PeakRssMb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) / 1024.0;
}

int Round(TStationWindow& window, std::size_t boards) {
  int rounds = 0;
  Clock::time_point started;
  QObject::connect(&window, &TStationWindow::RoundEnded, [&] {
    if (++rounds == 1) {  // the counters at the start: then the round
      started = Clock::now();
      window.StartReady();
      return;
    }
    int passed = 0;
    for (std::size_t i = 0; i < boards; ++i) passed += window.Board(i).phase == TBoardPhase::bpPass;
    std::printf("%.0f %d\n", Ms(Clock::now() - started), passed);
    QApplication::quit();
  });
  return QApplication::exec();
}

// The window's thread is free when a timer due every 5 ms fires on time: the longest gap
// between firings is the longest the window could not answer its operator.
int Stall(TStationWindow& window, int seconds) {
  constexpr int kEveryMs = 5, kStallMs = 50;
  QTimer tick;
  tick.setTimerType(Qt::PreciseTimer);
  tick.setInterval(kEveryMs);
  double longest = 0;
  long firings = 0, stalls = 0;
  Clock::time_point last = Clock::now();
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const Clock::time_point now = Clock::now();
    const double gap = Ms(now - last);
    longest = std::max(longest, gap);
    stalls += gap > kStallMs;
    ++firings;
    last = now;
  });
  const double cpu = CpuSeconds();
  window.SetAutomatic(true);
  last = Clock::now();
  tick.start();
  QTimer::singleShot(seconds * 1000, [&] {
    const double gap = Ms(Clock::now() - last);  // a stall that lasts to the end counts too
    std::printf("%.1f %ld %ld %.2f %.1f\n", std::max(longest, gap), firings, stalls, CpuSeconds() - cpu, PeakRssMb());
    QApplication::quit();
  });
  return QApplication::exec();
}

int Idle(TStationWindow& window, int seconds) {
  const double cpu = CpuSeconds();
  window.SetAutomatic(true);
  QTimer::singleShot(seconds * 1000, [&] {
    std::printf("%.3f\n", CpuSeconds() - cpu);
    QApplication::quit();
  });
  return QApplication::exec();
}

// A board put in to its tile RUNNING. The board goes in at a different point of the ports'
// polling rounds each trial, so that the trials see the poll's whole cycle.
int PutIn(TStationWindow& window, pid_t sim, std::size_t board, int trials) {
  enum class TStep { stSettle, stWaitRunning, stWaitEnd, stWaitReady } step = TStep::stSettle;
  constexpr int kSettleMs = 2000, kTrialLimitMs = 60000;
  std::vector<double> took;
  Clock::time_point at = Clock::now() + std::chrono::milliseconds(kSettleMs), putIn;
  QTimer check;
  check.setTimerType(Qt::PreciseTimer);
  check.setInterval(1);
  int status = 0;
  QObject::connect(&check, &QTimer::timeout, [&] {
    const Clock::time_point now = Clock::now();
    const TBoardPhase phase = window.Board(board).phase;
    switch (step) {
      case TStep::stSettle:
        // Put in once the socket is known empty: a board found there before is no new one.
        if (now < at || !window.findChild<QLabel*>(QString("socket%1").arg(board))->text().startsWith("empty: put")) return;
        kill(sim, SIGUSR1);
        putIn = now;
        step = TStep::stWaitRunning;
        return;
      case TStep::stWaitRunning:
        if (phase == TBoardPhase::bpRunning) {
          took.push_back(Ms(now - putIn));
          step = TStep::stWaitEnd;
          return;
        }
        break;
      case TStep::stWaitEnd:
        if (phase != TBoardPhase::bpRunning && !window.Running()) {
          kill(sim, SIGUSR1);  // taken out
          step = TStep::stWaitReady;
          return;
        }
        break;
      case TStep::stWaitReady:
        if (phase == TBoardPhase::bpReady) {
          if (static_cast<int>(took.size()) == trials) {
            for (double ms : took) std::printf("%.0f ", ms);
            std::printf("\n");
            QApplication::quit();
            return;
          }
          at = now + std::chrono::milliseconds(137 * static_cast<int>(took.size()) % 500);
          step = TStep::stSettle;
          return;
        }
        break;
    }
    if (Ms(now - putIn) > kTrialLimitMs) {
      std::fprintf(stderr, "station_window_probe: trial %zu stuck (tile %s)\n", took.size() + 1,
                   window.Board(board).Word());
      status = 1;
      QApplication::quit();
    }
  });
  window.SetAutomatic(true);
  check.start();
  QApplication::exec();
  return status;
}

int Usage() {
  std::fputs("Usage: station_window_probe round JOBFILE CLI | stall SECONDS JOBFILE CLI | idle SECONDS JOBFILE CLI\n"
             "       | put-in PID BOARD TRIALS JOBFILE CLI\n",
             stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const int wanted = mode == "round" ? 4 : mode == "stall" || mode == "idle" ? 5 : mode == "put-in" ? 7 : 0;
  if (wanted == 0 || argc != wanted) return Usage();
  const char* jobFile = argv[argc - 2];
  const char* cli = argv[argc - 1];
  kavel::station::TJob job;
  if (!kavel::station::LoadJob(jobFile, job).Ok()) return 2;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const std::unique_ptr<TStationWindow> window = MakeWindow(jobFile, cli);
  if (!window) return 2;
  if (mode == "round") return Round(*window, job.ports.size());
  window->show();  // as the operator has it: its painting is the window's thread's too
  if (mode == "stall") return Stall(*window, std::atoi(argv[2]));
  if (mode == "idle") return Idle(*window, std::atoi(argv[2]));
  const std::size_t board = static_cast<std::size_t>(std::atoi(argv[3]));
  if (board >= job.ports.size()) return Usage();
  return PutIn(*window, static_cast<pid_t>(std::atoi(argv[2])), board, std::atoi(argv[4]));
}
