// Frames of the communication controller's bus protocol, as bytes: building a request and
// taking a reply apart byte by byte. No line here, so every rule is testable on its own.
//
// A request is FF FF 62 42 13, the command code, its data (no length byte) and an 8-bit sum;
// a reply is 42 62 13, the reply code, its data and the sum. The sum is (62 + 42 + 13 + code
// + data bytes) mod 256, that is (B7 + code + data sum) mod 256, in both directions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kavel {

// Command and reply codes.
inline constexpr std::uint8_t kKtnPoll = 0x3F;         // "?": the controller's poll
inline constexpr std::uint8_t kKtnAttention = 0x61;    // "a"
inline constexpr std::uint8_t kKtnReadMode = 0x6D;     // "m": 14 bytes, only carried
inline constexpr std::uint8_t kKtnReadConfig = 0x6F;   // "o": the 12-byte configuration
inline constexpr std::uint8_t kKtnWriteConfig = 0x70;  // "p"
inline constexpr std::uint8_t kKtnReadState = 0x71;    // "q": the state byte
inline constexpr std::uint8_t kKtnAck = 0x2B;          // "+" with the command code
inline constexpr std::uint8_t kKtnRefusal = 0x2D;      // "-" with the command code
inline constexpr std::uint8_t kKtnInvite = 0x30;       // a poll's data byte "0": speak now
inline constexpr std::uint8_t kKtnChecksumBase = 0xB7;  // 62 + 42 + 13

inline constexpr std::size_t kKtnConfigSize = 12;
inline constexpr std::size_t kKtnModeSize = 14;
// The controller's configuration: flags (LSB first, bit 0 = suspended), 2 bytes carried,
// 4 bytes the system sets to FF, 4 bytes carried.
using TControllerConfig = std::array<std::uint8_t, kKtnConfigSize>;

// Result codes of receiving.
inline constexpr int kKtnOk = 0;
inline constexpr int kKtnOverflow = -3;
inline constexpr int kKtnChecksum = -71;
inline constexpr int kKtnNoByte = -72;
inline constexpr int kKtnWrongReply = -222;

// (B7 + code + data sum) mod 256.
std::uint8_t KtnChecksum(std::uint8_t code, std::span<const std::uint8_t> data);
// FF FF 62 42 13, code, data, checksum.
std::vector<std::uint8_t> KtnRequestFrame(std::uint8_t code, std::span<const std::uint8_t> data = {});
// 42 62 13, code, data, checksum (what the controller sends).
std::vector<std::uint8_t> KtnReplyFrame(std::uint8_t code, std::span<const std::uint8_t> data = {});

// The configuration to write for a suspension: the suspension bit set and bytes 4 to 7 FF.
TControllerConfig SuspendedConfig(TControllerConfig config);
inline bool IsSuspended(const TControllerConfig& config) { return (config[0] & 1u) != 0; }

// Takes a reply apart as its bytes come: hunts for the lead-in 42 62 13 (skipping whatever
// comes before it; a repeated 42 starts it again), then the code, the expected number of data
// bytes and the sum. Once the time is up, a byte that does not go on with the lead-in ends the
// receive without a frame, so a line that keeps talking cannot hold it.
class TFrameReceiver {
 public:
  explicit TFrameReceiver(std::size_t dataLength) : m_dataLength(dataLength) {}
  // One read result: a byte (0..255) or a negative code; expired: the receive's time was up
  // when it came. Returns the receive's result when it has ended: 0 (a frame with the right
  // sum), -71 (a frame with a wrong sum), the negative read result, or, for a byte after the
  // time that does not go on with a lead-in, that byte's value with no frame. Nothing while
  // more bytes are needed.
  std::optional<int> Feed(int read, bool expired);
  bool Framed() const { return m_state == TState::Done; }  // a whole frame was taken
  std::uint8_t ReplyCode() const { return m_code; }          // 0 until the code was read
  const std::vector<std::uint8_t>& Data() const { return m_data; }

 private:
  enum class TState : std::uint8_t { Hunt, Want62, Want13, Code, Data, Sum, Done, Ended };
  std::size_t m_dataLength;
  TState m_state = TState::Hunt;
  std::uint8_t m_code = 0;
  unsigned m_sum = 0;
  std::vector<std::uint8_t> m_data;
};

}  // namespace kavel
