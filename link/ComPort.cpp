#include "link/ComPort.h"

#include <cerrno>
#include <string>
#include <tuple>

#include "link/EComPort.h"
#include "link/Transient.h"

namespace kavel {

TCustomComPort::TCustomComPort(std::unique_ptr<TComDevice> device)
    : m_device(device ? std::move(device) : MakeComDevice()) {}

TCustomComPort::~TCustomComPort() {
  if (m_connected) {
    m_device->Close();
    m_connected = false;
  }
}

void TCustomComPort::SetPort(const std::string& name) {
  if (name == m_port) return;
  bool wasOpen = m_connected;
  if (wasOpen) ClosePort();
  m_port = name;
  m_modemLevels.reset();  // another line: its flow control decides its modem lines again
  if (wasOpen) OpenPort();
}

void TCustomComPort::SetBaudRate(TBaudRate rate) {
  if (rate == m_baudRate) return;
  m_baudRate = rate;
  if (m_connected) ApplyLine();
}

void TCustomComPort::SetDataBits(TDataBits bits) {
  m_dataBits = bits;
  if (m_connected) ApplyLine();
}

void TCustomComPort::SetStopBits(TStopBits bits) {
  m_stopBits = bits;
  if (m_connected) ApplyLine();
}

void TCustomComPort::SetParity(const TComParity& parity) {
  m_parity = parity;
  if (m_connected) ApplyLine();
}

void TCustomComPort::SetFlowControl(const TComFlowControl& flow) {
  m_flow = flow;
  if (m_connected) ApplyLine();
}

void TCustomComPort::SetTimeouts(const TComTimeouts& timeouts) { m_timeouts = timeouts; }

void TCustomComPort::SetBuffer(const TComBuffer& buffer) { m_buffer = buffer; }

void TCustomComPort::Fail(int code, int err, const std::string& detail) {
  throw EComPort(code, err, detail, m_device->LastFailureWords());
}

void TCustomComPort::ApplyLine() {
  TLineTermios line;
  line.bitsPerSecond = BaudRateBits(m_baudRate);
  if (line.bitsPerSecond == 0) line.bitsPerSecond = 9600;  // brCustom carries no rate of its own
  line.dataBits = 5 + static_cast<int>(m_dataBits);
  switch (m_parity.Bits) {
    case prNone: line.parity = TLineParity::None; break;
    case prOdd: line.parity = TLineParity::Odd; break;
    case prEven: line.parity = TLineParity::Even; break;
    case prMark: line.parity = TLineParity::Mark; break;
    case prSpace: line.parity = TLineParity::Space; break;
  }
  line.parityCheck = m_parity.Check;
  line.stopBits = m_stopBits == sbOneStopBit ? 1 : 2;
  line.hardwareFlow = m_flow.OutCTSFlow || m_flow.ControlRTS == rtsHandshake;
  line.xonXoffOut = m_flow.XonXoffOut;
  line.xonXoffIn = m_flow.XonXoffIn;
  line.xonChar = static_cast<std::uint8_t>(m_flow.XonChar);
  line.xoffChar = static_cast<std::uint8_t>(m_flow.XoffChar);
  bool dtr = m_flow.ControlDTR != dtrDisable;
  bool rts = m_flow.ControlRTS == rtsEnable || m_flow.ControlRTS == rtsToggle;
  if (m_modemLevels) std::tie(dtr, rts) = *m_modemLevels;  // a boot entry's levels are kept
  if (int err = RetryTransient([&] { return m_device->SetLine(line, dtr, rts); }))
    Fail(CE_SetStateFailed, err);
}

void TCustomComPort::OpenPort() {
  if (m_connected) return;
  if (int err = RetryTransient([&] { return m_device->Open(m_port); }))
    Fail(CE_OpenFailed, err);
  m_connected = true;
  try {
    if (int err = RetryTransient([&] {
          return m_device->SetQueueSizes(static_cast<std::size_t>(m_buffer.InputSize),
                                         static_cast<std::size_t>(m_buffer.OutputSize));
        }))
      Fail(CE_SetupComFailed, err);
    ApplyLine();
    // Levels a boot entry set are set again, strictly, on the line opened anew.
    if (m_modemLevels) {
      if (int err = RetryTransient([&] { return m_device->SetModemLines(m_modemLevels->first, m_modemLevels->second); }))
        Fail(CE_ModemLinesFailed, err);
    }
    // The time-outs are applied per call (see ReadTimeout, WriteTimeout); nothing can fail here.
  } catch (...) {
    m_device->Close();
    m_connected = false;
    throw;
  }
  Notify(true);
}

void TCustomComPort::ClosePort() {
  if (!m_connected) return;
  // Transfers are synchronous, so there is nothing pending to abort.
  m_device->Close();
  m_connected = false;
  Notify(false);
}

std::size_t TCustomComPort::BytesWaiting() {
  if (!m_connected) throw EComPort(CE_ClearComFailed, EBADF);
  std::size_t count = 0;
  if (int err = RetryTransient([&] { return m_device->BytesWaiting(count); }))
    Fail(CE_ClearComFailed, err);
  return count;
}

int TCustomComPort::ReadTimeout(std::size_t n) const {
  if (m_timeouts.ReadTotalMultiplier < 0 || m_timeouts.ReadTotalConstant < 0) return -1;
  return m_timeouts.ReadTotalMultiplier * static_cast<int>(n) + m_timeouts.ReadTotalConstant;
}

int TCustomComPort::WriteTimeout(std::size_t n) const {
  if (m_timeouts.WriteTotalMultiplier < 0 || m_timeouts.WriteTotalConstant < 0) return -1;
  return m_timeouts.WriteTotalMultiplier * static_cast<int>(n) + m_timeouts.WriteTotalConstant;
}

std::size_t TCustomComPort::ReceiveBytes(void* buffer, std::size_t n) {
  if (!m_connected) throw EComPort(CE_ReadFailed, EBADF);
  std::size_t got = 0;
  // A read cut short after bytes came is a read of those bytes.
  const int err = RetryTransient([&] {
    const int e = m_device->Read(static_cast<std::uint8_t*>(buffer), n, ReadTimeout(n), got);
    return IsTransient(e) && got > 0 ? 0 : e;
  });
  if (err) Fail(CE_ReadFailed, err);
  return got;
}

std::size_t TCustomComPort::SendBytes(const void* buffer, std::size_t n) {
  if (!m_connected) throw EComPort(CE_WriteFailed, EBADF);
  if (n == 0) return 0;
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  std::size_t written = 0;
  // A write cut short goes on with the bytes that are left, under their own time-out.
  const int err = RetryTransient([&] {
    std::size_t took = 0;
    const int e = m_device->Write(bytes + written, n - written, WriteTimeout(n - written), took);
    written += took;
    return e;
  });
  // A record cut short is a different record: what was not sent is as bad as a failure.
  if (err != 0 || written < n) {
    const bool timedOut = err == 0 || err == ETIMEDOUT;
    Fail(CE_WriteFailed, timedOut ? ETIMEDOUT : err,
         timedOut ? "only " + std::to_string(written) + " of " + std::to_string(n) + " bytes were sent"
                  : std::string());
  }
  return written;
}

std::size_t TCustomComPort::SendText(std::string_view text) {
  if (text.empty()) return 0;
  return SendBytes(text.data(), text.size());
}

void TCustomComPort::SetModemLines(bool dtr, bool rts) {
  if (!m_connected) throw EComPort(CE_ModemLinesFailed, EBADF);
  if (int err = RetryTransient([&] { return m_device->SetModemLines(dtr, rts); }))
    Fail(CE_ModemLinesFailed, err);
  m_modemLevels = {dtr, rts};
}

void TCustomComPort::PurgeBuffers(bool input, bool output) {
  if (!m_connected) throw EComPort(CE_PurgeFailed, EBADF);
  if (int err = RetryTransient([&] { return m_device->Purge(input, output); }))
    Fail(CE_PurgeFailed, err);
}

bool TCustomComPort::WaitForRxChar(int timeoutMs) {
  if (!m_connected) throw EComPort(CE_WaitFailed, EBADF);
  bool arrived = false;
  if (int err = RetryTransient(
          [&] { return m_device->WaitForInput(timeoutMs < 0 ? 0 : timeoutMs, arrived); }))
    Fail(CE_WaitFailed, err);
  return arrived;
}

int TCustomComPort::AddObserver(std::function<void(bool)> observer) {
  m_observers.emplace_back(m_nextObserver, std::move(observer));
  return m_nextObserver++;
}

void TCustomComPort::RemoveObserver(int handle) {
  std::erase_if(m_observers, [handle](const auto& o) { return o.first == handle; });
}

void TCustomComPort::Notify(bool connected) {
  auto observers = m_observers;  // an observer may remove itself
  for (auto& o : observers) o.second(connected);
}

}  // namespace kavel
