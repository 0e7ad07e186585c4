// Baud texts, error messages, and the port object's own rules (checked against a fake device).
#include <cerrno>

#include <gtest/gtest.h>

#include "link/BaudRate.h"
#include "link/EComPort.h"
#include "link/NAVOPort.h"
#include "link/TraceComDevice.h"
#include "link/Transient.h"
#include "tests/support/FakeComDevice.h"

namespace kavel {
namespace {

using test::TFakeComDevice;
using test::TVirtualClock;

TEST(BaudRateText, EveryRateHasItsTextAndBackAgain) {
  struct Row {
    TBaudRate rate;
    const char* text;
    std::uint32_t bits;
  };
  const Row rows[] = {{brCustom, "Custom", 0},      {br110, "110", 110},
                      {br300, "300", 300},          {br600, "600", 600},
                      {br1200, "1200", 1200},       {br2400, "2400", 2400},
                      {br4800, "4800", 4800},       {br9600, "9600", 9600},
                      {br14400, "14400", 14400},    {br19200, "19200", 19200},
                      {br38400, "38400", 38400},    {br56000, "56000", 56000},
                      {br57600, "57600", 57600},    {br115200, "115200", 115200},
                      {br128000, "128000", 128000}, {br256000, "256000", 256000}};
  for (const auto& row : rows) {
    EXPECT_EQ(BaudRateText(row.rate), row.text);
    EXPECT_EQ(BaudRateFromText(row.text), row.rate) << row.text;
    EXPECT_EQ(BaudRateBits(row.rate), row.bits) << row.text;
  }
}

TEST(BaudRateFromText, IgnoresCaseAndFallsBackTo9600) {
  EXPECT_EQ(BaudRateFromText("custom"), brCustom);
  EXPECT_EQ(BaudRateFromText("CUSTOM"), brCustom);
  EXPECT_EQ(BaudRateFromText("19200"), br19200);
  EXPECT_EQ(BaudRateFromText(""), br9600);
  EXPECT_EQ(BaudRateFromText("12345"), br9600);
  EXPECT_EQ(BaudRateFromText(" 19200"), br9600);  // no trimming: not a speed text
  EXPECT_EQ(BaudRateFromText("1920"), br9600);
}

TEST(EComPortMessage, CodeTextWithAndWithoutSystemNumber) {
  EXPECT_STREQ(EComPort(1, 2).what(), "Unable to open com port (win error code: 2)");
  EXPECT_STREQ(EComPort(2, 5).what(), "WriteFile function failed (win error code: 5)");
  EXPECT_STREQ(EComPort(21, std::nullopt).what(), "WaitForEvent method failed");
  EXPECT_EQ(EComPort(23, 13).Code(), 23);
  EXPECT_EQ(EComPort(23, 13).Errno(), 13);
}

TEST(NAVOPortConstruction, NamesThePortAndLimitsTheAnswerTimeout) {
  TNAVOPort port0(0, 0);
  EXPECT_EQ(port0.Port(), "COM0");
  EXPECT_FALSE(port0.Connected());
  EXPECT_EQ(port0.BaudRate(), br9600);
  EXPECT_EQ(TNAVOPort(3, 5000).AnswerTimeout(), 3000);
  EXPECT_EQ(TNAVOPort(3, 3000).AnswerTimeout(), 3000);
  EXPECT_EQ(TNAVOPort(3, -5).AnswerTimeout(), 0);
  EXPECT_EQ(TNAVOPort(3, 250).AnswerTimeout(), 250);
  EXPECT_EQ(TNAVOPort(12, 0).Port(), "COM12");
}

// Every operation on a closed port fails with its own code; the quiet services of the
// controller protocol return the failure instead of throwing it.
TEST(ClosedPort, OperationsFailWithTheirCodes) {
  TNAVOPort port(1, 0);
  auto codeOf = [](auto&& f) {
    try {
      f();
    } catch (const EComPort& e) {
      return e.Code();
    }
    return 0;
  };
  char buffer[4];
  EXPECT_EQ(codeOf([&] { port.BytesWaiting(); }), 10);
  EXPECT_EQ(codeOf([&] { port.ReceiveBytes(buffer, 4); }), 3);
  EXPECT_EQ(codeOf([&] { port.SendText("U"); }), 2);
  EXPECT_EQ(codeOf([&] { port.SendBytes(buffer, 1); }), 2);
  EXPECT_EQ(codeOf([&] { port.PurgeBuffers(true, true); }), 5);
  EXPECT_EQ(codeOf([&] { port.WaitForRxChar(10); }), 21);
  EXPECT_EQ(port.SendText(""), 0u);
  const TKtnOutcome purged = port.PurgeQuietly();
  EXPECT_EQ(purged.result, TKtnResult::krPortFailed);
  EXPECT_EQ(purged.portFailure, "PurgeComm function failed (win error code: 9)");
  const TKtnRead read = port.ReadByteTimed(0);
  EXPECT_EQ(read.result, TKtnResult::krPortFailed);
  EXPECT_EQ(read.portFailure, "ClearCommError function failed (win error code: 9)");
}

struct FakePort {
  TVirtualClock clock;
  TFakeComDevice* device = nullptr;
  std::unique_ptr<TNAVOPort> port;
  FakePort() {
    auto d = std::make_unique<TFakeComDevice>(clock);
    device = d.get();
    port = std::make_unique<TNAVOPort>(0, 0, std::move(d));
  }
};

TEST(PortProperties, SameValueDoesNothingNewValueGoesOnTheLine) {
  FakePort f;
  f.port->SetPort("COM2");
  f.port->OpenPort();
  EXPECT_EQ(f.device->openedName, "COM2");
  EXPECT_EQ(f.device->line.bitsPerSecond, 9600u);
  EXPECT_EQ(f.device->line.dataBits, 8);
  int lineChanges = f.device->setLineCount;
  f.port->SetBaudRate(br9600);
  EXPECT_EQ(f.device->setLineCount, lineChanges);
  f.port->SetBaudRate(br14400);
  EXPECT_EQ(f.device->setLineCount, lineChanges + 1);
  EXPECT_EQ(f.device->line.bitsPerSecond, 14400u);

  int opens = f.device->openCount;
  f.port->SetPort("COM2");
  EXPECT_EQ(f.device->openCount, opens);
  f.port->SetPort("COM3");
  EXPECT_EQ(f.device->openCount, opens + 1);
  EXPECT_EQ(f.device->openedName, "COM3");
  EXPECT_TRUE(f.port->Connected());
  EXPECT_EQ(f.device->line.bitsPerSecond, 14400u);  // the last rate survives the reopening

  // The modem lines a boot entry set stay through a speed and a reopening; another port's
  // flow control decides its own.
  EXPECT_EQ(f.device->lineLevels, "dr");
  f.port->SetModemLines(true, false);
  f.port->SetBaudRate(br9600);
  EXPECT_EQ(f.device->lineLevels, "Dr");
  f.port->ClosePort();
  f.port->OpenPort();
  EXPECT_EQ(f.device->lineLevels, "Dr");
  f.port->SetPort("COM4");
  EXPECT_EQ(f.device->lineLevels, "dr");
}

TEST(PortProperties, RateSetWhileClosedIsAppliedAtOpening) {
  FakePort f;
  f.port->SetBaudRate(br38400);
  EXPECT_EQ(f.device->setLineCount, 0);
  f.port->OpenPort();
  EXPECT_EQ(f.device->line.bitsPerSecond, 38400u);
}

TEST(PortOpening, FailedSettingClosesAgainAndKeepsObserversDark) {
  FakePort f;
  std::vector<bool> seen;
  f.port->AddObserver([&](bool open) { seen.push_back(open); });
  f.device->FailFrom("SetLine", EINVAL);
  try {
    f.port->OpenPort();
    FAIL() << "no error";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 7);
    EXPECT_STREQ(e.what(), "SetCommState function failed (win error code: 22)");
  }
  EXPECT_FALSE(f.port->Connected());
  EXPECT_TRUE(seen.empty());
}

TEST(PortOpening, ObserversHearOpenAndCloseOnce) {
  FakePort f;
  std::vector<bool> seen;
  int handle = f.port->AddObserver([&](bool open) { seen.push_back(open); });
  f.port->OpenPort();
  f.port->OpenPort();  // already open: nothing
  f.port->ClosePort();
  f.port->ClosePort();
  EXPECT_EQ(seen, (std::vector<bool>{true, false}));
  f.port->RemoveObserver(handle);
  f.port->OpenPort();
  EXPECT_EQ(seen.size(), 2u);
}

TEST(ReadByteTimed, TimeoutHasAFloorOf30AndANulByteIsAValue) {
  FakePort f;
  f.port->OpenPort();
  auto start = f.clock.NowMs();
  EXPECT_EQ(f.port->ReadByteTimed(0).result, TKtnResult::krNoByte);
  EXPECT_EQ(f.clock.NowMs() - start, 30);
  start = f.clock.NowMs();
  EXPECT_EQ(f.port->ReadByteTimed(-10).result, TKtnResult::krNoByte);
  EXPECT_EQ(f.clock.NowMs() - start, 30);
  f.device->Deliver(std::string(1, '\0'));
  const TKtnRead nul = f.port->ReadByteTimed(0);
  EXPECT_EQ(nul.result, TKtnResult::krOk);
  EXPECT_EQ(nul.byte, 0);
  f.device->DeliverAt(f.clock.NowMs() + 20, "\xAB");
  const TKtnRead late = f.port->ReadByteTimed(50);
  EXPECT_EQ(late.result, TKtnResult::krOk);
  EXPECT_EQ(late.byte, 0xAB);
  f.device->FailFrom("BytesWaiting", EIO);
  const TKtnRead failed = f.port->ReadByteTimed(50);
  EXPECT_EQ(failed.result, TKtnResult::krPortFailed);
  EXPECT_EQ(failed.portFailure, "ClearCommError function failed (win error code: 5)");
}

TEST(PortReads, ReadTimeoutIs20PerByteAnd40) {
  FakePort f;
  f.port->OpenPort();
  char buffer[100];
  auto start = f.clock.NowMs();
  EXPECT_EQ(f.port->ReceiveBytes(buffer, 100), 0u);
  EXPECT_EQ(f.clock.NowMs() - start, 2040);
  f.device->FailFrom("Read", EIO);
  try {
    f.port->ReceiveBytes(buffer, 1);
    FAIL() << "no error";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 3);
  }
  EXPECT_TRUE(f.port->Connected());  // a failed read leaves the port open
}

// A signal or a busy driver at any device call: the call is made again, going on from the
// byte a read or write cut short had moved, up to the bound; beyond it the error is the port's.
TEST(PortTransientErrors, RetriedUpToTheBoundThenAPortError) {
  const auto reopen = [](FakePort& f) {
    f.port->ClosePort();
    f.port->OpenPort();
  };
  char buffer[4];
  const std::tuple<const char*, int, std::function<void(FakePort&)>> rows[] = {
      {"Open", CE_OpenFailed, reopen},
      {"SetQueueSizes", CE_SetupComFailed, reopen},
      {"SetLine", CE_SetStateFailed, [](FakePort& f) { f.port->SetBaudRate(br19200); }},
      {"BytesWaiting", CE_ClearComFailed, [](FakePort& f) { f.port->BytesWaiting(); }},
      {"Read", CE_ReadFailed, [&](FakePort& f) {
         f.device->DeliverAt(f.clock.NowMs() + 10, "abc");
         EXPECT_EQ(std::string(buffer, f.port->ReceiveBytes(buffer, 4)), "abc");
       }},
      {"Write", CE_WriteFailed, [](FakePort& f) {
         f.port->SendText(":020000030500F6");
         EXPECT_EQ(f.device->written, ":020000030500F6");
       }},
      {"Purge", CE_PurgeFailed, [](FakePort& f) { f.port->PurgeBuffers(true, true); }},
      {"WaitForInput", CE_WaitFailed, [](FakePort& f) { f.port->WaitForRxChar(50); }},
  };
  for (int err : {EINTR, EAGAIN}) {
    for (const auto& [call, code, run] : rows) {
      for (int failures : {kTransientTries - 1, kTransientTries}) {
        SCOPED_TRACE(std::string(call) + " errno " + std::to_string(err) + " x" +
                     std::to_string(failures));
        FakePort f;
        f.port->OpenPort();
        f.device->FailTimes(call, err, failures);
        std::optional<int> seen;
        try {
          run(f);
        } catch (const EComPort& e) {
          EXPECT_EQ(e.Code(), code);
          seen = e.Errno();
        }
        EXPECT_EQ(seen, failures < kTransientTries ? std::nullopt : std::optional<int>(err));
      }
    }
    // A read cut short after a byte came is a read of that byte.
    FakePort f;
    f.port->OpenPort();
    f.device->Deliver("abc");
    f.device->FailTimes("Read", err, kTransientTries);
    EXPECT_EQ(f.port->ReceiveBytes(buffer, 4), 1u) << err;
  }
}

TEST(PortWrites, ARecordCutShortIsAWriteErrorAndTheTraceShowsWhatWent) {
  TVirtualClock clock;
  auto fake = std::make_unique<TFakeComDevice>(clock);
  TFakeComDevice& device = *fake;
  std::FILE* trace = std::tmpfile();
  ASSERT_NE(trace, nullptr);
  TNAVOPort port(1, 0, std::make_unique<TTraceComDevice>(std::move(fake), trace, clock));
  port.OpenPort();
  device.writeLimit = 5;
  try {
    port.SendText(":020000030500F6");
    FAIL() << "no error";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), CE_WriteFailed);
    EXPECT_NE(std::string(e.what()).find("only 5 of 15 bytes were sent"), std::string::npos) << e.what();
  }
  port.ClosePort();
  std::rewind(trace);
  std::string text(4096, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), trace));
  std::fclose(trace);
  EXPECT_NE(text.find(" > 9600 ':0200' error: Connection timed out\n# only 5 of 15 bytes were written\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(device.written, ":0200");
}

}  // namespace
}  // namespace kavel
