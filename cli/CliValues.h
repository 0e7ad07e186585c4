// The values the command line's options and arguments take, read from their text: whole
// numbers, line speeds, hexadecimal numbers and ranges (a boot entry's steps: link/BootEntry.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/CliStatus.h"
#include "link/BootEntry.h"

namespace kavel::cli {

// A whole number from low to high into value: true when text is one.
bool ParseNumber(const std::string& text, int& value, int low, int high);
// True for a line speed this program can set, written as it writes it ("9600").
bool KnownBaud(const std::string& text);
// A hexadecimal number of 0 to max, "0x" optional.
bool ParseHex(const std::string& text, unsigned& value, unsigned max);
// "START-END" in hexadecimal, START not after END.
bool ParseRange(const std::string& text, std::uint16_t& start, std::uint16_t& end);
// A serial number as the log keeps it: decimal, or hexadecimal after "0x" (a MAC address's
// value, 0x001A2B3C4D5E). Nothing when it is none, or larger than the log keeps.
std::optional<std::int64_t> ParseSerialNumber(const std::string& text);
}  // namespace kavel::cli
