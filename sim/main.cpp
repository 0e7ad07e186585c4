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
  if (!a.flashIn.empty()) {
    std::ifstream in(a.flashIn, std::ios::binary);
    if (!in) return Fail("cannot read " + a.flashIn);
    in.read(reinterpret_cast<char*>(chip.Flash().data()),
            static_cast<std::streamsize>(chip.Flash().size()));
  }

  std::FILE* log = nullptr;
  if (a.logPath == "-") {
    log = stderr;
  } else if (!a.logPath.empty()) {
    log = std::fopen(a.logPath.c_str(), "w");
    if (!log) return Fail("cannot write " + a.logPath + ": " + std::strerror(errno));
  }

  TSimController controller(a.ktn);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  std::string error;
  if (a.rfc2217Port > 0) {
    TSimNetLine net;
    if (!net.Listen(a.rfc2217Port, error)) return Fail(error);
    net.AddDevice(&chip);
    if (a.withController) net.AddDevice(&controller);
    net.SetLog(log);
    net.SetPaced(a.paced);
    g_netLine = &net;
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &sa, nullptr);
    std::cout << "kavel-isp-sim: rfc2217://127.0.0.1:" << a.rfc2217Port << "\nCtrl-C ends the simulator." << std::endl;
    net.Run();
    g_netLine = nullptr;
    return Finish(a, chip, controller, log, "");
  }
  TSimLine line;
  if (!line.Open(error)) return Fail(error);
  line.AddDevice(&chip);
  if (a.withController) line.AddDevice(&controller);
  line.SetLog(log);
  line.SetPaced(a.paced);
  line.SetLatencyMs(a.latencyMs);
  if (!line.Register(a.portDir, a.port, a.force, error)) return Fail(error);
  if (!line.Note().empty()) std::cout << "kavel-isp-sim: " << line.Note() << "\n";

  g_line = &line;
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &sa, nullptr);

  std::cout << "kavel-isp-sim: " << a.port << " -> " << line.SlavePath() << " (port directory "
            << a.portDir << ")\n"
            << "Talk to it by hand, for example:\n"
            << "  socat -,rawer,escape=0x1d " << a.portDir << "/" << a.port << ",rawer,b9600\n"
            << "then type U (the chip answers U) and a record such as :0100000210ED (echo, then .);"
            << " Ctrl-] ends socat.\nCtrl-C ends the simulator." << std::endl;

  line.Run();
  g_line = nullptr;
  line.Unregister();
  std::string ended = line.HungUp() ? " (hung up)" : "";
  if (line.Dropped() > 0) ended += "; " + std::to_string(line.Dropped()) + " bytes dropped (line full)";
  return Finish(a, chip, controller, log, ended);
}
