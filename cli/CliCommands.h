// The commands of the command line, each a function over one open port and the chip session,
// found by name. Each returns its outcome and fills in the facts the report is made of.
#pragma once

#include <functional>
#include <optional>

#include <string>
#include <string_view>

#include "cli/CliArgs.h"
#include "cli/CliReport.h"
#include "cli/CliTerminal.h"
#include "image/HexBinList.h"
#include "isp/Session.h"

namespace kavel::cli {

// How the speed is searched: --baud pins one speed; without it the fastest that works. Not
// awaiting replies, nothing confirms a speed either: two "U" at the speed given, the chip
// trusted to catch one.
TSyncPlan Plan(const TCliArgs& a);

// What a command works with.
struct TCommandRun {
  const TCliArgs& args;
  const THexBinList* image;  // program, verify, cycle: the checked image
  TCliTerminal& terminal;
  TIspSession& session;
  TRunFacts& facts;
  TRunStatus output;        // read: its file written, or rkOutputFailed saying why it was not
  // program, cycle: once the chip answers and before anything is erased (--serial-keep's
  // read of the board's number), with the image it may replace.
  std::function<TIspStatus(const THexBinList*& image)> beforeErase = {};
  // Set by beforeErase when it ended the run for a reason of the command line's own (the
  // station database): the run's status, whatever the session made of it.
  std::optional<TRunStatus> ownFailure = {};
};

}  // namespace kavel::cli
