#include "isp/Activity.h"

#include <cstddef>
#include <iterator>

namespace kavel {
namespace {

struct TActivityNames {
  TActivity activity;
  std::string_view key, words;
};

// One row an activity, in the enumeration's order.
constexpr TActivityNames kNames[] = {
    {TActivity::acSync, "sync", "synchronizing"},
    {TActivity::acErase, "erase", "erasing"},
    {TActivity::acProgram, "program", "programming"},
    {TActivity::acVerify, "verify", "verifying"},
    {TActivity::acRead, "read", "reading"},
    {TActivity::acBlank, "blank", "blank check"},
    {TActivity::acSuspend, "suspend", "suspending"},
    {TActivity::acLock, "lock", "locking"},
    {TActivity::acStatusByte, "status_byte", "setting the status byte"},
    {TActivity::acSecurity, "security", "setting a security bit"},
    {TActivity::acSixClock, "six_clock", "setting 6-clock mode"},
};

constexpr bool InOrder() {
  for (std::size_t i = 0; i < std::size(kNames); ++i)
    if (static_cast<std::size_t>(kNames[i].activity) != i) return false;
  return true;
}
static_assert(InOrder() && std::size(kNames) == static_cast<std::size_t>(TActivity::acSixClock) + 1,
              "a row for every activity, in the enumeration's order");

}  // namespace

std::string_view ActivityKey(TActivity activity) { return kNames[static_cast<std::size_t>(activity)].key; }

std::string_view ActivityWords(TActivity activity) { return kNames[static_cast<std::size_t>(activity)].words; }

}  // namespace kavel
