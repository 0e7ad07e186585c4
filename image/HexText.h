// Hexadecimal text as the Intel HEX format writes it: the digits, byte pairs and the checksum
// rule shared by the command records and the image loader.
#pragma once

#include <cstdint>
#include <string>

namespace kavel {

// The value of a hexadecimal digit of either case; -1 for any other character.
int HexDigitValue(char c);

// Appends the byte as two upper-case hexadecimal digits.
void AppendHexByte(std::string& out, std::uint8_t byte);

// The Intel HEX checksum of bytes whose sum is byteSum: (256 - byteSum mod 256) mod 256.
constexpr std::uint8_t IntelHexChecksum(unsigned byteSum) {
  return static_cast<std::uint8_t>((256u - (byteSum & 0xFFu)) & 0xFFu);
}

}  // namespace kavel
