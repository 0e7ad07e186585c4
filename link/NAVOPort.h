// TNAVOPort: the programmer's one serial port, with the fixed line settings (8N1, no flow
// control, DTR and RTS off, 1 KB queues, read total 20 x n + 40 ms, write total 100 x n +
// 1000 ms) and the byte services of the controller bus protocol, whose protocol objects it
// carries.
#pragma once

#include <exception>
#include <string>
#include <utility>

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

  // PurgeBuffers(true, true), any failure ignored.
  void PurgeQuietly() noexcept override;

  // One received byte (0..255) within timeoutMs (at least 30 ms; smaller values become 30),
  // or -72 when none came or the port failed. Never throws.
  int ReadByteTimed(int timeoutMs) noexcept override;

  // SendBytes of all the bytes; EComPort on failure.
  void Send(std::span<const std::uint8_t> bytes) override { SendBytes(bytes.data(), bytes.size()); }

  // The message of the last port failure that PurgeQuietly or ReadByteTimed swallowed since
  // the previous call, which forgets it; empty when there was none. Lets a caller of the
  // controller protocol tell a port that failed from a controller that was silent.
  std::string TakeSwallowedFailure() { return std::exchange(m_swallowed, {}); }

  // The communication controller's protocol on this line; it lives as long as the port.
  TKTNPort& KTNPort() { return m_ktnPort; }

 private:
  void Swallow(const std::exception& e) noexcept;

  int m_answerTimeout;
  std::string m_swallowed;
  TKTNPort m_ktnPort{*this};
};

}  // namespace kavel
