// THexBinList: the records of one firmware image in the order and form in which they are
// sent, one Intel HEX record per entry, without line terminators. Filled from an Intel HEX
// text file (its lines as they stand) or from a raw BIN image (converted into 16-byte data
// records and the end record). Sends nothing, shows nothing: failures are exceptions.
#pragma once

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

class THexBinList {
 public:
  static constexpr std::size_t kBinRecordBytes = 16;
  static constexpr std::uint64_t kMaxBinSize = 65536;
  // 64 KB as HEX takes about 180 KB; anything far larger is something else (a log, a device).
  static constexpr std::uint64_t kMaxHexSize = 16u << 20;
  static constexpr std::string_view kEndRecord = ":00000001FF";

  std::size_t Count() const { return m_lines.size(); }
  const std::string& operator[](std::size_t i) const { return m_lines[i]; }
  void Add(std::string line) { m_lines.push_back(std::move(line)); }
  void Clear() { m_lines.clear(); }
  const std::vector<std::string>& Lines() const { return m_lines; }

  // Replaces the contents by the lines of the text file (see SetText). Throws EFOpenError
  // when it cannot be opened, EReadError when reading fails, EImageError when it is not a
  // regular file and EImageTooLarge beyond kMaxHexSize; the list is then unchanged.
  void LoadHexFile(const std::string& fileName);
  // Appends the data records of the raw image and then the end record. Throws EFOpenError,
  // EReadError or EImageTooLarge (nothing is appended then).
  void LoadBinFile(const std::string& fileName);

  // Replaces the contents by the lines of text: a line ends at CR LF, a lone LF or a lone CR
  // (so LF CR is two breaks); a NUL ends the text; a break at the very end adds no empty
  // line. Lines are kept exactly as they stand.
  void SetText(std::string_view text);
  // Appends the records of a raw image of at most 64 KB, byte 0 at address 0: data records
  // of 16 bytes (the last one shorter), then the end record.
  void AddBinRecords(const std::uint8_t* bytes, std::size_t size);

 private:
  std::vector<std::string> m_lines;
};

// True when the file name's extension (from its last dot on) is ".HEX" in any letter case.
bool IsHexFileName(std::string_view fileName);
// True when the list holds a data record (type 00) with at least one byte: something to program.
bool HoldsData(const THexBinList& list);
// The whole of a regular file (a link is followed), at most limit bytes. Never blocks on a
// FIFO or a device: anything but a regular file is refused. Throws EFOpenError, EReadError,
// EImageError (not a regular file) or EImageTooLarge.
std::string ReadImageFile(const std::string& fileName, std::uint64_t limit);
// LoadHexFile for HEX names, LoadBinFile for every other name (see IsHexFileName).
void LoadImageFile(THexBinList& list, const std::string& fileName);

}  // namespace kavel
