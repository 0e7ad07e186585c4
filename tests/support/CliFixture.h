// The real kavel-isp-cli against kavel-isp-sim over pseudo-terminals, as a script runs them:
// simulators on COM names in a folder of the test's own (where the station's log goes too),
// the command line run to its end, and what it printed. For tests that build KAVEL_CLI_EXE,
// KAVEL_SIM_EXE and KAVEL_EXAMPLES_DIR in.
#pragma once

#include <signal.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/Processes.h"
#include "tests/support/PtyFixture.h"

namespace kavel::test {

struct TRun {
  int status;
  std::string out, err;
  std::string Both() const { return out + err; }
};

class CliFixture : public ::testing::Test {
 protected:
  ~CliFixture() override {
    for (pid_t sim : sims) {
      kill(sim, SIGTERM);
      test::WaitExit(sim, 5000);
    }
  }
  // A simulator on port with the extra options; its report and flash go to files named after
  // the port.
  pid_t Sim(std::vector<std::string> options = {}, const std::string& port = "COM1") {
    std::vector<std::string> args{"--port", port, "--port-dir", dir.Path(), "--report", File(port + ".report"),
                                  "--flash-out", File(port + ".flash")};
    args.insert(args.end(), options.begin(), options.end());
    const pid_t sim = test::StartProcess(KAVEL_SIM_EXE, args);
    EXPECT_TRUE(test::WaitForClaim(dir.Path() + "/" + port, sim));
    sims.push_back(sim);
    return sim;
  }
  // Ends the simulators; their reports and flash files are then written.
  void StopSims() {
    for (pid_t sim : sims) {
      kill(sim, SIGTERM);
      EXPECT_EQ(test::WaitExit(sim, 5000), 0);
    }
    sims.clear();
  }
  std::string Report(const std::string& port = "COM1") const { return test::ReadWholeFile(File(port + ".report")); }
  std::string Flash(const std::string& port = "COM1") const { return test::ReadWholeFile(File(port + ".flash")); }
  pid_t Start(std::vector<std::string> args) {
    return test::StartProcess(KAVEL_CLI_EXE, std::move(args), File("out"), File("err"));
  }
  TRun Run(std::vector<std::string> args, int limitMs = 60000) {
    const int status = test::WaitExit(Start(std::move(args)), limitMs);
    return {status, test::ReadWholeFile(File("out")), test::ReadWholeFile(File("err"))};
  }
  std::string File(const std::string& name) const { return dir.Path() + "/" + name; }
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(File(name), std::ios::binary | std::ios::trunc) << bytes;
    return File(name);
  }

  test::TPortDirScope dir;
  std::vector<pid_t> sims;
  const std::string blinkHex = std::string(KAVEL_EXAMPLES_DIR) + "/blink/blink.hex";
  const std::string blinkBin = std::string(KAVEL_EXAMPLES_DIR) + "/blink/blink.bin";
  const std::string blink = test::ReadWholeFile(blinkBin);
};

}  // namespace kavel::test
