// The real port and reply wait against the simulated chip over a pseudo-terminal, in real
// time; and the kavel-isp-sim executable as an operator would run it.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "isp/IspEngine.h"
#include "link/ComNames.h"
#include "link/EComPort.h"
#include "link/LineTermios.h"
#include "link/PortClaim.h"
#include "sim/SimChip.h"
#include "sim/SimLine.h"
#include "tests/support/NullHost.h"
#include "tests/support/Processes.h"
#include "tests/support/PtyFixture.h"

namespace kavel {
namespace {

using test::ElapsedMs;
using test::TPortDirScope;

using QuietHost = test::TNullHost;

// A simulated chip serving COM2 of a port directory of the test's own.
class OnTheWire : public ::testing::Test {
 protected:
  void StartChip(sim::TSimChipOptions options = {}) {
    chip = std::make_unique<sim::TSimChip>(std::move(options));
    std::string error;
    ASSERT_TRUE(line.Open(error)) << error;
    ASSERT_TRUE(line.Register(dir.Path(), "COM2", false, error)) << error;
    line.AddDevice(chip.get());
    log = std::tmpfile();
    line.SetLog(log);
    line.Start();
    port.OpenPort();
  }
  void TearDown() override {
    port.ClosePort();
    line.Stop();
    if (log) std::fclose(log);
  }
  std::string WireLog() {
    std::fflush(log);
    std::rewind(log);
    std::string text;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, log)) text += buffer;
    return text;
  }
  // Writes "U" and waits for its echo the way the synchronization does.
  char Sync() {
    port.PurgeBuffers(true, true);
    port.SendText("U");
    return engine.WaitForChar(150, "U").ch;
  }

  TPortDirScope dir;
  sim::TSimLine line;
  std::unique_ptr<sim::TSimChip> chip;
  std::FILE* log = nullptr;
  TNAVOPort port{2, 0};
  QuietHost host;
  TIspEngine engine{port, TSystemClock::Instance(), host};
};

TEST_F(OnTheWire, SynchronizeThenSetClockWithEchoAndDot) {
  StartChip();
  EXPECT_EQ(Sync(), 'U');
  EXPECT_EQ(engine.ReplyText(), "U");
  auto outcome = engine.GiveCommand(":0100000210ED", 150, 0, true);
  EXPECT_EQ(outcome.reply.ch, '.');
  EXPECT_EQ(engine.ReplyText(), ":0100000210ED.");
  line.Stop();
  EXPECT_EQ(chip->ClockValue(), 0x10);
  std::string wire = WireLog();
  EXPECT_NE(wire.find("> 9600 'U'"), std::string::npos) << wire;
  EXPECT_NE(wire.find("< 9600 ':0100000210ED.'"), std::string::npos) << wire;
}

TEST_F(OnTheWire, ChipHearsTheSpeedThePortSet) {
  StartChip([] {
    sim::TSimChipOptions o;
    o.acceptedSpeeds = {14400};
    return o;
  }());
  EXPECT_EQ(Sync(), '\0');  // 9600: not taken
  port.SetBaudRate(br14400);
  EXPECT_EQ(Sync(), 'U');
  port.SetBaudRate(br9600);  // now the chip is at 14400: a U at 9600 comes back garbled
  EXPECT_EQ(Sync(), '\0');
  EXPECT_FALSE(engine.ReplyText().empty());
  EXPECT_EQ(engine.ReplyText().find('U'), std::string::npos);
  line.Stop();
  EXPECT_EQ(chip->SyncedSpeed(), 14400u);
}

TEST_F(OnTheWire, RefusalsAndSilenceAreClassified) {
  StartChip([] {
    sim::TSimChipOptions o;
    o.overrides = {{1, sim::TReplyOverride::NotAllowed}, {2, sim::TReplyOverride::Silent}};
    return o;
  }());
  ASSERT_EQ(Sync(), 'U');
  EXPECT_EQ(engine.GiveCommand(":020000030500F6", 60, 0, true).cls, rcNotAllowed);
  long long ms = ElapsedMs([&] { EXPECT_EQ(engine.GiveCommand(":020000030501F5", 200, 0, true).cls, rcNoAnswer); });
  EXPECT_GE(ms, 190);   // whole milliseconds on two clocks
  EXPECT_LT(ms, 1200);  // generous: a loaded machine is slow, not wrong
  EXPECT_EQ(engine.ReplyText(), ":020000030501F5");  // the echo came, the reply did not
}

// The executable: registers its COM name, starts from the flash it is given, answers, writes
// its files and cleans up on SIGTERM.
TEST(SimExecutable, RegistersAnswersReportsAndCleansUp) {
  TPortDirScope dir;
  const std::string report = dir.Path() + "/report.txt";
  const std::string flash = dir.Path() + "/flash.bin";
  const std::string wire = dir.Path() + "/wire.log";
  const std::string old = dir.Path() + "/old.bin";
  std::ofstream(old, std::ios::binary) << std::string(65536, '\x5A');
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    execl(KAVEL_SIM_EXE, "kavel-isp-sim", "--port", "COM4", "--port-dir", dir.Path().c_str(),
          "--report", report.c_str(), "--flash-out", flash.c_str(), "--log", wire.c_str(),
          "--flash-in", old.c_str(), "--security", "4", static_cast<char*>(nullptr));
    _exit(127);
  }
  const std::string entry = dir.Path() + "/COM4";
  for (int i = 0; i < 200 && !std::filesystem::is_symlink(entry); ++i) usleep(10000);
  ASSERT_TRUE(std::filesystem::is_symlink(entry));
  {
    TNAVOPort port(4, 0);
    QuietHost host;
    TIspEngine engine(port, TSystemClock::Instance(), host);
    port.OpenPort();
    port.SendText("U");
    EXPECT_EQ(engine.WaitForChar(500, "U").ch, 'U');
    EXPECT_EQ(engine.GiveCommand(":" + AddChecksum("0110000042"), 500, 0, true).reply.ch, '.');
    EXPECT_EQ(engine.GiveCommand(":020000050700F2", 500, 0, true).reply.ch, '.');
    EXPECT_EQ(engine.ReplyText(), ":020000050700F208.");  // security bit 3 from the command line
  }
  kill(child, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(entry)));

  const std::string text = test::ReadWholeFile(report);
  EXPECT_EQ(text.substr(0, text.find("sixclock")), "security1=0\nsecurity2=0\nsecurity3=1\nstatus=FF\n");
  EXPECT_NE(text.find("records=2\n"), std::string::npos) << text;
  const std::string image = test::ReadWholeFile(flash);
  ASSERT_EQ(image.size(), 65536u);
  EXPECT_EQ(static_cast<unsigned char>(image[0x1000]), 0x42);
  EXPECT_EQ(static_cast<unsigned char>(image[0x1001]), 0x5A);  // the rest as it came in
  const std::string log = test::ReadWholeFile(wire);
  EXPECT_NE(log.find("> 9600 ':020000050700F2'"), std::string::npos) << log;
}

using test::WaitExit;
using test::WaitForClaim;

// Runs the simulator with args (output to /dev/null); returns its process.
pid_t StartSim(std::vector<std::string> args) { return test::StartProcess(KAVEL_SIM_EXE, std::move(args)); }

int RunSim(std::vector<std::string> args) { return WaitExit(StartSim(std::move(args)), 10000); }

TEST(SimExecutable, RefusesBadOptions) {
  EXPECT_EQ(RunSim({"--help"}), 0);
  for (auto args : std::vector<std::vector<std::string>>{{"--bogus"},
                                                         {"--port", "LPT1"},
                                                         {"--reply", "3:Q"},
                                                         {"--reply", "0:R"},
                                                         {"--speeds", "96x0"},
                                                         {"--security", "9"},
                                                         {"--echo-limit", "x"},
                                                         {"--read-answer", ""}})
    EXPECT_EQ(RunSim(args), 2) << args[0] << " " << args[1];
}

TEST(SimExecutable, EntriesOfTheUserAreLeftAloneUnlessForced) {
  TPortDirScope dir;
  namespace fs = std::filesystem;
  const std::string d = dir.Path();
  fs::create_symlink("/dev/null", d + "/COM1");           // leads to a device
  fs::create_symlink(d + "/unplugged", d + "/COM2");      // an adapter that is not plugged in
  std::ofstream(d + "/COM3") << "my notes";               // not even a link
  fs::create_directory(d + "/COM5");
  for (const char* com : {"COM1", "COM2", "COM3", "COM5"}) {
    EXPECT_EQ(RunSim({"--port", com, "--port-dir", d}), 2) << com;
    EXPECT_FALSE(fs::exists(d + "/" + com + kClaimSuffix)) << com;
  }
  for (const char* com : {"COM3", "COM5"})  // files and directories: not even with --force
    EXPECT_EQ(RunSim({"--port", com, "--port-dir", d, "--force"}), 2) << com;
  EXPECT_EQ(fs::read_symlink(d + "/COM1"), "/dev/null");
  EXPECT_EQ(fs::read_symlink(d + "/COM2"), d + "/unplugged");
  EXPECT_EQ(test::ReadWholeFile(d + "/COM3"), "my notes");
  EXPECT_TRUE(fs::is_directory(d + "/COM5"));

  // Forced, it stands in for the link while it runs and puts it back at the end.
  pid_t sim = StartSim({"--port", "COM2", "--port-dir", d, "--force"});
  ASSERT_TRUE(WaitForClaim(d + "/COM2", sim));
  {
    TNAVOPort port(2, 0);
    test::TNullHost host;
    TIspEngine engine(port, TSystemClock::Instance(), host);
    port.OpenPort();
    port.SendText("U");
    EXPECT_EQ(engine.WaitForChar(500, "U").ch, 'U');
  }
  kill(sim, SIGTERM);
  EXPECT_EQ(WaitExit(sim, 5000), 0);
  EXPECT_EQ(fs::read_symlink(d + "/COM2"), d + "/unplugged");
  EXPECT_FALSE(fs::exists(d + "/COM2" + kClaimSuffix));
}

TEST(SimExecutable, AnEntryLeftByAKilledSimulatorIsIgnoredAndThenReplaced) {
  TPortDirScope dir;
  namespace fs = std::filesystem;
  const std::string entry = dir.Path() + "/COM40";
  pid_t sim = StartSim({"--port", "COM40", "--port-dir", dir.Path()});
  ASSERT_TRUE(WaitForClaim(entry, sim));
  const std::string oldPts = fs::read_symlink(entry).string();
  kill(sim, SIGKILL);
  EXPECT_EQ(WaitExit(sim, 5000), -1);
  ASSERT_TRUE(fs::is_symlink(entry));  // left behind, with its claim

  // A stranger's terminal, which is likely to get the freed number.
  test::TPtyPair stranger(dir.Path(), "stranger");
  TLineTermios before;
  ASSERT_EQ(GetLineTermios(stranger.slaveKeeper, before), 0);
  std::vector<std::string> names;
  PortList(names);
  EXPECT_EQ(std::find(names.begin(), names.end(), "COM40"), names.end());
  TNAVOPort port(40, 0);
  try {
    port.OpenPort();
    ADD_FAILURE() << "opened a stale entry";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Errno(), ENOENT);
  }
  TLineTermios after;
  ASSERT_EQ(GetLineTermios(stranger.slaveKeeper, after), 0);
  EXPECT_EQ(after.raw, before.raw) << "stranger " << stranger.slavePath << ", old " << oldPts;
  EXPECT_EQ(after.bitsPerSecond, before.bitsPerSecond);

  // The next simulator knows the entry for a stale one of its kind and takes it.
  sim = StartSim({"--port", "COM40", "--port-dir", dir.Path()});
  ASSERT_TRUE(WaitForClaim(entry, sim));
  EXPECT_EQ(RunSim({"--port", "COM40", "--port-dir", dir.Path()}), 2);  // a live one is kept
  {
    test::TNullHost host;
    TIspEngine engine(port, TSystemClock::Instance(), host);
    port.OpenPort();
    port.SendText("U");
    EXPECT_EQ(engine.WaitForChar(500, "U").ch, 'U');
    port.ClosePort();
  }
  kill(sim, SIGTERM);
  EXPECT_EQ(WaitExit(sim, 5000), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(entry)));
  EXPECT_FALSE(fs::exists(entry + kClaimSuffix));
}

TEST(SimExecutable, AFullLineDoesNotKeepItFromStopping) {
  TPortDirScope dir;
  const std::string wire = dir.Path() + "/wire.log";
  pid_t sim = StartSim({"--port", "COM6", "--port-dir", dir.Path(), "--loopback", "--log", wire});
  ASSERT_TRUE(WaitForClaim(dir.Path() + "/COM6", sim));
  TNAVOPort port(6, 0);
  port.SetTimeouts(TComTimeouts{20, 40, 0, 500});  // a simulator that stalls stalls writes
  port.OpenPort();
  // Everything comes back, and none of it is read: the pty takes some 20 KB of it.
  const long sent = 60000;
  for (long i = 0; i < sent / 1000; ++i) ASSERT_EQ(port.SendText(std::string(1000, 'x')), 1000u);
  usleep(500000);  // time to take it all in and find the line full
  kill(sim, SIGTERM);
  EXPECT_EQ(WaitExit(sim, 2000), 0);  // a stop request is noticed within 100 ms
  const std::string log = test::ReadWholeFile(wire);
  const auto at = log.find("'dropped ");
  ASSERT_NE(at, std::string::npos) << log.substr(log.size() > 400 ? log.size() - 400 : 0);
  const long dropped = std::strtol(log.c_str() + at + 9, nullptr, 10);
  // The line holds a little, the simulator at most its bound; the rest is counted.
  EXPECT_GE(dropped, sent - 32768 - static_cast<long>(sim::TSimLine::kOutboxLimit));
  EXPECT_LT(dropped, sent);
}

}  // namespace
}  // namespace kavel
