#include "link/BaudRate.h"

#include <array>
#include <cctype>

namespace kavel {
namespace {

struct TRateRow {
  TBaudRate rate;
  const char* text;
  std::uint32_t bits;
};

// Table order matters: BaudRateFromText takes the first equal text.
constexpr std::array<TRateRow, 16> kRates{{
    {brCustom, "Custom", 0},     {br110, "110", 110},          {br300, "300", 300},
    {br600, "600", 600},         {br1200, "1200", 1200},       {br2400, "2400", 2400},
    {br4800, "4800", 4800},      {br9600, "9600", 9600},       {br14400, "14400", 14400},
    {br19200, "19200", 19200},   {br38400, "38400", 38400},    {br56000, "56000", 56000},
    {br57600, "57600", 57600},   {br115200, "115200", 115200}, {br128000, "128000", 128000},
    {br256000, "256000", 256000},
}};

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

}  // namespace

std::string BaudRateText(TBaudRate rate) {
  for (const auto& row : kRates)
    if (row.rate == rate) return row.text;
  return {};
}

TBaudRate BaudRateFromText(std::string_view text) {
  for (const auto& row : kRates)
    if (EqualNoCase(text, row.text)) return row.rate;
  return br9600;
}

std::uint32_t BaudRateBits(TBaudRate rate) {
  for (const auto& row : kRates)
    if (row.rate == rate) return row.bits;
  return 0;
}

}  // namespace kavel
