// Command records of the boot loader: Intel HEX records written as plain text without a line
// end, and the one-character replies that end the chip's answer.
#pragma once

#include <bitset>
#include <cstdint>
#include <string>
#include <string_view>

namespace kavel {

// Reply characters.
inline constexpr char kReplyOk = '.';
inline constexpr char kReplyCrcError = 'R';
inline constexpr char kReplyNotAllowed = 'X';
inline constexpr char kReplyEnd = '\r';
inline constexpr char kNoReply = '\0';  // what a wait returns when nothing awaited came

// The records of the device operations, complete as they go on the line.
// The record that switches the chip to 6-clock mode; an image file may hold it too.
inline constexpr std::string_view kSixClockRecord = ":0300000306028072";
inline constexpr std::string_view kFullEraseRecord = ":0100000307F5";
// Security bits 1, 2 and 3, in that order.
inline constexpr std::string_view kSecurityBitRecords[3] = {
    ":020000030500F6", ":020000030501F5", ":020000030502F4"};
inline constexpr std::string_view kSetStatusBody = "020000030400";     // status byte to 0
inline constexpr std::string_view kReadSecurityBody = "020000050700";  // answers the bits
inline constexpr std::string_view kReadStatusBody = "020000050701";    // answers the status byte
inline constexpr int kEraseBlockCount = 16;  // 4 KB blocks of the 64 KB flash

enum class TReplyClass : std::uint8_t { rcOk, rcCrcError, rcNotAllowed, rcNoAnswer };
using enum TReplyClass;

// The body (LL AAAA TT data, an even number of hex digits, either case) followed by its two
// upper-case checksum digits: (256 - byte sum mod 256) mod 256. The caller prefixes ":".
std::string AddChecksum(std::string_view body);

// ":" + AddChecksum(body).
std::string CommandRecord(std::string_view body);

// Where a read's answer stands in its reply (all that came for the read record of body, up to
// and with its "."): after the record's echo when the echo is in it (whatever came before
// the echo, a blind synchronization's "U" answers or a controller's poll, is not part of
// it), else just before the ".".
struct TReadAnswer {
  bool echoed = false;  // the record's echo was found
  std::string came;     // what came after the echo (all of it without one), the "." left out
  std::string digits;   // the two characters where the value's digits stand, as they came;
                        // "" when the reply is too short to hold them
};
TReadAnswer ParseReadAnswer(const std::string& reply, std::string_view body);

// Security bit 1, 2 or 3 of the security read's value: the values 2, 4 and 8 of its low digit.
inline bool SecurityBitSet(unsigned value, int bit) { return bit >= 1 && bit <= 3 && (value & (1u << bit)) != 0; }

// The erase record of 4 KB block 0..15: ":020000030C" + the block's high address byte + checksum.
std::string BlockEraseRecord(int block);
// "0 3 12": the 4 KB blocks set in blocks (bit i: block i), in order.
std::string BlockList(const std::bitset<16>& blocks);

// "." -> rcOk, "R" -> rcCrcError, "X" -> rcNotAllowed, anything else (NUL, CR) -> rcNoAnswer.
TReplyClass ClassifyReply(char reply);

// The words of a failure class in messages: "CRC error", "Not allowed operation",
// "Flash not answer"; empty for rcOk.
std::string ReplyClassWords(TReplyClass cls);

}  // namespace kavel
