#include "image/CheckedImage.h"

#include <algorithm>

#include "image/HexText.h"

namespace kavel {
namespace {

bool EndsWithNoCase(std::string_view name, std::string_view ext) {
  if (name.size() < ext.size()) return false;
  return std::equal(ext.begin(), ext.end(), name.end() - static_cast<std::ptrdiff_t>(ext.size()),
                    [](char e, char c) { return e == (c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool MayStandInRecord(char c) { return c == ':' || HexDigitValue(c) >= 0; }

std::string ByteText(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte >= 0x21 && byte < 0x7F) return "\"" + std::string(1, c) + "\" (0x" + HexText(byte, 2) + ")";
  return "the byte 0x" + HexText(byte, 2);
}

// The first line of text that is not blank, without the blanks around it.
std::string_view FirstLine(std::string_view text) {
  for (std::size_t p = 0; p < text.size();) {
    std::size_t end = text.find_first_of("\r\n", p);
    if (end == std::string_view::npos) end = text.size();
    if (const std::string_view line = Trimmed(text.substr(p, end - p)); !line.empty()) return line;
    p = end + 1;
  }
  return {};
}

// What the boot loader would do with a record that is no image data: its write functions
// (type 03), its display and blank check (04), its reads (05), the set-clock record (02).
std::string CommandWords(std::uint8_t type, const std::vector<std::uint8_t>& d) {
  const auto at = [&d](std::size_t i) { return i < d.size() ? d[i] : -1; };
  switch (type) {
    case 0x01: return "is an end-of-file record that holds data";
    case 0x02: return "sets the boot loader's clock";
    case 0x03:
      switch (at(0)) {
        case 0x07: return "erases the whole chip";
        case 0x0C: return "erases a 4 KB block";
        case 0x04: return "sets the status byte to 0";
        case 0x05: return "sets a security bit";
        case 0x06:
          switch (at(1)) {
            case 0x00: return "writes the status byte";
            case 0x01: return "sets the boot vector";
            case 0x02: return "sets the clock mode";
            default: break;
          }
          break;
        default: break;
      }
      return "gives the boot loader a write command";
    case 0x04: return at(4) == 0x01 ? "starts a blank check" : "reads the flash back";
    case 0x05:
      if (at(0) == 0x07 && at(1) == 0x00) return "reads the security bits";
      if (at(0) == 0x07 && at(1) == 0x01) return "reads the status byte";
      if (at(0) == 0x07 && at(1) == 0x02) return "reads the boot vector";
      if (at(0) == 0x00) return "reads the chip's identification";
      return "gives the boot loader a read command";
    default: return "is of type " + HexText(type, 2) + ", which no image holds and the boot loader may take as a command";
  }
}

bool IsSixClockCommand(std::uint8_t type, std::uint16_t address, const std::vector<std::uint8_t>& data) {
  return type == kWriteFunctionRecord && address == 0 && data == std::vector<std::uint8_t>{0x06, 0x02, 0x80};
}

// Who put which byte where so far: the line (0: nobody) and the byte.
class TAddressOwners {
 public:
  // The line whose different byte is at address already; 0 when none is (the byte is then line's).
  std::size_t Claim(unsigned address, std::uint8_t byte, std::size_t line) {
    if (m_line[address] != 0) return m_byte[address] != byte ? m_line[address] : 0;
    m_line[address] = line;
    m_byte[address] = byte;
    return 0;
  }
  std::uint8_t Byte(unsigned address) const { return m_byte[address]; }

 private:
  std::vector<std::size_t> m_line = std::vector<std::size_t>(0x10000, 0);
  std::vector<std::uint8_t> m_byte = std::vector<std::uint8_t>(0x10000, 0);
};

}  // namespace

std::optional<TImageFormat> FormatByName(std::string_view fileName) {
  if (EndsWithNoCase(fileName, ".hex") || EndsWithNoCase(fileName, ".ihx")) return TImageFormat::ifHex;
  if (EndsWithNoCase(fileName, ".bin")) return TImageFormat::ifBin;
  return std::nullopt;
}

THexBinList CheckedHexRecords(const std::string& fileName, std::string_view text) {
  const std::string name = "\"" + fileName + "\"";
  // Lines are numbered as an editor shows them: by line feeds, or by carriage returns in a
  // file that has none.
  const char counted = text.find('\n') != std::string_view::npos ? '\n' : '\r';
  THexBinList list;
  TAddressOwners owners;
  std::size_t line = 1, endLine = 0;
  bool anyRecord = false;
  for (std::size_t p = 0; p < text.size();) {
    std::size_t end = p;
    while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
    const std::string_view record = Trimmed(text.substr(p, end - p));
    if (!record.empty()) {
      anyRecord = true;
      const std::string where = name + ", line " + std::to_string(line) + ": ";
      const auto bad = std::find_if_not(record.begin(), record.end(), MayStandInRecord);
      if (bad != record.end()) throw EImageError(where + "holds " + ByteText(*bad) + ", which no HEX record can hold");
      const THexRecord r = ParseHexRecord(record);
      if (!r.problem.empty()) throw EImageError(where + "not a HEX record (" + r.problem + ")");
      if (endLine != 0) {
        throw EImageError(where + "a record after the end-of-file record of line " + std::to_string(endLine));
      }
      const std::uint8_t type = r.bytes[3];
      const auto address = static_cast<std::uint16_t>(r.bytes[1] << 8 | r.bytes[2]);
      std::vector<std::uint8_t> data(r.bytes.begin() + 4, r.bytes.end() - 1);
      if (type == kDataRecord) {
        if (address + data.size() > 0x10000) {
          throw EImageError(where + "its data runs past FFFF (" + HexWord(address) + " and " +
                            std::to_string(data.size()) + " bytes): the chip has 64 KB");
        }
        for (std::size_t i = 0; i < data.size(); ++i) {
          const unsigned a = address + static_cast<unsigned>(i);
          if (const std::size_t other = owners.Claim(a, data[i], line)) {
            throw EImageError(where + "puts " + HexText(data[i], 2) + " at " + HexWord(a) + ", where line " +
                              std::to_string(other) + " puts " + HexText(owners.Byte(a), 2));
          }
        }
        // A record without bytes programs nothing.
        if (!data.empty()) list.Add(line, type, address, std::move(data));
      } else if (type == kEndOfFileRecord && data.empty()) {
        endLine = line;
        list.Add(line, type, 0, {});
      } else if ((type == 0x02 || type == 0x04) && data.size() == 2) {
        // An upper address: segment (x 16) or linear (x 65536). Only 0000 leaves the data where
        // its records say, and the records sent to the chip carry 16-bit addresses alone.
        const unsigned value = static_cast<unsigned>(data[0]) << 8 | data[1];
        if (value != 0) {
          const bool linear = type == 0x04;
          const unsigned base = linear ? value << 16 : value * 16u;
          throw EImageError(where + "data above 64 KB: an extended " + (linear ? "linear" : "segment") +
                            " address of " + HexWord(value) + " moves what follows to " + HexText(base, 5) +
                            ", which a chip of 64 KB cannot take");
        }
      } else if ((type == 0x03 || type == 0x05) && data.size() == 4) {
        // A start address, for a debugger or a loader: the chip starts at its reset vector.
      } else if (IsSixClockCommand(type, address, data)) {
        list.Add(line, type, address, std::move(data));
      } else {
        throw EImageError(where + std::string(record) + " is a command for the chip, not image data: it " +
                          CommandWords(type, data));
      }
    }
    if (end < text.size() && text[end] == counted) ++line;
    p = end + 1;
  }
  if (!anyRecord) throw EImageError(name + " is empty: it holds no HEX record");
  if (endLine == 0) {
    throw EImageError(name + " has no end-of-file record (" + std::string(THexBinList::kEndRecord) +
                      "): the file may have been cut short");
  }
  return list;
}

THexBinList LoadCheckedImage(const std::string& fileName, std::optional<TImageFormat> format, TImageRules rules,
                             std::string* fileBytes) {
  if (!format) format = FormatByName(fileName);
  std::string read;
  std::string& bytes = fileBytes ? *fileBytes : read;
  bytes = ReadImageFile(fileName, format == TImageFormat::ifBin ? THexBinList::kMaxBinSize : THexBinList::kMaxHexSize);
  if (!format) {
    if (ParseHexRecord(FirstLine(bytes)).problem.empty()) {
      format = TImageFormat::ifHex;
    } else if (rules.otherNamesAreBin) {
      format = TImageFormat::ifBin;
    } else {
      throw EImageFormatUnknown("Cannot tell whether \"" + fileName +
                                "\" is a HEX or a BIN image: its name ends in neither .hex, .ihx "
                                "nor .bin, and it does not begin with a HEX record");
    }
  }
  THexBinList list;
  if (format == TImageFormat::ifBin) {
    if (bytes.size() > THexBinList::kMaxBinSize) throw EImageTooLarge(fileName, bytes.size(), THexBinList::kMaxBinSize);
    if (bytes.empty() && rules.requireData)
      throw EImageError("\"" + fileName + "\" is empty: it holds no data to program");
    list.AddBin(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return list;
  }
  list = CheckedHexRecords(fileName, bytes);
  if (rules.requireData && !list.HoldsData()) throw EImageError("\"" + fileName + "\" holds no data to program");
  return list;
}

}  // namespace kavel
