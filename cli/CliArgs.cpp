#include "cli/CliArgs.h"

#include <algorithm>
#include <optional>
#include <set>
#include <string_view>

#include <CLI/CLI.hpp>

#include "cli/CliOptions.h"
#include "cli/CliValues.h"
#include "link/NumberText.h"
#include "station/Job.h"
#include "station/StationDb.h"

namespace kavel::cli {

namespace {

// A usage error: the command line cannot be carried out as it is given.
TRunStatus Usage(std::string message) { return TRunStatus::Make(rkUsage, std::move(message)); }

// Done when good; otherwise rkUsage with the message usage.
TRunStatus Check(bool good, std::string_view usage) { return good ? TRunStatus::Done() : Usage(std::string(usage)); }

// Thrown out of the parser by the first option that cannot be taken.
struct TParseStop {};

// Reads the options into out, and the other words (the command and its arguments) into words,
// in order; --for counts as the last of them. Done, or the usage error of the first option that
// is unknown or lacks its value, or whose value is no good.
TRunStatus ReadOptions(const std::vector<std::string>& argv, TCliArgs& out, std::vector<std::string>& words) {
  CLI::App app;
  app.set_help_flag();   // --help is an option like the others
  app.allow_extras();    // an unknown option is said in this program's words
  TRunStatus failed;
  bool forGiven = false;
  // The first unknown option, when one came before the option being taken.
  const auto unknownBefore = [&app]() -> std::optional<TRunStatus> {
    for (const std::string& unknown : app.remaining())  // besides the "--" the parser keeps there
      if (unknown != "--") return Usage("unknown option " + unknown);
    return std::nullopt;
  };
  const auto take = [&](const TOption& option, const std::string* text) {
    if (const auto unknown = unknownBefore()) failed = *unknown;
    if (failed.Ok() && !text) out.*(option.flag) = true;
    if (failed.Ok() && text) {
      TValue value{option.needs, *text, out, forGiven};
      failed = option.take(value);
    }
    if (!failed.Ok()) throw TParseStop{};
  };
  for (const TOption& o : Options()) {
    std::string names(o.name);
    if (!o.shortName.empty()) names = std::string(o.shortName) + "," + names;
    if (o.flag) {
      app.add_flag_callback(names, [&take, &o] { take(o, nullptr); })->trigger_on_parse();
    } else {
      app.add_option_function<std::string>(names, [&take, &o](const std::string& text) { take(o, &text); })
          ->trigger_on_parse();
    }
  }
  app.add_option("words", words);  // the command and its arguments, and all after "--"
  // "--db=" gives no value: the parser would take the next word for it (the command, say).
  for (std::size_t i = 0; i < argv.size() && argv[i] != "--"; ++i) {
    const TOption* option = argv[i].ends_with('=') ? FindOption(std::string_view(argv[i]).substr(0, argv[i].size() - 1)) : nullptr;
    if (option && !option->flag) return Usage(std::string(option->needs));
  }
  try {
    app.parse(std::vector<std::string>(argv.rbegin(), argv.rend()));
  } catch (const TParseStop&) {
    return failed;
  } catch (const CLI::ParseError& e) {
    if (const auto unknown = unknownBefore()) return *unknown;
    // A flag given a value that is neither true nor false (--json=maybe), or an option whose
    // value is missing: the last word, with nothing after it.
    for (const std::string& word : argv) {
      const TOption* option = FindOption(std::string_view(word).substr(0, word.find('=')));
      if (option && option->flag && word.find('=') != std::string::npos)
        return Usage(std::string(option->name) + " is a flag: it takes no value");
    }
    const TOption* last =
        argv.empty() ? nullptr : FindOption(std::string_view(argv.back()).substr(0, argv.back().find('=')));
    return Usage(last && !last->flag ? std::string(last->needs) : std::string(e.what()));
  }
  if (const auto unknown = unknownBefore()) return *unknown;
  if (forGiven) words.push_back("--for");
  return TRunStatus::Done();
}

// The options that belong to some commands only, in the order they are checked.
struct TBelonging {
  bool (*given)(const TCliArgs&);
  bool (*to)(const TCommandInfo&);  // true for the commands it belongs to
  std::string_view usage;           // the usage error with any other
};

const TBelonging kBelongings[] = {
    {[](const TCliArgs& a) { return a.sixClock; }, [](const TCommandInfo& c) { return c.id == ciCycle; },
     "--six-clock belongs to cycle"},
    {[](const TCliArgs& a) { return a.pin; }, [](const TCommandInfo& c) { return c.id == ciPorts; },
     "--pin belongs to ports"},
    {[](const TCliArgs& a) { return a.requirePinned; }, [](const TCommandInfo& c) { return c.runner != nullptr; },
     "--require-pinned belongs to the commands that open a port"},
    {[](const TCliArgs& a) { return a.events; }, [](const TCommandInfo& c) { return c.runner != nullptr; },
     "--events belongs to the commands that open a port"},
    {[](const TCliArgs& a) { return !a.stopWords.empty(); }, [](const TCommandInfo& c) { return c.runner != nullptr; },
     "--stop-words belongs to the commands that open a port"},
    {[](const TCliArgs& a) { return a.controllerGiven; }, [](const TCommandInfo& c) { return c.id == ciCycle; },
     "--controller belongs to cycle"},
    {[](const TCliArgs& a) { return a.format.has_value(); },
     [](const TCommandInfo& c) { return c.arguments == TArguments::taImage || c.arguments == TArguments::taEraseWhat; },
     "--format belongs to program, cycle, verify and erase --for"},
    {[](const TCliArgs& a) { return a.rangeGiven; }, [](const TCommandInfo& c) { return c.range; },
     "--range belongs to read and blank-check"},
    {[](const TCliArgs& a) { return a.noVerify; }, [](const TCommandInfo& c) { return c.resends && c.verifies; },
     "--no-verify belongs to program and cycle"},
    {[](const TCliArgs& a) { return a.eraseGiven || a.noErase; }, [](const TCommandInfo& c) { return c.id == ciProgram; },
     "--erase and --no-erase belong to program"},
    {[](const TCliArgs& a) { return a.all; }, [](const TCommandInfo& c) { return c.id == ciProgram || c.id == ciVerify; },
     "--all belongs to program and verify"},
    {[](const TCliArgs& a) { return a.retriesGiven; }, [](const TCommandInfo& c) { return c.resends; },
     "--retries belongs to program and cycle"},
    {[](const TCliArgs& a) { return a.expectDevice.has_value(); }, [](const TCommandInfo& c) { return c.verifies; },
     "--expect-device belongs to program, verify and cycle"},
    {[](const TCliArgs& a) { return !a.expectSha256.empty(); },
     [](const TCommandInfo& c) { return c.arguments == TArguments::taImage; },
     "--expect-sha256 belongs to program, cycle and verify"},
    {[](const TCliArgs& a) { return !a.serial.empty(); }, [](const TCommandInfo& c) { return c.serial || c.id == ciLog; },
     "--serial belongs to program, cycle and log"},
    {[](const TCliArgs& a) { return a.serialNamed; }, [](const TCommandInfo& c) { return c.serial; },
     "--serial-name, --serial-first and --serial-step belong to program and cycle, with --serial"},
    {[](const TCliArgs& a) { return !a.serialList.empty() || a.serialKeep; }, [](const TCommandInfo& c) { return c.serial; },
     "--serial-list and --serial-keep belong to program and cycle, with --serial"},
    {[](const TCliArgs& a) { return !a.since.empty() || a.csv; }, [](const TCommandInfo& c) { return c.id == ciLog; },
     "--since and --csv belong to log"},
    {[](const TCliArgs& a) { return !a.until.empty(); }, [](const TCommandInfo& c) { return c.id == ciLog; },
     "--until belongs to log"},
    {[](const TCliArgs& a) { return a.stats || !a.statsBy.empty() || !a.results.empty() || a.flush; },
     [](const TCommandInfo& c) { return c.id == ciLog; }, "--stats, --by, --result and --flush belong to log"},
    {[](const TCliArgs& a) { return !a.db.empty() || a.noDb; }, [](const TCommandInfo& c) { return c.logged || c.id == ciLog; },
     "--db and --no-db belong to program, cycle, verify, erase and log"},
    {[](const TCliArgs& a) { return a.stationNamed; }, [](const TCommandInfo& c) { return c.logged || c.id == ciLog; },
     "--station, --operator and --lot belong to program, cycle, verify, erase and log"},
};

// Done when every option given belongs to the command; otherwise the usage error of the first
// that does not. Options that cannot go together are named where a job gave one of them.
TRunStatus OptionsBelong(const TCliArgs& a) {
  for (const TBelonging& b : kBelongings) {
    if (b.given(a) && !b.to(CommandInfo(a.id)))
      return Usage(std::string(b.usage));
  }
  const auto clash = [&a](std::initializer_list<std::string_view> options, std::string usage) {
    for (const std::string_view option : options)
      if (a.fromJob.contains(option)) return AtJobKey(a, option, Usage(std::move(usage)));
    return Usage(std::move(usage));
  };
  if (a.eraseGiven && a.noErase) return Usage("--erase and --no-erase cannot both be given");
  if ((a.serialNamed || !a.serialList.empty() || a.serialKeep) && a.serial.empty())
    return clash({"--serial-name", "--serial-first", "--serial-step", "--serial-list", "--serial-keep"},
                 "--serial-name, --serial-first, --serial-step, --serial-list and --serial-keep need --serial ADDR[:FORMAT]");
  if (!a.serialList.empty() && a.serialNamed)
    return clash({"--serial-list", "--serial-name", "--serial-first", "--serial-step"},
                 "--serial-list hands out the list's values: --serial-name, --serial-first and --serial-step cannot go with it");
  if (!a.statsBy.empty() && !a.stats) return Usage("--by needs --stats");
  if (a.events && !a.json) return Usage("--events needs --json: the events are JSON Lines before the result's object");
  if (a.flush && (!a.since.empty() || !a.until.empty() || !a.serial.empty() || a.portsGiven || a.stationNamed ||
                  !a.results.empty()))
    return Usage("log --flush sends every row that waits for the server: it takes no --since, --until, --serial, "
                 "--port, --station, --operator, --lot or --result");
  if (a.flush && (a.stats || a.json || a.csv))
    return Usage("log --flush sends the rows that wait in the spool: it lists nothing, so --stats, --json and --csv cannot go with it");
  if (a.noDb && !a.db.empty()) return clash({"--db"}, "--db and --no-db cannot both be given");
  if (a.noDb && (!a.serial.empty() || a.id == ciLog))
    return a.id == ciLog ? Usage("log reads the station database: --no-db leaves nothing to read")
                         : clash({"--serial"}, "--serial draws its numbers from the station database: it cannot go with --no-db");
  if (a.json && a.csv) return Usage("--json and --csv cannot both be given");
  if (a.stationNamed && a.noDb)
    return clash({"--station", "--operator", "--lot"},
                 "--station, --operator and --lot name the log's rows: they cannot go with --no-db");
  return TRunStatus::Done();
}

// How a command takes its arguments (rest: the words after it) into out: done, or the usage error.
using TArgumentsTaker = TRunStatus (*)(const std::string& command, const std::vector<std::string>& rest, TCliArgs& out);

TRunStatus NoArguments(const std::string& command, const std::vector<std::string>& rest, TCliArgs&) {
  return Check(rest.empty(), command + " takes no arguments");
}

TRunStatus ImageFile(const std::string& command, const std::vector<std::string>& rest, TCliArgs& out) {
  if (rest.size() != 1 || rest[0] == "--for") return Usage(command + " needs one image file");
  out.file = rest[0];
  return TRunStatus::Done();
}

TRunStatus OutputFile(const std::string&, const std::vector<std::string>& rest, TCliArgs& out) {
  if (rest.size() != 1) return Usage("read needs one file to write");
  if (!FormatByName(rest[0])) return Usage("read: " + rest[0] + " must end in .hex, .ihx or .bin");
  out.output = rest[0];
  return TRunStatus::Done();
}

TRunStatus SecurityBit(const std::string&, const std::vector<std::string>& rest, TCliArgs& out) {
  return Check(rest.size() == 1 && ParseNumber(rest[0], out.securityBit, 1, 3), "security needs 1, 2 or 3");
}

// erase: all (or nothing), the blocks listed, or --for's image.
TRunStatus EraseWhat(const std::string&, const std::vector<std::string>& rest, TCliArgs& out) {
  if (rest.size() == 1 && rest[0] == "--for") return TRunStatus::Done();
  if (rest.empty() || (rest.size() == 1 && rest[0] == "all")) {
    out.eraseAll = true;
    return TRunStatus::Done();
  }
  for (const std::string& b : rest) {
    int block = 0;
    if (!ParseNumber(b, block, 0, 15)) return Usage("erase: " + b + " is not a block number (0-15) or all");
    out.eraseBlocks.set(static_cast<std::size_t>(block));
  }
  return TRunStatus::Done();
}

// The taker of a kind of arguments.
TArgumentsTaker TakerOf(TArguments kind) {
  switch (kind) {
    case TArguments::taImage: return ImageFile;
    case TArguments::taOutput: return OutputFile;
    case TArguments::taSecurityBit: return SecurityBit;
    case TArguments::taEraseWhat: return EraseWhat;
    case TArguments::taNone: break;
  }
  return NoArguments;
}

// --serial as its command means it: where the number goes (program, cycle), or the number whose
// rows the log lists.
TRunStatus SerialMeant(TCliArgs& out) {
  if (out.serial.empty()) return TRunStatus::Done();
  if (out.id == ciLog) {
    const auto number = ParseSerialNumber(out.serial);
    if (number) out.serialNumber = *number;
    return Check(number.has_value(), "log --serial needs the number whose rows to list");
  }
  station::TSerialPlace place;
  if (TRunStatus parsed = station::ParseSerialPlace(out.serial, place); !parsed.Ok())
    return AtJobKey(out, "--serial", parsed);
  out.serialPlace = place;
  return TRunStatus::Done();
}

// The options argv gives, by their long names, up to "--" (a word taken as an option's value
// counts as none).
std::set<std::string_view> OptionsGiven(const std::vector<std::string>& argv) {
  std::set<std::string_view> given;
  for (std::size_t i = 0; i < argv.size() && argv[i] != "--"; ++i) {
    const std::size_t equals = argv[i].find('=');
    const TOption* option = FindOption(std::string_view(argv[i]).substr(0, equals));
    if (!option) continue;
    given.insert(option->name);
    if (!option->flag && equals == std::string::npos) ++i;  // its value
  }
  return given;
}

// Whether a job's option (read alone into probe) goes with the command: when the command
// takes it (kBelongings). log lists the job's rows, and takes the job's database, station
// and lot alone; log --flush its database alone.
bool JobOptionBelongs(const station::TJobOption& option, const TCliArgs& probe, const TCommandInfo& command, bool flush) {
  if (command.id == ciLog) return option.key == "db" || (!flush && (option.key == "station" || option.key == "lot"));
  return std::none_of(std::begin(kBelongings), std::end(kBelongings),
                      [&](const TBelonging& b) { return b.given(probe) && !b.to(command); });
}

// The command line with the job's keys before its own options, so that those it gives win:
// its ports replace the job's, and the job's command and image come when it gives no command.
// Each key's value is checked as the option it stands for, its line named when refused; the
// keys that do not go with the command given are left out; what the options say together is
// checked on the whole.
TRunStatus WithJob(const std::vector<std::string>& argv, const std::vector<std::string>& words, TCliArgs& out) {
  station::TJob job;
  if (TRunStatus loaded = station::LoadJob(out.job, job); !loaded.Ok()) return loaded;
  std::vector<std::string> merged;
  const TCommandInfo* named = FindCommandInfo(words.empty() ? job.operation : words.front());
  const TCommandInfo& command = named ? *named : CommandInfo(ciNone);
  const std::set<std::string_view> own = OptionsGiven(argv);
  std::map<std::string, std::string, std::less<>> fromJob;
  for (const station::TJobOption& o : job.options) {
    const std::string where = job.path + ":" + std::to_string(o.line) + ": " + o.key;
    TCliArgs probe;
    std::vector<std::string> ignored;
    if (TRunStatus good = ReadOptions(o.words, probe, ignored); !good.Ok()) return Usage(where + ": " + good.detail);
    if (o.words.front() == "--port" && out.portsGiven) continue;
    if (!JobOptionBelongs(o, probe, command, out.flush)) continue;
    merged.insert(merged.end(), o.words.begin(), o.words.end());
    if (!own.contains(o.words.front())) fromJob[o.words.front()] = where;
  }
  for (std::size_t i = 0; i < argv.size(); ++i) {
    if (argv[i] == "--") {
      merged.insert(merged.end(), argv.begin() + static_cast<std::ptrdiff_t>(i), argv.end());
      break;
    }
    if (argv[i] == "--job") ++i;  // its value
    else if (!argv[i].starts_with("--job=")) merged.push_back(argv[i]);
  }
  if (words.empty()) {
    if (std::find(merged.begin(), merged.end(), "--") == merged.end()) merged.push_back("--");
    merged.insert(merged.end(), {job.operation, job.image});
  }
  const std::string path = out.job;
  out = {};
  out.fromJob = std::move(fromJob);
  TRunStatus status = ParseCliArgs(merged, out);
  out.job = path;
  return status;
}

}  // namespace

TRunStatus ParseCliArgs(const std::vector<std::string>& argv, TCliArgs& out) {
  std::vector<std::string> words;
  if (TRunStatus read = ReadOptions(argv, out, words); !read.Ok() || out.help || out.version) return read;
  if (!out.job.empty()) {
    out.portsGiven = !out.ports.empty();
    return WithJob(argv, words, out);
  }
  out.portsGiven = !out.ports.empty();
  if (out.ports.empty()) out.ports.push_back(ComPort(TPortMap::FromEnvironment(), "COM1"));
  if (words.empty()) return Usage("no command given");
  out.command = words[0];
  const TCommandInfo* command = FindCommandInfo(out.command);
  out.id = command ? command->id : ciNone;
  if (TRunStatus belong = OptionsBelong(out); !belong.Ok()) return belong;
  if (!command) return Usage("unknown command " + out.command);
  const std::vector<std::string> rest(words.begin() + 1, words.end());
  if (TRunStatus taken = TakerOf(command->arguments)(out.command, rest, out); !taken.Ok()) return taken;
  return SerialMeant(out);
}

std::vector<std::string> OptionNames() {
  std::vector<std::string> names;
  for (const TOption& o : Options()) {
    names.emplace_back(o.name);
    if (!o.shortName.empty()) names.emplace_back(o.shortName);
  }
  return names;
}

std::vector<std::string> CommandNames() {
  std::vector<std::string> names;
  for (int id = static_cast<int>(ciPorts); id <= static_cast<int>(ciLog); ++id)
    names.emplace_back(CommandInfo(static_cast<TCommandId>(id)).name);
  return names;
}

TRunStatus AtJobKey(const TCliArgs& args, std::string_view option, TRunStatus status) {
  const auto from = args.fromJob.find(option);
  if (!status.Ok() && from != args.fromJob.end()) status.detail = from->second + ": " + status.detail;
  return status;
}

bool CommandAsks(const TCliArgs& args) { return args.id == ciCycle && args.bootEntry.empty(); }

bool CommandLogged(const TCliArgs& args) { return !args.noDb && CommandInfo(args.id).logged; }

bool CommandLearns(const TCliArgs& args) { return CommandInfo(args.id).learns; }

}  // namespace kavel::cli
