// Entering the boot loader over the modem lines, as production fixtures for these chips are
// wired: DTR asserted holds RST high, RTS asserted pulls /PSEN low. The chip starts its boot
// loader at the falling edge of RST while /PSEN is low, its application while it is high.
// A sequence is a list of steps: a line set on or off, or a pause in ms. Boards whose
// transistors invert a line are served by inverting it.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/Clock.h"
#include "link/ComPort.h"

namespace kavel {

struct TModemStep {
  enum TWhat : std::uint8_t { mwDtr, mwRts, mwPause } what = mwPause;
  bool on = false;  // mwDtr, mwRts
  int ms = 0;       // mwPause

  static constexpr TModemStep Dtr(bool on) { return {mwDtr, on, 0}; }
  static constexpr TModemStep Rts(bool on) { return {mwRts, on, 0}; }
  static constexpr TModemStep Pause(int ms) { return {mwPause, false, ms}; }
  bool operator==(const TModemStep&) const = default;
};

// The usual wiring's entry: RTS and DTR on, 50 ms; DTR off (RST falls while /PSEN is low),
// 100 ms; RTS off.
inline constexpr TModemStep kDtrRtsEntry[] = {TModemStep::Rts(true),  TModemStep::Dtr(true),
                                              TModemStep::Pause(50),  TModemStep::Dtr(false),
                                              TModemStep::Pause(100), TModemStep::Rts(false)};
// The chip reset into its application: RTS off (/PSEN high), DTR pulsed.
inline constexpr TModemStep kRunAfterReset[] = {TModemStep::Rts(false), TModemStep::Dtr(true),
                                                TModemStep::Pause(50), TModemStep::Dtr(false)};

// The most a sequence may hold: an entry is a matter of milliseconds, and a sequence that
// would hold the line for minutes is a mistake.
inline constexpr std::size_t kMaxModemSteps = 64;
inline constexpr int kMaxModemPausesMs = 60000;  // all the pauses together

// Runs the steps on the open port: each line change sets both lines as they stand, inverted
// where asked, and the pauses go through the clock. Both lines start off. stop, when given,
// is asked before every step and every kStopCheckMs within a pause: true ends the sequence
// there. True when every step was run, false when stop ended it. EComPort when the lines
// cannot be set.
inline constexpr int kStopCheckMs = 100;
bool RunModemSteps(TCustomComPort& port, TClock& clock, std::span<const TModemStep> steps, bool invertDtr,
                   bool invertRts, const std::function<bool()>& stop = {});

// The steps as they are written: "dtr-rts" for the usual wiring, or a comma-separated list of
// dtr=0|1, rts=0|1 and pauses in ms ("rts=1,dtr=1,50,dtr=0"). "" when they are good; else what
// is wrong: the first part that is no step, or a sequence beyond the bounds above.
std::string ParseModemSteps(std::string_view text, std::vector<TModemStep>& steps);

}  // namespace kavel
