#include "station/Serial.h"

#include "image/HexText.h"

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

std::string_view FormatName(TSerialFormat format) {
  for (const TFormatName& f : kFormats)
    if (f.format == format) return f.name;
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
                                   "le16 or ascii8: " + what);
}

}  // namespace

std::size_t TSerialPlace::Size() const {
  switch (format) {
    case TSerialFormat::sfBe16:
    case TSerialFormat::sfLe16: return 2;
    case TSerialFormat::sfAscii8: return 8;
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
    case TSerialFormat::sfBe32:
    case TSerialFormat::sfLe32: break;
  }
  return 0xFFFFFFFF;
}

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
    if (!known) return Usage(Quoted(name) + " is no format");
  }
  if (place.address + place.Size() - 1 > 0xFFFF)
    return Usage("the number's " + std::to_string(place.Size()) + " bytes at " + HexWord(place.address) + " run past FFFF");
  return TStationStatus::Done();
}

std::optional<std::vector<std::uint8_t>> SerialBytes(std::uint64_t number, TSerialFormat format) {
  TSerialPlace place;
  place.format = format;
  if (number > place.Largest()) return std::nullopt;
  std::vector<std::uint8_t> bytes(place.Size());
  if (format == TSerialFormat::sfAscii8) {
    for (std::size_t i = bytes.size(); i-- > 0; number /= 10) bytes[i] = static_cast<std::uint8_t>('0' + number % 10);
    return bytes;
  }
  const bool big = format == TSerialFormat::sfBe32 || format == TSerialFormat::sfBe16;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<std::uint8_t>(number >> (8 * i));
    bytes[big ? bytes.size() - 1 - i : i] = byte;
  }
  return bytes;
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
  const std::optional<std::vector<std::uint8_t>> bytes = SerialBytes(number, place.format);
  if (!bytes) {
    return TStationStatus::Make(ssImageClash, "serial number " + std::to_string(number) + " does not fit " +
                                            std::string(FormatName(place.format)) + " (at most " +
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
