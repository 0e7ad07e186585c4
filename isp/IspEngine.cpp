#include "isp/IspEngine.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

#include "image/HexText.h"
#include "link/EComPort.h"

namespace kavel {

TIspEngine::TIspEngine(TNAVOPort& port, TClock& clock, TReplyWait& wait)
    : m_port(port), m_clock(clock), m_wait(wait) {}

void TIspEngine::Timer1Init(int intervalMs) {
  m_timer1Expired = false;
  m_timer1Deadline = m_clock.NowMs() + std::max(intervalMs, 0);
}

void TIspEngine::Timer1Timer() {
  m_timer1Deadline.reset();
  m_timer1Expired = true;
}

void TIspEngine::DeliverTimerTick() {
  if (m_timer1Deadline && m_clock.NowMs() >= *m_timer1Deadline) Timer1Timer();
}

void TIspEngine::Settle() {
  const std::int64_t until = m_clock.NowMs() + kSettleMs;
  for (std::int64_t left = kSettleMs; left > 0; left = until - m_clock.NowMs()) {
    m_wait.ProcessEvents();
    m_clock.SleepMs(static_cast<int>(std::min<std::int64_t>(left, kIdlePollMs)));
  }
}

void TIspEngine::AppendReply(const char* bytes, std::size_t n) {
  m_replyText.append(bytes, n);
  if (m_replyText.size() > kReplyTextLimit)
    m_replyText.erase(0, m_replyText.size() - kReplyTextLimit);
}

void TIspEngine::Send(std::string_view text) {
  m_pendingEcho.clear();
  m_port.SendText(text);
}

void TIspEngine::SendRecord(std::string_view record) {
  m_pendingEcho.clear();
  m_port.SendText(record);
  m_pendingEcho = record;  // only once it is on its way
}

char TIspEngine::WaitForChar(int timeoutMs, std::string_view awaited) {
  m_replyText.clear();
  m_portFailure.clear();
  Timer1Init(timeoutMs);
  const std::string echo = std::exchange(m_pendingEcho, {});
  if (m_wait.AtWireSpeed()) return WireWait(awaited, echo);
  try {
    while (!m_timer1Expired) {
      const bool late = m_timer1Deadline && m_clock.NowMs() >= *m_timer1Deadline;
      std::size_t waiting = m_port.BytesWaiting();
      if (waiting > 0) {
        Settle();
        waiting = m_port.BytesWaiting();
      }
      if (waiting > 0) {
        std::array<char, kLateReadMax> buffer{};
        const std::size_t want = std::min(waiting, late ? kLateReadMax : kMaxRead);
        const std::size_t got = m_port.ReceiveBytes(buffer.data(), want);
        for (std::size_t i = 0; i < got; ++i) {
          if (awaited.find(buffer[i]) != std::string_view::npos) {
            AppendReply(buffer.data(), i + 1);
            return buffer[i];
          }
        }
        AppendReply(buffer.data(), got);
        if (late) Timer1Timer();  // past its time-out the line brought only noise
        continue;
      }
      // Sleep until input arrives, a window event comes or the deadline passes, and give the
      // window its event pass.
      const auto left = m_timer1Deadline.value_or(m_clock.NowMs()) - m_clock.NowMs();
      m_wait.IdleWait(m_port, static_cast<int>(std::clamp<std::int64_t>(left, 0, INT32_MAX)));
      DeliverTimerTick();
    }
  } catch (const EComPort& e) {
    // A port failure ends the wait quietly: the caller reports "no answer" to the operator,
    // and its status says what really happened.
    m_portFailure = e.Words();
  }
  return kNoReply;
}

int TIspEngine::LineMs(std::size_t characters) const {
  const std::uint32_t bits = std::max<std::uint32_t>(BaudRateBits(m_port.BaudRate()), 1);
  return static_cast<int>((characters * 10 * 1000 + bits - 1) / bits);
}

char TIspEngine::WireWait(std::string_view awaited, const std::string& echo) {
  bool echoSeen = echo.empty();
  std::size_t scanFrom = 0;  // the reply begins after the echo; what came before is not it
  // The chip has the time-out from the moment it has the whole record. Until its echo is
  // back, the wait also allows for the line time of the record and of its echo (a write may
  // return as soon as an adapter or a pseudo-terminal took the bytes) and for an adapter
  // that holds what comes back; once the echo is back, the time-out counts from there.
  const int timeoutMs = m_timer1Deadline ? static_cast<int>(*m_timer1Deadline - m_clock.NowMs()) : 0;
  if (!echoSeen) m_timer1Deadline = *m_timer1Deadline + 2 * LineMs(echo.size()) + kAdapterLatencyMs;
  try {
    for (;;) {
      const bool late = !m_timer1Deadline || m_clock.NowMs() >= *m_timer1Deadline;
      if (const std::size_t waiting = m_port.BytesWaiting(); waiting > 0) {
        std::array<char, kLateReadMax> buffer{};
        const std::size_t before = m_replyText.size();
        m_replyText.append(buffer.data(), m_port.ReceiveBytes(buffer.data(), std::min(waiting, buffer.size())));
        if (!echoSeen) {
          const std::size_t at = m_replyText.find(echo, before >= echo.size() ? before - echo.size() + 1 : 0);
          echoSeen = at != std::string::npos;
          scanFrom = echoSeen ? at + echo.size() : m_replyText.size();
          // The reply comes through the same adapter as the echo: one character's time more.
          if (echoSeen) m_timer1Deadline = std::min(*m_timer1Deadline, m_clock.NowMs() + timeoutMs + LineMs(1) + 1);
        }
        for (std::size_t i = scanFrom; echoSeen && i < m_replyText.size(); ++i) {
          if (awaited.find(m_replyText[i]) == std::string_view::npos) continue;
          m_replyText.resize(i + 1);  // what follows in the same read is dropped
          return m_replyText[i];
        }
        scanFrom = std::max(scanFrom, m_replyText.size());
        // Past its time-out, or past any answer's length, the line brought only noise.
        if (late || m_replyText.size() > kLinesTextLimit) break;
        continue;
      }
      const std::int64_t left = m_timer1Deadline.value_or(m_clock.NowMs()) - m_clock.NowMs();
      if (left <= 0) break;
      m_wait.IdleWait(m_port, static_cast<int>(std::min<std::int64_t>(left, INT32_MAX)));
    }
  } catch (const EComPort& e) {
    m_portFailure = e.Words();
  }
  Timer1Timer();
  return kNoReply;
}

bool TIspEngine::ReceiveLines(std::string_view echo, std::size_t lines, int idleMs, int totalMs) {
  m_replyText.clear();
  m_portFailure.clear();
  // Done once the answer after the echo holds its lines, or its first line is one letter.
  auto complete = [&] {
    const std::size_t at = m_replyText.find(echo);
    if (at == std::string::npos) return false;
    const std::string_view answer = std::string_view(m_replyText).substr(at + echo.size());
    std::size_t ends = 0;
    for (char c : answer) ends += c == '\n';
    if (ends >= lines) return true;
    const std::size_t first = answer.find_first_not_of("\r\n \t");
    return first != std::string_view::npos && HexDigitValue(answer[first]) < 0 &&
           answer.find('\n', first) != std::string_view::npos;
  };
  const std::int64_t deadline = m_clock.NowMs() + std::max(totalMs, 0);
  std::int64_t lastInput = m_clock.NowMs();
  try {
    for (;;) {
      if (const std::size_t waiting = m_port.BytesWaiting(); waiting > 0) {
        std::array<char, kLateReadMax> buffer{};
        const std::size_t got = m_port.ReceiveBytes(buffer.data(), std::min(waiting, buffer.size()));
        m_replyText.append(buffer.data(), got);
        if (m_replyText.size() > kLinesTextLimit) return false;  // no answer is that long
        lastInput = m_clock.NowMs();
        if (complete()) return true;
        if (lastInput >= deadline) return false;  // a line that never goes quiet
        continue;
      }
      const std::int64_t now = m_clock.NowMs();
      const std::int64_t left = std::min(lastInput + idleMs, deadline) - now;
      if (left <= 0) return false;
      m_wait.IdleWait(m_port, static_cast<int>(std::min<std::int64_t>(left, INT32_MAX)));
    }
  } catch (const EComPort& e) {
    m_portFailure = e.Words();
  }
  return false;
}

TIspStatus TIspEngine::ReplyStatus(TReplyClass cls, std::string detail) const {
  if (cls == rcNoAnswer && !m_portFailure.empty()) {
    TIspStatus status = TIspStatus::Make(skPortFailed, detail + " (the port failed: " + m_portFailure + ")");
    status.reply = cls;
    return status;
  }
  return TIspStatus::FromReply(cls, std::move(detail));
}

char TIspEngine::WaitForDot(int timeoutMs) {
  static constexpr char kAwaited[] = {kReplyOk, kReplyCrcError, kReplyNotAllowed, kReplyEnd};
  return WaitForChar(timeoutMs, std::string_view(kAwaited, sizeof kAwaited));
}

TIspEngine::TCommandOutcome TIspEngine::GiveCommand(std::string_view record, int waitMs,
                                                    int pauseMs, bool awaitReply) {
  SendRecord(record);
  TCommandOutcome outcome;
  if (awaitReply) {
    outcome.awaited = true;
    outcome.reply = WaitForDot(waitMs);
    outcome.cls = ClassifyReply(outcome.reply);
  } else {
    m_clock.SleepMs(pauseMs);
  }
  return outcome;
}

}  // namespace kavel
