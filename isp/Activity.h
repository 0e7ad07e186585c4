// What the session is doing, as the observer hears it: a closed set of activities, each with
// a stable key for programs that read it (the command line's JSON events) and the words a
// person reads (the command line's progress lines and messages). Both are fixed: a script or
// a station window may rely on the keys, and the words are those the command line has always
// shown.
#pragma once

#include <cstdint>
#include <string_view>

namespace kavel {

enum class TActivity : std::uint8_t {
  acSync,        // the speed search and the set-clock record
  acErase,       // the whole-chip erase, or blocks
  acProgram,     // an image's records going out
  acVerify,      // an image read back and compared
  acRead,        // the flash read out
  acBlank,       // the blank check
  acSuspend,     // the communication controller put into suspended mode
  acLock,        // a cycle's locking: the status byte, then the security bits
  acStatusByte,  // the status byte set to 0, alone
  acSecurity,    // a security bit set, alone
  acSixClock,    // 6-clock mode set
};

// "sync", "erase", "program", "verify", "read", "blank", "suspend", "lock", "status_byte",
// "security", "six_clock": lower case, never changed once given out.
std::string_view ActivityKey(TActivity activity);
// "synchronizing", "erasing", "programming", "verifying", "reading", "blank check",
// "suspending", "locking", "setting the status byte", "setting a security bit", "setting
// 6-clock mode".
std::string_view ActivityWords(TActivity activity);

}  // namespace kavel
