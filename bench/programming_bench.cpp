// Figures for the session programming a 4 KB image (257 records) into the simulated chip over
// a real pseudo-terminal, D = 60 ms, waiting as the command line waits: without waiting for
// replies, the time taken against the sum of the pauses (target: at most 1.01 times); waiting
// for replies, the time per record.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "image/CheckedImage.h"
#include "isp/Session.h"
#include "sim/SimChip.h"
#include "sim/SimLine.h"

#include "BenchSupport.h"

using namespace kavel;

int main() {
  const std::string dir = bench::MakeBenchPortDir();
  if (dir.empty()) return 1;
  const std::string image = bench::WriteBenchImage(dir, 4096);
  std::printf("Programming a 4 KB image (257 records) over a pty, D = 60 ms\n");
  int result = 0;
  for (bool waitForReplies : {false, true}) {
    sim::TSimChip chip;
    sim::TSimLine line;
    std::string error;
    if (!line.Open(error) || !line.Register(dir, "COM1", false, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    line.AddDevice(&chip);
    line.Start();
    {
      TNAVOPort port(1, 0);
      TWireSpeedWait wire;  // as the command line waits
      TSessionObserver quiet;
      TIspSession session(port, TSystemClock::Instance(), wire, quiet);
      const THexBinList records = LoadCheckedImage(image, std::nullopt);
      port.OpenPort();
      TSyncResult sync;
      TSyncPlan plan;
      plan.blind = !waitForReplies;
      if (!session.Synchronize(plan, sync).Ok()) result = 1;
      auto t0 = std::chrono::steady_clock::now();
      std::size_t resent = 0;
      if (!session.Program(records, TPacing{60, waitForReplies, 0}, resent).Ok()) result = 1;
      const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
      if (waitForReplies) {
        std::printf("  waiting for replies: %.0f ms, %.2f ms a record\n", ms, ms / 257);
      } else {
        std::printf("  paced by D: %.0f ms against 257 x 60 = 15420 ms of pauses: ratio %.4f\n", ms,
                    ms / 15420.0);
      }
    }
    line.Stop();
  }
  std::filesystem::remove_all(dir);
  return result;
}
