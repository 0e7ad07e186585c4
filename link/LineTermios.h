// Raw access to a tty's line settings through the kernel's termios2 interface, which can
// set any bit rate (14400 has no classic B-constant). Kept apart from <termios.h> users:
// the kernel header and glibc's declare the same names differently.
#pragma once

#include <cstdint>

namespace kavel {

enum class TLineParity : std::uint8_t { None, Odd, Even, Mark, Space };

// The settings we put on, or read off, a line. Values that termios cannot express on
// Linux (queue sizes, event characters) are not here.
struct TLineTermios {
  std::uint32_t bitsPerSecond = 9600;  // output speed; input speed is set equal
  int dataBits = 8;                    // 5..8
  TLineParity parity = TLineParity::None;
  bool parityCheck = false;            // INPCK
  int stopBits = 1;                    // 1 or 2 (1.5 is mapped to 2 by the kernel)
  bool hardwareFlow = false;           // CRTSCTS
  bool xonXoffOut = false;             // IXON
  bool xonXoffIn = false;              // IXOFF
  std::uint8_t xonChar = 17;
  std::uint8_t xoffChar = 19;
  bool raw = true;                     // no line discipline processing, no echo
};

// Reads the settings of the tty open on fd. On a pty master this reports the slave's
// settings, which is what the simulator needs. Returns 0 or an errno value.
int GetLineTermios(int fd, TLineTermios& out);

// Applies the settings to the tty open on fd: raw mode, CLOCAL, CREAD, VMIN = VTIME = 0,
// the speed through BOTHER. Returns 0 or an errno value.
int SetLineTermios(int fd, const TLineTermios& settings);

// Only the line speed of fd, 0 when it cannot be read.
std::uint32_t GetLineSpeed(int fd);

}  // namespace kavel
