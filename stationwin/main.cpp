// kavel-isp-station JOBFILE: the operator's window for a lot of boards.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QSocketNotifier>

#include "cli/CliArgs.h"
#include "stationwin/StationWindow.h"
#include "version/Version.h"

namespace {

constexpr const char* kUsage = R"(Usage: kavel-isp-station [--automatic] [--operator NAME] JOBFILE
The operator's window for a lot of boards: a tile for each port of the job, one Start (Enter,
the space bar or a foot pedal) for every ready board and one Stop (Esc), the lot's counters.
The job file (TOML) is the engineer's: see kavel-isp-cli(1), JOB FILES. Every board is
programmed, numbered and logged by kavel-isp-cli with the same job.

  --automatic      start in automatic mode: each idle socket is asked for a chip in its boot
                   loader (every 500 ms), a board that answers is programmed, and the socket
                   is ready for the next once it has been seen empty; a board already in its
                   socket when the mode is switched on waits for Start, or to be taken out
  --operator NAME  the operator's name for the log (else the job's, else asked for)
  -V, --version, -h, --help
)";

// The kavel-isp-cli beside this program (installed, or in the build tree), else the PATH's.
QString CliProgram() {
  if (const char* given = std::getenv("KAVEL_ISP_CLI"); given && *given) return given;
  const QString dir = QCoreApplication::applicationDirPath();
  for (const QString& candidate : {dir + "/kavel-isp-cli", dir + "/../cli/kavel-isp-cli"})
    if (QFileInfo(candidate).isExecutable()) return QDir::cleanPath(candidate);
  return "kavel-isp-cli";
}

// The stop signals, as a byte each on a pipe that the window's loop reads.
int g_signalPipe[2] = {-1, -1};
extern "C" void OnSignal(int signal) {
  const unsigned char byte = static_cast<unsigned char>(signal);
  [[maybe_unused]] const ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
}

// What went wrong before the window could open: on standard error, and in a box when there
// is a screen to show one (started from a menu, nobody reads standard error).
int Refuse(int argc, char** argv, const std::string& text, int exit) {
  std::fprintf(stderr, "kavel-isp-station: %s\n", text.c_str());
  // A screen: an X or Wayland display, and no platform without one (offscreen, for tests).
  const auto set = [](const char* name) { return std::getenv(name) && *std::getenv(name); };
  const std::string platform = set("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
  if ((set("DISPLAY") || set("WAYLAND_DISPLAY")) && platform != "offscreen" && platform != "minimal") {
    QApplication app(argc, argv);
    QMessageBox::critical(nullptr, "Kavel ISP station", QString::fromStdString(text));
  }
  return exit;
}

}  // namespace

int main(int argc, char** argv) {
  bool automatic = false;
  std::string operatorName, jobFile;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--version" || a == "-V") {
      std::printf("kavel-isp-station %s\n", KAVEL_VERSION);
      return 0;
    }
    if (a == "--automatic") {
      automatic = true;
    } else if (a == "--operator" || a.starts_with("--operator=")) {
      if (a == "--operator" && i + 1 == argc) return Refuse(argc, argv, "--operator needs a name", 2);
      operatorName = a == "--operator" ? argv[++i] : a.substr(11);
    } else if (a.starts_with("-") || !jobFile.empty()) {
      std::fprintf(stderr, "kavel-isp-station: %s\nTry kavel-isp-station --help.\n",
                   a.starts_with("-") ? ("unknown option " + a).c_str() : "give one job file");
      return 2;
    } else {
      jobFile = a;
    }
  }
  if (jobFile.empty()) {
    std::fputs("kavel-isp-station: give one job file\nTry kavel-isp-station --help.\n", stderr);
    return 2;
  }
  // The job whole, as kavel-isp-cli will take it: every key's value, and what they say
  // together; the operator's name checked as the log takes it. A job that cannot be used is
  // refused before the window opens.
  std::vector<std::string> asked{"--job", jobFile};
  if (!operatorName.empty()) asked.insert(asked.end(), {"--operator", operatorName});
  kavel::cli::TCliArgs job;
  if (const auto usable = kavel::cli::ParseCliArgs(asked, job); !usable.Ok()) return Refuse(argc, argv, usable.detail, 2);
  if (job.job.empty() || job.ports.empty()) return Refuse(argc, argv, jobFile + ": the job names no port", 2);

  QApplication app(argc, argv);
  kavel::stationwin::TStationWindow window(job, CliProgram(), QString::fromStdString(job.operatorName));
  // SIGTERM, SIGINT and SIGHUP stop the rounds at their next safe point (their rows say by
  // what), and the window closes once they have.
  if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
    struct sigaction stop {};
    stop.sa_handler = OnSignal;
    sigemptyset(&stop.sa_mask);
    stop.sa_flags = SA_RESTART;
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &stop, nullptr);
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
      unsigned char signal = 0;
      // Passed on as SIGTERM whichever it was: the rounds' own SIGINT and SIGHUP mean the
      // operator's Stop and the window closed.
      while (::read(g_signalPipe[0], &signal, 1) == 1) window.StopAndClose(SIGTERM);
    });
  }
  window.SetAutomatic(automatic);
  window.show();
  return QApplication::exec();
}
