// What the window's files share: Qt text from ours, the speed list's entries, the style.
#pragma once

#include <QString>

#include <string_view>

namespace kavel {

inline QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// The speed list's entries, in this order; the show step selects 19200 before the port's
// rate takes over.
inline constexpr const char* kBaudItems[] = {"4800", "9600", "14400", "19200", "38400"};
inline constexpr int kBaudItem19200 = 3;

// Puts the application's style, unchanged but for what start-up need not load, in place
// once; called before the window builds its menu bar.
void UseFormStyle();

}  // namespace kavel
