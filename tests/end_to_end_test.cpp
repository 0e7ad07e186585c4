// The real port and reply wait against the simulated chip over a pseudo-terminal, in real
// time; and the kavel-isp-sim executable as an operator would run it.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "isp/IspEngine.h"
#include "link/EComPort.h"
#include "sim/SimChip.h"
#include "sim/SimLine.h"
#include "tests/support/NullHost.h"
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
    return engine.WaitForChar(150, "U");
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
  auto outcome = engine.GiveCommand(":0100000210ED", 150, 0);
  EXPECT_EQ(outcome.reply, '.');
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

TEST_F(OnTheWire, StatusReadBlankCheckAndProgramming) {
  StartChip();
  ASSERT_EQ(Sync(), 'U');
  // Read the status byte: echo, two digits, ".".
  auto status = engine.GiveCommand(":020000050701F1", 480, 0, true);
  EXPECT_EQ(status.reply, '.');
  ASSERT_EQ(engine.ReplyText().size(), 18u);
  EXPECT_EQ(engine.ReplyText().substr(15, 2), "FF");

  // Program one data record, then the blank check finds it.
  EXPECT_EQ(engine.GiveCommand(":" + AddChecksum("03002000123456"), 60, 0).reply, '.');
  port.PurgeBuffers(true, true);
  engine.ClearReplyText();
  port.SendText(":0500000400003FFF01B8.");
  usleep(100000);
  char echo[21];  // ":" and 20 digits; the "." after the record is not echoed
  EXPECT_EQ(port.ReceiveBytes(echo, 21), 21u);
  EXPECT_EQ(std::string(echo, 21), ":0500000400003FFF01B8");
  EXPECT_EQ(engine.WaitForDot(3520), '\r');
  EXPECT_EQ(engine.ReplyText(), "0020\r");
  line.Stop();
  EXPECT_EQ(chip->Flash()[0x20], 0x12);
  EXPECT_EQ(chip->Flash()[0x22], 0x56);
}

TEST_F(OnTheWire, RefusalsAndSilenceAreClassified) {
  StartChip([] {
    sim::TSimChipOptions o;
    o.overrides = {{1, sim::TReplyOverride::NotAllowed}, {2, sim::TReplyOverride::Silent}};
    return o;
  }());
  ASSERT_EQ(Sync(), 'U');
  EXPECT_EQ(engine.GiveCommand(":020000030500F6", 60, 0).cls, rcNotAllowed);
  long long ms = ElapsedMs([&] { EXPECT_EQ(engine.GiveCommand(":020000030501F5", 200, 0).cls, rcNoAnswer); });
  EXPECT_GE(ms, 190);   // whole milliseconds on two clocks
  EXPECT_LT(ms, 1200);  // generous: a loaded machine is slow, not wrong
  EXPECT_EQ(engine.ReplyText(), ":020000030501F5");  // the echo came, the reply did not
}

TEST_F(OnTheWire, HangUpEndsWaitsAndGivesPortErrors) {
  StartChip([] {
    sim::TSimChipOptions o;
    o.hangUpAfter = 1;
    return o;
  }());
  ASSERT_EQ(Sync(), 'U');
  EXPECT_EQ(engine.GiveCommand(":0100000210ED", 150, 0).reply, '.');
  for (int i = 0; i < 100 && !line.HungUp(); ++i) usleep(5000);
  ASSERT_TRUE(line.HungUp());
  long long ms = ElapsedMs([&] { EXPECT_EQ(engine.WaitForDot(2000), '\0'); });
  EXPECT_LT(ms, 1000);  // ended by the port error, long before its time-out
  EXPECT_THROW(port.SendText(":0100000210ED"), EComPort);
}

// The executable: registers its COM name, answers, writes its files and cleans up on SIGTERM.
TEST(SimExecutable, RegistersAnswersReportsAndCleansUp) {
  TPortDirScope dir;
  const std::string report = dir.Path() + "/report.txt";
  const std::string flash = dir.Path() + "/flash.bin";
  const std::string wire = dir.Path() + "/wire.log";
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    execl(KAVEL_SIM_EXE, "kavel-isp-sim", "--port", "COM4", "--port-dir", dir.Path().c_str(),
          "--report", report.c_str(), "--flash-out", flash.c_str(), "--log", wire.c_str(),
          "--security", "4", static_cast<char*>(nullptr));
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
    EXPECT_EQ(engine.WaitForChar(500, "U"), 'U');
    EXPECT_EQ(engine.GiveCommand(":" + AddChecksum("0110000042"), 500, 0).reply, '.');
    EXPECT_EQ(engine.GiveCommand(":020000050700F2", 500, 0).reply, '.');
    EXPECT_EQ(engine.ReplyText(), ":020000050700F208.");  // security bit 3 from the command line
  }
  kill(child, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(entry)));

  const std::string text = test::ReadWholeFile(report);
  EXPECT_NE(text.find("security3=1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("records=2\n"), std::string::npos) << text;
  const std::string image = test::ReadWholeFile(flash);
  ASSERT_EQ(image.size(), 65536u);
  EXPECT_EQ(static_cast<unsigned char>(image[0x1000]), 0x42);
  EXPECT_EQ(static_cast<unsigned char>(image[0x1001]), 0xFF);
  const std::string log = test::ReadWholeFile(wire);
  EXPECT_NE(log.find("> 9600 ':020000050700F2'"), std::string::npos) << log;
}

TEST(SimExecutable, RefusesBadOptionsAndALiveEntry) {
  TPortDirScope dir;
  auto run = [&](std::vector<std::string> args) {
    pid_t child = fork();
    if (child == 0) {
      int devnull = open("/dev/null", O_WRONLY);
      dup2(devnull, 1);
      dup2(devnull, 2);
      std::vector<char*> argv{const_cast<char*>("kavel-isp-sim")};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(KAVEL_SIM_EXE, argv.data());
      _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(run({"--help"}), 0);
  EXPECT_EQ(run({"--bogus"}), 2);
  EXPECT_EQ(run({"--port", "LPT1"}), 2);
  EXPECT_EQ(run({"--reply", "3:Q"}), 2);
  EXPECT_EQ(run({"--reply", "0:R"}), 2);
  EXPECT_EQ(run({"--speeds", "96x0"}), 2);
  EXPECT_EQ(run({"--security", "9"}), 2);
  std::filesystem::create_symlink("/dev/null", dir.Path() + "/COM1");  // a live device
  EXPECT_EQ(run({"--port", "COM1", "--port-dir", dir.Path()}), 2);
  EXPECT_EQ(std::filesystem::read_symlink(dir.Path() + "/COM1"), "/dev/null");
}

}  // namespace
}  // namespace kavel
