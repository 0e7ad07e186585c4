// Bytes on the wire as text, for wire logs and command lines: printable ASCII as it is,
// "\r", "\n", "\t", "\\" and "\xHH" for the rest.
#pragma once

#include <string>

namespace kavel {

// "a\r\n" style escapes to bytes: \r \n \t \0 \\ \xHH; other characters as they are.
std::string Unescape(const std::string& text);
// The reverse, for logs: printable ASCII as it is, the rest escaped.
std::string Escape(const std::string& bytes);

}  // namespace kavel
