// The command line of kavel-isp-sim, parsed before anything is opened.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/SimChip.h"
#include "sim/SimController.h"

namespace kavel::sim {

struct TSimArgs {
  std::string port = "COM1";
  std::string portDir;             // empty: the port directory of the environment
  bool force = false;
  std::string logPath, flashOut, reportPath, flashIn;
  bool paced = false;
  int latencyMs = 0;               // what the chip sends reaches the program this much later
  int rfc2217Port = 0;             // the line as an RFC 2217 server on this loopback port (0: a pty)
  TSimChipOptions options;
  TSimControllerOptions ktn;
  bool withController = false;     // any --ktn option puts a controller on the line
  bool out = false;                // the board starts out of its socket (SIGUSR1 puts it in)
  bool help = false;
  bool version = false;
};

// Parses argv (without the program name) into out. Nothing on success; otherwise what is
// wrong, for a usage message.
std::optional<std::string> ParseSimArgs(const std::vector<std::string>& argv, TSimArgs& out);

extern const char* const kSimUsage;

}  // namespace kavel::sim
