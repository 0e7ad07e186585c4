// The SHA-256 of an image file's bytes, as the log records it.
#pragma once

#include <string>
#include <string_view>

namespace kavel::station {

// The SHA-256 of bytes in 64 lower-case hex digits.
std::string Sha256(std::string_view bytes);

}  // namespace kavel::station
