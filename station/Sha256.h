// The SHA-256 of an image file, as the log records it.
#pragma once

#include <optional>
#include <string>

namespace kavel::station {

// The file's SHA-256 in 64 lower-case hex digits; nothing when it cannot be read.
std::optional<std::string> FileSha256(const std::string& path);

}  // namespace kavel::station
