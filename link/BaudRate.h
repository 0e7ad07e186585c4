// The line speeds and their texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kavel {

enum class TBaudRate : std::uint8_t {
  brCustom, br110, br300, br600, br1200, br2400, br4800, br9600, br14400,
  br19200, br38400, br56000, br57600, br115200, br128000, br256000,
};
using enum TBaudRate;

// "9600", "14400" ... and "Custom" for brCustom.
std::string BaudRateText(TBaudRate rate);
// The rate whose text equals text, letter case ignored; br9600 when none does (or text is empty).
TBaudRate BaudRateFromText(std::string_view text);
// Bits per second; 0 for brCustom.
std::uint32_t BaudRateBits(TBaudRate rate);

}  // namespace kavel
