// Whole numbers from text, the one way every option and entry box reads them: the whole text
// is the number (no blanks, nothing after it), in base 10 or 16 ("0x" allowed in base 16), and
// within the bounds given.
#pragma once

#include <optional>
#include <string_view>

namespace kavel {

// The number, or nothing when the text is not such a number or lies outside low..high.
std::optional<long long> ParseWhole(std::string_view text, long long low, long long high, int base = 10);

}  // namespace kavel
