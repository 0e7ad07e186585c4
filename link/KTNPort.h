// The communication controller on the programmer's serial line (KTN; the names:
// link/README.md), spoken to with its framed bus protocol (link/KTNFrames.h) so that it can be
// put into suspended mode before the chip is programmed. Not to be confused with
// TCustomComPort (link/ComPort.h), the serial port itself: TCustomPort is a protocol object
// over a byte line (link/ByteLine.h), reading and writing single bytes with a 30 ms wait each;
// TKTNPort adds the requests, the reply waits with their attempt counts, and the search for
// the controller.
// Everything blocks its caller; the window's events are not processed meanwhile. A port that
// fails on a read or a purge ends the operation at once with krPortFailed and the port's
// message; a failed write throws EComPort.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "link/ByteLine.h"
#include "link/Clock.h"
#include "link/KTNFrames.h"
#include "link/NAVOTimer.h"

namespace kavel {

class TCustomPort {
 public:
  static constexpr int kByteWaitMs = kMinWaitMs;
  static constexpr int kCountLimit = 300;  // bytes a receive may read before it overflows

  // References only; the line outlives this object. Time goes by the system clock until
  // UseClock gives another.
  explicit TCustomPort(TByteLine& line);
  void UseClock(TClock& clock) { m_clock = &clock; }
  TClock& Clock() { return *m_clock; }

  // Discards pending input and output: krOk, or krPortFailed with the port's message.
  TKtnOutcome Purge();
  // One byte within 30 ms: krOk with the byte, krNoByte, or krPortFailed. The byte count
  // goes up by one; the byte that takes it past 300 is consumed and gives krOverflow instead,
  // and the count stays at -1 until ResetCount.
  TKtnRead GetByte();
  // GetByte; with a timer, repeated while it brings no byte, the port has not failed and the
  // timer has not expired.
  TKtnRead WaitByte(const TNAVOTimer* timer = nullptr);
  void ResetCount() { m_count = 0; }
  int Count() const { return m_count; }
  // Writes the bytes in one write (EComPort on failure).
  void Send(std::span<const std::uint8_t> bytes);

 protected:
  TByteLine& Line() { return m_line; }

 private:
  TByteLine& m_line;
  TClock* m_clock;
  int m_count = 0;
};

class TKTNPort : public TCustomPort {
 public:
  static constexpr int kReplyMs = 70;
  static constexpr int kAttentionMs = 80;
  static constexpr int kReplyAttempts = 12;
  static constexpr int kRequestAttempts = 5;
  static constexpr int kSearchPasses = 16;

  using TCustomPort::TCustomPort;

  // Writes one request frame (EComPort on failure).
  void SendFrame(std::uint8_t code, std::span<const std::uint8_t> data = {});
  // What one receive brought: krOk (a frame with the right sum), krChecksum (a wrong sum),
  // krNoByte, krOverflow, krPortFailed, or krNoFrame when the time ran out amid bytes that
  // formed no lead-in.
  struct TFrameResult : TKtnOutcome {
    bool framed = false;         // a whole frame was taken (krOk or krChecksum)
    std::uint8_t replyCode = 0;  // the frame's code; 0 without a frame
    std::vector<std::uint8_t> data;
  };
  // Receives one reply frame with dataLength data bytes, within timeoutMs (70 when 10 or
  // less) plus the line's answer time-out.
  TFrameResult ReceiveFrame(std::size_t dataLength, int timeoutMs);
  // Up to 12 receives until a frame with the awaited code: that frame (krOk with its data);
  // a receive that failed (krChecksum, krNoByte, krOverflow, krPortFailed) at once;
  // krWrongReply when all twelve brought something else.
  TFrameResult ReceiveReply(std::uint8_t awaited, std::size_t dataLength, int timeoutMs);
  // krOk only for "+" with the command's code within timeoutMs; krWrongReply for another
  // frame (a refusal "-" among them); else the receive's own result.
  TKtnOutcome ReceiveAck(std::uint8_t command, int timeoutMs);
  // Listens for the controller's polls for up to 16 passes and asks for its attention ("a")
  // when invited or when the line has been quiet long enough. krOk when it acknowledged;
  // krPortFailed at once when the port failed; else the last receive's result.
  TKtnOutcome FindController();
  // "m" (14 bytes) then "q": krOk with the state in buffer[0]; five attempts each. Else the
  // last reply's result (krPortFailed at once).
  TKtnOutcome ReadState(std::array<std::uint8_t, kKtnModeSize>& buffer);
  // "o": krOk with the configuration; five attempts. Else as ReadState.
  TKtnOutcome ReadConfig(TControllerConfig& config);
  // "p" with the configuration: krOk once acknowledged; five attempts. Else as ReadState.
  TKtnOutcome WriteConfig(const TControllerConfig& config);
};

}  // namespace kavel
