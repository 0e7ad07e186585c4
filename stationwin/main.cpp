// kavel-isp-station JOBFILE: the operator's window for a lot of boards.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <QApplication>
#include <QDir>
#include <QFileInfo>

#include "cli/CliArgs.h"
#include "station/Job.h"
#include "stationwin/StationWindow.h"
#include "version/Version.h"

namespace {

constexpr const char* kUsage = R"(Usage: kavel-isp-station [--automatic] JOBFILE
The operator's window for a lot of boards: a tile for each port of the job, one Start (Enter,
the space bar or a foot pedal) for every ready board and one Stop (Esc), the lot's counters.
The job file (TOML) is the engineer's: see kavel-isp-cli(1), JOB FILES. Every board is
programmed, numbered and logged by kavel-isp-cli with the same job.

  --automatic    start in automatic mode: each idle port is asked every 500 ms for a chip in
                 its boot loader, a board that answers is programmed, and the port is ready
                 for the next once the board has gone
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

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-V") == 0)) {
    std::printf("kavel-isp-station %s\n", KAVEL_VERSION);
    return 0;
  }
  const bool automatic = argc == 3 && std::strcmp(argv[1], "--automatic") == 0;
  if (argc != 2 + (automatic ? 1 : 0) || argv[argc - 1][0] == '-') {
    std::fputs("kavel-isp-station: give one job file\nTry kavel-isp-station --help.\n", stderr);
    return 2;
  }
  // The job whole, as kavel-isp-cli will take it: every key's value, and what they say
  // together. A job that cannot be used is refused before the window opens.
  kavel::cli::TCliArgs checked;
  if (const auto usable = kavel::cli::ParseCliArgs({"--job", argv[argc - 1]}, checked); !usable.Ok()) {
    std::fprintf(stderr, "kavel-isp-station: %s\n", usable.detail.c_str());
    return 2;
  }
  kavel::station::TJob job;
  if (const auto loaded = kavel::station::LoadJob(argv[argc - 1], job); !loaded.Ok()) {
    std::fprintf(stderr, "kavel-isp-station: %s\n", loaded.detail.c_str());
    return 2;
  }
  QApplication app(argc, argv);
  kavel::stationwin::TStationWindow window(job, CliProgram());
  window.SetAutomatic(automatic);
  window.show();
  return QApplication::exec();
}
