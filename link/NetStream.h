// What a port server sends, taken apart, and what goes back to it, without the socket: for an
// RFC 2217 server the telnet layer (libtelnet's state, the server's negotiation answered, 0xFF
// doubled both ways), the COM-PORT-OPTION's acknowledgements and the speed the server
// acknowledged; for raw TCP the bytes as they come. The network device (link/NetComDevice.h)
// feeds it what the socket gives and sends what it makes; nothing here blocks or touches a
// descriptor.
// Whatever a server sends, memory stays bounded: the data received waits for reading up to
// kInputCap bytes, and what comes beyond while nobody reads is dropped, as a UART overruns,
// and said once as a remark; libtelnet keeps a sub-negotiation to 16 KB; the answers to the
// server's negotiation are never more than what it sent, and the device stops reading while
// they cannot go (kOutputCap); remarks wait up to TRemarks::kCap bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

struct telnet_t;
union telnet_event_t;

namespace kavel {

// Remarks that wait to be taken, a line each, never more than kCap bytes: a remark that does
// not fit is dropped, and a last line says that more were, until they are taken.
class TRemarks {
 public:
  static constexpr std::size_t kCap = 4096;
  void Add(std::string_view text);
  // The remarks, "" for none; they are then gone.
  std::string Take();

 private:
  std::string m_text;
  bool m_full = false;
};

class TNetStream {
 public:
  static constexpr std::size_t kInputCap = 64 * 1024;
  // Answers to the server's negotiation that may wait to be sent; while more wait, the device
  // reads nothing more from the server.
  static constexpr std::size_t kOutputCap = 16 * 1024;

  // telnet: an RFC 2217 server's stream; false: raw TCP. Throws std::bad_alloc when the telnet
  // layer cannot be made.
  explicit TNetStream(bool telnet);
  ~TNetStream();
  TNetStream(const TNetStream&) = delete;
  TNetStream& operator=(const TNetStream&) = delete;

  // Takes bytes as they came from the server: the data into the buffer (beyond kInputCap
  // dropped), the answers to its negotiation into Outgoing(), its acknowledgements counted.
  // Nothing once the stream is broken.
  void Receive(const std::uint8_t* bytes, std::size_t n);
  // Into Outgoing(): what this side offers a telnet server (the COM-PORT-OPTION, binary both
  // ways); nothing on raw TCP.
  void Offer();
  // Into Outgoing(): data for the server, 0xFF doubled on a telnet stream.
  void SendData(const std::uint8_t* bytes, std::size_t n);
  // Into Outgoing(): a COM-PORT-OPTION command with its value; nothing on raw TCP.
  void SendCommand(std::uint8_t command, std::string_view value);
  // The bytes for the socket, in order, not yet sent; Sent(n) drops the first n, which went.
  std::string_view Outgoing() const { return m_out; }
  void Sent(std::size_t n) { m_out.erase(0, n); }

  // The data received and not yet read, at most kInputCap bytes.
  std::size_t Buffered() const { return m_held; }
  // Moves up to n bytes of it into buffer; how many.
  std::size_t Take(std::uint8_t* buffer, std::size_t n);
  void DiscardInput() { m_first = m_held = 0; }
  // Whether the data not yet read holds text.
  bool Holds(std::string_view text) const;
  // The bytes dropped because the buffer was full, since the stream was made.
  std::uint64_t Dropped() const { return m_dropped; }

  // The server's answers to the command since ClearAcknowledgements.
  std::uint32_t Acknowledged(std::uint8_t command) const { return m_acks[command]; }
  void ClearAcknowledgements() { m_acks.fill(0); }
  // The speed the server's last answer to SET-BAUDRATE gave; nothing before such an answer,
  // after ForgetSpeed, or when the answer held no speed.
  std::optional<std::uint32_t> Speed() const { return m_speed; }
  void ForgetSpeed() { m_speed.reset(); }

  // Why the stream cannot go on, in words; "" while it can (a telnet stream that cannot be
  // taken apart, a server that compresses its stream unasked).
  const std::string& Broken() const { return m_broken; }
  // What happened beside the data that a person tracing the line may want to know (data
  // dropped, the server's telnet faults), each kind said once; "" for nothing.
  std::string TakeRemarks() { return m_remarks.Take(); }

 private:
  static void OnTelnetEvent(telnet_t* telnet, telnet_event_t* event, void* self);
  void OnEvent(const telnet_event_t& event);
  void Store(const char* bytes, std::size_t n);
  void Break(const std::string& why);  // also a remark

  telnet_t* m_telnet = nullptr;
  // The data held: m_held bytes from m_first on, round the ring (kInputCap bytes once data came).
  std::vector<std::uint8_t> m_ring;
  std::size_t m_first = 0, m_held = 0;
  std::string m_out;
  std::uint64_t m_dropped = 0;
  std::array<std::uint32_t, 256> m_acks{};
  std::optional<std::uint32_t> m_speed;
  std::string m_broken;
  TRemarks m_remarks;
  std::set<std::string, std::less<>> m_warned;  // the telnet layer's warnings said
};

}  // namespace kavel
