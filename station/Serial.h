// Serial numbers written into each board's flash as part of its image: where and how a
// number is laid out (--serial ADDR[:FORMAT]), and the image with the number in it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/HexBinList.h"
#include "station/StationStatus.h"

namespace kavel::station {

// sfBytes: so many bytes (bytes1 to bytes8), the most significant first.
enum class TSerialFormat : std::uint8_t { sfBe32, sfLe32, sfBe16, sfLe16, sfAscii8, sfBytes };

struct TSerialPlace {
  std::uint16_t address = 0;
  TSerialFormat format = TSerialFormat::sfBe32;
  std::uint8_t bytes = 0;  // sfBytes: how many

  // The bytes the number takes: 4, 2, 8, or those of sfBytes.
  std::size_t Size() const;
  // The largest number the format holds.
  std::uint64_t Largest() const;
  // "1FFC-1FFF": the addresses the number fills.
  std::string RangeText() const;
  // "be32", "bytes6" ...: the format as --serial names it.
  std::string FormatText() const;
};

// "ADDR[:FORMAT]", ADDR in hexadecimal (1 to 4 digits, "0x" optional), FORMAT be32 (the default), le32, be16,
// le16, ascii8 or bytes1 to bytes8. Done, or ssBadPlace saying what is wrong (also a number that would run past FFFF).
TStationStatus ParseSerialPlace(std::string_view text, TSerialPlace& place);

// The number's bytes as the format lays them out: big- or little-endian, or eight decimal
// digits in ASCII, the most significant first. Nothing when the number does not fit.
std::optional<std::vector<std::uint8_t>> SerialBytes(std::uint64_t number, const TSerialPlace& place);
// The number as a label shows it: decimal; for bytesN its bytes in hexadecimal with ':'
// between them, as a MAC address is written ("00:1A:2B:3C:4D:5E").
std::string SerialText(std::uint64_t number, const TSerialPlace& place);
// The number that bytes (read from the number's place) hold: nothing when they are blank (all
// FF) or hold no number of the format (ascii8 that are not digits).
std::optional<std::uint64_t> SerialFromBytes(const std::vector<std::uint8_t>& bytes, const TSerialPlace& place);

// The values of a --serial-list file, in its order, and the file's SHA-256, which names the
// database's record of how many are spent.
struct TSerialList {
  std::string path;
  std::string sha256;
  std::vector<std::uint64_t> values;
  // The sequence that counts the values spent: "list:" and the SHA-256.
  std::string SequenceName() const { return "list:" + sha256; }
};
// The largest number the log keeps.
inline constexpr std::uint64_t kLargestSerial = 0x7FFFFFFFFFFFFFFF;
// The largest serial list read: a million MAC addresses and their comments.
inline constexpr std::size_t kMaxSerialListBytes = std::size_t{64} << 20;
// Reads the file, a regular file of at most kMaxSerialListBytes (ReadInputFile): one value a
// line, decimal, hexadecimal after 0x, or hexadecimal bytes (with ':' or '-' between them);
// blank lines and lines that begin with # are skipped. Done, or ssBadPlace for a file that
// cannot be read (a FIFO, a device, too large), holds none, or has a line whose value is no
// number, does not fit the place or stands twice (naming the line).
TStationStatus ReadSerialList(const std::string& path, const TSerialPlace& place, TSerialList& list);

// Done when the image holds no data where the number goes; otherwise ssImageClash naming the
// image's record (its line, or its address for a BIN image) and the number's addresses.
TStationStatus SerialPlaceFree(const THexBinList& image, const std::string& imageName, const TSerialPlace& place);

// The image with the number's data record added before its end record. Done, or ssImageClash
// when the number does not fit the format.
TStationStatus WithSerial(const THexBinList& image, const TSerialPlace& place, std::uint64_t number, THexBinList& out);

}  // namespace kavel::station
