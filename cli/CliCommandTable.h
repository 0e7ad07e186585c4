// The commands of kavel-isp-cli, one row each: the name, what it takes after it, what it is
// (recorded in the station's log, learning from the chip, taking --serial ...), the runner
// that carries it out on an open port and the words that say it was done. Everything in the
// command line that depends on the command asks its row, never its name.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "cli/CliStatus.h"

namespace kavel::cli {

struct TCommandRun;
struct TRunFacts;

enum class TCommandId : std::uint8_t {
  ciNone, ciPorts, ciSync, ciInfo, ciStatus, ciBlankCheck, ciSetStatus0, ciSixClock, ciSuspend, ciProgram, ciCycle,
  ciVerify, ciRead, ciSecurity, ciErase, ciLog
};
using enum TCommandId;

// What a command takes after its name.
enum class TArguments : std::uint8_t {
  taNone,         // nothing
  taImage,        // one image file
  taOutput,       // one file to write (.hex, .ihx or .bin)
  taSecurityBit,  // 1, 2 or 3
  taEraseWhat,    // all (or nothing), block numbers, or --for with an image
};

struct TCommandInfo {
  TCommandId id;
  std::string_view name;
  TArguments arguments;
  bool logged;      // every run is a row in the station's log (unless --no-db)
  bool learns;      // its purpose is to learn from the chip: replies always awaited
  bool serial;      // --serial ADDR[:FORMAT] writes a number with the image
  bool verifies;    // reads the image back (JSON "verified")
  bool resends;     // sends data records, which line noise may make go again (JSON "resent")
  bool range;       // works on --range (JSON "range")
  bool controller;  // deals with the communication controller (JSON "controller_suspended")
  // Carries it out on the open port; nullptr for the commands without a port (ports, log).
  TRunStatus (*runner)(TCommandRun&);
  // What was done, in its own words, for the result line; "" to say nothing.
  std::string (*done)(const TRunFacts&);
};

// The row of the command of that name; nullptr for none.
const TCommandInfo* FindCommandInfo(std::string_view name);
// The row of a command (ciNone has one too: nothing to do, no words).
const TCommandInfo& CommandInfo(TCommandId id);

}  // namespace kavel::cli
