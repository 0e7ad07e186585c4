// One run of a command on one port: the port opened (CliLine.h), the command run, the line put
// back and the port released, and the run's end said in words, as JSON and as an exit status.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/CliArgs.h"
#include "cli/CliLine.h"
#include "cli/CliPorts.h"
#include "cli/CliStation.h"
#include "image/HexBinList.h"
#include "link/Clock.h"

namespace kavel::cli {

struct TPortRun {
  TPortArg port;
  std::string trace;  // "" for none
  bool several = false;
  const THexBinList* image = nullptr;  // the checked image, for program, verify, cycle
  // The line and the time, in place of the device the port names and the real clock: for a
  // run on a simulated line.
  std::function<std::unique_ptr<TComDevice>()> device;
  TClock* clock = nullptr;
  const TStationRun* station = nullptr;  // where the run is recorded; nullptr: nowhere
  const station::TRunRow* row = nullptr;  // its row, begun already with the others' (several ports)
  int drawFd = -1;  // several ports: the line to the parent that draws the board's number (CliDraw.h)
};

// Runs the command on the port and returns the exit status: the port is opened, the command
// run, the line put back at the speed it had and the port released, on every path.
int RunOnPort(TCliArgs args, const TPortRun& run);

}  // namespace kavel::cli
