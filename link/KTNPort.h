// The communication controller on the programmer's serial line, spoken to with its framed bus
// protocol (link/KTNFrames.h) so that it can be put into suspended mode before the chip is
// programmed. Not to be confused with TCustomComPort (link/ComPort.h), the serial port itself:
// TCustomPort is a protocol object over such a port, reading and writing single bytes with a
// 30 ms wait each; TKTNPort adds the requests, the reply waits with their attempt counts, and
// the search for the controller.
// Everything blocks its caller; the window's events are not processed meanwhile.
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

  // Discards pending input and output; failures are ignored.
  void Purge();
  // One byte within 30 ms: 0..255, or -72 (none came, or the read failed). The byte count
  // goes up by one; the byte that takes it past 300 is consumed and gives -3 instead, and the
  // count stays at -1 until ResetCount.
  int GetByte();
  // GetByte; with a timer, repeated while it fails and the timer has not expired.
  int WaitByte(const TNAVOTimer* timer = nullptr);
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

  // Writes one request frame.
  void SendFrame(std::uint8_t code, std::span<const std::uint8_t> data = {});
  // What one receive brought.
  struct TFrameResult {
    // 0 (a frame with the right sum), -71 (a wrong sum), -72 (no byte, or the port failed),
    // -3 (overflow); or, when the time ran out amid bytes that formed no lead-in, the value
    // of the last byte read, which is no frame (framed false) whatever the value.
    int result = kKtnNoByte;
    bool framed = false;         // a whole frame was taken (result 0 or -71)
    std::uint8_t replyCode = 0;  // the frame's code; 0 without a frame
    std::vector<std::uint8_t> data;
    bool Ok() const { return framed && result == kKtnOk; }
  };
  // Receives one reply frame with dataLength data bytes, within timeoutMs (70 when 10 or
  // less) plus the port's answer time-out.
  TFrameResult ReceiveFrame(std::size_t dataLength, int timeoutMs);
  // Up to 12 receives until a frame with the awaited code: its result; a negative result at
  // once; -222 when all twelve brought something else.
  int ReceiveReply(std::uint8_t awaited, std::size_t dataLength, int timeoutMs,
                   std::vector<std::uint8_t>& data);
  // True only for "+" with the command's code, within timeoutMs.
  bool ReceiveAck(std::uint8_t command, int timeoutMs);
  // Listens for the controller's polls for up to 16 passes and asks for its attention ("a")
  // when invited or when the line has been quiet long enough. True when it acknowledged.
  bool FindController();
  // "m" (14 bytes) then "q": true with the state in buffer[0]; five attempts each.
  bool ReadState(std::array<std::uint8_t, kKtnModeSize>& buffer);
  // "o": the configuration; five attempts.
  bool ReadConfig(TControllerConfig& config);
  // "p" with the configuration until acknowledged; five attempts.
  bool WriteConfig(const TControllerConfig& config);
};

}  // namespace kavel
