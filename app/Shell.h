// The window's rules that need no window: the application title, command-line switches,
// the port-number rule, the status-bar port summary, delay parsing and the text of the
// general error report. Plain C++ so that they are tested without a display.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/MessageBoxes.h"
#include "link/BaudRate.h"
#include "version/Version.h"

namespace kavel {

inline constexpr std::string_view kAppTitle = "Kavel ISP " KAVEL_VERSION;

// True when an argument equals sw. With ignoreCase an argument also matches when both,
// converted to upper case (ASCII letters only), are equal. args excludes the program name;
// the first match wins, and there are no partial matches ("/Kavelx" is not "/Kavel").
bool HasSwitch(const std::vector<std::string>& args, std::string_view sw, bool ignoreCase);

// The port number of a port name: the fourth character's code minus that of "0", when that
// gives 1..4; otherwise (a shorter name included) 1. COM20 gives 2, COM5 and COM10 give 1.
std::int32_t PortNumberFromName(std::string_view portName);

// "COM" + n for n in 1..4, else "COM1".
std::string PortNameForNumber(std::int32_t n);

// The port summary of the status bar: "COM1: 9600, 8, 1, N"; empty when the port is closed.
std::string PortSummary(std::string_view portName, TBaudRate rate, bool connected);

// The whole text as a signed decimal integer in 32-bit range (an optional "+" or "-", then
// digits, nothing else); nullopt otherwise.
std::optional<std::int32_t> ParseInt32(std::string_view text);

// The general error report's text: the message, with "." appended when the code of its last
// character is above that of "." (so "...failed" gets one, "...code: 2)" and "done." do not).
std::string ErrorReportText(std::string_view message);
// The general error report's box: that text, the application title as its caption, OK and
// the error icon.
TMessageBoxRequest ErrorReportRequest(std::string_view message);

}  // namespace kavel
