#include "image/HexText.h"

namespace kavel {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

}  // namespace

void AppendHexByte(std::string& out, std::uint8_t byte) {
  out += kDigits[byte >> 4];
  out += kDigits[byte & 0xF];
}

std::string HexText(unsigned value, int digits) {
  // The digits from the lowest, into a buffer (GCC's optimizer misjudges a string built
  // backwards); no width of ours comes near its size.
  char text[32];
  std::size_t n = 0;
  do {
    text[n++] = kDigits[value & 0xF];
    value >>= 4;
  } while ((value != 0 || static_cast<int>(n) < digits) && n < sizeof text);
  std::string out;
  while (n > 0) out.push_back(text[--n]);
  return out;
}

std::string HexWord(unsigned value) { return HexText(value & 0xFFFFu, 4); }

THexRecord ParseHexRecord(std::string_view line) {
  THexRecord r;
  if (line.empty() || line[0] != ':') {
    r.problem = "it does not start with \":\"";
    return r;
  }
  const std::string_view digits = line.substr(1);
  if (digits.size() % 2 != 0) {
    r.problem = "it has an odd number of digits";
    return r;
  }
  unsigned sum = 0;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    const int high = HexDigitValue(digits[i]), low = HexDigitValue(digits[i + 1]);
    if (high < 0 || low < 0) {
      r.problem = "it holds a character that is not a hex digit";
      return r;
    }
    r.bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    sum += r.bytes.back();
  }
  if (r.bytes.size() < 5 || r.bytes.size() != 5u + r.bytes[0]) {
    r.problem = "its length does not match its byte count";
  } else if ((sum & 0xFFu) != 0) {
    r.problem = "its checksum is wrong";
  }
  return r;
}

}  // namespace kavel
