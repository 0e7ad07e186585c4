// RFC 2217, the telnet COM-PORT-OPTION, as far as this program goes: the option's number and
// the commands and values it sends a port server (TNetComDevice) and the simulator's server
// answers (sim/SimNetLine.h). A server answers a command under its number + kServerAnswer,
// with the value it took.
#pragma once

#include <cstdint>

namespace kavel::rfc2217 {

inline constexpr std::uint8_t kComPortOption = 44;

// Commands, client to server.
inline constexpr std::uint8_t kSetBaudRate = 1;  // 4 bytes, big-endian bit/s; 0 asks for it
inline constexpr std::uint8_t kSetDataSize = 2;  // the data bits, 5 to 8
inline constexpr std::uint8_t kSetParity = 3;
inline constexpr std::uint8_t kSetStopSize = 4;
inline constexpr std::uint8_t kSetControl = 5;
inline constexpr std::uint8_t kPurgeData = 12;
inline constexpr std::uint8_t kServerAnswer = 100;

// SET-PARITY's values.
inline constexpr std::uint8_t kParityNone = 1;
inline constexpr std::uint8_t kParityOdd = 2;
inline constexpr std::uint8_t kParityEven = 3;
inline constexpr std::uint8_t kParityMark = 4;
inline constexpr std::uint8_t kParitySpace = 5;

// SET-STOPSIZE's values.
inline constexpr std::uint8_t kStopOne = 1;
inline constexpr std::uint8_t kStopTwo = 2;

// SET-CONTROL's values: the flow control, then DTR and RTS.
inline constexpr std::uint8_t kControlNoFlow = 1;
inline constexpr std::uint8_t kControlXonXoff = 2;
inline constexpr std::uint8_t kControlHardware = 3;
inline constexpr std::uint8_t kControlDtrOn = 8;
inline constexpr std::uint8_t kControlDtrOff = 9;
inline constexpr std::uint8_t kControlRtsOn = 11;
inline constexpr std::uint8_t kControlRtsOff = 12;

// PURGE-DATA's values.
inline constexpr std::uint8_t kPurgeReceive = 1;
inline constexpr std::uint8_t kPurgeTransmit = 2;
inline constexpr std::uint8_t kPurgeBoth = 3;

}  // namespace kavel::rfc2217
