// Network ports against a scripted server on loopback, byte for byte: the RFC 2217
// negotiation, what a server that refuses or keeps silent does to a run, 0xFF doubled both
// ways, a dropped connection; and the boot entry's steps on the modem lines.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "link/BootEntry.h"
#include "link/EComPort.h"
#include "link/NetComDevice.h"
#include "tests/support/FakeComDevice.h"

namespace kavel {
namespace {

constexpr char kIac = '\xFF', kSb = '\xFA', kSe = '\xF0';

// A server that answers each COM-PORT-OPTION command as answer() says ("" for silence),
// echoes data, and keeps everything the client sent; or one that sends refusal and closes.
class TScriptedServer {
 public:
  explicit TScriptedServer(std::function<std::string(char command, const std::string& value)> answer,
                           std::string refusal = {})
      : m_answer(std::move(answer)), m_refusal(std::move(refusal)) {
    m_listen = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
    listen(m_listen, 1);
    m_thread = std::thread([this] { Serve(); });
  }
  ~TScriptedServer() {
    m_stop = true;
    m_thread.join();
    close(m_listen);
  }
  std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(m_port); }
  std::string Received() const {  // what the client sent, as it came
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_received;
  }
  std::atomic<bool> hangUp{false};

 private:
  void Serve() {
    pollfd p{m_listen, POLLIN, 0};
    while (!m_stop && poll(&p, 1, 20) == 0) {
    }
    if (m_stop) return;
    const int client = accept(m_listen, nullptr, nullptr);
    if (!m_refusal.empty()) {
      // Said, then closed gracefully: what the client sent meanwhile is read first, because
      // closing over unread bytes resets the connection, and the reset may overtake the text.
      send(client, m_refusal.data(), m_refusal.size(), MSG_NOSIGNAL);
      shutdown(client, SHUT_WR);
      char drain[512];
      for (pollfd c{client, POLLIN, 0}; !m_stop && poll(&c, 1, 2000) > 0 && recv(client, drain, sizeof drain, 0) > 0;) {
      }
      close(client);
      return;
    }
    std::string pending;
    while (!m_stop && !hangUp) {
      pollfd c{client, POLLIN, 0};
      if (poll(&c, 1, 20) <= 0) continue;
      char buffer[512];
      const ssize_t n = recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_received.append(buffer, static_cast<std::size_t>(n));
      }
      pending.append(buffer, static_cast<std::size_t>(n));
      std::string reply;
      // Negotiation is taken in, sub-negotiations of option 44 answered, data echoed (an 0xFF
      // doubled again on the way back).
      std::size_t at = 0;
      while (at < pending.size()) {
        if (pending[at] != kIac) {
          reply += pending[at++];
          continue;
        }
        if (at + 1 >= pending.size()) break;
        const char what = pending[at + 1];
        if (what == kIac) {
          reply += std::string{kIac, kIac};
          at += 2;
        } else if (what == kSb) {
          const std::size_t end = pending.find(std::string{kIac, kSe}, at);
          if (end == std::string::npos) break;
          const std::string body = pending.substr(at + 3, end - at - 3);
          const std::string answer = pending[at + 2] == 44 ? m_answer(body[0], body.substr(1)) : "";
          if (!answer.empty()) reply += std::string{kIac, kSb, 44} + answer + std::string{kIac, kSe};
          at = end + 2;
        } else if (static_cast<unsigned char>(what) >= 0xFB) {
          if (at + 2 >= pending.size()) break;
          at += 3;
        } else {
          at += 2;
        }
      }
      pending.erase(0, at);
      send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
    }
    close(client);
  }

  std::function<std::string(char, const std::string&)> m_answer;
  std::string m_refusal;
  int m_listen = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  mutable std::mutex m_mutex;
  std::string m_received;
  std::thread m_thread;
};

// Acknowledges as a good server does: the command + 100 and its value.
std::string Acknowledge(char command, const std::string& value) { return std::string(1, static_cast<char>(command + 100)) + value; }

TEST(NetPort, WhatAServerAcknowledgesDecidesWhatARunMayDo) {
  const struct {
    const char* name;
    std::function<std::string(char, const std::string&)> answer;
    int setLine;      // what setting the line at 9600 gives
    int modemLines;   // what setting DTR and RTS alone gives
    std::string remark;
  } cases[] = {
      {"a good server", Acknowledge, 0, 0, ""},
      {"silent about the speed", [](char c, const std::string& v) { return c == 1 ? "" : Acknowledge(c, v); },
       ETIMEDOUT, 0, ""},
      {"another speed", [](char c, const std::string& v) { return c == 1 ? std::string("\x65\0\0\x4B\0", 5) : Acknowledge(c, v); },
       EINVAL, 0, "the server runs its port at 19200 bit/s, not 9600"},
      {"deaf to DTR and RTS, as ser2net on a pty", [](char c, const std::string& v) { return c == 5 && v[0] >= 8 ? "" : Acknowledge(c, v); },
       0, ETIMEDOUT, "the server did not acknowledge DTR within 300 ms"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TScriptedServer server(c.answer);
    TNetComDevice device(server.Url(), TSystemClock::Instance(), 300);
    ASSERT_EQ(device.Open("COM1"), 0);
    TLineTermios line;
    line.bitsPerSecond = 9600;
    EXPECT_EQ(device.SetLine(line, false, false), c.setLine);
    if (c.setLine == 0) {
      EXPECT_EQ(device.SetModemLines(true, true), c.modemLines);
    }
    EXPECT_NE(device.TakeRemarks().find(c.remark), std::string::npos);
  }
}

TEST(NetPort, NegotiatesBinaryDoublesFFAndADropOrARefusalIsAPortFailure) {
  TScriptedServer server(Acknowledge);
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
  TScriptedServer busy(Acknowledge, "Port's device already in use\r\n");
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
