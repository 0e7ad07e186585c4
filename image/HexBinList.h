// THexBinList: one firmware image as the records that program it, in the order in which they
// are sent. Each record is parsed once from the file (or made from a BIN image) into its line,
// type, address and bytes, and the text that goes on the line is built from those: nothing
// downstream reads the file's text again. Only data records, the end record and the one
// command an image may carry (6-clock mode) are in it; CheckedImage.h is the loader that
// decides what gets in. Sends nothing, shows nothing: failures are exceptions.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kavel {

// Every reason why an image cannot be used; the message names the file and says why.
class EImageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A file that cannot be opened: "Cannot open file \"<name>\". <system's text>".
class EFOpenError : public EImageError {
 public:
  EFOpenError(const std::string& fileName, int err);
};

// A file that fails while it is read: "Cannot read file \"<name>\". <system's text>".
class EReadError : public EImageError {
 public:
  EReadError(const std::string& fileName, int err);
};

// A BIN file larger than the chip's 64 KB code space, whose 16-bit addresses would wrap and
// overwrite the start of the flash; or a HEX file larger than any image of such a chip can be
// (kMaxHexSize), which is not an image at all.
class EImageTooLarge : public EImageError {
 public:
  EImageTooLarge(const std::string& fileName, std::uint64_t size, std::uint64_t limit);
};

enum class TImageFormat : std::uint8_t { ifHex, ifBin };

// Intel HEX record types as the image holds them.
inline constexpr std::uint8_t kDataRecord = 0x00;
inline constexpr std::uint8_t kEndOfFileRecord = 0x01;
inline constexpr std::uint8_t kWriteFunctionRecord = 0x03;  // only the 6-clock command

struct TImageRecord {
  std::size_t line = 0;  // the file's line it stands on, from 1; 0 when made from a BIN image
  std::uint8_t type = kDataRecord;
  std::uint16_t address = 0;
  std::vector<std::uint8_t> data;
  std::string text;  // as it goes on the line: ":", upper-case digits, the checksum

  bool IsData() const { return type == kDataRecord; }
  // The last address a data record fills (its address when it holds nothing).
  unsigned LastAddress() const { return address + (data.empty() ? 0u : static_cast<unsigned>(data.size()) - 1u); }
};

class THexBinList {
 public:
  static constexpr std::size_t kBinRecordBytes = 16;
  static constexpr std::uint64_t kMaxBinSize = 65536;
  // 64 KB as HEX takes about 180 KB; anything far larger is something else (a log, a device).
  static constexpr std::uint64_t kMaxHexSize = 16u << 20;
  static constexpr std::string_view kEndRecord = ":00000001FF";

  std::size_t Count() const { return m_records.size(); }
  // The text of record i, exactly as it is written to the chip.
  const std::string& operator[](std::size_t i) const { return m_records[i].text; }
  const TImageRecord& Record(std::size_t i) const { return m_records[i]; }
  const std::vector<TImageRecord>& Records() const { return m_records; }

  // Appends a record (a data record must end at FFFF at the latest); its text is built here.
  void Add(std::size_t line, std::uint8_t type, std::uint16_t address, std::vector<std::uint8_t> data);
  // Appends the records of a raw image of at most 64 KB, byte 0 at address 0: data records of
  // 16 bytes (the last one shorter), then the end record.
  void AddBin(const std::uint8_t* bytes, std::size_t size);

  // True when a data record holds at least one byte: something to program.
  bool HoldsData() const;
  // The data bytes of all records (an address written twice counts twice).
  std::size_t DataBytes() const;
  // The 4 KB blocks that the data touches (bit i: block i).
  std::bitset<16> Blocks() const;

 private:
  std::vector<TImageRecord> m_records;
};

// The whole of a regular file (a link is followed), at most limit bytes. Never blocks on a
// FIFO or a device: anything but a regular file is refused. Throws EFOpenError, EReadError,
// EImageError (not a regular file) or EImageTooLarge.
std::string ReadImageFile(const std::string& fileName, std::uint64_t limit);

}  // namespace kavel
