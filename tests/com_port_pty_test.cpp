// The real port over a pseudo-terminal: what the far end of the line sees, exclusive opening,
// time-outs, errors and hang-up. Real time, kept short.
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <cerrno>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "isp/IspEngine.h"
#include "link/EComPort.h"
#include "link/LineTermios.h"
#include "link/NAVOPort.h"
#include "tests/support/NullHost.h"
#include "tests/support/PtyFixture.h"

namespace kavel {
namespace {

using test::ElapsedMs;
using test::TPortDirScope;
using test::TPtyPair;

int CodeOf(const std::function<void()>& f, std::optional<int>* errnoOut = nullptr) {
  try {
    f();
  } catch (const EComPort& e) {
    if (errnoOut) *errnoOut = e.Errno();
    return e.Code();
  }
  return 0;
}

class PtyPort : public ::testing::Test {
 protected:
  TPortDirScope dir;
  TPtyPair pty{dir.Path(), "COM5"};
  TNAVOPort port{5, 0};
};

TEST_F(PtyPort, FarEndSeesEightNoneOneRawWithoutFlowControl) {
  port.OpenPort();
  ASSERT_TRUE(port.Connected());
  TLineTermios seen;
  ASSERT_EQ(GetLineTermios(pty.master, seen), 0);
  EXPECT_EQ(seen.bitsPerSecond, 9600u);
  EXPECT_EQ(seen.dataBits, 8);
  EXPECT_EQ(seen.parity, TLineParity::None);
  EXPECT_FALSE(seen.parityCheck);
  EXPECT_EQ(seen.stopBits, 1);
  EXPECT_FALSE(seen.hardwareFlow);
  EXPECT_FALSE(seen.xonXoffIn);
  EXPECT_FALSE(seen.xonXoffOut);
  EXPECT_TRUE(seen.raw);
}

TEST_F(PtyPort, EverySpeedReachesTheLine) {
  port.OpenPort();
  for (TBaudRate rate : {br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200,
                         br38400, br56000, br57600, br115200, br128000, br256000}) {
    port.SetBaudRate(rate);
    EXPECT_EQ(GetLineSpeed(pty.master), BaudRateBits(rate)) << BaudRateText(rate);
  }
}

TEST_F(PtyPort, SameRateLeavesTheLineAloneAndReopeningKeepsTheLastRate) {
  port.OpenPort();
  port.SetBaudRate(br14400);
  // Someone else changes the line behind the port's back; setting the same rate must not touch it.
  TLineTermios other;
  other.bitsPerSecond = 4800;
  ASSERT_EQ(SetLineTermios(pty.master, other), 0);
  port.SetBaudRate(br14400);
  EXPECT_EQ(GetLineSpeed(pty.master), 4800u);
  port.ClosePort();
  port.OpenPort();
  EXPECT_EQ(GetLineSpeed(pty.master), 14400u);
  TLineTermios seen;
  ASSERT_EQ(GetLineTermios(pty.master, seen), 0);
  EXPECT_EQ(seen.dataBits, 8);
  EXPECT_EQ(seen.stopBits, 1);
}

TEST_F(PtyPort, SecondOpenFailsInThisProcessAndInAnother) {
  port.OpenPort();
  TNAVOPort second(5, 0);
  std::optional<int> err;
  EXPECT_EQ(CodeOf([&] { second.OpenPort(); }, &err), 1);
  EXPECT_EQ(err, EBUSY);
  EXPECT_FALSE(second.Connected());

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TNAVOPort other(5, 0);
    int code = 0;
    try {
      other.OpenPort();
    } catch (const EComPort& e) {
      code = e.Code();
    }
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);

  port.ClosePort();
  EXPECT_NO_THROW(second.OpenPort());  // free again once closed
}

TEST_F(PtyPort, MissingDevicesNonTerminalsAndForeignNamesFailToOpenWithSystemNumber) {
  std::ofstream(dir.Path() + "/COM6") << "not a device";
  std::filesystem::create_symlink("/dev/null", dir.Path() + "/COM7");
  const std::pair<std::string, int> cases[] = {
      {"COM9", ENOENT},               // nothing of that name
      {"COM6", ENOTTY},               // a plain file
      {"COM7", ENOTTY},               // a device, but no terminal
      {"../../../dev/null", EINVAL},  // names lead nowhere but into the port directory
      {"", EINVAL},                   // ... and not to the directory itself
      {dir.Path() + "/COM5", EINVAL},
  };
  for (const auto& [name, err] : cases) {
    TNAVOPort other(0, 0);
    other.SetPort(name);
    std::optional<int> seen;
    EXPECT_EQ(CodeOf([&] { other.OpenPort(); }, &seen), 1) << name;
    EXPECT_EQ(seen, err) << name;
    EXPECT_FALSE(other.Connected()) << name;
  }
  TNAVOPort missing(9, 0);
  try {
    missing.OpenPort();
  } catch (const EComPort& e) {
    EXPECT_STREQ(e.what(), "Unable to open com port (win error code: 2)");
  }
}

// The device looks COM names up in the directory its maker gives, not in the environment's,
// and measures its waits by the clock its maker gives.
TEST_F(PtyPort, ADeviceGoesByTheDirectoryAndClockItsMakerGives) {
  struct TCountingClock final : TClock {
    int nows = 0;
    std::int64_t NowMs() override {
      ++nows;
      return TSystemClock::Instance().NowMs();
    }
    void SleepMs(int ms) override { TSystemClock::Instance().SleepMs(ms); }
  } clock;
  test::TTempDir own;
  TPtyPair line(own.Path(), "COM7");
  TNAVOPort byEnvironment(7, 0);
  EXPECT_EQ(CodeOf([&] { byEnvironment.OpenPort(); }), 1);  // no COM7 where the environment points
  TNAVOPort given(7, 0, MakeComDevice(TComDeviceContext{clock, own.Path()}));
  given.OpenPort();
  ASSERT_TRUE(given.Connected());
  line.Send("k");
  EXPECT_EQ(given.ReadByteTimed(500).byte, 'k');
  EXPECT_EQ(given.ReadByteTimed(50).result, TKtnResult::krNoByte);
  EXPECT_GT(clock.nows, 0);
}

TEST_F(PtyPort, WritesArriveAsTheyStandAndCountIsReturned) {
  port.OpenPort();
  EXPECT_EQ(port.SendText(":0100000210ED"), 13u);
  EXPECT_EQ(pty.Receive(13), ":0100000210ED");
  const unsigned char bytes[] = {0x00, 0xFF, 0x0D, 0x0A};
  EXPECT_EQ(port.SendBytes(bytes, 4), 4u);
  EXPECT_EQ(pty.Receive(4), std::string("\x00\xFF\r\n", 4));
  EXPECT_EQ(port.SendText(""), 0u);
}

TEST_F(PtyPort, ReadReturnsAtOnceWithWhatWaitsElseWaitsItsTotal) {
  port.OpenPort();
  char buffer[16];
  std::size_t got = 99;
  long long ms = ElapsedMs([&] { got = port.ReceiveBytes(buffer, 5); });
  EXPECT_EQ(got, 0u);
  EXPECT_GE(ms, 135);  // 20 x 5 + 40; exact figures are the benchmark's business
  EXPECT_LT(ms, 2000);

  pty.Send("abc");
  usleep(30000);
  EXPECT_EQ(port.BytesWaiting(), 3u);
  ms = ElapsedMs([&] { got = port.ReceiveBytes(buffer, 10); });
  EXPECT_EQ(got, 3u);
  EXPECT_LT(ms, 20 * 10 + 40);  // came back before its own time-out could have passed
  EXPECT_EQ(std::string(buffer, 3), "abc");
}

TEST_F(PtyPort, AWriteTheLineDoesNotTakeInTimeIsAPortErrorThatSaysHowMuchWent) {
  // Nobody reads the far end, so the pty's queue fills and the write must stop at its limit;
  // a record cut short must never pass for one that was sent.
  port.SetTimeouts(TComTimeouts{20, 40, 0, 200});
  port.OpenPort();
  std::string big(1 << 20, 'x');
  std::string message;
  long long ms = ElapsedMs([&] {
    try {
      port.SendText(big);
    } catch (const EComPort& e) {
      EXPECT_EQ(e.Code(), CE_WriteFailed);
      EXPECT_EQ(e.Errno(), ETIMEDOUT);
      message = e.what();
    }
  });
  EXPECT_EQ(message.rfind("WriteFile function failed: only ", 0), 0u) << message;
  EXPECT_NE(message.find(" of 1048576 bytes were sent"), std::string::npos) << message;
  EXPECT_GE(ms, 190);
  EXPECT_LT(ms, 2000);
}

TEST_F(PtyPort, PurgeDiscardsInputAndReadByteTimedReadsOneByte) {
  port.OpenPort();
  pty.Send("xyz");
  usleep(30000);
  port.PurgeBuffers(true, false);
  EXPECT_EQ(port.BytesWaiting(), 0u);
  long long ms = ElapsedMs([&] { EXPECT_EQ(port.ReadByteTimed(0).result, TKtnResult::krNoByte); });
  EXPECT_GE(ms, 29);  // whole milliseconds on two clocks
  EXPECT_LT(ms, 2000);
  pty.Send(std::string(1, '\0'));
  usleep(20000);
  const TKtnRead nul = port.ReadByteTimed(0);
  EXPECT_EQ(nul.result, TKtnResult::krOk);
  EXPECT_EQ(nul.byte, 0);
  pty.Send("Q");
  EXPECT_EQ(port.ReadByteTimed(500).byte, 'Q');
}

TEST_F(PtyPort, HangUpGivesPortErrorsNotAHang) {
  // An unplugged adapter: every call of the port fails at once, and a reply wait ends with
  // nothing long before its time-out, saying the port failed.
  port.OpenPort();
  test::TNullHost host;
  TIspEngine engine(port, TSystemClock::Instance(), host);
  pty.HangUp();
  char buffer[8];
  long long ms = ElapsedMs([&] {
    EXPECT_EQ(CodeOf([&] { port.BytesWaiting(); }), 10);
    EXPECT_EQ(CodeOf([&] { port.ReceiveBytes(buffer, 8); }), 3);
    EXPECT_EQ(CodeOf([&] { port.SendText("U"); }), 2);
    EXPECT_EQ(CodeOf([&] { port.WaitForRxChar(500); }), 21);
    const TKtnRead read = port.ReadByteTimed(500);
    EXPECT_EQ(read.result, TKtnResult::krPortFailed);
    EXPECT_EQ(read.portFailure, "ClearCommError function failed (win error code: 5)");
    const TReply reply = engine.WaitForDot(2000);
    EXPECT_EQ(reply.ch, '\0');
    EXPECT_EQ(reply.line.kind, skPortFailed);
  });
  EXPECT_LT(ms, 500);  // none of them waited for its time-out
  // It stays open until it is closed, and then it is closed.
  EXPECT_TRUE(port.Connected());
  port.ClosePort();
  EXPECT_FALSE(port.Connected());
}

// Interrupts the thread that made it every intervalMs with a signal whose handler does
// nothing (and does not ask for restarted calls), for at most limitMs, until destroyed.
class TSignalStorm {
 public:
  TSignalStorm(int intervalMs, int limitMs) {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigaction(SIGUSR1, &sa, &m_saved);
    m_thread = std::thread([this, target = pthread_self(), intervalMs, limitMs] {
      for (int t = 0; t < limitMs && !m_stop; t += intervalMs) {
        pthread_kill(target, SIGUSR1);
        ++m_sent;
        usleep(static_cast<useconds_t>(intervalMs) * 1000);
      }
    });
  }
  ~TSignalStorm() {
    m_stop = true;
    m_thread.join();
    sigaction(SIGUSR1, &m_saved, nullptr);
  }
  TSignalStorm(const TSignalStorm&) = delete;
  TSignalStorm& operator=(const TSignalStorm&) = delete;
  int Sent() const { return m_sent; }

 private:
  struct sigaction m_saved {};
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_sent{0};
  std::thread m_thread;
};

TEST_F(PtyPort, WaitsUnderAPeriodicSignalStillEndAtTheirTimeouts) {
  port.SetTimeouts(TComTimeouts{20, 40, 0, 200});  // writes give up after 200 ms
  port.OpenPort();
  test::TNullHost host;
  TIspEngine engine(port, TSystemClock::Instance(), host);
  char buffer[8];
  const std::string big(1 << 20, 'x');  // nobody reads the far end: the write must give up
  const struct {
    const char* what;
    int timeoutMs;
    std::function<void()> run;
  } cases[] = {
      {"reply wait", 200, [&] { EXPECT_EQ(engine.WaitForDot(200).ch, '\0'); }},
      {"read", 20 * 5 + 40, [&] { EXPECT_EQ(port.ReceiveBytes(buffer, 5), 0u); }},
      {"byte read", 100, [&] { EXPECT_EQ(port.ReadByteTimed(100).result, TKtnResult::krNoByte); }},
      {"pause", 150, [&] { TSystemClock::Instance().SleepMs(150); }},
      {"write", 200, [&] { EXPECT_THROW(port.SendText(big), EComPort); }},
  };
  for (const auto& c : cases) {
    // Without care each interruption starts the time-out over: the storm (2 s) would
    // outlast every one of them.
    TSignalStorm storm(4, 2000);
    long long ms = ElapsedMs(c.run);
    EXPECT_GT(storm.Sent(), 5) << c.what;
    EXPECT_GE(ms, c.timeoutMs - 1) << c.what;
    EXPECT_LT(ms, c.timeoutMs + 1000) << c.what;  // generous; bench/ has the exact figures
  }
}

TEST_F(PtyPort, AReplyWaitOnALineThatNeverGoesQuietEndsSoonAfterItsTimeout) {
  port.OpenPort();
  test::TNullHost host;
  TIspEngine engine(port, TSystemClock::Instance(), host);
  // 40 bytes every 10 ms is 38400 bit/s; 0 ms between writes floods the line.
  for (int gapMs : {10, 0}) {
    std::atomic<bool> stop{false};
    std::thread talker([&] {
      const std::string noise(40, '~');
      for (int t = 0; t < 3000 && !stop; t += std::max(gapMs, 1)) {
        [[maybe_unused]] ssize_t n = write(pty.master, noise.data(), noise.size());
        usleep(static_cast<useconds_t>(gapMs) * 1000);
      }
    });
    long long ms = ElapsedMs([&] { EXPECT_EQ(engine.WaitForDot(300).ch, '\0'); });
    stop = true;
    talker.join();
    EXPECT_GE(ms, 299) << gapMs;
    EXPECT_LT(ms, 300 + 1000) << gapMs;  // the talker goes on for 3 s
    EXPECT_LE(engine.ReplyText().size(), TIspEngine::kReplyTextLimit);
    port.PurgeBuffers(true, true);
  }
}

}  // namespace
}  // namespace kavel
