// TNAVOPort: the programmer's one serial port, with the fixed line settings (8N1, no flow
// control, DTR and RTS off, 1 KB queues, read total 20 x n + 40 ms, write total 100 x n +
// 1000 ms) and the byte services of the controller bus protocol, whose protocol object it
// carries (the names KTN and NAVO: link/README.md).
#pragma once

#include <span>

#include "link/ByteLine.h"
#include "link/ComPort.h"
#include "link/KTNPort.h"

namespace kavel {

class TNAVOPort : public TCustomComPort, public TByteLine {
 public:
  static constexpr int kMaxAnswerTimeout = 3000;

  // Names the port "COM" + portNumber, closed, at 9600 bit/s. answerTimeout is limited to
  // 0..3000 ms. device: see TCustomComPort.
  TNAVOPort(int portNumber, int answerTimeout, std::unique_ptr<TComDevice> device = nullptr);

  int AnswerTimeout() const override { return m_answerTimeout; }

  // PurgeBuffers(true, true): krOk, or krPortFailed with the EComPort's message, which is
  // not thrown.
  TKtnOutcome PurgeQuietly() override;

  // One received byte within timeoutMs (at least 30 ms; smaller values become 30): krOk with
  // the byte, krNoByte when none came, krPortFailed with the EComPort's message when the
  // port failed (a closed one too), which is not thrown.
  TKtnRead ReadByteTimed(int timeoutMs) override;

  // SendBytes of all the bytes; EComPort on failure.
  void Send(std::span<const std::uint8_t> bytes) override { SendBytes(bytes.data(), bytes.size()); }

  // The communication controller's protocol on this line; it lives as long as the port.
  TKTNPort& KTNPort() { return m_ktnPort; }

 private:
  int m_answerTimeout;
  TKTNPort m_ktnPort{*this};
};

}  // namespace kavel
