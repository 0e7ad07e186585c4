#include "link/NumberText.h"

#include <charconv>

namespace kavel {

std::optional<long long> ParseWhole(std::string_view text, long long low, long long high, int base) {
  if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
  if (text.empty()) return std::nullopt;
  long long value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
  if (ec != std::errc{} || ptr != end || value < low || value > high) return std::nullopt;
  return value;
}

}  // namespace kavel
