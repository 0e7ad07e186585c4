#include "station/Serial.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <set>
#include <sstream>

#include "image/HexText.h"
#include "station/InputFile.h"
#include "station/Sha256.h"

namespace kavel::station {
namespace {

struct TFormatName {
  std::string_view name;
  TSerialFormat format;
};
constexpr TFormatName kFormats[] = {{"be32", TSerialFormat::sfBe32},
                                    {"le32", TSerialFormat::sfLe32},
                                    {"be16", TSerialFormat::sfBe16},
                                    {"le16", TSerialFormat::sfLe16},
                                    {"ascii8", TSerialFormat::sfAscii8}};

std::string FormatName(const TSerialPlace& place) {
  if (place.format == TSerialFormat::sfBytes) return "bytes" + std::to_string(place.bytes);
  for (const TFormatName& f : kFormats)
    if (f.format == place.format) return std::string(f.name);
  return "?";
}

// The text in double quotes (built by appending: concatenating onto a temporary makes the
// optimizer warn of overlapping copies that cannot happen).
std::string Quoted(std::string_view text) {
  std::string quoted = "\"";
  quoted.append(text).append("\"");
  return quoted;
}

TStationStatus Usage(const std::string& what) {
  return TStationStatus::Make(ssBadPlace, "--serial needs ADDR[:FORMAT], ADDR in hexadecimal and FORMAT be32, le32, be16, "
                                   "le16, ascii8 or bytes1 to bytes8: " + what);
}

}  // namespace

std::size_t TSerialPlace::Size() const {
  switch (format) {
    case TSerialFormat::sfBe16:
    case TSerialFormat::sfLe16: return 2;
    case TSerialFormat::sfAscii8: return 8;
    case TSerialFormat::sfBytes: return bytes;
    case TSerialFormat::sfBe32:
    case TSerialFormat::sfLe32: break;
  }
  return 4;
}

std::uint64_t TSerialPlace::Largest() const {
  switch (format) {
    case TSerialFormat::sfBe16:
    case TSerialFormat::sfLe16: return 0xFFFF;
    case TSerialFormat::sfAscii8: return 99999999;
    case TSerialFormat::sfBytes: return std::min<std::uint64_t>(kLargestSerial, (std::uint64_t{1} << (8 * bytes - 1) << 1) - 1);
    case TSerialFormat::sfBe32:
    case TSerialFormat::sfLe32: break;
  }
  return 0xFFFFFFFF;
}

std::string TSerialPlace::FormatText() const { return FormatName(*this); }

std::string TSerialPlace::RangeText() const { return HexWord(address) + "-" + HexWord(address + static_cast<unsigned>(Size()) - 1); }

TStationStatus ParseSerialPlace(std::string_view text, TSerialPlace& place) {
  const std::size_t colon = text.find(':');
  std::string_view addr = text.substr(0, colon);
  if (addr.size() > 2 && addr[0] == '0' && (addr[1] == 'x' || addr[1] == 'X')) addr.remove_prefix(2);  // 0x3FFC
  if (addr.empty() || addr.size() > 4 || addr.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
    return Usage(Quoted(addr) + " is no address");
  place.address = static_cast<std::uint16_t>(std::stoul(std::string(addr), nullptr, 16));
  place.format = TSerialFormat::sfBe32;
  if (colon != std::string_view::npos) {
    const std::string_view name = text.substr(colon + 1);
    bool known = false;
    for (const TFormatName& f : kFormats) {
      if (f.name == name) {
        place.format = f.format;
        known = true;
      }
    }
    if (name.size() == 6 && name.starts_with("bytes") && name[5] >= '1' && name[5] <= '8') {
      place.format = TSerialFormat::sfBytes;
      place.bytes = static_cast<std::uint8_t>(name[5] - '0');
      known = true;
    }
    if (!known) return Usage(Quoted(name) + " is no format");
  }
  if (place.address + place.Size() - 1 > 0xFFFF)
    return Usage("the number's " + std::to_string(place.Size()) + " bytes at " + HexWord(place.address) + " run past FFFF");
  return TStationStatus::Done();
}

std::optional<std::vector<std::uint8_t>> SerialBytes(std::uint64_t number, const TSerialPlace& place) {
  const TSerialFormat format = place.format;
  if (number > place.Largest()) return std::nullopt;
  std::vector<std::uint8_t> bytes(place.Size());
  if (format == TSerialFormat::sfAscii8) {
    for (std::size_t i = bytes.size(); i-- > 0; number /= 10) bytes[i] = static_cast<std::uint8_t>('0' + number % 10);
    return bytes;
  }
  const bool big = format != TSerialFormat::sfLe32 && format != TSerialFormat::sfLe16;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<std::uint8_t>(number >> (8 * i));
    bytes[big ? bytes.size() - 1 - i : i] = byte;
  }
  return bytes;
}

std::string SerialText(std::uint64_t number, const TSerialPlace& place) {
  if (place.format != TSerialFormat::sfBytes) return std::to_string(number);
  std::string text;
  for (std::size_t i = place.Size(); i-- > 0;) text.append(text.empty() ? "" : ":").append(HexText(static_cast<unsigned>((number >> (8 * i)) & 0xFF), 2));
  return text;
}

std::optional<std::uint64_t> SerialFromBytes(const std::vector<std::uint8_t>& bytes, const TSerialPlace& place) {
  if (bytes.size() != place.Size() || std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; }))
    return std::nullopt;
  std::uint64_t number = 0;
  if (place.format == TSerialFormat::sfAscii8) {
    for (const std::uint8_t b : bytes) {
      if (b < '0' || b > '9') return std::nullopt;
      number = number * 10 + (b - '0');
    }
    return number;
  }
  const bool big = place.format != TSerialFormat::sfLe32 && place.format != TSerialFormat::sfLe16;
  for (std::size_t i = 0; i < bytes.size(); ++i) number = number << 8 | bytes[big ? i : bytes.size() - 1 - i];
  if (number > place.Largest()) return std::nullopt;
  return number;
}

namespace {

// A value of the list: decimal, 0x and hexadecimal, or hexadecimal bytes ("00:1A:2B",
// "00-1A-2B"). Nothing when it is none of those or exceeds 64 bits.
std::optional<std::uint64_t> ListValue(std::string_view text) {
  std::uint64_t value = 0;
  const auto whole = [&value](std::string_view digits, int base) {
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    return !digits.empty() && error == std::errc() && end == digits.data() + digits.size();
  };
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    return whole(text.substr(2), 16) ? std::optional(value) : std::nullopt;
  // Digits alone are decimal, always: "001122334455" is no MAC address but a number (a MAC
  // address is written with its separators, or after 0x).
  if (text.find_first_of(":-") == std::string_view::npos) return whole(text, 10) ? std::optional(value) : std::nullopt;
  // Bytes: pairs of hexadecimal digits with a separator between each two.
  std::string digits;
  for (std::size_t i = 0; i < text.size();) {
    if (text.size() - i < 2 || !std::isxdigit(static_cast<unsigned char>(text[i])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 1])))
      return std::nullopt;
    digits.append(text.substr(i, 2));
    i += 2;
    if (i < text.size()) {
      if (text[i] != ':' && text[i] != '-') return std::nullopt;
      if (++i == text.size()) return std::nullopt;
    }
  }
  if (digits.size() > 16) return std::nullopt;
  return whole(digits, 16) ? std::optional(value) : std::nullopt;
}

// Why a line holds no value. The value is shown only when it may be a number mistyped (short,
// and written with the characters numbers are), so that a file that is no list (one of the
// system's, named by mistake) is never shown.
std::string NoNumber(int line, const std::string& value) {
  const std::string forms = "no number (decimal, 0x hexadecimal, or bytes such as 00:1A:2B)";
  const bool shown = value.size() <= 32 && value.find_first_not_of("0123456789abcdefABCDEFxX:-") == std::string::npos;
  if (!shown) return "line " + std::to_string(line) + " holds " + forms;
  return "line " + std::to_string(line) + ": " + Quoted(value) + " is " + forms;
}

}  // namespace

TStationStatus ReadSerialList(const std::string& path, const TSerialPlace& place, TSerialList& list) {
  const auto bad = [&path](const std::string& why) {
    return TStationStatus::Make(ssBadPlace, "--serial-list " + path + ": " + why);
  };
  std::string text;
  if (const std::string why = ReadInputFile(path, kMaxSerialListBytes, text); !why.empty()) return bad("the file " + why);
  list = {path, Sha256(text), {}};
  std::set<std::uint64_t> seen;
  std::istringstream lines(text);
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') continue;
    const std::string value = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
    const std::string at = "line " + std::to_string(number) + ": ";
    const std::optional<std::uint64_t> v = ListValue(value);
    if (!v) return bad(NoNumber(number, value));
    if (*v > place.Largest())
      return bad(at + value + " does not fit " + FormatName(place) + " (at most " + std::to_string(place.Largest()) + ")");
    if (!seen.insert(*v).second) return bad(at + value + " stands twice: a number is never handed out twice");
    list.values.push_back(*v);
  }
  if (list.values.empty()) return bad("holds no numbers");
  return TStationStatus::Done();
}

TStationStatus SerialPlaceFree(const THexBinList& image, const std::string& imageName, const TSerialPlace& place) {
  const unsigned first = place.address, last = place.address + static_cast<unsigned>(place.Size()) - 1;
  for (const TImageRecord& r : image.Records()) {
    if (!r.IsData() || r.data.empty() || r.LastAddress() < first || r.address > last) continue;
    // A HEX record by its line; a BIN image's bytes by their addresses alone.
    const std::string where = r.line != 0 ? " (line " + std::to_string(r.line) + ")" : "";
    return TStationStatus::Make(ssImageClash, imageName + " holds data at " + HexWord(r.address) + "-" + HexWord(r.LastAddress()) +
                                            where + ", where --serial writes the board's number (" +
                                            place.RangeText() + "): move the number or leave that space free");
  }
  return TStationStatus::Done();
}

TStationStatus WithSerial(const THexBinList& image, const TSerialPlace& place, std::uint64_t number, THexBinList& out) {
  const std::optional<std::vector<std::uint8_t>> bytes = SerialBytes(number, place);
  if (!bytes) {
    return TStationStatus::Make(ssImageClash, "serial number " + std::to_string(number) + " does not fit " +
                                            FormatName(place) + " (at most " +
                                            std::to_string(place.Largest()) + "): nothing was written");
  }
  out = THexBinList();
  bool added = false;
  for (const TImageRecord& r : image.Records()) {
    if (r.type == kEndOfFileRecord && !added) {
      out.Add(0, kDataRecord, place.address, *bytes);
      added = true;
    }
    out.Add(r.line, r.type, r.address, r.data);
  }
  if (!added) out.Add(0, kDataRecord, place.address, *bytes);
  return TStationStatus::Done();
}

}  // namespace kavel::station
