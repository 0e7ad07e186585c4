// Erasing, blank check, the status byte, the security bits and the clock mode against the
// simulated chip on a line in virtual time: the records on the wire, the time they take, the
// boxes, OperationFailed, and the window given back on every path.
#include <algorithm>
#include <bitset>
#include <set>
#include <functional>
#include <limits>
#include <optional>

#include <gtest/gtest.h>

#include "link/EComPort.h"
#include "tests/support/VirtualLine.h"

namespace kavel {
namespace {

using sim::TReplyOverride;
using Boxes = std::vector<std::string>;

class DeviceOps : public test::VirtualLine {
 protected:
  // A fresh chip and host; override: the forced reply to the operation's first record (the
  // synchronization's set-clock record is the chip's record 1).
  void Fresh(std::optional<TReplyOverride> override = std::nullopt, sim::TSimChipOptions o = {}) {
    if (override) o.overrides[2] = *override;
    ConnectChip(std::move(o));
    host = test::TNullHost{};
    host.options.waitForConfirmation = true;
  }
  // Virtual time from the write of record to now.
  std::int64_t SinceWriteOf(const std::string& record) {
    for (const auto& [at, text] : Writes())
      if (text == record) return clock.NowMs() - at;
    ADD_FAILURE() << record << " was not written";
    return -1;
  }
  // The window was disabled with progress shown, and is back: enabled, panel empty.
  void ExpectWindowGivenBack(const std::string& progress) {
    EXPECT_TRUE(host.windowEnabled);
    EXPECT_EQ(host.progress, "");
    EXPECT_NE(std::find(host.progressLog.begin(), host.progressLog.end(), progress),
              host.progressLog.end());
  }
};

TEST_F(DeviceOps, FullEraseRepliesPausesAndOperationFailed) {
  struct Case {
    bool wfc;
    std::optional<TReplyOverride> reply;
    Boxes boxes;
    int failed;
    int minMs, maxMs;  // from the erase record's write to the end
    TStatusKind status;
  };
  const Case cases[] = {
      {false, std::nullopt, {}, 0, 9000, 9020, skUnconfirmed},
      {true, std::nullopt, {"OK: Flash erased"}, 0, 3000, 3100, skOk},
      {true, TReplyOverride::CrcError, {"Send Error: CRC error"}, 1, 0, 100, skRefused},
      {true, TReplyOverride::NotAllowed, {"Send Error: Not allowed operation"}, 1, 0, 100, skRefused},
      {true, TReplyOverride::Silent, {"Send Error: Flash not answer"}, 1, 14400, 14500, skNoAnswer},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "wfc " << c.wfc << " box " << (c.boxes.empty() ? "none" : c.boxes[0]));
    Fresh(c.reply);
    host.options.waitForConfirmation = c.wfc;
    chip->Flash()[0x8000] = 0;
    ops->OperationFailed = 0;
    EXPECT_EQ(ops->BFullEraseClick().kind, c.status);
    EXPECT_EQ(host.boxes, c.boxes);
    EXPECT_EQ(ops->OperationFailed, c.failed);
    const auto elapsed = SinceWriteOf(":0100000307F5");
    EXPECT_GE(elapsed, c.minMs);
    EXPECT_LE(elapsed, c.maxMs);
    EXPECT_EQ(Written().back(), ":0100000307F5");
    // With replies awaited, whatever came is kept in the debug box.
    EXPECT_EQ(host.debug.size(), c.wfc ? 1u : 0u);
    if (c.wfc && !c.reply) {
      EXPECT_EQ(host.debug[0], ":0100000307F5.");
      EXPECT_EQ(chip->Flash()[0x8000], 0xFF);
    }
    ExpectWindowGivenBack("Erasing entire chip memory ... wait");
  }
}

TEST_F(DeviceOps, FailedSynchronizationWritesNoCommand) {
  Connect(nullptr);  // nothing on the line
  host.options.waitForConfirmation = true;
  host.options.eraseBlocks.set(1);
  const std::pair<const char*, std::function<TIspStatus()>> operations[] = {
      {"erase", [&] { return ops->BFullEraseClick(); }},
      {"blocks", [&] { return ops->BEraseBlocksClick(); }},
      {"blank", [&] { return ops->BBlankClick(); }},
      {"read status", [&] { return ops->BReadStatusClick(); }},
  };
  for (const auto& [name, run] : operations) {
    SCOPED_TRACE(name);
    host.boxes.clear();
    host.status = {"Security 1: ON"};
    ops->OperationFailed = 0;
    EXPECT_EQ(run().kind, skNoAnswer);
    EXPECT_EQ(host.boxes, Boxes{"Com Port Error: Flash not synchronized"});
    for (const std::string& w : Written()) EXPECT_EQ(w, "U");
    EXPECT_EQ(host.status, Boxes{"Security 1: ON"});  // left as it was
    EXPECT_TRUE(host.windowEnabled);
    EXPECT_EQ(ops->OperationFailed, std::string(name) == "erase" ? 1 : 0);
  }
}

TEST_F(DeviceOps, BlockErasesInOrderUntilTheFirstRefusal) {
  struct Case {
    const char* name;
    bool wfc;
    std::optional<TReplyOverride> reply;  // to the first block's record
    std::bitset<16> ticked;
    Boxes box;
    Boxes lastWrites;        // the last records written
    std::set<int> erased;    // blocks blank afterwards
    int minMs;               // from the first block's record to the end
  };
  const Case cases[] = {
      {"nothing ticked", true, std::nullopt, {}, {": Nothing to erase"}, {}, {}, 0},
      {"blocks 3 and 12 in order", true, std::nullopt, std::bitset<16>().set(12).set(3),
       {"Erase OK: Selected blocks erased"}, {":020000030C30BF", ":020000030CC02F"}, {3, 12}, 0},
      {"paced by 2 s a block", false, std::nullopt, std::bitset<16>().set(12).set(3),
       {"Erase OK: Selected blocks erased"}, {":020000030C30BF", ":020000030CC02F"}, {3, 12}, 4000},
      {"block 3 refused: block 12 never sent", true, TReplyOverride::NotAllowed, std::bitset<16>().set(3).set(12),
       {"Send Error: Not allowed operation for block: 3"}, {":020000030C30BF"}, {}, 0},
      {"block 3 unanswered", true, TReplyOverride::Silent, std::bitset<16>().set(3).set(12),
       {"Send Error: Flash not answer for block: 3"}, {":020000030C30BF"}, {}, 3200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh(c.reply);
    host.options.waitForConfirmation = c.wfc;
    host.options.eraseBlocks = c.ticked;
    chip->Flash().fill(0);
    EXPECT_EQ(ops->BEraseBlocksClick().Ok(), c.box[0].find("Error") == std::string::npos);
    EXPECT_EQ(host.boxes, c.box);
    const auto written = Written();
    if (c.ticked.none()) {
      EXPECT_EQ(host.requests.at(0).caption, "");
      EXPECT_TRUE(written.empty());  // not even the synchronization
      EXPECT_TRUE(host.progressLog.empty());
      continue;
    }
    ASSERT_GE(written.size(), c.lastWrites.size());
    EXPECT_EQ(Boxes(written.end() - static_cast<std::ptrdiff_t>(c.lastWrites.size()), written.end()), c.lastWrites);
    EXPECT_EQ(std::count(written.begin(), written.end(), "U"), c.wfc ? 1 : 2);  // one synchronization
    EXPECT_GE(SinceWriteOf(":020000030C30BF"), c.minMs);
    for (int block = 0; block < 16; ++block) {
      const std::size_t a = static_cast<std::size_t>(block) * sim::TSimChip::kBlockSize;
      const std::uint8_t want = c.erased.count(block) ? 0xFF : 0x00;
      EXPECT_EQ(chip->Flash()[a], want) << block;
      EXPECT_EQ(chip->Flash()[a + 4095], want) << block;
    }
    ExpectWindowGivenBack("Erasing blocks ... wait");
  }
}

TEST_F(DeviceOps, BlankCheckAnswers) {
  struct Case {
    const char* name;
    bool wfc;
    int dataAt;  // a programmed byte (-1: none)
    int echoLimit;
    std::optional<TReplyOverride> reply;
    std::string box;
    Boxes debug;
  };
  const std::string record = ":0500000400003FFF01B8";
  const Case cases[] = {
      {"blank", true, -1, -1, {}, "OK: Flash is blank", {}},
      {"blank, replies not awaited", false, -1, -1, {}, "OK: Flash is blank", {}},
      {"data above the range", true, 0x4000, -1, {}, "OK: Flash is blank", {}},
      {"data inside", true, 0x1234, -1, {}, "Send Error: Flash not blank at address: 1234\r",
       {record + "1234\r"}},
      {"short echo", true, -1, 10, {}, "Send Error: Flash not answer", {}},
      {"refused", true, -1, -1, TReplyOverride::NotAllowed, "Send Error: Not allowed operation", {}},
      {"checksum", true, -1, -1, TReplyOverride::CrcError, "Send Error: CRC error", {}},
      {"silent", true, -1, -1, TReplyOverride::Silent, "Send Error: Flash not answer", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::TSimChipOptions o;
    o.echoLimit = c.echoLimit;
    Fresh(c.reply, o);
    host.options.waitForConfirmation = c.wfc;
    if (c.dataAt >= 0) chip->Flash()[static_cast<std::size_t>(c.dataAt)] = 0x5A;
    EXPECT_EQ(ops->BBlankClick().Ok(), c.box.starts_with("OK"));
    EXPECT_EQ(host.boxes, Boxes{c.box});
    EXPECT_EQ(host.debug, c.debug);
    EXPECT_EQ(Written().back(), record + ".");
    const auto elapsed = SinceWriteOf(record + ".");
    if (c.echoLimit >= 0) {
      EXPECT_LE(elapsed, 100 + 21 * 20 + 40 + 40);  // no reply awaited
    }
    if (c.reply == TReplyOverride::Silent) { EXPECT_GE(elapsed, 100 + 3520); }
    ExpectWindowGivenBack("Blank check ... wait");
  }
  // The session asks about any range (the command line: the whole flash).
  Fresh();
  Synchronized();
  chip->Flash()[0x4000] = 0x5A;
  TBlankResult result;
  EXPECT_EQ(session->BlankCheck(0x0000, 0xFFFF, 60, result).kind, skRefused);
  EXPECT_EQ(Written().back(), ":050000040000FFFF01F8.");
  EXPECT_EQ(result.answer, "4000");
}

TEST_F(DeviceOps, SettingCommands) {
  struct Case {
    const char* name;
    std::function<TIspStatus(TIspOperations&)> run;
    std::string record;
    bool wfc;
    std::optional<TReplyOverride> reply;
    int failedBefore;
    Boxes boxes;
    int failedAfter;
    int pause;  // the pause taken with replies not awaited (D = 60)
  };
  const auto sec1 = [](TIspOperations& o) { return o.BSecurity1Click(); };
  const auto sec2 = [](TIspOperations& o) { return o.BSecurity2Click(); };
  const auto sec3 = [](TIspOperations& o) { return o.BSecurity3Click(); };
  const auto status = [](TIspOperations& o) { return o.BSetStatusClick(); };
  const auto six = [](TIspOperations& o) { return o.B6ClockClick(); };
  const Case cases[] = {
      {"bit 2, paced", sec2, ":020000030501F5", false, TReplyOverride::NotAllowed, 1,
       {"Done: Security bit 2 set"}, 0, 60},
      {"bit 3", sec3, ":020000030502F4", true, {}, 1, {"OK: Security bit 3 set"}, 0, 0},
      {"bit 3 refused", sec3, ":020000030502F4", true, TReplyOverride::NotAllowed, 0,
       {"Send Error: Not allowed operation"}, 1, 0},
      {"bit 1 unanswered", sec1, ":020000030500F6", true, TReplyOverride::CarriageReturn, 0,
       {"Send Error: Flash not answer"}, 1, 0},
      {"status, paced", status, ":020000030400F7", false, {}, 1,
       {"Done: Status byte set to 0 (application)"}, 0, 1000},
      {"status", status, ":020000030400F7", true, {}, 1, {"OK: Status byte set to 0 (application)"}, 0, 0},
      {"status checksum", status, ":020000030400F7", true, TReplyOverride::CrcError, 0,
       {"Send Error: CRC error"}, 1, 0},
      // Waiting for replies, the clock command leaves OperationFailed as it found it.
      {"6-clock", six, ":0300000306028072", true, {}, 1, {"OK: Clock set"}, 1, 0},
      {"6-clock refused", six, ":0300000306028072", true, TReplyOverride::NotAllowed, 0,
       {"Send Error: Not allowed operation"}, 0, 0},
      {"6-clock paced", six, ":0300000306028072", false, {}, 1, {"Done: Clock set"}, 0, 60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh(c.reply);
    ASSERT_TRUE(ops->Synchronize().Ok());
    host.options.waitForConfirmation = c.wfc;
    ops->OperationFailed = c.failedBefore;
    clock.sleeps.clear();
    EXPECT_EQ(c.run(*ops).Ok(), c.boxes[0].starts_with("Done") || c.boxes[0].starts_with("OK"));
    EXPECT_EQ(Written().back(), c.record);
    EXPECT_EQ(host.boxes, c.boxes);
    EXPECT_EQ(ops->OperationFailed, c.failedAfter);
    if (!c.wfc) { EXPECT_EQ(clock.sleeps, std::vector<int>{c.pause}); }
    // The clock command keeps what the chip said in the debug box.
    EXPECT_EQ(host.debug.size(), c.wfc && c.record == ":0300000306028072" ? 1u : 0u);
  }
}

TEST_F(DeviceOps, TimeOutsGrowWithTheDelay) {
  Fresh(TReplyOverride::Silent);
  host.options.delay = 100;
  ASSERT_TRUE(ops->Synchronize().Ok());
  EXPECT_EQ(ops->BSetStatusClick().kind, skNoAnswer);
  EXPECT_GE(SinceWriteOf(":020000030400F7"), 100 * 10 + 1000);
  EXPECT_LE(SinceWriteOf(":020000030400F7"), 100 * 10 + 1000 + 100);
  EXPECT_EQ(TIspOperations::ScaledMs(std::numeric_limits<std::int32_t>::max(), 90, 9000),
            std::numeric_limits<int>::max());
  EXPECT_EQ(TIspOperations::ScaledMs(-1000, 3, 300), -2700);
}

// Both reads are made whatever the other answered; each failure has its box. An answer that is
// not exactly two hex digits is a bad reply, though the window shows what it can read of it.
TEST_F(DeviceOps, ReadStatusLines) {
  struct Case {
    std::string answer;  // what both reads answer before "." ("": the chip's own values)
    Boxes lines;
    TStatusKind kind = skOk;
    int record = 0;  // forced to reply (0: none): 2 the security bits' read, 3 the status read
    TReplyOverride reply = TReplyOverride::Silent;
    Boxes boxes = {};
  };
  const Boxes bits{"Security 1: ON", "Security 2: OFF", "Security 3: ON"};
  const Case cases[] = {
      {"", {"Security 1: ON", "Security 2: OFF", "Security 3: ON", "Status: 5A"}},
      {"0E", {"Security 1: ON", "Security 2: ON", "Security 3: ON", "Status: 0E"}},
      {"02", {"Security 1: ON", "Security 2: OFF", "Security 3: OFF", "Status: 02"}},
      {"01", {"Security 1: OFF", "Security 2: OFF", "Security 3: OFF", "Status: 01"}},
      {"ab", {"Security 1: ON", "Security 2: OFF", "Security 3: ON", "Status: ab"}},
      {"0G", {"Security bits ERROR (1)", "Read status ERROR (1)"}, skBadReply},
      {"E", {"Security bits ERROR (2)", "Read status ERROR (2)"}, skBadReply},  // 17 characters
      {"Z9", {"Security 1: OFF", "Security 2: OFF", "Security 3: ON", "Status: Z9"}, skBadReply},
      {"", {"Status: 5A"}, skRefused, 2, TReplyOverride::NotAllowed, {"Send Error: Security bits: Not allowed operation"}},
      {"", bits, skNoAnswer, 3, TReplyOverride::Silent, {"Send Error: Read status: Flash not answer"}},
      {"", bits, skRefused, 3, TReplyOverride::CrcError, {"Send Error: Read status: CRC error"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer + (c.boxes.empty() ? "" : c.boxes[0]));
    sim::TSimChipOptions o;
    o.readAnswer = c.answer;
    o.securityBits = 0b101;
    o.statusByte = 0x5A;
    if (c.record != 0) o.overrides[c.record] = c.reply;
    Fresh(std::nullopt, o);
    host.status = {"old"};
    const TIspStatus status = ops->BReadStatusClick();
    EXPECT_EQ(host.status, c.lines);
    EXPECT_EQ(host.boxes, c.boxes);
    EXPECT_EQ(status.kind, c.kind) << status.detail;
    const auto written = Written();
    EXPECT_EQ(Boxes(written.end() - 2, written.end()), (Boxes{":020000050700F2", ":020000050701F1"}));
  }
}

// The session's read of one value: exactly two hex digits after the echo, or a bad reply that
// quotes what came.
TEST_F(DeviceOps, AValueIsExactlyTwoHexDigitsAfterTheEcho) {
  const struct {
    std::string answer;  // before "."
    TStatusKind kind;
    int value;           // -1: none
    std::string says;
  } cases[] = {
      {"5A", skOk, 0x5A, ""},
      {"ab", skOk, 0xAB, ""},
      {"Z9", skBadReply, -1, "the chip answered \"Z9\", not two hex digits"},
      {"123", skBadReply, -1, "the chip answered \"123\""},
      {"E", skBadReply, -1, "the chip answered \"E\""},
      {"\x01\xFF", skBadReply, -1, "the chip answered \"\\x01\\xFF\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    sim::TSimChipOptions o;
    o.readAnswer = c.answer;
    Fresh(std::nullopt, o);
    Synchronized();
    TByteRead read;
    const TIspStatus status = session->ReadByte(kReadStatusBody, 60, read);
    EXPECT_EQ(status.kind, c.kind) << status.detail;
    EXPECT_EQ(read.value ? *read.value : -1, c.value);
    EXPECT_NE(status.detail.find(c.says), std::string::npos) << status.detail;
  }
}

TEST_F(DeviceOps, ReadsTakeTheDigitsAfterTheirEchoWhateverCameFirst) {
  // A blind synchronization leaves the chip's two "U" answers on the line, ahead of the echo.
  sim::TSimChipOptions o;
  o.securityBits = 0b010;
  Fresh(std::nullopt, o);
  host.options.waitForConfirmation = false;
  EXPECT_EQ(ops->BReadStatusClick().kind, skOk);
  EXPECT_EQ(host.status, (Boxes{"Security 1: OFF", "Security 2: ON", "Security 3: OFF", "Status: FF"}));
  TSyncPlan blind;
  blind.blind = true;
  TSyncResult sync;
  ASSERT_EQ(session->Synchronize(blind, sync).kind, skUnconfirmed);
  std::vector<int> ids;
  for (std::string_view body : {"020000050000", "020000050001", "020000050002"}) {
    TByteRead read;
    EXPECT_TRUE(session->ReadByte(body, 60, read).Ok()) << read.reply;
    ids.push_back(read.value.value_or(-1));
  }
  EXPECT_EQ(ids, (std::vector<int>{0x15, 0xC2, 0x1F}));
  // With nothing found before the "." but the digits, the window reads the two before it.
  std::string out;
  EXPECT_TRUE(TIspOperations::ReadAnswerDigits("~~:02000005070A" "0E.", kReadStatusBody, "x", out));
  EXPECT_EQ(out, "0E");
}

// The window is given back before the general error report says what became of the port.
TEST_F(DeviceOps, APortFailureGivesTheWindowBackThenTheErrorReport) {
  const std::pair<const char*, std::function<TIspStatus()>> operations[] = {
      {"erase", [&] { return ops->BFullEraseClick(); }},
      {"blocks", [&] { return ops->BEraseBlocksClick(); }},
      {"blank", [&] { return ops->BBlankClick(); }},
      {"security", [&] { return ops->BSecurity2Click(); }},
  };
  for (const auto& [name, run] : operations) {
    SCOPED_TRACE(name);
    sim::TSimChipOptions o;
    o.hangUpAfter = 1;  // the line goes dead after synchronizing
    Fresh(std::nullopt, o);
    host.options.eraseBlocks.set(0);
    if (std::string(name) == "security") {
      ASSERT_TRUE(ops->Synchronize().Ok());
    }
    ops->OperationFailed = 0;
    host.boxes.clear();
    host.onBox = [&](const TMessageBoxRequest&) {
      EXPECT_TRUE(host.windowEnabled);
      EXPECT_EQ(host.progress, "");
    };
    EXPECT_EQ(run().kind, skPortFailed);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_TRUE(host.boxes[0].starts_with("Kavel ISP 2.6.1: ")) << host.boxes[0];
    EXPECT_EQ(host.requests.back().style, kMbIconStop);
    // The security bit's record never went out, so nothing was claimed for it.
    if (std::string(name) == "security") { EXPECT_EQ(ops->OperationFailed, 0); }
  }
}

}  // namespace
}  // namespace kavel
