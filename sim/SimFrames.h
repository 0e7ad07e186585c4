// The communication controller's request frames as a device on the line hears them: FF FF 62
// 42 13, the command code, its data ("p" carries 12 bytes, the others none) and an 8-bit sum.
// The simulated chip steps over them, the simulated controller answers them: one reading of
// the frame for both. Written apart from link/KTNFrames on purpose: the simulator is the
// tests' oracle for the program's protocol code, so it shares none of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kavel::sim {

class TRequestScanner {
 public:
  enum class TStep : std::uint8_t {
    stOutside,   // the byte is no part of a request
    stInside,    // the byte belongs to a request still coming
    stBroken,    // the byte broke a lead-in begun before it
    stComplete,  // the byte ended a request: Code(), Data(), SumRight()
  };
  TStep Feed(std::uint8_t byte);

  std::uint8_t Code() const { return m_request.empty() ? 0 : m_request[0]; }
  // The request's data bytes (between the code and the sum).
  std::vector<std::uint8_t> Data() const;
  // Whether (62 + 42 + 13 + code + data) mod 256 equals the sum byte.
  bool SumRight() const;

 private:
  std::size_t m_leadIn = 0;             // bytes of the lead-in matched
  std::vector<std::uint8_t> m_request;  // code, data, sum after the lead-in
  bool m_complete = false;
};

}  // namespace kavel::sim
