// The options of kavel-isp-cli, one row each: the long and short names, and what is done with
// a flag or a value (each value checked as it is taken, with its own usage error). The parser
// (CliArgs.cpp) reads the command line by them, each option attached to the commands it
// belongs to.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "cli/CliArgs.h"

namespace kavel::cli {

// An option's value, and where it goes.
struct TValue {
  std::string_view needs;  // the option's usage error for a value that is no good
  const std::string& text;
  TCliArgs& out;
  bool& forGiven;          // --for was given: it counts among the command's arguments
};
// Takes the value into out: done, or the usage error.
using TTake = TRunStatus (*)(TValue&);

struct TOption {
  std::string_view name;
  std::string_view shortName = {};   // "" for none
  bool TCliArgs::*flag = nullptr;    // a flag: what it sets; nullptr for an option with a value
  std::string_view needs = {};       // an option with a value: the usage error when it is missing
  TTake take = nullptr;              // and what is done with it
  // The commands it belongs to, asked of their rows (the parser attaches it to those
  // commands alone); nullptr for an option of every command.
  bool (*belongs)(const TCommandInfo&) = nullptr;
  std::string_view to = {};          // those commands in words: "--X belongs to " + to
};

// Every option, in the order --help names them.
std::span<const TOption> Options();
// The option of that name, long or short; nullptr for none.
const TOption* FindOption(std::string_view word);

}  // namespace kavel::cli
