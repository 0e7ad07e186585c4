// kavel-isp-sim: a simulated chip boot loader on a pseudo-terminal, registered under a COM
// name so that the programmer (or a terminal program) can open it like a serial port.
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
#include "version/Version.h"

using namespace kavel;
using namespace kavel::sim;

namespace {

TSimLine* g_line = nullptr;

void OnSignal(int) {
  if (g_line) g_line->RequestStop();
}

int Fail(const std::string& message) {
  std::cerr << "kavel-isp-sim: " << message << "\n";
  return 2;
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

  TSimLine line;
  std::string error;
  if (!line.Open(error)) return Fail(error);
  line.AddDevice(&chip);
  TSimController controller(a.ktn);
  if (a.withController) line.AddDevice(&controller);
  line.SetLog(log);
  line.SetPaced(a.paced);
  line.SetLatencyMs(a.latencyMs);
  if (!line.Register(a.portDir, a.port, a.force, error)) return Fail(error);
  if (!line.Note().empty()) std::cout << "kavel-isp-sim: " << line.Note() << "\n";

  g_line = &line;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);

  std::cout << "kavel-isp-sim: " << a.port << " -> " << line.SlavePath() << " (port directory "
            << a.portDir << ")\n"
            << "Talk to it by hand, for example:\n"
            << "  socat -,rawer,escape=0x1d " << a.portDir << "/" << a.port << ",rawer,b9600\n"
            << "then type U (the chip answers U) and a record such as :0100000210ED (echo, then .);"
            << " Ctrl-] ends socat.\nCtrl-C ends the simulator." << std::endl;

  line.Run();
  g_line = nullptr;
  line.Unregister();

  if (!a.flashOut.empty()) {
    std::ofstream out(a.flashOut, std::ios::binary);
    out.write(reinterpret_cast<const char*>(chip.Flash().data()),
              static_cast<std::streamsize>(chip.Flash().size()));
    if (!out) std::cerr << "kavel-isp-sim: cannot write " << a.flashOut << "\n";
  }
  if (!a.reportPath.empty()) {
    std::ofstream out(a.reportPath);
    out << chip.Report();
    if (a.withController) out << controller.Report();
    if (!out) std::cerr << "kavel-isp-sim: cannot write " << a.reportPath << "\n";
  }
  if (log && log != stderr) std::fclose(log);
  std::cout << "kavel-isp-sim: ended" << (line.HungUp() ? " (hung up)" : "");
  if (line.Dropped() > 0) std::cout << "; " << line.Dropped() << " bytes dropped (line full)";
  std::cout << "\n";
  return 0;
}
