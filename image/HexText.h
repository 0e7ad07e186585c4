// Hexadecimal text as the Intel HEX format writes it: the digits, byte pairs and the checksum
// rule shared by the command records and the image loader.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavel {

// The value of a hexadecimal digit of either case; -1 for any other character.
int HexDigitValue(char c);

// Appends the byte as two upper-case hexadecimal digits.
void AppendHexByte(std::string& out, std::uint8_t byte);
// The value in upper-case hexadecimal digits, at least digits of them (zeros in front), more
// when it needs them: printf's "%0*X".
std::string HexText(unsigned value, int digits);
// A 16-bit value (an address) as four upper-case hexadecimal digits; higher bits are dropped.
std::string HexWord(unsigned value);

// The Intel HEX checksum of bytes whose sum is byteSum: (256 - byteSum mod 256) mod 256.
constexpr std::uint8_t IntelHexChecksum(unsigned byteSum) {
  return static_cast<std::uint8_t>((256u - (byteSum & 0xFFu)) & 0xFFu);
}

// The bytes of one Intel HEX record (count, address high and low, type, data, checksum), or
// what is wrong with it: no ":" first, a character that is no hex digit, an odd number of
// digits, a count that does not match, a checksum that does not add up.
struct THexRecord {
  std::vector<std::uint8_t> bytes;
  std::string problem;  // empty when the record is well formed
};
THexRecord ParseHexRecord(std::string_view line);

}  // namespace kavel
