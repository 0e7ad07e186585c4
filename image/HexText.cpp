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
  std::string out;
  for (; value != 0 || digits > 0; value >>= 4, --digits) out += kDigits[value & 0xF];
  if (out.empty()) out = "0";
  return {out.rbegin(), out.rend()};
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
