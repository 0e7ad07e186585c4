// Frames of the communication controller's bus protocol, as bytes: building a request and
// taking a reply apart byte by byte, and the outcomes that the protocol's reads, receives and
// requests end with. No line here, so every rule is testable on its own.
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
#include <string>
#include <utility>
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
inline constexpr std::uint8_t kKtnInvite = 0x30;       // a poll's data byte "0": speak now
inline constexpr std::uint8_t kKtnChecksumBase = 0xB7;  // 62 + 42 + 13

inline constexpr std::size_t kKtnConfigSize = 12;
inline constexpr std::size_t kKtnModeSize = 14;
// The controller's configuration: flags (LSB first, bit 0 = suspended), 2 bytes carried,
// 4 bytes the system sets to FF, 4 bytes carried.
using TControllerConfig = std::array<std::uint8_t, kKtnConfigSize>;

// How a read, a receive or a request of the protocol ended.
enum class TKtnResult : std::uint8_t {
  krOk,          // a byte came; a frame came with the right sum; the request was answered
  krChecksum,    // a whole frame came with a wrong sum
  krNoFrame,     // the time ran out amid bytes that formed no lead-in
  krNoByte,      // no byte came within its wait
  krOverflow,    // more than 300 bytes were read since the count was reset
  krWrongReply,  // frames came, but not the reply awaited
  krPortFailed,  // the port failed; the protocol never throws for a failed read
};

// What a step of the protocol came to, with the port's message when the port failed.
struct TKtnOutcome {
  TKtnResult result = TKtnResult::krNoByte;
  std::string portFailure;  // the EComPort's message when result is krPortFailed
  bool Ok() const { return result == TKtnResult::krOk; }
  bool PortFailed() const { return result == TKtnResult::krPortFailed; }
};

// One byte read for the protocol: krOk with the byte, or why none came.
struct TKtnRead : TKtnOutcome {
  std::uint8_t byte = 0;  // when Ok()
  // A read that brought value.
  static TKtnRead Byte(std::uint8_t value) { return {{TKtnResult::krOk, {}}, value}; }
  // A read that brought no byte, and why (with the port's message when it failed).
  static TKtnRead Failed(TKtnResult why, std::string portFailure = {}) {
    return {{why, std::move(portFailure)}, 0};
  }
};

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
  // One read; expired: the receive's time was up when it came. Returns the receive's result
  // when it has ended: krOk (a frame with the right sum), krChecksum (a frame with a wrong
  // sum), the read's own result when it brought no byte, or krNoFrame for a byte after the
  // time that does not go on with a lead-in. Nothing while more bytes are needed, and nothing
  // for reads after the end.
  std::optional<TKtnResult> Feed(const TKtnRead& read, bool expired);
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
