#include "app/Shell.h"

#include <cstdint>
#include <limits>

#include "link/NumberText.h"

namespace kavel {

namespace {

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

}  // namespace

bool HasSwitch(const std::vector<std::string>& args, std::string_view sw, bool ignoreCase) {
  for (const std::string& arg : args) {
    if (arg == sw || (ignoreCase && EqualsIgnoringAsciiCase(arg, sw))) return true;
  }
  return false;
}

std::int32_t PortNumberFromName(std::string_view portName) {
  if (portName.size() < 4) return 1;
  const std::int32_t n = static_cast<unsigned char>(portName[3]) - '0';
  return (n < 1 || n > 4) ? 1 : n;
}

std::string PortNameForNumber(std::int32_t n) {
  return "COM" + std::to_string((n >= 1 && n <= 4) ? n : 1);
}

std::string PortSummary(std::string_view portName, TBaudRate rate, bool connected) {
  if (!connected) return {};
  return std::string(portName) + ": " + BaudRateText(rate) + ", 8, 1, N";
}

std::optional<std::int32_t> ParseInt32(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return std::nullopt;  // "+-5"
  }
  const auto value = ParseWhole(text, INT32_MIN, INT32_MAX);
  if (!value) return std::nullopt;
  return static_cast<std::int32_t>(*value);
}

std::string ErrorReportText(std::string_view message) {
  std::string text(message);
  if (!text.empty() && static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.')) {
    text += '.';
  }
  return text;
}

TMessageBoxRequest ErrorReportRequest(std::string_view message) {
  return {ErrorReportText(message), std::string(kAppTitle), kMbIconStop};
}

}  // namespace kavel
