// The command line's program and cycle on the simulated line in virtual time, with each device
// call in turn broken the ways real lines break (tests/support/FaultComDevice.h), as a storage
// engine is tested against an I/O error at every call. Whatever breaks: exit 0 only with the
// image on the chip and read back equal, never a security bit over a flash that differs, and
// always exactly one JSON object, whose result says what the exit status says.
#include <fcntl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "cli/CliRun.h"
#include "sim/SimChip.h"
#include "sim/SimController.h"
#include "tests/support/FaultComDevice.h"
#include "tests/support/PtyFixture.h"
#include "tests/support/SimComDevice.h"

namespace kavel {
namespace {

using test::TFault;

struct TOutcome {
  int exit = 0;
  std::string out;  // standard output
  long calls = 0;   // device calls made
};

class CliFaults : public ::testing::Test {
 protected:
  CliFaults() {
    std::vector<std::uint8_t> bytes(40);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 29 + 3);
    wanted = bytes;
    image.AddBin(bytes.data(), bytes.size());
  }

  // Runs the command (program, cycle) with the n-th device call broken (0: none).
  TOutcome Run(const std::string& command, TFault fault, long n) {
    TVirtualClock clock;
    sim::TSimChipOptions options;
    options.fullEraseMs = 50;
    chip = std::make_unique<sim::TSimChip>(options);
    if (command == "cycle") chip->Flash().fill(0);  // a used chip: only the erase makes it right
    sim::TSimController controller;
    cli::TCliArgs args;
    EXPECT_TRUE(cli::ParseCliArgs({"--json", "--yes", "--port", "COM1", command, "fw.bin"}, args).Ok());
    cli::TPortRun run{args.ports.at(0), "", false, &image, {}, &clock};
    TOutcome outcome;
    run.device = [&]() -> std::unique_ptr<TComDevice> {
      auto line = std::make_unique<sim::TSimComDevice>(clock);
      line->AddDevice(chip.get());
      if (command == "cycle") line->AddDevice(&controller);
      return std::make_unique<test::TFaultComDevice>(std::move(line), fault, n, outcome.calls);
    };
    // The run's standard output into a file of its own, its standard error away.
    const std::string outFile = dir.Path() + "/out";
    const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const int savedOut = dup(STDOUT_FILENO), savedErr = dup(STDERR_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(devNull, STDERR_FILENO);
    outcome.exit = cli::RunOnPort(args, run);
    dup2(savedOut, STDOUT_FILENO);
    dup2(savedErr, STDERR_FILENO);
    for (int fd : {out, devNull, savedOut, savedErr}) close(fd);
    outcome.out = test::ReadWholeFile(outFile);
    return outcome;
  }

  bool ChipHoldsTheImage() const {
    return std::equal(wanted.begin(), wanted.end(), chip->Flash().begin());
  }

  test::TTempDir dir;
  std::vector<std::uint8_t> wanted;
  THexBinList image;
  std::unique_ptr<sim::TSimChip> chip;
};

TEST_F(CliFaults, AnyDeviceCallBrokenAnyWayNeverLiesAndNeverLocksAWrongChip) {
  const std::pair<TFault, const char*> faults[] = {
      {TFault::fEIO, "EIO"}, {TFault::fShortWrite, "short write"}, {TFault::fEINTR, "EINTR"},
      {TFault::fEAGAIN, "EAGAIN"}, {TFault::fHangUp, "hang-up"}, {TFault::fLogicError, "logic error"}};
  for (const std::string command : {"program", "cycle"}) {
    const TOutcome clean = Run(command, TFault::fEIO, 0);
    ASSERT_EQ(clean.exit, 0) << clean.out;
    ASSERT_TRUE(ChipHoldsTheImage());
    int passed = 0, failed = 0, internal = 0;
    for (const auto& [fault, name] : faults) {
      for (long n = 1; n <= clean.calls + 1; ++n) {
        const TOutcome o = Run(command, fault, n);
        SCOPED_TRACE(command + ", " + name + " at call " + std::to_string(n) + " of " + std::to_string(clean.calls) +
                     ": exit " + std::to_string(o.exit) + ", " + o.out);
        // Exactly one JSON object, on one line, that agrees with the exit status.
        ASSERT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 1);
        nlohmann::json json;
        ASSERT_NO_THROW(json = nlohmann::json::parse(o.out));
        ASSERT_TRUE(json.is_object());
        EXPECT_EQ(json.at("exit"), o.exit);
        const std::string result = json.at("result");
        EXPECT_EQ(result == "ok", o.exit == 0);
        if (o.exit == 0) {
          EXPECT_TRUE(ChipHoldsTheImage());
          EXPECT_EQ(json.at("verified"), true);
          EXPECT_EQ(chip->SecurityBits(), command == "cycle" ? 7 : 0);
        }
        if (chip->SecurityBits() != 0) {
          EXPECT_TRUE(ChipHoldsTheImage());
        }
        if (fault == TFault::fEINTR || fault == TFault::fEAGAIN) {
          EXPECT_EQ(o.exit, 0);  // a call cut short is no failure of the line
        }
        // A fault of the program is its own, never the chip's or the line's (unless it came
        // as the port was let go, after the work).
        EXPECT_EQ(result == "internal_error", o.exit == 70);
        if (fault == TFault::fLogicError) {
          EXPECT_TRUE(o.exit == 70 || o.exit == 0);
          internal += o.exit == 70;
        }
        ++(o.exit == 0 ? passed : failed);
      }
    }
    // Both ways happened: the table reaches the failures it is about.
    EXPECT_GT(failed, 0) << command;
    EXPECT_GT(passed, 0) << command;
    EXPECT_GT(internal, 0) << command;
  }
}

}  // namespace
}  // namespace kavel
