// The device commands of the command line, each a function over one open port, found by
// name. Each leaves its outcome in the operations' status (TIspOperations::LastStatus).
#pragma once

#include <string_view>

#include "cli/CliArgs.h"
#include "cli/CliHost.h"
#include "isp/IspOperations.h"

namespace kavel::cli {

struct TPortRun;

// What a command works with.
struct TCommandRun {
  const TCliArgs& args;
  const TPortRun& run;
  TCliHost& host;
  TIspOperations& ops;
  std::string fileProblem;  // read: why its file could not be written; "" when it was
};

using TCommand = void (*)(TCommandRun&);

// The command of that name; nullptr for none.
TCommand FindCommand(std::string_view name);

}  // namespace kavel::cli
