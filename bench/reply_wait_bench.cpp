// Figures for the reply wait on a real pseudo-terminal with nothing answering:
//  - CPU time the process uses during a 2 s wait (target: under 1% of one core);
//  - how far 150 ms and 1600 ms time-outs overshoot (target: under 15 ms).
// Prints the figures; exits 0 whatever they are (a benchmark, not a test).
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <string>
#include <vector>

#include "isp/IspEngine.h"
#include "tests/support/NullHost.h"

using namespace kavel;

namespace {

class IdleHost final : public test::TNullHost {
 public:
  void ProcessEvents() override { ++passes; }
  long passes = 0;
};

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double WallMs(const std::chrono::steady_clock::time_point& since) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since)
      .count();
}

}  // namespace

int main() {
  char dirTemplate[] = "/tmp/kavel-bench-XXXXXX";
  const char* dir = mkdtemp(dirTemplate);
  if (!dir) return 1;
  setenv("KAVEL_ISP_PORT_DIR", dir, 1);
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 1;
  std::string slave = ptsname(master);
  int keeper = open(slave.c_str(), O_RDWR | O_NOCTTY);
  std::filesystem::create_symlink(slave, std::string(dir) + "/COM1");

  TNAVOPort port(1, 0);
  port.OpenPort();
  IdleHost host;
  TIspEngine engine(port, TSystemClock::Instance(), host);

  std::printf("Reply wait on an idle line (pty, nothing answering)\n");
  {
    double cpu0 = CpuSeconds();
    auto t0 = std::chrono::steady_clock::now();
    engine.WaitForDot(2000);
    double wall = WallMs(t0);
    double cpu = (CpuSeconds() - cpu0) * 1000.0;
    std::printf("  2000 ms wait: wall %.1f ms, CPU %.2f ms = %.3f%% of one core, %ld event passes\n",
                wall, cpu, 100.0 * cpu / wall, host.passes);
  }
  for (int timeout : {150, 1600}) {
    std::vector<double> over;
    for (int i = 0; i < 10; ++i) {
      auto t0 = std::chrono::steady_clock::now();
      engine.WaitForDot(timeout);
      over.push_back(WallMs(t0) - timeout);
    }
    std::sort(over.begin(), over.end());
    double mean = std::accumulate(over.begin(), over.end(), 0.0) / static_cast<double>(over.size());
    std::printf("  %4d ms time-out, 10 runs: overshoot min %.2f, mean %.2f, max %.2f ms\n", timeout,
                over.front(), mean, over.back());
  }
  port.ClosePort();
  close(keeper);
  close(master);
  std::filesystem::remove_all(dir);
  return 0;
}
