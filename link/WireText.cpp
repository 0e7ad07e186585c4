#include "link/WireText.h"

#include <cstdio>
#include <cstdlib>

namespace kavel {

std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    char c = text[++i];
    switch (c) {
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case '0': out += '\0'; break;
      case 'x': {
        std::string digits = text.substr(i + 1, 2);
        char* end = nullptr;
        long value = std::strtol(digits.c_str(), &end, 16);
        if (digits.size() == 2 && end == digits.c_str() + 2) {
          out += static_cast<char>(value);
          i += 2;
        } else {
          out += "\\x";
        }
        break;
      }
      default: out += c; break;
    }
  }
  return out;
}

std::string WireLogLine(const TWireEntry& e) {
  char head[64];
  std::snprintf(head, sizeof head, "%6lld.%03lld %c %u '", static_cast<long long>(e.atMs / 1000),
                static_cast<long long>(e.atMs % 1000), e.direction, e.speed);
  return head + Escape(e.bytes) + "'";
}

std::string Escape(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (c == '\\') out += "\\\\";
    else if (c >= 32 && c < 127) out += static_cast<char>(c);
    else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

std::size_t Utf8Length(std::string_view text) {
  if (text.empty()) return 0;
  const auto at = [text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned lead = at(0);
  std::size_t length = 0;
  unsigned low = 0x80, high = 0xBF;  // the second byte's range; the lead byte narrows it
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // below: overlong
    if (lead == 0xED) high = 0x9F;  // above: surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // below: overlong
    if (lead == 0xF4) high = 0x8F;  // above: past U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || at(1) < low || at(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (at(i) < 0x80 || at(i) > 0xBF) return 0;
  return length;
}

namespace {

// The code point of a well-formed UTF-8 sequence of 2 to 4 bytes (Utf8Length's).
char32_t CodePoint(std::string_view sequence) {
  const auto at = [sequence](std::size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(sequence[i])); };
  char32_t point = at(0) & (sequence.size() == 2 ? 0x1F : sequence.size() == 3 ? 0x0F : 0x07);
  for (std::size_t i = 1; i < sequence.size(); ++i) point = point << 6 | (at(i) & 0x3F);
  return point;
}

// The characters that show nothing themselves but change what a terminal shows around them:
// the bidirectional controls (U+202E turns the rest of the line around), the zero-width
// ones, the line and paragraph separators and the byte order mark.
bool Invisible(char32_t point) {
  return point == 0x061C || (point >= 0x200B && point <= 0x200F) || (point >= 0x2028 && point <= 0x202E) ||
         (point >= 0x2060 && point <= 0x2064) || (point >= 0x2066 && point <= 0x2069) || point == 0xFEFF;
}

}  // namespace

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto hex = [&out](const char* prefix, unsigned value, int digits) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "%0*x", digits, value);
    out.append(prefix).append(escaped);
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\r') {
      out += "\\r";
    } else if (byte == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      hex("\\x", byte, 2);
    } else if (byte < 0x80) {
      out += static_cast<char>(byte);
    } else if (const std::size_t length = Utf8Length(text.substr(i)); length == 0) {
      hex("\\x", byte, 2);
    } else if (const char32_t point = CodePoint(text.substr(i, length)); point < 0xA0 || Invisible(point)) {
      hex("\\u", static_cast<unsigned>(point), 4);  // a C1 control (U+0080 to U+009F), a bidi control ...
      i += length - 1;
    } else {
      out.append(text.substr(i, length));
      i += length - 1;
    }
  }
  return out;
}

}  // namespace kavel
