#include "link/KTNPort.h"

#include <algorithm>

namespace kavel {

TCustomPort::TCustomPort(TByteLine& line) : m_line(line), m_clock(&TSystemClock::Instance()) {}

TKtnOutcome TCustomPort::Purge() { return m_line.PurgeQuietly(); }

TKtnRead TCustomPort::GetByte() {
  const std::int64_t start = m_clock->NowMs();
  TKtnRead read = m_line.ReadByteTimed(kByteWaitMs);
  if (!read.Ok()) {
    // A read that comes back early without a byte still takes the byte's time, so that a
    // wait on it sleeps instead of spinning.
    const std::int64_t spent = m_clock->NowMs() - start;
    if (spent < kByteWaitMs) m_clock->SleepMs(static_cast<int>(kByteWaitMs - spent));
    return read;
  }
  if (m_count >= 0 && ++m_count > kCountLimit) {
    m_count = -1;
    return TKtnRead::Failed(TKtnResult::krOverflow);
  }
  return read;
}

TKtnRead TCustomPort::WaitByte(const TNAVOTimer* timer) {
  TKtnRead read = GetByte();
  while (timer && !read.Ok() && !read.PortFailed() && !timer->Expired()) read = GetByte();
  return read;
}

void TCustomPort::Send(std::span<const std::uint8_t> bytes) { m_line.Send(bytes); }

void TKTNPort::SendFrame(std::uint8_t code, std::span<const std::uint8_t> data) {
  Send(KtnRequestFrame(code, data));
}

TKTNPort::TFrameResult TKTNPort::ReceiveFrame(std::size_t dataLength, int timeoutMs) {
  ResetCount();
  const TNAVOTimer timer(Clock(), (timeoutMs > 10 ? timeoutMs : kReplyMs) + Line().AnswerTimeout());
  TFrameReceiver receiver(dataLength);
  std::size_t taken = 0;
  TFrameResult out;
  for (;;) {
    TKtnRead read = WaitByte(&timer);
    const bool expired = timer.Expired();
    if (auto result = receiver.Feed(read, expired)) {
      out.result = *result;
      out.portFailure = std::move(read.portFailure);
      out.framed = receiver.Framed();
      out.replyCode = receiver.ReplyCode();
      out.data = receiver.Data();
      return out;
    }
    // A line repeating lead-in bytes for ever after the time is up must not hold us: once
    // past the byte-count limit the receive ends as an overflow.
    if (read.Ok() && ++taken > kCountLimit && expired) {
      out.result = TKtnResult::krOverflow;
      return out;
    }
  }
}

TKTNPort::TFrameResult TKTNPort::ReceiveReply(std::uint8_t awaited, std::size_t dataLength,
                                              int timeoutMs) {
  for (int attempt = 0; attempt < kReplyAttempts; ++attempt) {
    TFrameResult frame = ReceiveFrame(dataLength, timeoutMs);
    if (frame.Ok() && frame.replyCode == awaited) return frame;
    // A failed receive ends the wait; a frame for somebody else, or bytes that never formed
    // one, do not.
    if (!frame.Ok() && frame.result != TKtnResult::krNoFrame) return frame;
  }
  TFrameResult wrong;
  wrong.result = TKtnResult::krWrongReply;
  return wrong;
}

TKtnOutcome TKTNPort::ReceiveAck(std::uint8_t command, int timeoutMs) {
  const TFrameResult frame = ReceiveFrame(1, timeoutMs);
  if (!frame.Ok()) return frame;
  const bool ack = frame.replyCode == kKtnAck && frame.data.size() == 1 && frame.data[0] == command;
  return {ack ? TKtnResult::krOk : TKtnResult::krWrongReply, {}};
}

TKtnOutcome TKTNPort::FindController() {
  if (TKtnOutcome purged = Purge(); !purged.Ok()) return purged;
  int activity = 0;
  TKtnOutcome unanswered;
  for (int pass = 1; pass <= kSearchPasses; ++pass) {
    const TFrameResult poll = ReceiveReply(kKtnPoll, 1, kReplyMs);
    if (poll.PortFailed()) return poll;
    const bool invited = poll.Ok() && poll.data.size() == 1 && poll.data[0] == kKtnInvite;
    // A quiet line: nobody polls, so nobody will invite us either.
    const bool quiet = (activity < 8 && pass > 4) || (activity < 16 && pass > 9) ||
                       (activity < 24 && pass > 14);
    if (invited || quiet) {
      SendFrame(kKtnAttention);
      TKtnOutcome ack = ReceiveAck(kKtnAttention, kAttentionMs);
      if (ack.Ok() || ack.PortFailed()) return ack;
      unanswered = std::move(ack);
    }
    if (Count() > 0) activity += Count();
    ResetCount();
  }
  return unanswered;
}

TKtnOutcome TKTNPort::ReadState(std::array<std::uint8_t, kKtnModeSize>& buffer) {
  TKtnOutcome last;
  for (int mode = 0; mode < kRequestAttempts; ++mode) {
    SendFrame(kKtnReadMode);
    TFrameResult reply = ReceiveReply(kKtnReadMode, kKtnModeSize, kReplyMs);
    if (reply.PortFailed()) return reply;
    if (!reply.Ok()) {
      last = std::move(reply);
      continue;
    }
    std::copy_n(reply.data.begin(), std::min(reply.data.size(), buffer.size()), buffer.begin());
    for (int state = 0; state < kRequestAttempts; ++state) {
      SendFrame(kKtnReadState);
      reply = ReceiveReply(kKtnReadState, 1, kReplyMs);
      if (reply.Ok()) {
        buffer[0] = reply.data.at(0);
        return reply;
      }
      if (reply.PortFailed()) return reply;
      last = std::move(reply);
    }
    return last;  // "m" is not asked again
  }
  return last;
}

TKtnOutcome TKTNPort::ReadConfig(TControllerConfig& config) {
  TKtnOutcome last;
  for (int attempt = 0; attempt < kRequestAttempts; ++attempt) {
    SendFrame(kKtnReadConfig);
    TFrameResult reply = ReceiveReply(kKtnReadConfig, kKtnConfigSize, kReplyMs);
    if (reply.Ok()) {
      std::copy_n(reply.data.begin(), std::min(reply.data.size(), config.size()), config.begin());
      return reply;
    }
    if (reply.PortFailed()) return reply;
    last = std::move(reply);
  }
  return last;
}

TKtnOutcome TKTNPort::WriteConfig(const TControllerConfig& config) {
  const TControllerConfig copy = config;
  TKtnOutcome last;
  for (int attempt = 0; attempt < kRequestAttempts; ++attempt) {
    SendFrame(kKtnWriteConfig, copy);
    last = ReceiveAck(kKtnWriteConfig, kReplyMs);
    if (last.Ok() || last.PortFailed()) return last;
  }
  return last;
}

}  // namespace kavel
