// Bytes on the wire as text, for wire logs and command lines: printable ASCII as it is,
// "\r", "\n", "\\" and "\xHH" (upper-case digits) for the rest; and the one form of a wire
// log's line, which the command line's trace and the simulator's log both write. Text from
// outside shown on a terminal (Printable) is escaped in a way of its own, described there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

// The length of the well-formed UTF-8 sequence that text starts with (at a byte past ASCII);
// 0 when it is none: a stray continuation byte, an overlong form, a surrogate, a code point
// past U+10FFFF, or a sequence cut short.
std::size_t Utf8Length(std::string_view text);
// Text from outside (a name given, a message another program made) as it may be shown to a
// person on a terminal: valid UTF-8 as it is, but every control character escaped ("\n",
// "\r", "\t", the others and DEL as "\x1b" with lower-case digits), the C1 controls too
// ("\u009b"), the bidirectional controls and the invisible format characters (U+061C,
// U+200B-U+200F, U+2028-U+202E, U+2060-U+2064, U+2066-U+2069, U+FEFF: "\u202e"), and each
// byte of no character ("\xff"), so that nothing in it can move the cursor, clear the
// screen, begin a line, turn a line around or hide in it. A backslash stays as it is.
std::string Printable(std::string_view text);

}  // namespace kavel
