// The communication controller's protocol: frames byte for byte, the receiver's rules, the
// timer, and the suspension against the simulated controller on a line in virtual time.
#include <cerrno>

#include <gtest/gtest.h>

#include "link/EComPort.h"
#include "link/KTNFrames.h"
#include "sim/SimLine.h"
#include "tests/support/FakeComDevice.h"
#include "tests/support/VirtualLine.h"

namespace kavel {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(KtnFrames, RequestsAndRepliesByteForByte) {
  EXPECT_EQ(KtnRequestFrame(kKtnAttention), (Bytes{0xFF, 0xFF, 0x62, 0x42, 0x13, 0x61, 0x18}));
  EXPECT_EQ(KtnRequestFrame(kKtnReadMode), (Bytes{0xFF, 0xFF, 0x62, 0x42, 0x13, 0x6D, 0x24}));
  EXPECT_EQ(KtnRequestFrame(kKtnReadState), (Bytes{0xFF, 0xFF, 0x62, 0x42, 0x13, 0x71, 0x28}));
  EXPECT_EQ(KtnRequestFrame(kKtnReadConfig), (Bytes{0xFF, 0xFF, 0x62, 0x42, 0x13, 0x6F, 0x26}));
  const TControllerConfig config{0x04, 0x00, 0x12, 0x34, 0, 0, 0, 0, 0x56, 0x78, 0x9A, 0xBC};
  const TControllerConfig suspended = SuspendedConfig(config);
  EXPECT_EQ(suspended, (TControllerConfig{0x05, 0x00, 0x12, 0x34, 0xFF, 0xFF, 0xFF, 0xFF, 0x56,
                                          0x78, 0x9A, 0xBC}));
  const Bytes write = KtnRequestFrame(kKtnWriteConfig, suspended);
  ASSERT_EQ(write.size(), 6u + 12u + 1u);
  EXPECT_EQ(write.back(), (0xB7 + 0x70 + 0x05 + 0x12 + 0x34 + 4 * 0xFF + 0x56 + 0x78 + 0x9A + 0xBC) & 0xFF);
  EXPECT_EQ(KtnReplyFrame(kKtnAck, Bytes{0x61}), (Bytes{0x42, 0x62, 0x13, 0x2B, 0x61, 0x43}));
}

TEST(KtnFrames, ReceiverTakesRepliesApart) {
  const Bytes ack = KtnReplyFrame(kKtnAck, Bytes{0x61});
  auto with = [](Bytes before, const Bytes& frame, Bytes after = {}) {
    before.insert(before.end(), frame.begin(), frame.end());
    before.insert(before.end(), after.begin(), after.end());
    return before;
  };
  Bytes badSum = ack;
  badSum.back() ^= 0x01;
  struct Case {
    const char* name;
    Bytes bytes;
    std::size_t expiredFrom;  // bytes from this index on come after the time is up
    TKtnResult result;
    bool framed;
    std::size_t taken;  // bytes fed when it ended
  };
  const Case cases[] = {
      {"clean", ack, 99, TKtnResult::krOk, true, ack.size()},
      {"noise first", with({0x00, 0x17, 0xFF, 0x62}, ack), 99, TKtnResult::krOk, true, 4 + ack.size()},
      {"repeated 42", with({0x42, 0x42}, Bytes(ack.begin() + 1, ack.end())), 99, TKtnResult::krOk, true, 1 + ack.size()},
      {"42 62 42 62 13", with({0x42, 0x62}, ack), 99, TKtnResult::krOk, true, 2 + ack.size()},
      {"wrong sum", badSum, 99, TKtnResult::krChecksum, true, ack.size()},
      {"late stranger byte", {0x10, 0x20, 0x30}, 1, TKtnResult::krNoFrame, false, 2},
      {"late lead-in goes on", ack, 2, TKtnResult::krOk, true, ack.size()},
      {"late break of the lead-in", {0x42, 0x62, 0x77}, 2, TKtnResult::krNoFrame, false, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TFrameReceiver receiver(1);
    std::optional<TKtnResult> result;
    std::size_t taken = 0;
    while (taken < c.bytes.size() && !result) {
      result = receiver.Feed(TKtnRead::Byte(c.bytes[taken]), taken >= c.expiredFrom);
      ++taken;
    }
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, c.result);
    EXPECT_EQ(taken, c.taken);
    EXPECT_EQ(receiver.Framed(), c.framed);
    if (c.framed) {
      EXPECT_EQ(receiver.ReplyCode(), kKtnAck);
      EXPECT_EQ(receiver.Data(), Bytes{0x61});
    } else {
      EXPECT_EQ(receiver.ReplyCode(), 0);
    }
  }
  // A read without a byte ends it at once with the read's own result, and it stays ended.
  for (TKtnResult why : {TKtnResult::krNoByte, TKtnResult::krOverflow, TKtnResult::krPortFailed}) {
    TFrameReceiver failed(1);
    EXPECT_EQ(failed.Feed(TKtnRead::Byte(0x42), false), std::nullopt);
    EXPECT_EQ(failed.Feed(TKtnRead::Failed(why), false), why);
    EXPECT_EQ(failed.Feed(TKtnRead::Byte(0x62), false), std::nullopt);
  }
}

TEST(KtnFrames, TimerNeverShorterThan30AndStrictlyGreater) {
  TVirtualClock clock;
  for (const auto& [asked, limit] : std::vector<std::pair<int, int>>{{10, 30}, {-5, 30}, {30, 30}, {31, 31}, {80, 80}}) {
    TNAVOTimer timer(clock, asked);
    EXPECT_EQ(timer.Limit(), limit);
    clock.SleepMs(limit);
    EXPECT_FALSE(timer.Expired()) << asked;  // exactly the limit is not past it
    clock.SleepMs(1);
    EXPECT_TRUE(timer.Expired()) << asked;
  }
}

class Controller : public test::VirtualLine {
 protected:
  // The chip and, unless absent, a controller with these options on the line.
  void Line(std::optional<sim::TSimControllerOptions> ktn, sim::TSimChipOptions chipOptions = {}) {
    controller = ktn ? std::make_unique<sim::TSimController>(*ktn) : nullptr;
    ConnectChip(std::move(chipOptions));
    host = test::TNullHost{};
  }
  // How often the request frame of code went out, and at which speeds.
  std::vector<unsigned> RequestSpeeds(std::uint8_t code, std::span<const std::uint8_t> data = {}) const {
    const Bytes frame = KtnRequestFrame(code, data);
    return SpeedsOfWrites(sim::Escape(std::string(frame.begin(), frame.end())));
  }
  TKTNPort& Ktn() { return port->KTNPort(); }
};

TEST_F(Controller, ASilentLineHearsTheFirstAttentionInPassFiveAndTwelveInAll) {
  Line(std::nullopt);
  const auto start = clock.NowMs();
  EXPECT_EQ(Ktn().FindController().result, TKtnResult::krNoByte);
  const auto writes = Writes();
  ASSERT_EQ(writes.size(), 12u);
  // Four listening passes of three empty 30 ms byte waits each, then one more listen.
  EXPECT_GE(writes[0].first - start, 5 * 90);
  EXPECT_LE(writes[0].first - start, 5 * 90 + 20);
  EXPECT_NEAR(static_cast<double>(clock.NowMs() - start), 2500, 150);
  // A window of 10 ms or less is 70 ms: three empty byte waits.
  const auto before = clock.NowMs();
  EXPECT_EQ(Ktn().ReceiveFrame(1, 10).result, TKtnResult::krNoByte);
  EXPECT_EQ(clock.NowMs() - before, 90);
}

TEST_F(Controller, RepliesArePickedOutOfWhatElseIsOnTheLine) {
  struct Case {
    const char* name;
    sim::TSimControllerOptions options;
    TKtnResult result;
  };
  auto make = [](auto change) {
    sim::TSimControllerOptions o;
    o.pollIntervalMs = 0;
    change(o);
    return o;
  };
  const Case cases[] = {
      {"noise and 42 42 62 13", make([](auto& o) { o.noise = "\x17\x42\x42\x62"; }), TKtnResult::krOk},
      {"eleven frames for others", make([](auto& o) { o.otherFramesBeforeReply = 11; }), TKtnResult::krOk},
      {"twelve frames for others", make([](auto& o) { o.otherFramesBeforeReply = 12; }), TKtnResult::krWrongReply},
      {"wrong sum", make([](auto& o) { o.badChecksumReplies = {1}; }), TKtnResult::krChecksum},
      {"too late", make([](auto& o) { o.replyDelayMs = 200; }), TKtnResult::krNoByte},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Line(c.options);
    Ktn().SendFrame(kKtnReadState);
    const TKTNPort::TFrameResult reply = Ktn().ReceiveReply(kKtnReadState, 1, 70);
    EXPECT_EQ(reply.result, c.result);
    if (c.result == TKtnResult::krOk) {
      EXPECT_EQ(reply.data, Bytes{1});
    }
  }
}

TEST_F(Controller, SuspensionOutcomes) {
  struct Case {
    const char* name;
    std::optional<sim::TSimControllerOptions> options;
    bool suspended;   // the result, and the controller's state afterwards
    bool errorBox;
    std::size_t reads, writes;  // "o" and "p" frames sent
    TStatusKind status;
  };
  auto make = [](auto change) {
    sim::TSimControllerOptions o;
    change(o);
    return o;
  };
  const Case cases[] = {
      {"answers", sim::TSimControllerOptions{}, true, false, 1, 1, skOk},
      {"nobody there", std::nullopt, false, false, 0, 0, skNoAnswer},
      {"state 2", make([](auto& o) { o.state = 2; }), false, false, 0, 0, skRefused},
      {"state 4", make([](auto& o) { o.state = 4; }), false, false, 0, 0, skRefused},
      {"state 5", make([](auto& o) { o.state = 5; }), true, false, 1, 1, skOk},
      {"already suspended", make([](auto& o) { o.suspended = true; }), false, false, 1, 0, skOk},
      {"refuses twice", make([](auto& o) { o.refuseWrites = 2; }), true, false, 1, 3, skOk},
      {"refuses always", make([](auto& o) { o.refuseWrites = 99; }), false, true, 1, 5, skNoAnswer},
      // Replies: 1 the attention, 2 "m", 3 "q", 4 the first "o".
      {"bad sum on the configuration", make([](auto& o) { o.badChecksumReplies = {4}; }), true, false, 2, 1, skOk},
      {"stops answering the state", make([](auto& o) { o.badChecksumReplies = {3, 4, 5, 6, 7}; }), false, true, 0, 0,
       skNoAnswer},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Line(c.options);
    port->SetBaudRate(br19200);
    clock.sleeps.clear();
    ops->KTNSuspended = false;
    const TIspStatus status = ops->SuspendKTN();
    EXPECT_EQ(ops->KTNSuspended, c.suspended);
    EXPECT_EQ(status.kind, c.status) << status.detail;
    EXPECT_EQ(host.progressLog.at(0), "Looking for KTN ...");
    EXPECT_EQ(host.boxes, c.errorBox ? std::vector<std::string>{"Error: Error 301\rKTN do not answer!"}
                                     : std::vector<std::string>{});
    if (c.errorBox) {
      EXPECT_EQ(host.requests[0].style, kMbIconStop);
    }
    EXPECT_EQ(RequestSpeeds(kKtnReadConfig).size(), c.reads);
    if (controller) {
      EXPECT_EQ(controller->Suspended(), c.suspended || (c.options && c.options->suspended));
      EXPECT_EQ(RequestSpeeds(kKtnWriteConfig, SuspendedConfig(controller->Config())).size(), c.writes);
    }
    for (unsigned speed : RequestSpeeds(kKtnAttention)) EXPECT_EQ(speed, 9600u);
    EXPECT_EQ(port->BaudRate(), br19200);
    EXPECT_EQ(clock.sleeps.back(), 750);
  }
}

TEST_F(Controller, APortThatFailsIsNoSilentControllerAndAStrayByteNoFrame) {
  auto fake = std::make_unique<test::TFakeComDevice>(clock);
  test::TFakeComDevice& fakeDevice = *fake;
  TNAVOPort line(1, 0, std::move(fake));
  line.OpenPort();
  TIspOperations lineOps(line, clock, host);
  // A zero byte after the time is up is the last byte read, not a frame.
  fakeDevice.DeliverAt(clock.NowMs() + 80, std::string(1, '\0'));
  const TKTNPort::TFrameResult stray = line.KTNPort().ReceiveFrame(1, 10);
  EXPECT_EQ(stray.result, TKtnResult::krNoFrame);
  EXPECT_FALSE(stray.framed);
  // The search ends at the failure, with the port's message, and asks nobody's attention.
  fakeDevice.FailFrom("BytesWaiting", EIO);
  const TIspStatus status = lineOps.SuspendKTN();
  EXPECT_FALSE(lineOps.KTNSuspended);
  EXPECT_EQ(status.kind, skPortFailed) << status.detail;
  EXPECT_EQ(status.detail,
            "no controller answered on the line (the port failed: ClearCommError function failed (win error code: 5))");
  EXPECT_EQ(fakeDevice.written, "");
}

TEST_F(Controller, AFailingPortStillGetsItsSpeedBackAndThePause) {
  auto fake = std::make_unique<test::TFakeComDevice>(clock);
  fake->FailFrom("Write", EIO);
  TNAVOPort failing(1, 0, std::move(fake));
  failing.OpenPort();
  failing.SetBaudRate(br38400);
  TIspOperations failingOps(failing, clock, host);
  clock.sleeps.clear();
  // The first "a" cannot be written: the general error report, after the pause.
  host.onBox = [&](const TMessageBoxRequest&) { EXPECT_EQ(clock.sleeps.back(), 750); };
  EXPECT_EQ(failingOps.SuspendKTN().kind, skPortFailed);
  ASSERT_EQ(host.boxes.size(), 1u);
  EXPECT_TRUE(host.boxes[0].starts_with("Kavel ISP 2.6.1: WriteFile function failed")) << host.boxes[0];
  EXPECT_EQ(failing.BaudRate(), br38400);
  EXPECT_EQ(clock.sleeps.back(), 750);
}

}  // namespace
}  // namespace kavel
