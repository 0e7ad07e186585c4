// The boot loader's display record, the sibling of the blank check: ":05 0000 04 SSSS EEEE 00
// CC" shows the flash from SSSS to EEEE inclusive. After the echo the chip answers one line
// per 16 bytes from SSSS, "AAAA=" and the bytes as hexadecimal pairs, each line ended by
// CR LF, the last line shorter when the range ends inside it. A record with a wrong checksum
// is answered "R" or "X", a chip whose security bits forbid reading answers "L" (or "X").
// Some members of the family show at most 1 KB a record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "isp/IspStatus.h"

namespace kavel {

inline constexpr std::size_t kDisplayMaxBytes = 0x400;

// ":" + AddChecksum("05" "0000" "04" + SSSS + EEEE + "00").
std::string DisplayRecord(std::uint16_t start, std::uint16_t end);
// The blank check of start..end: the same record with subfunction 01.
std::string BlankCheckRecord(std::uint16_t start, std::uint16_t end);
// How many lines the answer for start..end has.
std::size_t DisplayLineCount(std::uint16_t start, std::uint16_t end);

struct TDisplayAnswer {
  TIspStatus status;               // ok; refused ("R", "X", "L"); no answer; bad reply
  std::vector<std::uint8_t> bytes;  // start..end, when ok
};

// Takes the answer after the echo apart. Tolerant of letter case, of blanks between the
// pairs and around "=", and of line ends CR LF, LF or CR. Strict about everything else: each
// line's address in order, each line's byte count, nothing missing and nothing more; an
// answer that is not understood is never taken for bytes.
TDisplayAnswer ParseDisplayAnswer(std::string_view answer, std::uint16_t start, std::uint16_t end);

}  // namespace kavel
