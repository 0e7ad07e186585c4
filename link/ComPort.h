// TCustomComPort: the general serial port component, reduced to what the programmer uses.
// Synchronous only: no event thread, no notifications but open/close to bound controls.
// Every failing operation throws EComPort (see EComPort.h for codes and texts). A device call
// that answers EINTR or EAGAIN (a signal; a non-blocking descriptor or a busy USB adapter's
// driver) is made again, up to kTransientTries times in all (link/Transient.h), before that
// error counts: a read cut short returns what it got, a write cut short goes on with the rest,
// a wait (or a read that got nothing) starts its whole time-out again. The port keeps no
// clock; the POSIX device carries its own waits through signals to their deadlines, so in
// practice such an answer comes before a wait has begun. Not to be confused with
// TCustomPort (link/KTNPort.h), the controller protocol's byte reader over it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

#include "link/BaudRate.h"
#include "link/ComDevice.h"

namespace kavel {

enum TDataBits : std::uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TStopBits : std::uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TParityBits : std::uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl : std::uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : std::uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };

// The line settings keep only what reaches the line. A tty has no replacement of bad bytes,
// no DSR handshake and no interval time-out: a read returns at once with what is waiting
// (ReceiveBytes).
struct TComParity {
  TParityBits Bits = prNone;
  bool Check = false;
};

struct TComFlowControl {
  bool OutCTSFlow = false;
  TDTRFlowControl ControlDTR = dtrDisable;
  TRTSFlowControl ControlRTS = rtsDisable;
  bool XonXoffOut = false;
  bool XonXoffIn = false;
  char XonChar = 17;
  char XoffChar = 19;
};

// All in ms; -1 means "no limit of this kind".
struct TComTimeouts {
  int ReadTotalMultiplier = 0;
  int ReadTotalConstant = 0;
  int WriteTotalMultiplier = 0;
  int WriteTotalConstant = 0;
};

struct TComBuffer {
  int InputSize = 1024;
  int OutputSize = 1024;
};

class TCustomComPort {
 public:
  // device: the operating-system seam; when null, the device the port name leads to (a
  // serial device, or a network port: MakeComDevice).
  explicit TCustomComPort(std::unique_ptr<TComDevice> device = nullptr);
  virtual ~TCustomComPort();
  TCustomComPort(const TCustomComPort&) = delete;
  TCustomComPort& operator=(const TCustomComPort&) = delete;

  const std::string& Port() const { return m_port; }
  // A different name on an open port closes it and opens it again under the new name.
  void SetPort(const std::string& name);
  TBaudRate BaudRate() const { return m_baudRate; }
  // A different rate on an open port goes onto the line at once (code 7 on failure).
  void SetBaudRate(TBaudRate rate);
  bool Connected() const { return m_connected; }

  TDataBits DataBits() const { return m_dataBits; }
  void SetDataBits(TDataBits bits);
  TStopBits StopBits() const { return m_stopBits; }
  void SetStopBits(TStopBits bits);
  const TComParity& Parity() const { return m_parity; }
  void SetParity(const TComParity& parity);
  const TComFlowControl& FlowControl() const { return m_flow; }
  void SetFlowControl(const TComFlowControl& flow);
  const TComTimeouts& Timeouts() const { return m_timeouts; }
  void SetTimeouts(const TComTimeouts& timeouts);
  const TComBuffer& Buffer() const { return m_buffer; }
  void SetBuffer(const TComBuffer& buffer);

  // Opens the device named by Port and applies queue sizes, line settings and time-outs.
  // Nothing if already open. Code 1 when the device cannot be opened; 9, 7, 8 when a
  // setting fails (the device is then closed again). Tells the observers.
  void OpenPort();
  // Closes the device; nothing if already closed. Tells the observers.
  void ClosePort();

  // Received bytes waiting. Code 10 on failure, a hung-up line or a closed port.
  std::size_t BytesWaiting();
  // Up to n bytes: at once what is waiting, else waits up to the read time-outs
  // (ReadTotalMultiplier x n + ReadTotalConstant ms). Code 3 on failure.
  std::size_t ReceiveBytes(void* buffer, std::size_t n);
  // Writes n bytes and waits until they have left, at most WriteTotalMultiplier x n +
  // WriteTotalConstant ms. Returns n. Code 2 on failure, and when fewer than n bytes could
  // be written in that time (the detail says how many were).
  std::size_t SendBytes(const void* buffer, std::size_t n);
  // The text's characters as bytes, nothing added; "" writes nothing and returns 0.
  std::size_t SendText(std::string_view text);
  // Sets DTR and RTS (true = on) now, strictly. Code 30 when the device cannot set them (a
  // pseudo-terminal has none; a network server did not acknowledge them). The levels set stay
  // through every later speed or line setting and reopening, until the port is another.
  void SetModemLines(bool dtr, bool rts);
  // Discards the receive and/or transmit queue. Code 5 on failure.
  void PurgeBuffers(bool input, bool output);
  // Waits up to timeoutMs for a received character; true when one came. Code 21 on failure.
  bool WaitForRxChar(int timeoutMs);
  // A descriptor that polls readable when input is waiting (for an event loop to watch while
  // it waits); -1 when the port is closed or its device has none.
  int PollHandle() const { return m_connected ? m_device->PollHandle() : -1; }

  // Observers of opening (true) and closing (false). Returns a handle for RemoveObserver.
  int AddObserver(std::function<void(bool connected)> observer);
  void RemoveObserver(int handle);

 protected:
  TComDevice& Device() { return *m_device; }

 private:
  void ApplyLine();  // code 7
  // Throws EComPort with the code, the device's errno err, the detail and the device's words
  // for the failure (TComDevice::LastFailureWords).
  [[noreturn]] void Fail(int code, int err, const std::string& detail = {});
  void Notify(bool connected);
  int ReadTimeout(std::size_t n) const;
  int WriteTimeout(std::size_t n) const;

  std::unique_ptr<TComDevice> m_device;
  std::string m_port;
  // DTR and RTS as SetModemLines last set them; nothing while the flow control decides them.
  std::optional<std::pair<bool, bool>> m_modemLevels;
  TBaudRate m_baudRate = br9600;
  bool m_connected = false;
  TDataBits m_dataBits = dbEight;
  TStopBits m_stopBits = sbOneStopBit;
  TComParity m_parity;
  TComFlowControl m_flow;
  TComTimeouts m_timeouts;
  TComBuffer m_buffer;
  std::vector<std::pair<int, std::function<void(bool)>>> m_observers;
  int m_nextObserver = 1;
};

}  // namespace kavel
