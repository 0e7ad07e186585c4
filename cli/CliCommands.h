// The commands of the command line, each a function over one open port and the chip session,
// found by name. Each returns its outcome and fills in the facts the report is made of.
#pragma once

#include <string>
#include <string_view>

#include "cli/CliArgs.h"
#include "cli/CliReport.h"
#include "cli/CliTerminal.h"
#include "image/HexBinList.h"
#include "isp/Session.h"

namespace kavel::cli {

// What a command works with.
struct TCommandRun {
  const TCliArgs& args;
  const THexBinList* image;  // program, verify, cycle: the checked image
  TCliTerminal& terminal;
  TIspSession& session;
  TRunFacts& facts;
  TRunStatus output;        // read: its file written, or rkOutputFailed saying why it was not
};

}  // namespace kavel::cli
