// Synchronization against the simulated chip in virtual time, checked on the wire.
#include <cerrno>
#include <functional>

#include <gtest/gtest.h>

#include "link/EComPort.h"
#include "tests/support/FakeComDevice.h"
#include "tests/support/VirtualLine.h"

namespace kavel {
namespace {

using Sync = test::VirtualLine;

TEST_F(Sync, BlindModeWritesTwoUsDApartAndTrustsThem) {
  Connect(nullptr);  // nothing on the line
  host.options.delay = 75;
  host.progress = "before";
  const auto start = clock.NowMs();
  EXPECT_EQ(ops->Synchronize().kind, skUnconfirmed);
  // Each "U" leaves the line in 1.04 ms (2 ms on the millisecond clock), then D ms.
  EXPECT_EQ(device->WireLog(), (std::vector<TWireEntry>{{start, '>', 9600, "U"}, {start + 77, '>', 9600, "U"}}));
  EXPECT_EQ(clock.sleeps, (std::vector<int>{75, 75}));
  EXPECT_EQ(host.progressLog, (std::vector<std::string>{"Synchronizing ...", "before"}));
  EXPECT_EQ(host.options.targetBaud, br9600);  // blind mode leaves the list alone
}

TEST_F(Sync, ConfirmedModeHuntsTheSpeedsInTheirOrder) {
  const std::vector<unsigned> wholeScan{9600, 9600, 38400, 38400, 19200, 19200, 14400, 14400, 9600, 9600, 4800, 4800};
  const std::string failed = "Com Port Error: Flash not synchronized";
  struct Case {
    const char* name;
    bool chipThere;
    std::function<void(sim::TSimChipOptions&)> chip;
    std::vector<unsigned> uSpeeds;      // where the "U" went out, in order
    TBaudRate endsAt;
    std::string box;
  };
  const Case cases[] = {
      {"the one speed the chip takes", true, [](auto& o) { o.acceptedSpeeds = {14400}; },
       {9600, 9600, 38400, 38400, 19200, 19200, 14400}, br14400, "OK: Flash synchronized: 14400"},
      // Noise comes before every reply; the echo of a repeated "U" is no reply.
      {"noise before the U fails that attempt though the U came", true, [](auto& o) { o.noise = "\x01"; },
       {9600, 9600}, br9600, "OK: Flash synchronized: 9600"},
      {"nothing connected", false, nullptr, wholeScan, br4800, failed},
      // The "U" comes back, the set-clock record too, but no ".".
      {"a loop-back plug", true, [](auto& o) { o.loopBack = true; }, wholeScan, br4800, failed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::TSimChipOptions o;
    if (c.chip) c.chip(o);
    Connect(c.chipThere ? std::make_unique<sim::TSimChip>(o) : nullptr);
    host = test::TNullHost{};
    host.options.waitForConfirmation = true;
    const auto start = clock.NowMs();
    EXPECT_EQ(ops->BSynchroClick().Ok(), c.box.starts_with("OK")) << c.box;
    EXPECT_EQ(SpeedsOfWrites("U"), c.uSpeeds);
    EXPECT_EQ(port->BaudRate(), c.endsAt);
    EXPECT_EQ(host.options.targetBaud, c.endsAt);
    EXPECT_EQ(host.boxes, std::vector<std::string>{c.box});
    EXPECT_EQ(host.requests.at(0).style, 0u);
    if (std::string(c.name).rfind("noise", 0) == 0) {
      EXPECT_EQ(device->WireLog().at(1), (TWireEntry{device->WireLog().at(1).atMs, '<', 9600, "\x01U"}));
    }
    if (c.box == failed) {
      // Twelve waits of 150 ms and eleven pauses of 100 ms, and the time the bytes take.
      EXPECT_GE(clock.NowMs() - start, 12 * 150 + 11 * 100);
      EXPECT_LT(clock.NowMs() - start, 12 * 150 + 11 * 100 + 12 * 2 * 150);
    } else {
      EXPECT_EQ(SpeedsOfWrites(":0100000210ED"), std::vector<unsigned>{BaudRateBits(c.endsAt)});
      EXPECT_EQ(chip->ClockValue(), 0x10);
    }
  }
}

// The session's plans: fast speeds first, a pinned speed alone, and what a failure says.
TEST_F(Sync, TheSessionTriesWhatItsPlanSaysAndNamesWhatItTried) {
  const struct {
    const char* name;
    std::function<void(sim::TSimChipOptions&)> chip;
    std::function<void(TSyncPlan&)> plan;
    std::vector<unsigned> uSpeeds;
    TStatusKind kind;
    std::string says;
  } cases[] = {
      {"fast speeds first, twice each", [](auto& o) { o.acceptedSpeeds = {57600}; },
       [](TSyncPlan& p) { p.fast = {br115200, br57600, br38400}; }, {115200, 115200, 57600}, skOk, ""},
      {"a pinned speed alone", [](auto& o) { o.acceptedSpeeds = {9600}; },
       [](TSyncPlan& p) {
         p.first = br19200;
         p.scan = false;
       },
       {19200, 19200}, skNoAnswer, "not synchronized: no speed answered (tried 19200 bit/s)"},
      {"a loop-back plug", [](auto& o) { o.loopBack = true; }, [](TSyncPlan& p) { p.scan = false; }, {9600, 9600},
       skNoAnswer, "the line echoes what is sent: a loop-back plug, or the adapter's TX and RX joined"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::TSimChipOptions o;
    c.chip(o);
    Connect(std::make_unique<sim::TSimChip>(o));
    TSyncPlan plan;
    c.plan(plan);
    TSyncResult result;
    const TIspStatus status = session->Synchronize(plan, result);
    EXPECT_EQ(status.kind, c.kind) << status.detail;
    EXPECT_NE(status.detail.find(c.says), std::string::npos) << status.detail;
    EXPECT_EQ(SpeedsOfWrites("U"), c.uSpeeds);
    EXPECT_EQ(result.confirmed, c.kind == skOk);
    EXPECT_EQ(result.echoes, std::string(c.name) == "a loop-back plug");
  }
}

TEST_F(Sync, APortThatCannotBeOpenedGivesTheOpenBoxThenNotSynchronized) {
  Connect(nullptr);
  port->ClosePort();
  device->SetPortName("COM9");  // COM1 is not there
  host.progress = "kept";
  EXPECT_EQ(ops->BSynchroClick().kind, skPortFailed);
  EXPECT_EQ(host.boxes, (std::vector<std::string>{"Open COM1 port: Open port error",
                                                  "Com Port Error: Flash not synchronized"}));
  EXPECT_TRUE(host.progressLog.empty());
  EXPECT_EQ(host.portStateShown, 1);
  EXPECT_TRUE(device->WireLog().empty());
}

TEST(SyncFailure, APortErrorOnTheWayRestoresTheStatusTextAndTheSpeedList) {
  TVirtualClock clock;
  test::TNullHost host;
  auto fake = std::make_unique<test::TFakeComDevice>(clock);
  test::TFakeComDevice* device = fake.get();
  TNAVOPort port(1, 0, std::move(fake));
  port.OpenPort();
  TIspOperations ops(port, clock, host);
  host.options.waitForConfirmation = true;
  host.options.targetBaud = br19200;
  host.progress = "kept";
  device->FailFrom("Write", EIO, clock.NowMs() + 300);  // during the third attempt
  EXPECT_EQ(ops.Synchronize().kind, skPortFailed);
  // The port's whole message, in the general error report, once the operation has given
  // back the status text.
  ASSERT_EQ(host.boxes.size(), 1u);
  EXPECT_TRUE(host.boxes[0].starts_with("Kavel ISP 2.6.1: WriteFile function failed")) << host.boxes[0];
  EXPECT_EQ(host.requests[0].style, kMbIconStop);
  EXPECT_EQ(host.progress, "kept");
  EXPECT_EQ(host.options.targetBaud, br38400);  // the speed the port was at
}

}  // namespace
}  // namespace kavel
