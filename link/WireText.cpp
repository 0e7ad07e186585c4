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

}  // namespace kavel
