// Figures for the controller exchange and the full cycle over a real pseudo-terminal:
// FindController on a line where nothing answers (about 2.5 s: four listening passes, then
// twelve more each with an "a"), and a full cycle of a 16 KB image against the simulated
// chip and controller, D = 60 ms, replies not awaited, against the sum of its fixed
// pauses.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>

#include "app/IspHost.h"
#include "app/IspOperations.h"
#include "sim/SimChip.h"
#include "sim/SimController.h"
#include "sim/SimLine.h"

#include "BenchSupport.h"

using namespace kavel;

using bench::MsSince;

namespace {

// The window without a screen: its default options and its wait (an event pass every 10 ms
// with no events), every box answered with its default button, the image file chosen.
class TBenchHost final : public TIspHost {
 public:
  explicit TBenchHost(std::string image) : m_image(std::move(image)) {}
  TIspOptions Options() const override { return {}; }
  int Box(const TMessageBoxRequest& request) override { return DefaultButtonId(request.style); }
  std::optional<std::string> ChooseImageFile(const std::string&) override { return m_image; }

 private:
  std::string m_image;
};

}  // namespace

int main() {
  const std::string dir = bench::MakeBenchPortDir();
  if (dir.empty()) return 1;
  const std::string image = bench::WriteBenchImage(dir, 16384);
  int result = 0;
  for (bool cycle : {false, true}) {
    sim::TSimChip chip;
    sim::TSimController controller;
    sim::TSimLine line;
    std::string error;
    if (!line.Open(error) || !line.Register(dir, "COM1", false, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    if (cycle) {
      line.AddDevice(&chip);
      line.AddDevice(&controller);
    }
    line.Start();
    {
      TNAVOPort port(1, 0);
      TBenchHost host(image);  // the window, paced as its normal view is
      TIspOperations ops(port, TSystemClock::Instance(), host);
      port.OpenPort();
      const auto t0 = std::chrono::steady_clock::now();
      if (!cycle) {
        const bool found = port.KTNPort().FindController().Ok();
        std::printf("FindController on a silent line: %.0f ms against about 2500 ms%s\n",
                    MsSince(t0), found ? " (found somebody!)" : "");
        if (found) result = 1;
      } else {
        const bool programmed = ops.BFullClick().Ok();
        const double ms = MsSince(t0);
        // Suspension 750, jumper 2000, three "U" with D, the blind synchronization's two D,
        // erase 9000, 1025 records with D each, status byte 1000, three security bits with D,
        // the closing 1000.
        const double pauses = 750 + 2000 + 3 * 60 + 2 * 60 + 9000 + 1025 * 60 + 1000 + 3 * 60 + 1000;
        std::printf("Full cycle, 16 KB image (1025 records), D = 60 ms: %.0f ms against %.0f ms of "
                    "pauses: ratio %.4f\n",
                    ms, pauses, ms / pauses);
        if (!programmed || !controller.Suspended() || chip.SecurityBits() != 7 || ops.OperationFailed != 0) result = 1;
      }
    }
    line.Stop();
  }
  std::filesystem::remove_all(dir);
  return result;
}
