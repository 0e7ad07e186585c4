// A scripted serial device in virtual time: bytes are delivered at chosen times, writes are
// recorded and may trigger answers, and any call can be made to fail.
#pragma once

#include <algorithm>
#include <cerrno>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "link/ComDevice.h"
#include "tests/support/VirtualClock.h"

namespace kavel::test {

class TFakeComDevice final : public TComDevice {
 public:
  explicit TFakeComDevice(TVirtualClock& clock) : m_clock(clock) {}

  // Script.
  void DeliverAt(std::int64_t atMs, const std::string& bytes) {
    m_incoming.push_back({atMs, bytes});
  }
  void Deliver(const std::string& bytes) { DeliverAt(m_clock.NowMs(), bytes); }
  // A line that keeps talking: from now until untilMs it brings bytesPerMs bytes of fill a
  // millisecond (38400 bit/s is 3.84 bytes/ms), on top of the scripted deliveries.
  void Chatter(double bytesPerMs, std::int64_t untilMs, char fill = 'z') {
    m_chatter = {m_clock.NowMs(), untilMs, bytesPerMs, fill, 0};
  }
  // Called with the bytes of each Write, after they were recorded.
  std::function<void(const std::string&)> onWrite;
  // Makes the named call ("Open", "SetQueueSizes", "SetLine", "BytesWaiting", "Read",
  // "Write", "Purge", "WaitForInput") fail with err from virtual time atMs on.
  void FailFrom(const std::string& call, int err, std::int64_t atMs = 0) {
    m_failures[call] = {err, atMs};
  }
  // Makes the next count calls of the named call fail with err, as a signal would: a Read
  // or Write failing so has first moved one byte, when there was one.
  void FailTimes(const std::string& call, int err, int count) { m_failTimes[call] = {err, count}; }

  // What happened.
  std::string written;
  std::vector<std::size_t> readSizes;  // n asked for in each Read
  int openCount = 0;
  int setLineCount = 0;
  TLineTermios line;
  std::string openedName;

  int Open(const std::string& portName) override {
    if (int e = Failure("Open")) return e;
    ++openCount;
    openedName = portName;
    m_open = true;
    return 0;
  }
  void Close() override { m_open = false; }
  int SetQueueSizes(std::size_t, std::size_t) override { return Failure("SetQueueSizes"); }
  int SetLine(const TLineTermios& l, bool dtr, bool rts) override {
    if (int e = Failure("SetLine")) return e;
    ++setLineCount;
    line = l;
    lineLevels = std::string(1, dtr ? 'D' : 'd') + (rts ? 'R' : 'r');
    return 0;
  }
  std::string lineLevels;  // the modem lines of the last SetLine: "Dr" for DTR on, RTS off
  // Each setting of the modem lines alone: "DR" for both on, "dr" both off, space apart.
  int SetModemLines(bool dtr, bool rts) override {
    if (int e = Failure("SetModemLines")) return e;
    modemLines += std::string(modemLines.empty() ? "" : " ") + (dtr ? 'D' : 'd') + (rts ? 'R' : 'r');
    return 0;
  }
  std::string modemLines;
  int BytesWaiting(std::size_t& count) override {
    if (int e = Failure("BytesWaiting")) return e;
    Arrive();
    count = m_rx.size();
    return 0;
  }
  int Read(std::uint8_t* buffer, std::size_t n, int timeoutMs, std::size_t& got) override {
    got = 0;
    std::size_t partial = 0;
    if (int e = Failure("Read", &partial)) {
      Arrive();
      got = Take(buffer, std::min(n, partial));
      return e;
    }
    readSizes.push_back(n);
    Arrive();
    if (m_rx.empty()) {
      // Wait for the next delivery within the time-out.
      std::int64_t until = m_clock.NowMs() + (timeoutMs < 0 ? 1000000 : timeoutMs);
      std::int64_t next = NextDelivery();
      m_clock.AdvanceTo(next >= 0 && next <= until ? next : until);
      Arrive();
    }
    got = Take(buffer, n);
    return 0;
  }
  int Write(const std::uint8_t* buffer, std::size_t n, int, std::size_t& count) override {
    std::size_t partial = 0;
    const int e = Failure("Write", &partial);
    count = std::min(n, e ? partial : writeLimit);
    if (e && count == 0) return e;
    std::string bytes(reinterpret_cast<const char*>(buffer), count);
    written += bytes;
    if (onWrite) onWrite(bytes);
    if (e) return e;
    return count < n ? ETIMEDOUT : 0;
  }
  // A far end that stops taking bytes: each write takes at most this many, then times out.
  std::size_t writeLimit = static_cast<std::size_t>(-1);
  int Purge(bool input, bool) override {
    if (int e = Failure("Purge")) return e;
    if (input) {
      Arrive();
      m_rx.clear();
    }
    return 0;
  }
  int WaitForInput(int timeoutMs, bool& arrived) override {
    if (int e = Failure("WaitForInput")) return e;
    Arrive();
    arrived = !m_rx.empty();
    if (arrived) return 0;
    std::int64_t until = m_clock.NowMs() + timeoutMs;
    std::int64_t next = NextDelivery();
    if (next >= 0 && next <= until) {
      m_clock.AdvanceTo(next);
      Arrive();
      arrived = true;
    } else {
      m_clock.AdvanceTo(until);
    }
    ++waitCount;
    return 0;
  }
  int waitCount = 0;

 private:
  struct TDelivery {
    std::int64_t atMs;
    std::string bytes;
  };
  // partial: how many bytes a failing Read or Write moves first.
  int Failure(const std::string& call, std::size_t* partial = nullptr) {
    if (auto t = m_failTimes.find(call); t != m_failTimes.end() && t->second.second > 0) {
      --t->second.second;
      if (partial) *partial = 1;
      return t->second.first;
    }
    auto it = m_failures.find(call);
    if (it == m_failures.end() || m_clock.NowMs() < it->second.second) return 0;
    return it->second.first;
  }
  void Arrive() {
    if (m_chatter.bytesPerMs > 0) {
      const auto upTo = std::min(m_clock.NowMs(), m_chatter.untilMs) - m_chatter.fromMs;
      const auto due = static_cast<std::size_t>(static_cast<double>(upTo) * m_chatter.bytesPerMs);
      if (due > m_chatter.sent) m_rx.insert(m_rx.end(), due - m_chatter.sent, m_chatter.fill);
      m_chatter.sent = std::max(due, m_chatter.sent);
    }
    for (auto it = m_incoming.begin(); it != m_incoming.end();) {
      if (it->atMs <= m_clock.NowMs()) {
        m_rx.insert(m_rx.end(), it->bytes.begin(), it->bytes.end());
        it = m_incoming.erase(it);
      } else {
        ++it;
      }
    }
  }
  std::size_t Take(std::uint8_t* buffer, std::size_t n) {
    std::size_t got = 0;
    while (got < n && !m_rx.empty()) {
      buffer[got++] = static_cast<std::uint8_t>(m_rx.front());
      m_rx.pop_front();
    }
    return got;
  }
  std::int64_t NextDelivery() const {
    std::int64_t next = -1;
    if (m_chatter.bytesPerMs > 0 && m_clock.NowMs() < m_chatter.untilMs) next = m_clock.NowMs() + 1;
    for (const auto& d : m_incoming)
      if (next < 0 || d.atMs < next) next = d.atMs;
    return next;
  }

  TVirtualClock& m_clock;
  bool m_open = false;
  std::deque<char> m_rx;
  std::vector<TDelivery> m_incoming;
  std::map<std::string, std::pair<int, std::int64_t>> m_failures;
  std::map<std::string, std::pair<int, int>> m_failTimes;  // err, calls left to fail
  struct {
    std::int64_t fromMs = 0;
    std::int64_t untilMs = 0;
    double bytesPerMs = 0;
    char fill = 0;
    std::size_t sent = 0;
  } m_chatter;
};

}  // namespace kavel::test
