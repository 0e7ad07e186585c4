#include "cli/CliValues.h"

#include <algorithm>
#include <iterator>

#include "link/BaudRate.h"
#include "link/NumberText.h"
#include "station/Serial.h"

namespace kavel::cli {

bool ParseNumber(const std::string& text, int& value, int low, int high) {
  const auto v = ParseWhole(text, low, high);
  if (v) value = static_cast<int>(*v);
  return v.has_value();
}

bool KnownBaud(const std::string& text) {
  return BaudRateText(BaudRateFromText(text)) == text && text != "Custom";
}

bool ParseHex(const std::string& text, unsigned& value, unsigned max) {
  const auto v = ParseWhole(text, 0, max, 16);
  if (v) value = static_cast<unsigned>(*v);
  return v.has_value();
}

bool ParseRange(const std::string& text, std::uint16_t& start, std::uint16_t& end) {
  const std::size_t dash = text.find('-');
  unsigned s = 0, e = 0;
  if (dash == std::string::npos || !ParseHex(text.substr(0, dash), s, 0xFFFF) ||
      !ParseHex(text.substr(dash + 1), e, 0xFFFF) || e < s)
    return false;
  start = static_cast<std::uint16_t>(s);
  end = static_cast<std::uint16_t>(e);
  return true;
}

std::optional<std::int64_t> ParseSerialNumber(const std::string& text) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const auto number = ParseWhole(hex ? std::string_view(text).substr(2) : std::string_view(text), 0,
                                 static_cast<long long>(station::kLargestSerial), hex ? 16 : 10);
  if (!number) return std::nullopt;
  return static_cast<std::int64_t>(*number);
}

}  // namespace kavel::cli
