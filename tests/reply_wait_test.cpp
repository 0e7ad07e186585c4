// Command records and the reply wait, against a scripted port in virtual time.
#include <cerrno>

#include <gtest/gtest.h>

#include "isp/IspEngine.h"
#include "isp/Records.h"
#include "link/EComPort.h"
#include "tests/support/FakeComDevice.h"
#include "tests/support/NullHost.h"

namespace kavel {
namespace {

using test::TFakeComDevice;
using test::TVirtualClock;

TEST(AddChecksum, KnownRecordsOfTheBootLoader) {
  const std::pair<const char*, const char*> cases[] = {
      {"0100000210", "0100000210ED"},          // set clock 16
      {"0100000307", "0100000307F5"},          // whole-chip erase
      {"020000050700", "020000050700F2"},      // read security bits
      {"020000050701", "020000050701F1"},      // read status byte
      {"0500000400003FFF01", "0500000400003FFF01B8"},
      {"020000030400", "020000030400F7"},      // status byte 0
      {"020000030C00", "020000030C00EF"},      // block 0
      {"020000030C10", "020000030C10DF"},      // block 1
      {"020000030CF0", "020000030CF0FF"},      // block 15
      {"0100000000FF", "0100000000FF00"},      // sum 0x100: checksum is two digits, 00
      {"", "00"},
      {"00000001", "00000001FF"},              // end-of-file record
      {"0300000306028072", "030000030602807200"},  // already a complete record: sums to 0
  };
  for (auto [body, record] : cases) EXPECT_EQ(AddChecksum(body), record) << body;
}

TEST(AddChecksum, LowerCaseDigitsAreReadAndOutputIsUpperCase) {
  EXPECT_EQ(AddChecksum("0500000400003fff01"), "0500000400003fff01B8");
  EXPECT_EQ(AddChecksum("01000000ab"), "01000000ab54");
}

TEST(ClassifyReply, EachReplyCharacterAndTheRest) {
  EXPECT_EQ(ClassifyReply('.'), rcOk);
  EXPECT_EQ(ClassifyReply('R'), rcCrcError);
  EXPECT_EQ(ClassifyReply('X'), rcNotAllowed);
  EXPECT_EQ(ClassifyReply('\r'), rcNoAnswer);
  EXPECT_EQ(ClassifyReply('\0'), rcNoAnswer);
  EXPECT_EQ(ClassifyReply('r'), rcNoAnswer);
  EXPECT_EQ(ReplyClassWords(rcCrcError), "CRC error");
  EXPECT_EQ(ReplyClassWords(rcNotAllowed), "Not allowed operation");
  EXPECT_EQ(ReplyClassWords(rcNoAnswer), "Flash not answer");
  EXPECT_EQ(ReplyClassWords(rcOk), "");
}

class TestHost final : public test::TNullHost {
 public:
  explicit TestHost(TVirtualClock& clock) : m_clock(clock) {}
  void ProcessEvents() override {
    passTimes.push_back(m_clock.NowMs());
    if (duringEvents) duringEvents();
  }
  // Waits as a front end without a window does (TWireSpeedWait), or as the window.
  bool AtWireSpeed() const override { return wire; }
  void IdleWait(TNAVOPort& port, int timeoutMs) override {
    if (wire) {
      TWireSpeedWait().IdleWait(port, timeoutMs);
    } else {
      TNullHost::IdleWait(port, timeoutMs);
    }
  }
  bool wire = false;
  std::size_t EventPasses() const { return passTimes.size(); }
  std::vector<std::int64_t> passTimes;  // virtual time of each event pass
  std::function<void()> duringEvents;

 private:
  TVirtualClock& m_clock;
};

class ReplyWait : public ::testing::Test {
 protected:
  ReplyWait() {
    auto d = std::make_unique<TFakeComDevice>(clock);
    device = d.get();
    port = std::make_unique<TNAVOPort>(1, 0, std::move(d));
    port->OpenPort();
    engine = std::make_unique<TIspEngine>(*port, clock, host);
  }
  // The chip: echoes what is written and adds reply after delayMs.
  void ChipAnswers(const std::string& reply, int delayMs = 5) {
    device->onWrite = [this, reply, delayMs](const std::string& bytes) {
      device->DeliverAt(clock.NowMs() + 2, bytes);
      device->DeliverAt(clock.NowMs() + delayMs, reply);
    };
  }

  TVirtualClock clock;
  TFakeComDevice* device = nullptr;
  std::unique_ptr<TNAVOPort> port;
  TestHost host{clock};
  std::unique_ptr<TIspEngine> engine;
};

TEST_F(ReplyWait, AtWireSpeedTheReplyFollowsTheEchoAndIsTakenAtOnce) {
  const std::string record = ":020000030500F6";
  const struct {
    const char* name;
    bool wire;
    std::string before;  // waiting before the record is written
    std::string reply;   // after its echo
    char result;
    int maxMs;           // from writing to the end of the wait
    int timeoutMs = 1000;
  } cases[] = {
      {"the reply as it comes", true, "", ".", '.', 6},
      {"a line end left by the last reply", true, "\r\n", ".", '.', 6},
      {"a stray U and a controller's poll", true, "UX\x42\x62\x13\x3F\x30", "R", 'R', 6},
      // The time-out, and before the echo the line time of the record and its echo (15
      // characters at 9600 bit/s: 16 ms each way) and an adapter's latency (32 ms).
      {"nothing but a dot, no echo", true, "", "", '\0', 1000 + 2 * 16 + 32},
      {"the window's wait takes the old line end", false, "\r\n", ".", '\r', 60},
      // The chip carries the record out before it answers: no time-out races that.
      {"a time-out of 0 still gives the chip its time", true, "", ".", '.', 6, 0},
      {"... and no more", true, "", "", '\0', TIspEngine::kMinChipMs + 2 * 16 + 32, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    host.wire = c.wire;
    device->Deliver(c.before);
    if (std::string(c.name) == "nothing but a dot, no echo" || std::string(c.name) == "... and no more") {
      device->onWrite = [this](const std::string&) { device->DeliverAt(clock.NowMs() + 5, "."); };
    } else {
      ChipAnswers(c.reply);
    }
    const auto start = clock.NowMs();
    engine->SendRecord(record);
    EXPECT_EQ(engine->WaitForDot(c.timeoutMs).ch, c.result);
    EXPECT_LE(clock.NowMs() - start, c.maxMs);
    port->PurgeBuffers(true, true);
  }
}

TEST_F(ReplyWait, EndsOnEachReplyCharacterWithEchoInReplyText) {
  const std::pair<std::string, char> replies[] = {{".", '.'}, {"R", 'R'}, {"X", 'X'}, {"\r", '\r'}};
  for (const auto& [reply, expected] : replies) {
    ChipAnswers(reply);
    auto outcome = engine->GiveCommand(":0100000307F5", 14400, 9000, true);
    EXPECT_TRUE(outcome.awaited);
    EXPECT_EQ(outcome.reply.ch, expected);
    EXPECT_EQ(outcome.cls, ClassifyReply(expected));
    EXPECT_EQ(engine->ReplyText(), ":0100000307F5" + reply);
  }
  std::string fourRecords;
  for (int i = 0; i < 4; ++i) fourRecords += ":0100000307F5";
  EXPECT_EQ(device->written, fourRecords);
}

TEST_F(ReplyWait, WhatComesInDecidesTheCharacterAndTheReplyText) {
  struct Case {
    const char* name;
    std::vector<std::pair<int, std::string>> arrivals;  // after ms, bytes
    int timeoutMs;
    std::string awaited;  // "": WaitForDot's set
    char result;
    std::string replyText;
    std::vector<std::size_t> reads;  // the reads' sizes ({}: not checked)
    std::size_t leftWaiting;
  };
  const std::string bigEcho = ":FF0000" + std::string(514, '0');  // a 255-byte record's echo
  const Case cases[] = {
      {"a line end answers: no answer, all kept", {{0, "0010\r\n"}}, 1000, "", '\r', "0010\r", {}, 0},
      {"bytes after the terminator in the same read are dropped", {{0, "ab.cd"}}, 1000, "", '.', "ab.", {}, 0},
      {"more than 65 bytes take several rounds", {{0, std::string(100, 'z') + "."}}, 1000, "", '.',
       std::string(100, 'z') + ".", {65, 36}, 0},
      {"foreign characters keep the wait going", {{0, "U"}, {100, "\xFA."}}, 500, "", '.', "U\xFA.", {}, 0},
      {"a wait for one character hears only it", {{0, ".RX\rU"}}, 150, "U", 'U', ".RX\rU", {}, 0},
      // Rounds of 65 bytes outlast a 60 ms time-out; the round after it reads the rest.
      {"a long echo is still heard past the time-out", {{0, bigEcho + "."}}, 60, "", '.', bigEcho + ".", {}, 0},
      {"a reply in the round after the time-out is taken", {{0, std::string(100, 'e')}, {80, "R"}}, 60, "", 'R',
       std::string(100, 'e') + "R", {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    device->readSizes.clear();
    for (const auto& [after, bytes] : c.arrivals) device->DeliverAt(clock.NowMs() + after, bytes);
    const char result = (c.awaited.empty() ? engine->WaitForDot(c.timeoutMs) : engine->WaitForChar(c.timeoutMs, c.awaited)).ch;
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(engine->ReplyText(), c.replyText);
    if (!c.reads.empty()) { EXPECT_EQ(device->readSizes, c.reads); }
    EXPECT_EQ(port->BytesWaiting(), c.leftWaiting);
    port->PurgeBuffers(true, true);
  }
  // The next wait starts with an empty text.
  EXPECT_EQ(engine->WaitForDot(20).ch, '\0');
  EXPECT_EQ(engine->ReplyText(), "");
}

TEST_F(ReplyWait, SettlingPauseGathersEchoAndLateReplyInOneRead) {
  device->Deliver(":020000050701F1");
  device->DeliverAt(clock.NowMs() + 40, "FF.");
  EXPECT_EQ(engine->WaitForDot(480).ch, '.');
  EXPECT_EQ(engine->ReplyText(), ":020000050701F1FF.");
  EXPECT_EQ(device->readSizes, (std::vector<std::size_t>{18}));
  // The pause lets the window process its events as it goes.
  EXPECT_EQ(clock.sleeps, (std::vector<int>{10, 10, 10, 10, 10}));
  EXPECT_EQ(host.passTimes, (std::vector<std::int64_t>{1000, 1010, 1020, 1030, 1040}));
}

TEST_F(ReplyWait, NoInputEndsAfterTheTimeoutWithNothing) {
  auto start = clock.NowMs();
  EXPECT_EQ(engine->WaitForDot(150).ch, '\0');
  EXPECT_TRUE(engine->ReplyText().empty());
  EXPECT_GE(clock.NowMs() - start, 150);
  EXPECT_LE(clock.NowMs() - start, 150 + TIspEngine::kIdlePollMs);
  EXPECT_TRUE(engine->ReplyDeadlinePassed());
  // Idle rounds sleep in the port's wait instead of spinning: one event pass per idle poll.
  EXPECT_LE(host.EventPasses(), 150 / TIspEngine::kIdlePollMs + 2);
  EXPECT_GE(host.EventPasses(), 150 / TIspEngine::kIdlePollMs);
}

TEST_F(ReplyWait, ALineThatNeverGoesQuietEndsTheWaitSoonAfterItsTimeout) {
  // From 38400 bit/s (3.84 bytes a millisecond) up to a flood, for ten seconds.
  for (double bytesPerMs : {3.84, 11.52, 25.6, 200.0}) {
    for (int timeout : {60, 300, 301}) {
      host.passTimes.clear();
      device->Chatter(bytesPerMs, clock.NowMs() + 10000);
      const auto start = clock.NowMs();
      EXPECT_EQ(engine->WaitForDot(timeout).ch, '\0');
      const auto end = clock.NowMs();
      SCOPED_TRACE(std::to_string(bytesPerMs) + " bytes/ms, " + std::to_string(timeout) + " ms");
      EXPECT_GE(end - start, timeout);
      EXPECT_LE(end - start, timeout + 100);
      EXPECT_LE(engine->ReplyText().size(), TIspEngine::kReplyTextLimit);
      EXPECT_EQ(engine->ReplyText().find_first_not_of('z'), std::string::npos);
      // The window was served throughout.
      ASSERT_FALSE(host.passTimes.empty());
      EXPECT_LE(host.passTimes.front() - start, TIspEngine::kIdlePollMs);
      EXPECT_LE(end - host.passTimes.back(), TIspEngine::kIdlePollMs);
      for (std::size_t i = 1; i < host.passTimes.size(); ++i)
        EXPECT_LE(host.passTimes[i] - host.passTimes[i - 1], TIspEngine::kIdlePollMs);
      device->Chatter(0, 0);
      port->PurgeBuffers(true, true);
    }
  }
}

TEST_F(ReplyWait, ClosedPortGivesNothingAtOnceWithoutError) {
  port->ClosePort();
  auto start = clock.NowMs();
  EXPECT_EQ(engine->WaitForDot(1000).ch, '\0');
  EXPECT_EQ(clock.NowMs(), start);
  EXPECT_EQ(host.EventPasses(), 0);
}

TEST_F(ReplyWait, PortFailureDuringTheWaitEndsItWithNothing) {
  device->Deliver("ab");
  device->FailFrom("Read", EIO);
  TReply reply = engine->WaitForDot(1000);
  EXPECT_EQ(reply.ch, '\0');
  // The operator hears "Flash not answer"; the status says what it really was.
  EXPECT_EQ(reply.line.detail, "reading from the line failed: Input/output error");
  EXPECT_EQ(reply.Status("Flash not answer").kind, skPortFailed);
  device->FailFrom("Read", 0);
  device->FailFrom("WaitForInput", EIO, clock.NowMs() + 40);
  auto start = clock.NowMs();
  EXPECT_EQ(engine->WaitForDot(1000).ch, '\0');
  EXPECT_LE(clock.NowMs() - start, 40 + TIspEngine::kIdlePollMs);
  device->FailFrom("WaitForInput", 0);
  reply = engine->WaitForDot(10);  // silence, and nothing else
  EXPECT_EQ(reply.ch, '\0');
  EXPECT_EQ(reply.Status("Flash not answer").kind, skNoAnswer);
}

TEST_F(ReplyWait, ZeroAndNegativeTimeoutsStillEnd) {
  for (int timeout : {0, -1, -60000}) {
    auto start = clock.NowMs();
    EXPECT_EQ(engine->WaitForDot(timeout).ch, '\0') << timeout;
    EXPECT_EQ(clock.NowMs(), start) << timeout;
    EXPECT_EQ(engine->ReplyText(), "");
  }
  // What is already waiting is still read.
  device->Deliver("U");
  EXPECT_EQ(engine->WaitForChar(0, "U").ch, 'U');
  EXPECT_EQ(engine->ReplyText(), "U");
}

TEST_F(ReplyWait, AWaitStartedFromEventsSharesTimerAndText) {
  // The operator starts another operation during a wait: its wait re-arms the one timer and
  // empties the one text; when it returns, the outer wait goes on with that state.
  bool nested = false;
  host.duringEvents = [&] {
    if (nested) return;
    nested = true;
    EXPECT_EQ(engine->WaitForDot(30).ch, '\0');
  };
  auto start = clock.NowMs();
  EXPECT_EQ(engine->WaitForDot(5000).ch, '\0');
  EXPECT_LT(clock.NowMs() - start, 100);  // the inner time-out ended both
}

TEST_F(ReplyWait, WithoutConfirmationTheCommandPausesAndReadsNothing) {
  ChipAnswers(".");
  auto start = clock.NowMs();
  auto outcome = engine->GiveCommand(":020000030500F6", 60, 60, false);
  EXPECT_FALSE(outcome.awaited);
  EXPECT_EQ(outcome.cls, rcOk);
  EXPECT_EQ(clock.NowMs() - start, 60);
  EXPECT_EQ(device->written, ":020000030500F6");
  EXPECT_EQ(port->BytesWaiting(), 16u);  // echo and reply stay in the port
  // ... unless the operation waits for it.
  port->PurgeBuffers(true, true);
  outcome = engine->GiveCommand(":020000050700F2", 480, 0, true);
  EXPECT_TRUE(outcome.awaited);
  EXPECT_EQ(outcome.reply.ch, '.');
}

TEST_F(ReplyWait, WriteFailureOfACommandIsNotSwallowed) {
  device->FailFrom("Write", EIO);
  try {
    engine->GiveCommand(":0100000307F5", 100, 100, true);
    FAIL() << "no error";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 2);
    EXPECT_STREQ(e.what(), "WriteFile function failed (win error code: 5)");
  }
}

}  // namespace
}  // namespace kavel
