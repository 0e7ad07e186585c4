#include "isp/IspEngine.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <utility>

#include "image/HexText.h"
#include "link/EComPort.h"

namespace kavel {

TIspStatus TReply::Status(std::string detail) const {
  const TReplyClass cls = Class();
  if (cls == rcNoAnswer && line.kind == skPortFailed) {
    TIspStatus status = TIspStatus::Make(skPortFailed, detail + " (the port failed: " + line.detail + ")");
    status.reply = cls;
    return status;
  }
  return TIspStatus::FromReply(cls, std::move(detail));
}

// What one wait waits for. The loop (TIspEngine::Wait) asks it how to read and until when to
// wait, and hands it what each read brought.
class TIspEngine::TAnswer {
 public:
  explicit TAnswer(TIspEngine& engine) : m_engine(engine) {}
  virtual ~TAnswer() = default;
  // True when the wait has ended without a round of its own (a wait started from the
  // front end's passes went past the shared deadline).
  virtual bool Ended() const { return false; }
  // True: a round that finds input first pauses for the chip to finish its answer.
  virtual bool Settles() const { return false; }
  // The most a round reads.
  virtual std::size_t ReadLimit(bool /*late*/) const { return kLateReadMax; }
  // Takes what a read brought into ReplyText; true when the answer is complete.
  virtual bool Take(std::string_view bytes) = 0;
  // True when more came than any answer holds.
  virtual bool Overlong() const { return false; }
  // A round without input that ends at or past this ends the wait.
  virtual std::int64_t QuietDeadline() const = 0;
  // Input that comes at or past this and completes nothing ends the wait: noise.
  virtual std::int64_t NoiseDeadline() const { return QuietDeadline(); }
  // The wait ended without its answer; or a port failure ended it.
  virtual void GaveUp() {}
  virtual void PortFailed() { GaveUp(); }

 protected:
  TIspEngine& m_engine;
};

// The paced reply: a round with input settles 50 ms and reads at most 65 bytes (all that
// waits once late); the first awaited character anywhere in them is the reply. The deadline
// is the one shared reply deadline.
class TIspEngine::TPacedReply : public TIspEngine::TAnswer {
 public:
  TPacedReply(TIspEngine& engine, std::string_view awaited) : TAnswer(engine), m_awaited(awaited) {}
  bool Ended() const override { return m_engine.m_replyDeadlinePassed; }
  bool Settles() const override { return true; }
  std::size_t ReadLimit(bool late) const override { return late ? kLateReadMax : kMaxRead; }
  bool Take(std::string_view bytes) override {
    const std::size_t at = bytes.find_first_of(m_awaited);
    m_engine.AppendReply(bytes.substr(0, at == std::string_view::npos ? bytes.size() : at + 1));
    if (at == std::string_view::npos) return false;
    reply = bytes[at];
    return true;
  }
  std::int64_t QuietDeadline() const override { return m_engine.ReplyDeadline(); }
  void GaveUp() override { m_engine.PassReplyDeadline(); }
  void PortFailed() override {}  // the deadline ticks later, as after a reply
  char reply = kNoReply;

 private:
  std::string_view m_awaited;
};

// The reply at the wire's pace: no pause; the reply is the first awaited character after the
// record's echo. The chip has the time-out from the moment it has the whole record: until its
// echo is back, the wait also allows for the line time of the record and of its echo (a
// write may return as soon as an adapter or a pseudo-terminal took the bytes) and for an
// adapter that holds what comes back; once the echo is back, the time-out counts from there.
class TIspEngine::TWireReply : public TIspEngine::TAnswer {
 public:
  TWireReply(TIspEngine& engine, std::string_view awaited, std::string echo, int timeoutMs)
      : TAnswer(engine), m_awaited(awaited), m_echo(std::move(echo)), m_timeoutMs(std::max(timeoutMs, kMinChipMs)) {
    if (!m_echo.empty() && engine.m_replyDeadline)
      engine.m_replyDeadline = engine.m_clock.NowMs() + m_timeoutMs + 2 * engine.LineMs(m_echo.size()) + kAdapterLatencyMs;
  }
  bool Take(std::string_view bytes) override {
    std::string& text = m_engine.m_replyText;
    const std::size_t before = text.size();
    text.append(bytes);
    if (!m_echoSeen) {
      const std::size_t at = m_echo.empty() ? 0 : text.find(m_echo, before >= m_echo.size() ? before - m_echo.size() + 1 : 0);
      m_echoSeen = at != std::string::npos;
      m_scanFrom = m_echoSeen ? at + m_echo.size() : text.size();
      // The reply comes through the same adapter as the echo: one character's time more.
      if (m_echoSeen && !m_echo.empty() && m_engine.m_replyDeadline) {
        m_engine.m_replyDeadline = std::min(*m_engine.m_replyDeadline,
                                            m_engine.m_clock.NowMs() + m_timeoutMs + m_engine.LineMs(1) + 1);
      }
    }
    if (!m_echoSeen) return false;
    const std::size_t at = text.find_first_of(m_awaited, m_scanFrom);
    if (at == std::string::npos) {
      m_scanFrom = text.size();
      return false;
    }
    text.resize(at + 1);  // what follows in the same read is dropped
    reply = text[at];
    return true;
  }
  bool Overlong() const override { return m_engine.m_replyText.size() > kLinesTextLimit; }
  std::int64_t QuietDeadline() const override { return m_engine.ReplyDeadline(); }
  void GaveUp() override { m_engine.PassReplyDeadline(); }
  char reply = kNoReply;

 private:
  std::string_view m_awaited;
  std::string m_echo;
  int m_timeoutMs;
  bool m_echoSeen = false;
  std::size_t m_scanFrom = 0;  // the reply begins after the echo; what came before is not it
};

// An answer of text lines after a record's echo.
class TIspEngine::TLines : public TIspEngine::TAnswer {
 public:
  TLines(TIspEngine& engine, std::string_view echo, std::size_t lines, int idleMs, int totalMs)
      : TAnswer(engine),
        m_echo(echo),
        m_lines(lines),
        m_idleMs(idleMs),
        m_lastInput(engine.m_clock.NowMs()),
        m_deadline(m_lastInput + std::max(totalMs, 0)) {}
  bool Take(std::string_view bytes) override {
    m_engine.m_replyText.append(bytes);
    m_lastInput = m_engine.m_clock.NowMs();
    return !Overlong() && Complete();
  }
  bool Overlong() const override { return m_engine.m_replyText.size() > kLinesTextLimit; }
  std::int64_t QuietDeadline() const override { return std::min(m_lastInput + m_idleMs, m_deadline); }
  std::int64_t NoiseDeadline() const override { return m_deadline; }

 private:
  // Done once the answer after the echo holds its lines, or its first line is one letter.
  bool Complete() const {
    const std::string& text = m_engine.m_replyText;
    const std::size_t at = text.find(m_echo);
    if (at == std::string::npos) return false;
    const std::string_view answer = std::string_view(text).substr(at + m_echo.size());
    if (static_cast<std::size_t>(std::count(answer.begin(), answer.end(), '\n')) >= m_lines) return true;
    const std::size_t first = answer.find_first_not_of("\r\n \t");
    return first != std::string_view::npos && HexDigitValue(answer[first]) < 0 &&
           answer.find('\n', first) != std::string_view::npos;
  }

  std::string_view m_echo;
  std::size_t m_lines;
  int m_idleMs;
  std::int64_t m_lastInput;
  std::int64_t m_deadline;
};

TIspEngine::TIspEngine(TNAVOPort& port, TClock& clock, TReplyWait& wait)
    : m_port(port), m_clock(clock), m_wait(wait) {}

void TIspEngine::ArmReplyDeadline(int intervalMs) {
  m_replyDeadlinePassed = false;
  m_replyDeadline = m_clock.NowMs() + std::max(intervalMs, 0);
}

void TIspEngine::PassReplyDeadline() {
  m_replyDeadline.reset();
  m_replyDeadlinePassed = true;
}

std::int64_t TIspEngine::ReplyDeadline() const {
  return m_replyDeadline && !m_replyDeadlinePassed ? *m_replyDeadline : std::numeric_limits<std::int64_t>::min();
}

void TIspEngine::Settle() {
  const std::int64_t until = m_clock.NowMs() + kSettleMs;
  for (std::int64_t left = kSettleMs; left > 0; left = until - m_clock.NowMs()) {
    m_wait.BetweenPolls();
    m_clock.SleepMs(static_cast<int>(std::min<std::int64_t>(left, kIdlePollMs)));
  }
}

void TIspEngine::AppendReply(std::string_view bytes) {
  m_replyText.append(bytes);
  if (m_replyText.size() > kReplyTextLimit) m_replyText.erase(0, m_replyText.size() - kReplyTextLimit);
}

int TIspEngine::LineMs(std::size_t characters) const {
  const std::uint32_t bits = std::max<std::uint32_t>(BaudRateBits(m_port.BaudRate()), 1);
  return static_cast<int>((characters * 10 * 1000 + bits - 1) / bits);
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

TIspStatus TIspEngine::Wait(TAnswer& answer) {
  try {
    while (!answer.Ended()) {
      const bool late = m_clock.NowMs() >= answer.NoiseDeadline();
      std::size_t waiting = m_port.BytesWaiting();
      if (waiting > 0 && answer.Settles()) {
        Settle();
        waiting = m_port.BytesWaiting();
      }
      if (waiting > 0) {
        std::array<char, kLateReadMax> buffer{};
        const std::size_t got = m_port.ReceiveBytes(buffer.data(), std::min(waiting, answer.ReadLimit(late)));
        if (answer.Take(std::string_view(buffer.data(), got))) return TIspStatus::Done();
        if (late || answer.Overlong()) break;  // the line brought only noise
        continue;
      }
      // Sleep until input arrives, the front end has something to do or the deadline passes,
      // and give the front end its pass; like a timer's tick, the deadline is noticed only here.
      const std::int64_t left = answer.QuietDeadline() - m_clock.NowMs();
      m_wait.IdleWait(m_port, static_cast<int>(std::clamp<std::int64_t>(left, 0, INT32_MAX)));
      if (m_clock.NowMs() >= answer.QuietDeadline()) break;
    }
  } catch (const EComPort& e) {
    answer.PortFailed();
    return TIspStatus::Make(skPortFailed, e.Words());
  }
  answer.GaveUp();
  return TIspStatus::Make(skNoAnswer, ReplyClassWords(rcNoAnswer));
}

TReply TIspEngine::WaitForChar(int timeoutMs, std::string_view awaited) {
  m_replyText.clear();
  ArmReplyDeadline(timeoutMs);
  std::string echo = std::exchange(m_pendingEcho, {});
  TReply reply;
  if (m_wait.AtWireSpeed()) {
    TWireReply answer(*this, awaited, std::move(echo), timeoutMs);
    const TIspStatus status = Wait(answer);
    reply.ch = answer.reply;
    if (status.kind == skPortFailed) reply.line = status;
  } else {
    TPacedReply answer(*this, awaited);
    const TIspStatus status = Wait(answer);
    reply.ch = answer.reply;
    if (status.kind == skPortFailed) reply.line = status;
  }
  return reply;
}

TIspStatus TIspEngine::ReceiveLines(std::string_view echo, std::size_t lines, int idleMs, int totalMs) {
  m_replyText.clear();
  TLines answer(*this, echo, lines, idleMs, totalMs);
  return Wait(answer);
}

TReply TIspEngine::WaitForDot(int timeoutMs) {
  static constexpr char kAwaited[] = {kReplyOk, kReplyCrcError, kReplyNotAllowed, kReplyEnd};
  return WaitForChar(timeoutMs, std::string_view(kAwaited, sizeof kAwaited));
}

TIspEngine::TCommandOutcome TIspEngine::GiveCommand(std::string_view record, int waitMs, int pauseMs,
                                                    bool awaitReply) {
  SendRecord(record);
  TCommandOutcome outcome;
  if (awaitReply) {
    outcome.awaited = true;
    outcome.reply = WaitForDot(waitMs);
    outcome.cls = outcome.reply.Class();
  } else {
    m_clock.SleepMs(pauseMs);
  }
  return outcome;
}

}  // namespace kavel
