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
// do one. The modem lines that come with the line's settings (SetLine) are sent, but not
// waited for: such a server would hold every open 2 s. What the server sends is taken apart by a TNetStream (link/NetStream.h), which
// holds at most TNetStream::kInputCap bytes of data unread; a server that never stops
// sending keeps no call past its time-out. A stream that cannot be taken apart is EPROTO.
// A failure whose errno would mislead (EINVAL for a speed the server does not take,
// ETIMEDOUT for one it does not acknowledge though the connection was made, EPROTO for an
// answer without a speed) is said in words by LastFailureWords, and as a remark.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include <string_view>

#include "link/ComDevice.h"
#include "link/NetStream.h"

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

  // url: the address; the port name Open is given is only for messages. clock: what its
  // deadlines go by (one that runs with real time, as it waits on the system). ackMs: how
  // long a setting waits for the server to acknowledge it.
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
  std::string LastFailureWords() const override { return m_failure; }

 private:
  // Reads what the socket has and again as more comes, until done() or timeoutMs has passed,
  // looking at both at least every TNetStream::kInputCap bytes; sends the answers to the
  // server's negotiation as they are made, and reads nothing while kOutputCap of them wait.
  // 0, or LostError() once the connection is gone or its stream broken.
  int Pump(int timeoutMs, const std::function<bool()>& done);
  // EBUSY or ECONNRESET for a connection that is gone, EPROTO for a broken stream (said in
  // words); 0 while neither.
  int LostError();
  int GoneError() const;
  // Sends what the socket takes now of what waits to go, without waiting; false when the
  // connection is gone.
  bool SendNow();
  // Sends all that waits to go, waiting up to timeoutMs; 0 or an errno value.
  int Flush(int timeoutMs);
  // err, with the words that say it where err alone would mislead (also a remark).
  int Fail(int err, const std::string& words);
  struct TCommand {
    std::uint8_t number;
    std::string value;
    std::string_view what;  // for a remark when it goes unacknowledged
  };
  // Sends the COM-PORT-OPTION commands at once and waits up to the acknowledgement bound for
  // their answers (a server answers in order); for each, whether it was answered.
  std::vector<bool> Commands(const std::vector<TCommand>& commands);
  bool Command(std::uint8_t number, std::string value) { return Commands({{number, std::move(value), {}}})[0]; }
  // Milliseconds left until deadline, 0 when it has passed.
  int Left(std::int64_t deadline) const;

  TNetAddress m_address;
  std::string m_url;
  TClock& m_clock;
  int m_ackMs;
  int m_fd = -1;
  std::unique_ptr<TNetStream> m_stream;  // while connected
  bool m_gone = false;                   // the connection dropped
  TRemarks m_remarks;
  std::string m_failure;                 // the last failure's words; "" when its errno says it
  // What was set on the server's port, so that only a change goes across again; and the
  // modem lines, not asked again once unacknowledged.
  std::optional<TLineTermios> m_line;
  std::optional<bool> m_dtr, m_rts;
  bool m_modemLinesDeaf = false;
};

}  // namespace kavel
