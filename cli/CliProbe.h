// Whether a board sits in a port's socket with its chip in its boot loader, asked as a run
// would ask it: the port opened as the command line opens it, the job's boot entry run, the
// session's own speed search (one speed when the job pins one), the port closed again. It
// blocks for as long as that takes (a network port's connection included), so a window asks
// it from a thread of its own.
#pragma once

#include <functional>
#include <string>

#include "cli/CliArgs.h"
#include "cli/CliPorts.h"

namespace kavel::cli {

struct TProbe {
  enum TWhat : std::uint8_t {
    pwAnswered,  // a chip in its boot loader answered: a board is there
    pwQuiet,     // the port opened and nothing came back: the socket is empty
    pwNoise,     // something came back, but no boot loader: a board that does not answer
    pwNoPort,    // the port could not be opened, or failed meanwhile: nothing is known
    pwStopped,   // stop said so before the probe was over: nothing is known
  };
  TWhat what = pwNoPort;
  std::string words;  // pwNoPort: why, in the command line's words
  TBaudRate speed = br9600;  // pwAnswered: the speed the chip answered at
};

// stop is asked between the steps of the entry and of the search: true ends the probe there.
TProbe ProbeBoard(const TCliArgs& args, const TPortArg& port, const std::function<bool()>& stop);

}  // namespace kavel::cli
