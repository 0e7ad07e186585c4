// kavel-isp-cli as a script runs it: the real executable against kavel-isp-sim over
// pseudo-terminals, its exit statuses, its output and what the simulated chip is left with.
#include <fcntl.h>
#include <termios.h>

#include <fstream>

#include <gtest/gtest.h>

#include "link/LineTermios.h"
#include "tests/support/Processes.h"

namespace kavel {
namespace {

struct TRun {
  int status;
  std::string out, err;
};

class Cli : public ::testing::Test {
 protected:
  ~Cli() override {
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
  TRun Run(std::vector<std::string> args, int limitMs = 60000) {
    const pid_t cli = test::StartProcess(KAVEL_CLI_EXE, std::move(args), File("out"), File("err"));
    const int status = test::WaitExit(cli, limitMs);
    return {status, test::ReadWholeFile(File("out")), test::ReadWholeFile(File("err"))};
  }
  std::string File(const std::string& name) const { return dir.Path() + "/" + name; }
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(File(name), std::ios::binary) << bytes;
    return File(name);
  }

  test::TPortDirScope dir;
  std::vector<pid_t> sims;
  const std::string blinkHex = std::string(KAVEL_EXAMPLES_DIR) + "/blink/blink.hex";
  const std::string blinkBin = std::string(KAVEL_EXAMPLES_DIR) + "/blink/blink.bin";
};

TEST_F(Cli, ExitStatusSaysWhatWentWrong) {
  struct Case {
    const char* name;
    std::vector<std::string> sim;  // simulator options; {"-"}: no simulator
    std::vector<std::string> cli;
    int status;
    std::string says;  // on stderr (or stdout for 0)
  };
  const std::string bad = Write("bad.hex", ":0100000042BE\n");
  const std::string big = Write("big.bin", std::string(65537, '\0'));
  const Case cases[] = {
      {"synchronized", {}, {"sync"}, 0, "synchronized at 9600 bit/s"},
      {"unknown command", {"-"}, {"frobnicate"}, 2, "unknown command frobnicate"},
      {"bad security bit", {"-"}, {"security", "4"}, 2, "security needs 1, 2 or 3"},
      {"no such port", {"-"}, {"--port", "COM9", "sync"}, 3, "cannot open COM9"},
      {"missing file", {}, {"program", File("missing.bin")}, 4, "Cannot open file"},
      {"bad HEX", {}, {"program", bad}, 4, "line 1: not a HEX record (its checksum is wrong)"},
      {"too large", {}, {"program", big}, 4, "holds 65537 bytes"},
      {"refused", {"--reply", "2:X"}, {"program", blinkBin}, 1, "Not allowed operation for block: 0"},
      {"unanswered", {"--reply", "2:none"}, {"set-status0"}, 1, "Send Error: Flash not answer"},
      {"loop-back plug", {"--loopback"}, {"status"}, 1, "Flash not synchronized"},
      {"hang-up", {"--hangup-after", "2"}, {"program", blinkBin}, 3, "the port is gone"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.sim != std::vector<std::string>{"-"}) Sim(c.sim);
    const TRun run = Run(c.cli);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE((c.status == 0 ? run.out : run.err).find(c.says), std::string::npos) << run.out << run.err;
    StopSims();
    if (c.status == 4) {  // a bad file sends nothing
      EXPECT_NE(test::ReadWholeFile(File("COM1.report")).find("records=0\n"), std::string::npos);
    }
  }
}

TEST_F(Cli, ProgressLinesWithoutATerminalAndNoneWhenQuiet) {
  Sim();
  const std::string image = Write("image.bin", std::string(1000, '\x5A'));  // 63 records + end
  const TRun run = Run({"--no-confirm", "--delay", "5", "program", image});
  EXPECT_EQ(run.status, 0);
  for (const char* line : {"programming 1% (1/64 records)", "programming 50% (32/64 records)",
                           "programming 100% (64/64 records)"}) {
    EXPECT_NE(run.err.find(line), std::string::npos) << run.err;
  }
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 11);  // one a tenth
  const TRun quiet = Run({"--quiet", "--no-confirm", "--delay", "5", "program", image});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");
}

TEST_F(Cli, CycleAsksUnlessYesAndSuspendsTheController) {
  Sim({"--ktn"});
  const TRun refused = Run({"cycle", blinkHex});  // no terminal, no --yes
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("give --yes"), std::string::npos);
  const TRun run = Run({"--yes", "cycle", blinkHex});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("(answered by --yes)"), std::string::npos);
  EXPECT_NE(run.err.find("Operation finished - security bits set"), std::string::npos);
  EXPECT_NE(run.err.find("resume it from its management program"), std::string::npos);
  StopSims();
  const std::string report = test::ReadWholeFile(File("COM1.report"));
  for (const char* line : {"security1=1\n", "security2=1\n", "security3=1\n", "status=00\n",
                           "controller_suspended=1\n"}) {
    EXPECT_NE(report.find(line), std::string::npos) << report;
  }
  const std::string bin = test::ReadWholeFile(blinkBin);
  EXPECT_EQ(test::ReadWholeFile(File("COM1.flash")).substr(0, bin.size()), bin);
}

TEST_F(Cli, CtrlCStopsBetweenRecordsReleasesThePortAndPutsTheSpeedBack) {
  Sim({"--speeds", "9600"});
  const std::string image = Write("image.bin", std::string(16384, '\x11'));
  // Starts at 19200; the chip answers only at 9600, so the search ends there and the
  // records go out at 9600, each awaiting its reply.
  const pid_t cli = test::StartProcess(KAVEL_CLI_EXE, {"--baud", "19200", "program", image}, File("out"),
                                       File("err"));
  usleep(4000 * 1000);
  kill(cli, SIGINT);
  EXPECT_EQ(test::WaitExit(cli, 2000), 130);
  const std::string err = test::ReadWholeFile(File("err"));
  EXPECT_NE(err.find("stopped by Ctrl-C: stopped after"), std::string::npos) << err;
  EXPECT_EQ(err.find("stopped after 0 of"), std::string::npos) << err;  // it was programming
  // The line is back at 19200, and the port is free at once.
  const int fd = open(ReadLinkText(File("COM1")).c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(GetLineSpeed(fd), 19200u);
  close(fd);
  EXPECT_EQ(Run({"sync"}).status, 0);
}

TEST_F(Cli, PortsInfoTraceAndEraseForAnImage) {
  Sim({"--manufacturer-id", "2A", "--flash-in", Write("old.bin", std::string(65536, '\0'))});
  EXPECT_NE(Run({"ports"}).out.find("COM1\t" + File("COM1") + "\n"), std::string::npos);
  const TRun info = Run({"--trace", File("trace"), "info"});
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_EQ(info.out,
            "Manufacturer id: 2A\nDevice id: C2\nBoot code version: 1F\nSecurity 1: OFF\n"
            "Security 2: OFF\nSecurity 3: OFF\nStatus: FF\n");
  const std::string trace = test::ReadWholeFile(File("trace"));
  for (const char* line : {" > 9600 'U'\n", " < 9600 'U'\n", " > 9600 ':020000050000F9'\n",
                           " < 9600 ':020000050000F92A.'\n"}) {
    EXPECT_NE(trace.find(line), std::string::npos) << trace;
  }
  // Data at 0000 and at 5FF8-6007 (blocks 5 and 6).
  const std::string hex = Write("two.hex", ":020000000102FB\n:105FF8000102030405060708090A0B0C0D0E0F1011\n:00000001FF\n");
  const TRun erase = Run({"erase", "--for", hex});
  EXPECT_EQ(erase.status, 0) << erase.err;
  EXPECT_NE(erase.err.find("blocks to erase: 0 5 6"), std::string::npos) << erase.err;
  StopSims();
  const std::string flash = test::ReadWholeFile(File("COM1.flash"));
  ASSERT_EQ(flash.size(), 65536u);
  for (int block = 0; block < 16; ++block) {
    const bool erased = block == 0 || block == 5 || block == 6;
    EXPECT_EQ(static_cast<unsigned char>(flash[static_cast<std::size_t>(block) * 4096 + 100]), erased ? 0xFF : 0x00)
        << block;
  }
}

TEST_F(Cli, SeveralPortsAtOnceAndTheWorstStatus) {
  Sim({}, "COM1");
  Sim({}, "COM2");
  const TRun run = Run({"--port", "COM1", "--port", "COM2", "--port", "COM9", "program", blinkBin});
  EXPECT_EQ(run.status, 3);  // COM9 is not there; the others are programmed all the same
  EXPECT_NE(run.err.find("COM9: cannot open COM9"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("COM1: programming 100%"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("COM2: programming 100%"), std::string::npos) << run.err;
  StopSims();
  const std::string bin = test::ReadWholeFile(blinkBin);
  for (const char* port : {"COM1", "COM2"}) {
    EXPECT_EQ(test::ReadWholeFile(File(std::string(port) + ".flash")).substr(0, bin.size()), bin) << port;
  }
}

}  // namespace
}  // namespace kavel
