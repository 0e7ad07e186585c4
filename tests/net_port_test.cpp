// Network ports against a scripted server on loopback, byte for byte: the RFC 2217
// negotiation, what a server that refuses or keeps silent does to a run, 0xFF doubled both
// ways, a dropped connection; and the boot entry's steps on the modem lines.
#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <string_view>

#include <gtest/gtest.h>

#include "link/BootEntry.h"
#include "link/EComPort.h"
#include "link/NetComDevice.h"
#include "link/NetStream.h"
#include "tests/support/FakeComDevice.h"
#include "tests/support/ScriptedServer.h"

namespace kavel {
namespace {

using test::Acknowledge;
using test::TScriptedServer;

// A server that answers every command but the speed's.
std::string SilentAboutTheSpeed(char c, const std::string& v) { return c == 1 ? "" : Acknowledge(c, v); }

// Whatever the server sends, every call ends within its bound and the data held for reading
// stays within the cap; a failure whose errno would mislead is said in words.
TEST(NetPort, WhatAServerAcknowledgesDecidesWhatARunMayDo) {
  const std::string silentSpeed = "the server did not acknowledge the speed of 9600 bit/s within 300 ms";
  const struct {
    const char* name;
    test::TServerScript script;
    int setLine;        // what setting the line at 9600 gives
    int modemLines;     // what setting DTR and RTS alone then gives
    std::string words;  // why the call that failed failed
    std::string remark;
  } cases[] = {
      {"a good server", {Acknowledge}, 0, 0, "", ""},
      {"silent about the speed", {SilentAboutTheSpeed}, ETIMEDOUT, 0, silentSpeed, silentSpeed},
      {"another speed", {[](char c, const std::string& v) { return c == 1 ? std::string("\x65\0\0\x4B\0", 5) : Acknowledge(c, v); }},
       EINVAL, 0, "the server runs its port at 19200 bit/s, not 9600", "the server runs its port at 19200 bit/s, not 9600"},
      {"an answer to the speed without one", {[](char c, const std::string& v) { return c == 1 ? "\x65" : Acknowledge(c, v); }},
       EPROTO, 0, "the server answered the speed of 9600 bit/s without a speed", ""},
      {"deaf to DTR and RTS, as ser2net on a pty", {[](char c, const std::string& v) { return c == 5 && v[0] >= 8 ? "" : Acknowledge(c, v); }},
       0, ETIMEDOUT, "the server did not acknowledge DTR and RTS: it cannot set them (a pseudo-terminal has none)", ""},
      {"endless escaped 0xFF bytes", {SilentAboutTheSpeed, "", "\xFF\xFF"}, ETIMEDOUT, 0, silentSpeed, silentSpeed},
      {"endless NOPs", {SilentAboutTheSpeed, "", "\xFF\xF1"}, ETIMEDOUT, 0, silentSpeed, silentSpeed},
      {"a compressed stream, never agreed", {Acknowledge, "", std::string("\xFF\xFA\x56\xFF\xF0\x78\x9C", 7)}, EPROTO, 0,
       "the server compresses its stream (MCCP), which was never agreed", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TScriptedServer server(c.script);
    TNetComDevice device(server.Url(), TSystemClock::Instance(), 300);
    ASSERT_EQ(device.Open("COM1"), 0);
    TLineTermios line;
    line.bitsPerSecond = 9600;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(device.SetLine(line, false, false), c.setLine);
    if (c.setLine == 0) {
      EXPECT_EQ(device.SetModemLines(true, true), c.modemLines);
    }
    // A flood lasts longer: the calls did not wait for its end.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(TScriptedServer::kFloodMs));
    EXPECT_EQ(device.LastFailureWords(), c.words);
    std::size_t held = 0;
    if (device.BytesWaiting(held) == 0) {
      EXPECT_LE(held, TNetStream::kInputCap);
    }
    const std::string remarks = device.TakeRemarks();
    EXPECT_NE(remarks.find(c.remark), std::string::npos);
    // Setting the line never waits for its modem lines: only a boot entry's must hold.
    EXPECT_EQ(remarks.find("within 300 ms") == std::string::npos, c.remark.find("within") == std::string::npos) << remarks;
  }
}

// What a server sends, taken apart as the socket gives it: the data held never beyond the cap
// (the rest dropped and said once), the answers never more than what came, the speed as the
// server acknowledged it, and a stream that cannot be taken apart broken.
TEST(NetPort, WhatAServerSendsIsTakenApartWithinBounds) {
  constexpr std::size_t kCap = TNetStream::kInputCap;
  const auto times = [](std::string_view bytes, std::size_t n) {
    std::string all;
    while (n-- > 0) all += bytes;
    return all;
  };
  const struct {
    const char* name;
    bool telnet;
    std::string bytes;
    std::optional<std::size_t> held;  // nothing: libtelnet's to decide, within the cap
    std::uint64_t dropped;
    std::optional<std::uint32_t> speed;
    std::string says;  // in the remarks
    bool broken;
  } cases[] = {
      {"escaped 0xFF beyond the cap", true, times("\xFF\xFF", kCap + 10), kCap, 10, {}, "what came beyond them was dropped", false},
      {"raw TCP as it comes", false, std::string(kCap + 1, '\xFF'), kCap, 1, {}, "what came beyond them was dropped", false},
      {"exactly the cap", true, times("\xFF\xFF", kCap), kCap, 0, {}, "", false},
      {"NOPs are no data", true, times("\xFF\xF1", 3 * kCap), 0, 0, {}, "", false},
      {"options asked for over and over", true, times(std::string_view("\xFF\xFD\x01\xFF\xFB\x00\xFF\xFC\x00", 9), kCap), 0, 0, {}, "", false},
      {"the speed", true, std::string("\xFF\xFA\x2C\x65\x00\x00\x4B\x00\xFF\xF0", 10), 0, 0, 19200, "", false},
      {"the speed with an 0xFF doubled", true, std::string("\xFF\xFA\x2C\x65\x00\x00\xFF\xFF\x00\xFF\xF0", 11), 0, 0,
       0xFF00, "", false},
      {"an answer to the speed without one", true, std::string("\xFF\xFA\x2C\x65\xFF\xF0", 6), 0, 0, {}, "", false},
      {"a sub-negotiation without end", true, "\xFF\xFA\x2C" + std::string(kCap, 'x'), {}, 0, {}, "faulty", false},
      {"compression never agreed", true, std::string("\xFF\xFA\x56\xFF\xF0\x78\x9C", 7) + times("x", 100), 0, 0, {},
       "compresses its stream", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TNetStream stream(c.telnet);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(c.bytes.data());
    for (std::size_t at = 0; at < c.bytes.size(); at += 4096) {  // as a socket gives them
      stream.Receive(bytes + at, std::min<std::size_t>(4096, c.bytes.size() - at));
      ASSERT_LE(stream.Buffered(), kCap);
    }
    EXPECT_EQ(stream.Buffered(), c.held.value_or(stream.Buffered()));
    EXPECT_EQ(stream.Dropped(), c.dropped);
    EXPECT_LE(stream.Outgoing().size(), c.bytes.size());
    EXPECT_EQ(stream.Speed(), c.speed);
    EXPECT_EQ(stream.Acknowledged(1), c.bytes.find("\x2C\x65") != std::string::npos ? 1u : 0u);
    EXPECT_EQ(!stream.Broken().empty(), c.broken) << stream.Broken();
    const std::string remarks = stream.TakeRemarks();
    EXPECT_NE(remarks.find(c.says), std::string::npos) << remarks;
    EXPECT_LE(remarks.size(), TRemarks::kCap);
    EXPECT_EQ(remarks.find("dropped") != remarks.rfind("dropped"), false) << remarks;  // said once
  }
}

TEST(NetPort, NegotiatesBinaryDoublesFFAndADropOrARefusalIsAPortFailure) {
  TScriptedServer server({});
  TNetComDevice device(server.Url(), TSystemClock::Instance());
  ASSERT_EQ(device.Open("COM1"), 0);
  TLineTermios line;
  line.bitsPerSecond = 115200;
  ASSERT_EQ(device.SetLine(line, false, false), 0);
  const std::uint8_t data[] = {0x3A, 0xFF, 0x00, 0xFF};
  std::size_t written = 0;
  ASSERT_EQ(device.Write(data, sizeof data, 1000, written), 0);
  std::uint8_t back[8] = {};
  std::size_t got = 0;
  ASSERT_EQ(device.Read(back, sizeof data, 2000, got), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(back), got), std::string(reinterpret_cast<const char*>(data), 4));
  const std::string wire = server.Received();
  for (const std::string& sent : {std::string("\xFF\xFB\x2C", 3),                // WILL COM-PORT-OPTION
                                  std::string("\xFF\xFB\x00\xFF\xFD\x00", 6),    // WILL, DO BINARY
                                  std::string("\xFF\xFA\x2C\x01\x00\x01\xC2\x00\xFF\xF0", 10),  // 115200
                                  std::string("\x3A\xFF\xFF\x00\xFF\xFF", 6)}) {  // the data, 0xFF doubled
    EXPECT_NE(wire.find(sent), std::string::npos) << testing::PrintToString(sent);
  }
  server.hangUp = true;
  bool arrived = false;
  EXPECT_EQ(device.WaitForInput(2000, arrived), ECONNRESET);
  // A server whose port another client holds says so and closes.
  TScriptedServer busy({Acknowledge, "Port's device already in use\r\n"});
  TNetComDevice second(busy.Url(), TSystemClock::Instance(), 300);
  ASSERT_EQ(second.Open("COM1"), 0);
  EXPECT_EQ(second.SetLine(line, false, false), EBUSY);
}

TEST(BootEntry, SequencesSetBothLinesAsTheyStandInvertedWhereAskedAndStopBetweenAndWithinSteps) {
  static constexpr TModemStep kLong[] = {TModemStep::Rts(true), TModemStep::Pause(10000), TModemStep::Dtr(true)};
  const struct {
    const char* name;
    std::span<const TModemStep> steps;
    bool invertDtr, invertRts;
    std::string lines;  // each SetModemLines: "DR" with upper case for on
    std::vector<int> pauses;
    std::int64_t stopAtMs = -1;  // a stop asked from this time on (from the start); -1: none can come
  } cases[] = {
      {"dtr-rts", kDtrRtsEntry, false, false, "dR DR dR dr", {50, 100}},
      {"dtr-rts, DTR inverted", kDtrRtsEntry, true, false, "DR dR DR Dr", {50, 100}},
      {"run after, RTS inverted", kRunAfterReset, false, true, "dR DR dR", {50}},
      {"a stop that never comes", kLong, false, false, "dR DR", std::vector<int>(100, 100), 1000000},
      {"a stop before the first step", kDtrRtsEntry, false, false, "", {}, 0},
      {"a stop between steps", kDtrRtsEntry, false, false, "dR DR dR", {50, 100}, 120},
      {"a stop within a long pause", kLong, false, false, "dR", {100, 100, 100}, 250},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TVirtualClock clock;
    auto fake = std::make_unique<test::TFakeComDevice>(clock);
    test::TFakeComDevice* device = fake.get();
    TCustomComPort port(std::move(fake));
    port.OpenPort();
    const std::int64_t start = clock.NowMs();
    const bool ended = c.stopAtMs < 0 ? RunModemSteps(port, clock, c.steps, c.invertDtr, c.invertRts)
                                      : RunModemSteps(port, clock, c.steps, c.invertDtr, c.invertRts,
                                                      [&] { return clock.NowMs() - start >= c.stopAtMs; });
    EXPECT_EQ(ended, c.stopAtMs < 0 || c.stopAtMs > 10000);
    EXPECT_EQ(device->modemLines, c.lines);
    EXPECT_EQ(clock.sleeps, c.pauses);
  }
}

}  // namespace
}  // namespace kavel
