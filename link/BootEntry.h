// Entering the boot loader over the modem lines, as production fixtures for these chips are
// wired: DTR asserted holds RST high, RTS asserted pulls /PSEN low. The chip starts its boot
// loader at the falling edge of RST while /PSEN is low, its application while it is high.
// A sequence is a list of steps, "rts=1,dtr=1,50,dtr=0,100,rts=0": a line set on (1) or off
// (0), or a pause in ms. Boards whose transistors invert a line are served by inverting it.
#pragma once

#include <optional>
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
};

// RTS and DTR on, 50 ms; DTR off (RST falls while /PSEN is low), 100 ms; RTS off.
inline constexpr std::string_view kDtrRtsEntry = "rts=1,dtr=1,50,dtr=0,100,rts=0";
// The chip reset into its application: RTS off (/PSEN high), DTR pulsed.
inline constexpr std::string_view kRunAfterReset = "rts=0,dtr=1,50,dtr=0";

// The steps of a sequence ("dtr-rts" names kDtrRtsEntry), or nothing and why in problem.
std::optional<std::vector<TModemStep>> ParseModemSteps(std::string_view text, std::string& problem);

// Runs the steps on the open port: each line change sets both lines as they stand, inverted
// where asked, and the pauses go through the clock. Both lines start off. EComPort when the
// lines cannot be set.
void RunModemSteps(TCustomComPort& port, TClock& clock, const std::vector<TModemStep>& steps, bool invertDtr,
                   bool invertRts);

}  // namespace kavel
