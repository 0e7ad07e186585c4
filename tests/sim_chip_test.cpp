// The simulated boot loader as a model: bytes in at a speed and a time, scheduled bytes out.
#include <functional>
#include <set>

#include <gtest/gtest.h>

#include "isp/Records.h"
#include "sim/SimArgs.h"
#include "sim/SimBoard.h"
#include "sim/SimChip.h"
#include "sim/SimController.h"

namespace kavel::sim {
namespace {

template <class F>
TSimChipOptions Options(F&& set) {
  TSimChipOptions o;
  set(o);
  return o;
}

// Feeds text to a chip and collects what it sends, in time order.
struct Bench {
  explicit Bench(TSimChipOptions options = {}) : chip(std::move(options)) {}
  // Returns everything scheduled while feeding text at speed, starting at time now.
  std::string Feed(const std::string& text, std::uint32_t speed = 9600) {
    std::vector<TSimOutput> out;
    for (char c : text) chip.Receive(static_cast<std::uint8_t>(c), speed, now, out);
    std::string sent;
    for (const auto& o : out) {
      std::string bytes = o.bytes;
      if (o.bitsPerSecond != 0 && o.bitsPerSecond != speed)
        for (auto& b : bytes) b = static_cast<char>(Garble(static_cast<std::uint8_t>(b)));
      sent += bytes;
      last = o.atMs;
    }
    return sent;
  }
  std::string Sync(std::uint32_t speed = 9600) { return Feed("U", speed); }
  std::string Record(const std::string& body) {
    return Feed(std::string(":").append(AddChecksum(body)));
  }

  TSimChip chip;
  std::int64_t now = 0;
  std::int64_t last = 0;  // time of the last scheduled output
};

TEST(SimAutobaud, TakesUAtAnAcceptedSpeedAndIgnoresEverythingElseBefore) {
  Bench b(Options([](TSimChipOptions& o) { o.acceptedSpeeds = {14400}; }));
  EXPECT_EQ(b.Feed(":0100000210ED", 9600), "");
  EXPECT_EQ(b.Sync(9600), "");
  EXPECT_EQ(b.Sync(38400), "");
  EXPECT_EQ(b.chip.SyncedSpeed(), 0u);
  EXPECT_EQ(b.Sync(14400), "U");
  EXPECT_EQ(b.chip.SyncedSpeed(), 14400u);
  EXPECT_EQ(b.Feed("U", 14400), "U");  // a repeated U is just echoed
}

TEST(SimAutobaud, BytesAtAnotherSpeedAreGarbledBothWays) {
  Bench b;
  b.Sync(9600);
  std::string heard = b.Feed("U", 19200);
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_NE(heard, "U");
  EXPECT_GE(static_cast<unsigned char>(heard[0]), 0xF8);
  // A record sent at the wrong speed is never understood, so never answered with ".".
  std::string reply = b.Feed(":0100000210ED", 38400);
  EXPECT_EQ(reply.find('.'), std::string::npos);
  EXPECT_EQ(b.chip.RecordCount(), 0);
  for (unsigned v = 0; v < 256; ++v) {
    auto g = Garble(static_cast<std::uint8_t>(v));
    EXPECT_TRUE(g >= 0xF8) << v;  // never printable, CR or LF
  }
}

TEST(SimRecords, EchoThenReplyAndBadChecksumGivesR) {
  Bench b;
  b.Sync();
  EXPECT_EQ(b.Feed(":0100000210ED"), ":0100000210ED.");
  EXPECT_EQ(b.chip.ClockValue(), 0x10);
  EXPECT_EQ(b.Feed(":0100000210EE"), ":0100000210EER");
  EXPECT_EQ(b.Feed("zz"), "zz");                 // outside a record: echo only
  EXPECT_EQ(b.Feed(":01G"), ":01GR");            // broken record
  EXPECT_EQ(b.Feed(":0100:0100000210ED"), ":0100:0100000210ED.");  // ":" starts over
  EXPECT_EQ(b.Feed(":0100000908EE"), ":0100000908EEX");  // unknown type
}

TEST(SimFlash, ProgrammingClearsBitsOnlyAndRangeIsChecked) {
  Bench b;
  b.Sync();
  EXPECT_EQ(b.Record("02123400F00F").back(), '.');
  EXPECT_EQ(b.chip.Flash()[0x1234], 0xF0);
  EXPECT_EQ(b.chip.Flash()[0x1235], 0x0F);
  EXPECT_EQ(b.Record("021234000F0F").back(), '.');
  EXPECT_EQ(b.chip.Flash()[0x1234], 0x00);  // 0xF0 & 0x0F
  EXPECT_EQ(b.chip.Flash()[0x1235], 0x0F);
  EXPECT_EQ(b.Record("02FFFF000000").back(), 'X');  // runs past 64 KB
  EXPECT_EQ(b.Record("01FFFF0000").back(), '.');    // the very last byte
  EXPECT_EQ(b.Record("00000001").back(), '.');      // end of file
}

TEST(SimFlash, EraseTakesItsTimeAndClearsWhatItShould) {
  Bench b(Options([](TSimChipOptions& o) { o.fullEraseMs = 3000; o.blockEraseMs = 1000; }));
  b.Sync();
  b.Record("02100000AA55");
  b.Record("02300000AA55");
  b.now = 100;
  EXPECT_EQ(b.Feed(":020000030C10DF"), ":020000030C10DF.");  // block 1: 0x1000..0x1FFF
  EXPECT_EQ(b.last, 1100);
  EXPECT_EQ(b.chip.Flash()[0x1000], 0xFF);
  EXPECT_EQ(b.chip.Flash()[0x3000], 0xAA);
  EXPECT_EQ(b.Feed(":020000030C11DE").back(), 'X');  // not a block boundary
  b.Record("020000030501");                            // security bit 2
  b.now = 5000;
  EXPECT_EQ(b.Feed(":0100000307F5"), ":0100000307F5.");
  EXPECT_EQ(b.last, 8000);
  EXPECT_EQ(b.chip.Flash()[0x3000], 0xFF);
  EXPECT_EQ(b.chip.SecurityBits(), 0);
}

TEST(SimBlankCheck, AnswersAfterTheStartCharacterWhichIsNotEchoed) {
  Bench b;
  b.Sync();
  const std::string record = ":0500000400003FFF01B8";
  EXPECT_EQ(b.Feed(record), record);  // nothing yet: waits for one more character
  EXPECT_EQ(b.Feed("."), ".");        // blank
  b.Record("0100100000");             // one byte 00 at 0x0010
  EXPECT_EQ(b.Feed(record + "."), record + "0010\r\n");
  b.Record("0140000000");             // beyond the checked range: ignored
  b.Feed(":020000030C00EF");          // erase block 0
  EXPECT_EQ(b.Feed(record + "."), record + ".");
}

TEST(SimModemLines, ResetWithPsenLowOrAStatusByteStartsTheBootLoaderElseTheApplication) {
  const struct {
    const char* name;
    bool invertDtr, invertRts;
    std::uint8_t status;
    std::vector<std::pair<bool, bool>> lines;  // DTR, RTS as set, in turn
    const char* running;
    int resets;
  } cases[] = {
      {"untouched", false, false, 0, {}, "application", 0},
      {"reset with /PSEN low", false, false, 0, {{true, true}, {false, true}, {false, false}}, "bootloader", 1},
      {"reset alone", false, false, 0, {{true, false}, {false, false}}, "application", 1},
      {"reset alone, status byte set", false, false, 0xFF, {{true, false}, {false, false}}, "bootloader", 1},
      {"held in reset", false, false, 0, {{true, true}}, "reset", 0},
      {"RTS the wrong way round", false, true, 0, {{true, true}, {false, true}}, "application", 1},
      {"both inverted", true, true, 0, {{false, false}, {true, false}}, "bootloader", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bench b(Options([&](TSimChipOptions& o) {
      o.needEntry = true;
      o.invertDtr = c.invertDtr;
      o.invertRts = c.invertRts;
      o.statusByte = c.status;
    }));
    for (auto [dtr, rts] : c.lines) b.chip.ModemLines(dtr, rts, 0);
    const std::string report = b.chip.Report();
    EXPECT_NE(report.find(std::string("running=") + c.running + "\nresets=" + std::to_string(c.resets)),
              std::string::npos) << report;
    EXPECT_EQ(b.Sync(), std::string(c.running) == "bootloader" ? "U" : "");
  }
}

TEST(SimStatus, ReadsAndSetsSecurityStatusAndClockMode) {
  Bench b(Options([](TSimChipOptions& o) { o.statusByte = 0xFF; }));
  b.Sync();
  EXPECT_EQ(b.Feed(":020000050700F2"), ":020000050700F200.");
  EXPECT_EQ(b.Feed(":020000050701F1"), ":020000050701F1FF.");
  EXPECT_EQ(b.Feed(":020000030400F7").back(), '.');
  EXPECT_EQ(b.Feed(":020000050701F1"), ":020000050701F100.");
  EXPECT_EQ(b.Feed(":020000030500F6").back(), '.');  // bit 1
  EXPECT_EQ(b.Feed(":020000030502F4").back(), '.');  // bit 3
  EXPECT_EQ(b.Feed(":020000050700F2"), ":020000050700F20A.");  // value 2 + 8
  EXPECT_FALSE(b.chip.SixClock());
  EXPECT_EQ(b.Feed(":0300000306028072").back(), '.');
  EXPECT_TRUE(b.chip.SixClock());
  EXPECT_EQ(b.chip.Report(),
            "security1=1\nsecurity2=0\nsecurity3=1\nstatus=00\nsixclock=1\nclock=00\nrecords=8\n"
            "speed=9600\nrunning=bootloader\nresets=0\n");
}

TEST(SimSecurity, BitOneRefusesProgrammingAndBlockEraseButNotFullErase) {
  Bench b(Options([](TSimChipOptions& o) { o.securityBits = 1; }));
  b.Sync();
  EXPECT_EQ(b.Record("0100000055").back(), 'X');
  EXPECT_EQ(b.chip.Flash()[0], 0xFF);
  EXPECT_EQ(b.Feed(":020000030C00EF").back(), 'X');
  EXPECT_EQ(b.Feed(":0100000307F5").back(), '.');
  EXPECT_EQ(b.Record("0100000055").back(), '.');
}

TEST(SimFaults, OverriddenRepliesPerRecord) {
  TSimChipOptions o;
  o.overrides = {{1, TReplyOverride::CrcError}, {2, TReplyOverride::NotAllowed},
                 {3, TReplyOverride::CarriageReturn}, {4, TReplyOverride::Silent},
                 {6, TReplyOverride::CrcError}};
  Bench b(o);
  b.Sync();
  const std::string rec = ":0100000210ED";
  EXPECT_EQ(b.Feed(rec), rec + "R");
  EXPECT_EQ(b.Feed(rec), rec + "X");
  EXPECT_EQ(b.Feed(rec), rec + "\r");
  EXPECT_EQ(b.Feed(rec), rec);
  EXPECT_EQ(b.Feed(rec), rec + ".");
  EXPECT_EQ(b.Feed(":0500000400003FFF01B8."), ":0500000400003FFF01B8R");  // after its start char
  EXPECT_EQ(b.chip.ClockValue(), 0x10);  // only record 5 was carried out
}

TEST(SimFaults, LoopBackEchoesAtAnySpeedAndNeverReplies) {
  Bench b(Options([](TSimChipOptions& o) { o.loopBack = true; }));
  EXPECT_EQ(b.Feed("U", 14400), "U");
  EXPECT_EQ(b.Feed(":0100000210ED", 38400), ":0100000210ED");
  EXPECT_EQ(b.chip.RecordCount(), 0);
}

TEST(SimFaults, NoiseExtraAndDelayAroundEveryReply) {
  Bench b(Options([](TSimChipOptions& o) { o.replyDelayMs = 25; o.noise = "\x01z"; o.extra = "!"; }));
  b.now = 10;
  EXPECT_EQ(b.Sync(), "\x01zU!");
  EXPECT_EQ(b.last, 35);
  b.now = 100;
  EXPECT_EQ(b.Feed(":0100000210ED"), ":0100000210ED\x01z.!");
  EXPECT_EQ(b.last, 125);
}

TEST(SimFaults, HangUpIsWantedAfterTheChosenRecord) {
  Bench b(Options([](TSimChipOptions& o) { o.hangUpAfter = 2; }));
  b.Sync();
  b.Feed(":0100000210ED");
  EXPECT_FALSE(b.chip.WantsHangUp());
  b.Feed(":0100000210ED");
  EXPECT_TRUE(b.chip.WantsHangUp());
}

TEST(SimFaults, OutputsKeepTheirOrderBehindALongErase) {
  Bench b(Options([](TSimChipOptions& o) { o.fullEraseMs = 500; }));
  b.Sync();
  b.Feed(":0100000307F5");
  b.now = 10;
  std::vector<TSimOutput> out;
  b.chip.Receive('z', 9600, b.now, out);  // echo of a byte sent during the erase
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].atMs, 500);
}

// Chip and controller share the line without hearing each other's conversations.
TEST(SimSharedLine, ChipIgnoresControllerFramesAndControllerIgnoresRecords) {
  // A configuration write whose data hold a "U", a ":" and hex digits.
  const std::string write = {'\xFF', '\xFF', 0x62, 0x42, 0x13, 0x70, 'U', ':', '0', '1', 0, 0,
                             '\xFF', '\xFF', '\xFF', '\xFF', 'U', 'U', 'U'};  // data, then the sum
  Bench fresh;
  EXPECT_EQ(fresh.Feed(write), "");  // not taken for a "U"
  EXPECT_EQ(fresh.chip.SyncedSpeed(), 0u);
  Bench synced;
  synced.Sync();
  EXPECT_EQ(synced.Feed(write), "");  // nothing echoed
  EXPECT_EQ(synced.Record("01000002" "10"), ":0100000210ED.");  // and the next record is fine

  TSimController controller(TSimControllerOptions{});
  std::vector<TSimOutput> out;
  for (char c : std::string("U:0100000210ED:020000050700F2"))
    controller.Receive(static_cast<std::uint8_t>(c), 9600, 0, out);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(controller.Requests(), 0);
}

// The board taken out of its socket and put back: out, nothing on it hears or says anything
// (the chip's echo, the controller's polls, the reset lines); back, it is fresh from power-on
// (the speed to be found again, nothing half-received, the polls counted afresh) and keeps
// its flash.
TEST(SimBoard, OutIsAnEmptySocketAndPutBackStartsFromPowerOnKeepingTheFlash) {
  const struct {
    const char* name;
    bool needEntry;
    const char* uAfterPutIn;  // the answer to a "U" before any entry
  } cases[] = {
      {"boot loader at power-on", false, "U"},
      {"application until the entry", true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TSimChip chip(Options([&](TSimChipOptions& o) { o.needEntry = c.needEntry; }));
    TSimController controller(TSimControllerOptions{});
    TSimBoard board;
    board.AddDevice(&chip);
    board.AddDevice(&controller);
    std::int64_t now = 0;
    const auto feed = [&](const std::string& text, std::uint32_t speed) {
      std::vector<TSimOutput> out;
      for (char ch : text) board.Receive(static_cast<std::uint8_t>(ch), speed, now, out);
      std::string sent;
      for (const auto& o : out) sent += o.bytes;
      return sent;
    };
    const auto enter = [&] {  // reset with /PSEN low
      board.ModemLines(true, true, now);
      board.ModemLines(false, true, now);
    };
    if (c.needEntry) enter();
    ASSERT_EQ(feed("U", 9600), "U");
    ASSERT_EQ(feed(":" + AddChecksum("0112340042"), 9600).back(), '.');
    const std::string blankCheck = ":0500000400003FFF01B8";  // its answer waits for one more character
    ASSERT_EQ(feed(blankCheck, 9600), blankCheck);

    now = 1000;
    EXPECT_FALSE(board.Toggle(now));
    EXPECT_EQ(feed("U:0100000210ED", 9600), "");
    enter();
    std::vector<TSimOutput> polls;
    board.Tick(5000, polls);
    EXPECT_TRUE(polls.empty());
    EXPECT_EQ(board.NextTickMs(), -1);

    now = 2000;
    EXPECT_TRUE(board.Toggle(now));
    EXPECT_EQ(board.NextTickMs(), 2000 + TSimControllerOptions{}.pollIntervalMs);
    EXPECT_EQ(feed("U", 19200), c.uAfterPutIn);
    if (c.needEntry) enter();
    EXPECT_EQ(feed("U", 19200), "U");
    EXPECT_EQ(chip.SyncedSpeed(), 19200u);
    EXPECT_EQ(feed(":0100000210ED", 19200), ":0100000210ED.");  // no blank check still waiting
    EXPECT_EQ(chip.Flash()[0x1234], 0x42);
  }
}

TEST(SimArgs, OptionsParseIntoTheChipTheControllerAndTheLine) {
  struct Case {
    std::vector<std::string> argv;
    std::string problem;  // "" when parsed
    std::function<bool(const TSimArgs&)> check;
  };
  const Case cases[] = {
      {{}, "", [](const TSimArgs& a) { return a.port == "COM1" && !a.withController && !a.paced; }},
      {{"--port", "COM7", "--speeds", "9600,57600", "--pace", "--weak-cell", "0x1F0"}, "",
       [](const TSimArgs& a) {
         return a.port == "COM7" && a.options.acceptedSpeeds == std::set<std::uint32_t>{9600, 57600} && a.paced &&
                a.options.weakCell == 0x1F0;
       }},
      {{"--reply", "3:X", "--status", "5a", "--security", "7"}, "",
       [](const TSimArgs& a) {
         return a.options.overrides.at(3) == TReplyOverride::NotAllowed && a.options.statusByte == 0x5A &&
                a.options.securityBits == 7;
       }},
      {{"--ktn-state", "3", "--ktn-noise", "\\x17"}, "",
       [](const TSimArgs& a) { return a.withController && a.ktn.state == 3 && a.ktn.noise == "\x17"; }},
      {{"--out", "--rfc2217", "7000"}, "", [](const TSimArgs& a) { return a.out && a.rfc2217Port == 7000; }},
      {{"--full-erase-ms", "50", "--ktn-poll-ms", "0"}, "",
       [](const TSimArgs& a) { return a.options.fullEraseMs == 50 && a.withController && a.ktn.pollIntervalMs == 0; }},
      {{"--ktn-invite-every", "x"}, "--ktn-invite-every needs a count", nullptr},
      {{"--port", "LPT1"}, "--port needs a name such as COM3", nullptr},
      {{"--security", "8"}, "--security needs 0..7", nullptr},
      {{"--reply", "0:X"}, "--reply needs K:WHAT with K from 1", nullptr},
      {{"--reply", "2:Q"}, "--reply: WHAT is R, X, CR or none, not 'Q'", nullptr},
      {{"--weak-cell", "10000"}, "--weak-cell needs a hexadecimal address, 0 to FFFF", nullptr},
      {{"--frobnicate"}, "unknown option '--frobnicate' (see --help)", nullptr},
  };
  for (const Case& c : cases) {
    TSimArgs a;
    const auto problem = ParseSimArgs(c.argv, a);
    EXPECT_EQ(problem.value_or(""), c.problem);
    if (c.check) { EXPECT_TRUE(c.check(a)) << (c.argv.empty() ? "(none)" : c.argv[0]); }
  }
}

}  // namespace
}  // namespace kavel::sim
