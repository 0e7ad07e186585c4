// A serial port across the network, behind the same seam as a tty:
//   rfc2217://HOST:PORT  a port server speaking RFC 2217 (telnet with the COM-PORT-OPTION):
//                        the line speed, format, DTR and RTS are set on the server's port,
//                        its queues purged; the telnet layer is libtelnet's.
//   socket://HOST:PORT   raw TCP to a port server whose speed is fixed on its side: nothing
//                        can be set, so the speed given must be the server's.
// Connecting is bounded, the connection kept alive and unbuffered (TCP_NODELAY: the
// protocol waits for every record's reply); a dropped connection is ECONNRESET (EBUSY when
// the server said its port is in use), never a hang.
// Settings a server does not acknowledge within kAckMs are remarks (TakeRemarks), but for
// the speed (ETIMEDOUT), and for DTR and RTS set alone (SetModemLines), which a boot entry
// needs: a server that never acknowledges them (ser2net in front of a pseudo-terminal) cannot
// do one.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>
#include <string_view>

#include "link/ComDevice.h"

struct telnet_t;
union telnet_event_t;

namespace kavel {

// A network port's address: its scheme, host and TCP port.
struct TNetAddress {
  bool rfc2217 = true;  // false: socket://, raw TCP
  std::string host;
  std::string port;
};
// The address in text, or nothing when it is none ("rfc2217://host:7000", "socket://[::1]:7000").
std::optional<TNetAddress> ParseNetAddress(std::string_view text);
// True for a text that starts like a network port's address, whether it is a good one or not.
bool LooksLikeNetAddress(std::string_view text);

class TNetComDevice final : public TComDevice {
 public:
  static constexpr int kConnectMs = 5000;
  static constexpr int kAckMs = 2000;  // a server across a network answers within this

  // url: the address; the port name Open is given is only for messages.
  // ackMs: how long a setting waits for the server to acknowledge it.
  // url: the address; clock: what its deadlines go by (one that runs with real time, as it
  // waits on the system).
  TNetComDevice(std::string url, TClock& clock, int ackMs = kAckMs);
  ~TNetComDevice() override;
  TNetComDevice(const TNetComDevice&) = delete;
  TNetComDevice& operator=(const TNetComDevice&) = delete;

  int Open(const std::string& portName) override;
  void Close() override;
  int SetQueueSizes(std::size_t input, std::size_t output) override;
  int SetLine(const TLineTermios& line, bool dtr, bool rts) override;
  int SetModemLines(bool dtr, bool rts) override;
  int BytesWaiting(std::size_t& count) override;
  int Read(std::uint8_t* buffer, std::size_t n, int timeoutMs, std::size_t& got) override;
  int Write(const std::uint8_t* buffer, std::size_t n, int timeoutMs, std::size_t& written) override;
  int Purge(bool input, bool output) override;
  int WaitForInput(int timeoutMs, bool& arrived) override;
  int PollHandle() const override { return m_fd; }
  std::string TakeRemarks() override;

 private:
  // RFC 2217 commands (client to server; the server answers the same + 100).
  enum : std::uint8_t {
    kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4, kSetControl = 5, kPurgeData = 12
  };
  static void OnTelnetEvent(telnet_t* telnet, telnet_event_t* event, void* self);
  void OnEvent(telnet_event_t& event);
  // Reads all the socket has, then again as more comes, until done() or timeoutMs has
  // passed; 0, or GoneError() once the connection is gone.
  int Pump(int timeoutMs, const std::function<bool()>& done);
  int GoneError() const;
  // Sends what the telnet layer made; 0 or an errno value.
  int Flush(int timeoutMs);
  struct TCommand {
    std::uint8_t number;
    std::string value;
    std::string_view what;  // for a remark when it goes unacknowledged
  };
  // Sends the COM-PORT-OPTION commands at once and waits up to the acknowledgement bound for
  // their answers (a server answers in order); for each, whether it was answered.
  std::vector<bool> Commands(const std::vector<TCommand>& commands);
  bool Command(std::uint8_t number, std::string value) { return Commands({{number, std::move(value), {}}})[0]; }
  void Remark(const std::string& text);
  // Milliseconds left until deadline, 0 when it has passed.
  int Left(std::int64_t deadline) const;

  TNetAddress m_address;
  std::string m_url;
  TClock& m_clock;
  int m_ackMs;
  int m_fd = -1;
  telnet_t* m_telnet = nullptr;
  std::deque<std::uint8_t> m_rx;       // data received, not yet read
  std::string m_tx;                    // bytes for the socket, not yet sent
  std::string m_acks;                  // the commands acknowledged since the last were sent
  bool m_gone = false;                 // the connection dropped
  std::uint32_t m_bitsPerSecond = 0;   // as the server acknowledged it
  std::string m_remarks;
  // What was set on the server's port, so that only a change goes across again; and the
  // modem lines, not asked again once unacknowledged.
  std::optional<TLineTermios> m_line;
  std::optional<bool> m_dtr, m_rts;
  bool m_modemLinesDeaf = false;
};

}  // namespace kavel
