#include "isp/IspEngine.h"

#include <algorithm>
#include <array>

#include "link/EComPort.h"

namespace kavel {

TIspEngine::TIspEngine(TNAVOPort& port, TClock& clock, TIspHost& host)
    : m_port(port), m_clock(clock), m_host(host) {}

void TIspEngine::Timer1Init(int intervalMs) {
  m_timer1Enabled = false;
  m_timer1Expired = false;
  m_timer1Deadline = m_clock.NowMs() + std::max(intervalMs, 0);
  m_timer1Enabled = true;
}

void TIspEngine::Timer1Timer() {
  m_timer1Enabled = false;
  m_timer1Expired = true;
}

void TIspEngine::DeliverTimerTick() {
  if (m_timer1Enabled && m_clock.NowMs() >= m_timer1Deadline) Timer1Timer();
}

char TIspEngine::WaitForChar(int timeoutMs, std::string_view awaited) {
  m_replyText.clear();
  Timer1Init(timeoutMs);
  try {
    while (!m_timer1Expired) {
      std::size_t waiting = m_port.BytesWaiting();
      if (waiting > 0) {
        m_clock.SleepMs(kSettleMs);
        waiting = m_port.BytesWaiting();
      }
      if (waiting > 0) {
        std::array<char, kMaxRead> buffer{};
        std::size_t got = m_port.ReceiveBytes(buffer.data(), std::min(waiting, kMaxRead));
        for (std::size_t i = 0; i < got; ++i) {
          m_replyText += buffer[i];
          if (awaited.find(buffer[i]) != std::string_view::npos) return buffer[i];
        }
        continue;
      }
      m_host.ProcessEvents();
      DeliverTimerTick();
      if (m_timer1Expired) break;
      // Sleep until input arrives, the deadline passes or the next event pass is due.
      auto left = m_timer1Deadline - m_clock.NowMs();
      int nap = static_cast<int>(std::clamp<std::int64_t>(left, 0, kIdlePollMs));
      if (nap > 0) m_port.WaitForRxChar(nap);
    }
  } catch (const EComPort&) {
    // A port failure ends the wait quietly: the caller reports "no answer".
  }
  return kNoReply;
}

char TIspEngine::WaitForDot(int timeoutMs) {
  static constexpr char kAwaited[] = {kReplyOk, kReplyCrcError, kReplyNotAllowed, kReplyEnd};
  return WaitForChar(timeoutMs, std::string_view(kAwaited, sizeof kAwaited));
}

TIspEngine::TCommandOutcome TIspEngine::GiveCommand(std::string_view record, int waitMs,
                                                    int pauseMs, bool alwaysWait) {
  m_port.SendText(record);
  TCommandOutcome outcome;
  if (alwaysWait || m_host.WaitForConfirmation()) {
    outcome.awaited = true;
    outcome.reply = WaitForDot(waitMs);
    outcome.cls = ClassifyReply(outcome.reply);
  } else {
    m_clock.SleepMs(pauseMs);
  }
  return outcome;
}

}  // namespace kavel
