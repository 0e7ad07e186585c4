#include "link/KTNPort.h"

#include <algorithm>

namespace kavel {

TCustomPort::TCustomPort(TByteLine& line) : m_line(line), m_clock(&TSystemClock::Instance()) {}

void TCustomPort::Purge() { m_line.PurgeQuietly(); }

int TCustomPort::GetByte() {
  const std::int64_t start = m_clock->NowMs();
  const int byte = m_line.ReadByteTimed(kByteWaitMs);
  if (byte < 0) {
    // A port that fails at once (closed, hung up) still takes the byte's time, so that a
    // wait on it sleeps instead of spinning.
    const std::int64_t spent = m_clock->NowMs() - start;
    if (spent < kByteWaitMs) m_clock->SleepMs(static_cast<int>(kByteWaitMs - spent));
    return byte;
  }
  if (m_count >= 0 && ++m_count > kCountLimit) {
    m_count = -1;
    return kKtnOverflow;
  }
  return byte;
}

int TCustomPort::WaitByte(const TNAVOTimer* timer) {
  int result = GetByte();
  while (timer && result < 0 && !timer->Expired()) result = GetByte();
  return result;
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
    const int read = WaitByte(&timer);
    const bool expired = timer.Expired();
    if (auto result = receiver.Feed(read, expired)) {
      out.result = *result;
      out.framed = receiver.Framed();
      out.replyCode = receiver.ReplyCode();
      out.data = receiver.Data();
      return out;
    }
    // A line repeating lead-in bytes for ever after the time is up must not hold us: once
    // past the byte-count limit the receive ends as an overflow.
    if (read >= 0 && ++taken > kCountLimit && expired) {
      out.result = kKtnOverflow;
      return out;
    }
  }
}

int TKTNPort::ReceiveReply(std::uint8_t awaited, std::size_t dataLength, int timeoutMs,
                           std::vector<std::uint8_t>& data) {
  for (int attempt = 0; attempt < kReplyAttempts; ++attempt) {
    TFrameResult frame = ReceiveFrame(dataLength, timeoutMs);
    if (frame.result < 0) return frame.result;
    if (frame.Ok() && frame.replyCode == awaited) {
      data = std::move(frame.data);
      return kKtnOk;
    }
  }
  return kKtnWrongReply;
}

bool TKTNPort::ReceiveAck(std::uint8_t command, int timeoutMs) {
  const TFrameResult frame = ReceiveFrame(1, timeoutMs);
  return frame.Ok() && frame.replyCode == kKtnAck && frame.data.size() == 1 &&
         frame.data[0] == command;
}

bool TKTNPort::FindController() {
  Purge();
  int activity = 0;
  std::vector<std::uint8_t> data;
  for (int pass = 1; pass <= kSearchPasses; ++pass) {
    const bool invited = ReceiveReply(kKtnPoll, 1, kReplyMs, data) == kKtnOk && data.size() == 1 &&
                         data[0] == kKtnInvite;
    // A quiet line: nobody polls, so nobody will invite us either.
    const bool quiet = (activity < 8 && pass > 4) || (activity < 16 && pass > 9) ||
                       (activity < 24 && pass > 14);
    if (invited || quiet) {
      SendFrame(kKtnAttention);
      if (ReceiveAck(kKtnAttention, kAttentionMs)) return true;
    }
    if (Count() > 0) activity += Count();
    ResetCount();
  }
  return false;
}

bool TKTNPort::ReadState(std::array<std::uint8_t, kKtnModeSize>& buffer) {
  std::vector<std::uint8_t> data;
  for (int mode = 0; mode < kRequestAttempts; ++mode) {
    SendFrame(kKtnReadMode);
    if (ReceiveReply(kKtnReadMode, kKtnModeSize, kReplyMs, data) != kKtnOk) continue;
    std::copy_n(data.begin(), std::min(data.size(), buffer.size()), buffer.begin());
    for (int state = 0; state < kRequestAttempts; ++state) {
      SendFrame(kKtnReadState);
      if (ReceiveReply(kKtnReadState, 1, kReplyMs, data) == kKtnOk && !data.empty()) {
        buffer[0] = data[0];
        return true;
      }
    }
    return false;
  }
  return false;
}

bool TKTNPort::ReadConfig(TControllerConfig& config) {
  std::vector<std::uint8_t> data;
  for (int attempt = 0; attempt < kRequestAttempts; ++attempt) {
    SendFrame(kKtnReadConfig);
    if (ReceiveReply(kKtnReadConfig, kKtnConfigSize, kReplyMs, data) == kKtnOk &&
        data.size() == kKtnConfigSize) {
      std::copy(data.begin(), data.end(), config.begin());
      return true;
    }
  }
  return false;
}

bool TKTNPort::WriteConfig(const TControllerConfig& config) {
  const TControllerConfig copy = config;
  for (int attempt = 0; attempt < kRequestAttempts; ++attempt) {
    SendFrame(kKtnWriteConfig, copy);
    if (ReceiveAck(kKtnWriteConfig, kReplyMs)) return true;
  }
  return false;
}

}  // namespace kavel
