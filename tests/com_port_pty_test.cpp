// The real port over a pseudo-terminal: what the far end of the line sees, exclusive opening,
// time-outs, errors and hang-up. Real time, kept short.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include <gtest/gtest.h>

#include "link/EComPort.h"
#include "link/LineTermios.h"
#include "link/NAVOPort.h"
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
    if (errnoOut) *errnoOut = e.WinCode();
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

TEST_F(PtyPort, MissingDeviceAndNonTtyFailToOpenWithSystemNumber) {
  TNAVOPort missing(9, 0);
  std::optional<int> err;
  EXPECT_EQ(CodeOf([&] { missing.OpenPort(); }, &err), 1);
  EXPECT_EQ(err, ENOENT);
  EXPECT_FALSE(missing.Connected());
  try {
    missing.OpenPort();
  } catch (const EComPort& e) {
    EXPECT_STREQ(e.what(), "Unable to open com port (win error code: 2)");
  }

  std::ofstream(dir.Path() + "/COM6") << "not a device";
  TNAVOPort plainFile(6, 0);
  EXPECT_EQ(CodeOf([&] { plainFile.OpenPort(); }, &err), 1);
  EXPECT_EQ(err, ENOTTY);
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
  EXPECT_GE(ms, 135);  // 20 x 5 + 40
  EXPECT_LT(ms, 400);

  pty.Send("abc");
  usleep(30000);
  EXPECT_EQ(port.BytesWaiting(), 3u);
  ms = ElapsedMs([&] { got = port.ReceiveBytes(buffer, 10); });
  EXPECT_EQ(got, 3u);
  EXPECT_LT(ms, 30);
  EXPECT_EQ(std::string(buffer, 3), "abc");
}

TEST_F(PtyPort, WriteGivesUpAtItsTotalWhenTheLineTakesNothing) {
  // Nobody reads the far end, so the pty's queue fills and the write must stop at its limit.
  port.SetTimeouts(TComTimeouts{-1, 20, 40, 0, 200});
  port.OpenPort();
  std::string big(1 << 20, 'x');
  std::size_t written = 0;
  long long ms = ElapsedMs([&] { written = port.SendText(big); });
  EXPECT_LT(written, big.size());
  EXPECT_GT(written, 0u);
  EXPECT_GE(ms, 190);
  EXPECT_LT(ms, 600);
}

TEST_F(PtyPort, PurgeDiscardsInputAndReadByteTimedReadsOneByte) {
  port.OpenPort();
  pty.Send("xyz");
  usleep(30000);
  port.PurgeBuffers(true, false);
  EXPECT_EQ(port.BytesWaiting(), 0u);
  long long ms = ElapsedMs([&] { EXPECT_EQ(port.ReadByteTimed(0), -72); });
  EXPECT_GE(ms, 25);
  EXPECT_LT(ms, 200);
  pty.Send(std::string(1, '\0'));
  usleep(20000);
  EXPECT_EQ(port.ReadByteTimed(0), 0);
  pty.Send("Q");
  EXPECT_EQ(port.ReadByteTimed(500), 'Q');
}

TEST_F(PtyPort, HangUpGivesPortErrorsNotAHang) {
  port.OpenPort();
  pty.HangUp();
  char buffer[8];
  long long ms = ElapsedMs([&] {
    EXPECT_EQ(CodeOf([&] { port.BytesWaiting(); }), 10);
    EXPECT_EQ(CodeOf([&] { port.ReceiveBytes(buffer, 8); }), 3);
    EXPECT_EQ(CodeOf([&] { port.SendText("U"); }), 2);
    EXPECT_EQ(CodeOf([&] { port.WaitForRxChar(500); }), 21);
    EXPECT_EQ(port.ReadByteTimed(500), -72);
  });
  EXPECT_LT(ms, 300);
  EXPECT_TRUE(port.Connected());
  EXPECT_NO_THROW(port.ClosePort());
}

}  // namespace
}  // namespace kavel
