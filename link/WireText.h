// Bytes on the wire as text, for wire logs and command lines: printable ASCII as it is,
// "\r", "\n", "\t", "\\" and "\xHH" for the rest; and the one form of a wire log's line,
// which the command line's trace and the simulator's log both write.
#pragma once

#include <cstdint>
#include <string>

namespace kavel {

// One run of bytes on the wire.
struct TWireEntry {
  std::int64_t atMs = 0;   // since the log began
  char direction = '>';    // '>' to the device, '<' from it
  std::uint32_t speed = 0;  // bit/s of the line then
  std::string bytes;
  bool operator==(const TWireEntry&) const = default;
};

// "    12.345 > 9600 ':0100000210ED'": seconds and milliseconds, the direction, the speed and
// the bytes escaped, without a line end.
std::string WireLogLine(const TWireEntry& entry);

// "a\r\n" style escapes to bytes: \r \n \t \0 \\ \xHH; other characters as they are.
std::string Unescape(const std::string& text);
// The reverse, for logs: printable ASCII as it is, the rest escaped.
std::string Escape(const std::string& bytes);

}  // namespace kavel
