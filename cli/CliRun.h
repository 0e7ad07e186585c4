// One run of a command on one port, and what is decided before any port is touched: the
// trace files' names and whether they may be written.
#pragma once

#include <bitset>
#include <optional>
#include <string>
#include <vector>

#include "cli/CliArgs.h"
#include "image/HexBinList.h"

namespace kavel::cli {

// A line on standard error from the program itself: "kavel-isp-cli: " + text.
void Complain(const std::string& text);

// The 4 KB blocks that the image's data records touch.
std::bitset<16> BlocksOf(const THexBinList& image);

// The trace file of each port: the name given, or with several ports that name + "." + the
// port's last path element, with the port's place in the list in front of it where two
// ports would share a name.
std::vector<std::string> TracePaths(const std::string& trace, const std::vector<std::string>& ports);

// Why a trace file must not be written: it is the image, a port's device, or another port's
// trace file (the same file, by device and inode); nothing when it may. Opens nothing.
std::optional<std::string> TraceConflict(const std::vector<std::string>& traces, const std::string& image,
                                         const std::vector<std::string>& ports);

struct TPortRun {
  std::string port;   // a COM name (exactly as the port list shows it) or a device path
  std::string trace;  // "" for none
  bool several = false;
  const THexBinList* image = nullptr;  // the checked image, for program, cycle
};

// Runs the command on the port and returns the exit status: the port is opened, the command
// run, the line put back at the speed it had and the port released, on every path.
int RunOnPort(TCliArgs args, const TPortRun& run);

}  // namespace kavel::cli
