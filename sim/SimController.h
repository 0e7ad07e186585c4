// A simulated communication controller on the same line as the chip: it speaks its framed
// bus protocol at 9600 bit/s only (its bytes arrive garbled at any other line speed), polls
// the line now and then until it is suspended, and answers the requests "a", "m", "q", "o"
// and "p". It ignores everything that is not one of its request frames, the chip's records
// included. Fault options make it misbehave on purpose.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "sim/SimDevice.h"
#include "sim/SimFrames.h"

namespace kavel::sim {

struct TSimControllerOptions {
  std::uint8_t state = 1;              // the state byte ("q"); 2, 3 and 4 make the program decline
  bool suspended = false;              // start in suspended mode (bit 0 of the configuration)
  int pollIntervalMs = 400;            // between polls while not suspended; 0: never polls
  int inviteEvery = 3;                 // every n-th poll invites ("0"); the others do not
  int replyDelayMs = 3;                // from the end of a request to its reply
  int refuseWrites = 0;                // the first n "p" are refused with "-"
  std::set<int> badChecksumReplies;    // replies (counted from 1) sent with a wrong sum
  std::string noise;                   // sent before every reply
  int otherFramesBeforeReply = 0;      // frames with another code sent before every reply
};

class TSimController final : public TSimDevice {
 public:
  static constexpr std::uint32_t kSpeed = 9600;
  static constexpr std::size_t kConfigSize = 12;

  explicit TSimController(TSimControllerOptions options = {});

  void Receive(std::uint8_t byte, std::uint32_t bitsPerSecond, std::int64_t nowMs,
               std::vector<TSimOutput>& out) override;
  void Tick(std::int64_t nowMs, std::vector<TSimOutput>& out) override;
  std::int64_t NextTickMs() const override;
  // Power-on: no request begun, the polls counted from nowMs again. Its configuration (the
  // suspended mode with it) is kept without power and stays.
  void Restart(std::int64_t nowMs) override;

  bool Suspended() const { return (m_config[0] & 1u) != 0; }
  const std::array<std::uint8_t, kConfigSize>& Config() const { return m_config; }
  int Requests() const { return m_requests; }  // request frames taken (with a right sum)
  int Polls() const { return m_polls; }
  // "controller_suspended=0|1" and the rest, one "name=value" per line.
  std::string Report() const;

 private:
  void Answer(std::uint8_t code, const std::vector<std::uint8_t>& data, std::int64_t nowMs,
              std::vector<TSimOutput>& out);
  std::string Frame(std::uint8_t code, const std::vector<std::uint8_t>& data, bool badSum) const;

  TSimControllerOptions m_options;
  std::array<std::uint8_t, kConfigSize> m_config{0x04, 0x00, 0x12, 0x34, 0x00, 0x00,
                                                 0x00, 0x00, 0x56, 0x78, 0x9A, 0xBC};
  TRequestScanner m_scanner;  // the request being received
  int m_requests = 0;
  int m_replies = 0;
  int m_writes = 0;
  int m_polls = 0;
  std::int64_t m_nextPollMs = -1;
};

}  // namespace kavel::sim
