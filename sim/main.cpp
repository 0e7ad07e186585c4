// kavel-isp-sim: a simulated chip boot loader on a pseudo-terminal, registered under a COM
// name so that the programmer (or a terminal program) can open it like a serial port; or,
// with --rfc2217, behind an RFC 2217 server whose modem lines reach the chip's reset lines.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "link/ComNames.h"
#include "sim/SimArgs.h"
#include "sim/SimBoard.h"
#include "sim/SimChip.h"
#include "sim/SimController.h"
#include "sim/SimLine.h"
#include "sim/SimNetLine.h"
#include "version/Version.h"

using namespace kavel;
using namespace kavel::sim;

namespace {

TSimLine* g_line = nullptr;
TSimNetLine* g_netLine = nullptr;

void OnSignal(int) {
  if (g_line) g_line->RequestStop();
  if (g_netLine) g_netLine->RequestStop();
}

void OnToggleSignal(int) {
  if (g_line) g_line->RequestToggle();
  if (g_netLine) g_netLine->RequestToggle();
}

// The stop signals end the simulator, SIGUSR1 takes its board out or puts it back; installed
// before the line is offered to anyone, so that no signal finds the default action (which
// would end the simulator without its files).
void CatchSignals() {
  struct sigaction stop {};
  stop.sa_handler = OnSignal;
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &stop, nullptr);
  struct sigaction toggle {};
  toggle.sa_handler = OnToggleSignal;
  sigaction(SIGUSR1, &toggle, nullptr);
}

const char* const kToggleHelp = "SIGUSR1 takes the board out of its socket, or puts it back.\n";

int Fail(const std::string& message) {
  std::cerr << "kavel-isp-sim: " << message << "\n";
  return 2;
}

// Writes the flash and the report, closes the log, and says the simulator ended (and how).
int Finish(const TSimArgs& a, const TSimChip& chip, const TSimController& controller, std::FILE* log,
           const std::string& how) {
  if (!a.flashOut.empty()) {
    std::ofstream out(a.flashOut, std::ios::binary);
    out.write(reinterpret_cast<const char*>(chip.Flash().data()), static_cast<std::streamsize>(chip.Flash().size()));
    if (!out) std::cerr << "kavel-isp-sim: cannot write " << a.flashOut << "\n";
  }
  if (!a.reportPath.empty()) {
    std::ofstream out(a.reportPath);
    out << chip.Report();
    if (a.withController) out << controller.Report();
    if (!out) std::cerr << "kavel-isp-sim: cannot write " << a.reportPath << "\n";
  }
  if (log && log != stderr) std::fclose(log);
  std::cout << "kavel-isp-sim: ended" << how << "\n";
  return 0;
}

// The flash as the file path holds it (none: as it starts). False when it cannot be read.
bool LoadFlash(const std::string& path, TSimChip& chip) {
  if (path.empty()) return true;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  in.read(reinterpret_cast<char*>(chip.Flash().data()),
          static_cast<std::streamsize>(chip.Flash().size()));
  return true;
}

// The log path names: standard error for "-", none for "". False (errno saying why) when it
// cannot be written.
bool OpenLog(const std::string& path, std::FILE*& log) {
  if (path == "-") {
    log = stderr;
  } else if (!path.empty()) {
    log = std::fopen(path.c_str(), "w");
    if (!log) return false;
  }
  return true;
}

// Where the line is, and how to talk to it by hand.
void SayWhereTheLineIs(const TSimArgs& a, const TSimLine& line, const char* outAtStart) {
  if (!line.Note().empty()) std::cout << "kavel-isp-sim: " << line.Note() << "\n";

  std::cout << "kavel-isp-sim: " << a.port << " -> " << line.SlavePath() << " (port directory "
            << a.portDir << ")\n"
            << "Talk to it by hand, for example:\n"
            << "  socat -,rawer,escape=0x1d " << a.portDir << "/" << a.port << ",rawer,b9600\n"
            << "then type U (the chip answers U) and a record such as :0100000210ED (echo, then .);"
            << " Ctrl-] ends socat.\n"
            << outAtStart << "Ctrl-C ends the simulator; " << kToggleHelp << std::flush;
}

}  // namespace

int main(int argc, char** argv) {
  TSimArgs a;
  if (auto problem = ParseSimArgs(std::vector<std::string>(argv + 1, argv + argc), a)) return Fail(*problem);
  if (a.help) {
    std::cout << kSimUsage;
    return std::cout.flush() ? 0 : 1;
  }
  if (a.version) {
    std::cout << "kavel-isp-sim " << KAVEL_VERSION << "\n";
    return std::cout.flush() ? 0 : 1;
  }
  if (a.portDir.empty()) a.portDir = PortDirectory();

  TSimChip chip(a.options);
  if (!LoadFlash(a.flashIn, chip)) return Fail("cannot read " + a.flashIn);

  std::FILE* log = nullptr;
  if (!OpenLog(a.logPath, log)) return Fail("cannot write " + a.logPath + ": " + std::strerror(errno));

  TSimController controller(a.ktn);
  TSimBoard board(!a.out);
  board.AddDevice(&chip);
  if (a.withController) board.AddDevice(&controller);
  // Said on standard output as it happens, so that a test can wait for it.
  const auto toggle = [&board](std::int64_t nowMs) {
    const std::string said = board.Toggle(nowMs) ? "board put in" : "board taken out";
    std::cout << "kavel-isp-sim: " << said << std::endl;
    return said;
  };
  const char* const outAtStart = a.out ? "kavel-isp-sim: the board starts out of its socket\n" : "";
  std::string error;
  if (a.rfc2217Port > 0) {
    TSimNetLine net;
    g_netLine = &net;
    CatchSignals();
    if (!net.Listen(a.rfc2217Port, error)) {
      g_netLine = nullptr;
      return Fail(error);
    }
    net.AddDevice(&board);
    net.SetToggle(toggle);
    net.SetLog(log);
    net.SetPaced(a.paced);
    std::cout << "kavel-isp-sim: rfc2217://127.0.0.1:" << a.rfc2217Port << "\n"
              << outAtStart << "Ctrl-C ends the simulator; " << kToggleHelp << std::flush;
    net.Run();
    g_netLine = nullptr;
    return Finish(a, chip, controller, log, "");
  }
  TSimLine line;
  if (!line.Open(error)) return Fail(error);
  g_line = &line;
  CatchSignals();
  line.AddDevice(&board);
  line.SetToggle(toggle);
  line.SetLog(log);
  line.SetPaced(a.paced);
  line.SetLatencyMs(a.latencyMs);
  if (!line.Register(a.portDir, a.port, a.force, error)) {
    g_line = nullptr;
    return Fail(error);
  }
  SayWhereTheLineIs(a, line, outAtStart);

  line.Run();
  g_line = nullptr;
  line.Unregister();
  std::string ended = line.HungUp() ? " (hung up)" : "";
  if (line.Dropped() > 0) ended += "; " + std::to_string(line.Dropped()) + " bytes dropped (line full)";
  return Finish(a, chip, controller, log, ended);
}
