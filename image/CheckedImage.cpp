#include "image/CheckedImage.h"

#include <algorithm>
#include <cstdio>

#include "image/HexText.h"

namespace kavel {
namespace {

bool EndsWithNoCase(std::string_view name, std::string_view ext) {
  if (name.size() < ext.size()) return false;
  return std::equal(ext.begin(), ext.end(), name.end() - static_cast<std::ptrdiff_t>(ext.size()),
                    [](char e, char c) { return e == (c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
}

bool MayStandInRecord(char c) { return c == ':' || HexDigitValue(c) >= 0; }

std::string ByteText(char c) {
  char text[32];
  const auto byte = static_cast<unsigned char>(c);
  if (byte >= 0x21 && byte < 0x7F) {
    std::snprintf(text, sizeof text, "\"%c\" (0x%02X)", c, byte);
  } else {
    std::snprintf(text, sizeof text, "the byte 0x%02X", byte);
  }
  return text;
}

// The first line of text that is not blank.
std::string_view FirstLine(std::string_view text) {
  const std::size_t start = text.find_first_not_of("\r\n");
  if (start == std::string_view::npos) return {};
  const std::size_t end = text.find_first_of("\r\n", start);
  return text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

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
  std::size_t line = 1, endLine = 0;
  for (std::size_t p = 0; p < text.size();) {
    std::size_t end = p;
    while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
    const std::string_view record = text.substr(p, end - p);
    if (!record.empty()) {
      const std::string where = name + ", line " + std::to_string(line) + ": ";
      const auto bad = std::find_if_not(record.begin(), record.end(), MayStandInRecord);
      if (bad != record.end()) throw EImageError(where + "holds " + ByteText(*bad) + ", which no HEX record can hold");
      const THexRecord r = ParseHexRecord(record);
      if (!r.problem.empty()) throw EImageError(where + "not a HEX record (" + r.problem + ")");
      if (endLine != 0) {
        throw EImageError(where + "a record after the end-of-file record of line " + std::to_string(endLine));
      }
      if (r.bytes[3] == 0x01) endLine = line;
      list.Add(std::string(record));
    }
    if (end < text.size() && text[end] == counted) ++line;
    p = end + 1;
  }
  if (list.Count() == 0) throw EImageError(name + " is empty: it holds no HEX record");
  if (endLine == 0) {
    throw EImageError(name + " has no end-of-file record (" + std::string(THexBinList::kEndRecord) +
                      "): the file may have been cut short");
  }
  if (!HoldsData(list)) throw EImageError(name + " holds no data to program");
  return list;
}

THexBinList LoadCheckedImage(const std::string& fileName, std::optional<TImageFormat> format) {
  if (!format) format = FormatByName(fileName);
  if (format == TImageFormat::ifBin) {
    const std::string bytes = ReadImageFile(fileName, THexBinList::kMaxBinSize);
    if (bytes.empty()) throw EImageError("\"" + fileName + "\" is empty: it holds no data to program");
    THexBinList list;
    list.AddBinRecords(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return list;
  }
  const std::string text = ReadImageFile(fileName, THexBinList::kMaxHexSize);
  if (!format && !ParseHexRecord(FirstLine(text)).problem.empty()) {
    throw EImageFormatUnknown("Cannot tell whether \"" + fileName +
                              "\" is a HEX or a BIN image: its name ends in neither .hex, .ihx "
                              "nor .bin, and it does not begin with a HEX record");
  }
  return CheckedHexRecords(fileName, text);
}

}  // namespace kavel
