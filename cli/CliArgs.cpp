#include "cli/CliArgs.h"

#include <algorithm>
#include <functional>
#include <memory>
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

// The command line as it is read: what the options have given so far, and the first usage
// error in the order given (the rest is read all the same, so that --json anywhere is known).
struct TParse {
  explicit TParse(TCliArgs& args) : out(args) {}
  TCliArgs& out;
  CLI::App app;
  TRunStatus failed;
  std::vector<std::string> words;          // the command's arguments; --for counts as the last
  bool forGiven = false;
  const TCommandInfo* command = nullptr;   // once its name has been read
  std::set<std::string_view> given;        // the options given, by their long names
  // The options of some commands only, given before the command's name: taken once it is known.
  std::vector<std::pair<const TOption*, std::optional<std::string>>> early;
};

// The first option the parser did not know, when one came before the option being taken.
TRunStatus UnknownBefore(const TParse& p) {
  for (const std::string& word : p.app.remaining(true))  // besides the "--" the parser keeps there
    if (word.starts_with('-') && word != "--") return Usage("unknown option " + word);
  return TRunStatus::Done();
}

// Takes an option's flag or value into out.
void Take(TParse& p, const TOption& o, const std::string* text) {
  if (p.failed.Ok()) p.failed = UnknownBefore(p);
  p.given.insert(o.name);
  if (!text) p.out.*(o.flag) = true;
  if (!text || !p.failed.Ok()) return;
  TValue value{o.needs, *text, p.out, p.forGiven};
  p.failed = o.take(value);
}

// An option of some commands only, where the command's own options are not read: before the
// command's name (kept until it is known), or after the name of a command it does not belong to.
void TakeElsewhere(TParse& p, const TOption& o, const std::string* text) {
  if (!p.command) {
    p.early.emplace_back(&o, text ? std::optional<std::string>(*text) : std::nullopt);
    return;
  }
  if (p.failed.Ok()) p.failed = UnknownBefore(p);
  if (p.failed.Ok()) p.failed = Usage(std::string(o.name) + " belongs to " + std::string(o.to));
}

// The command's name has been read: the options given before it are its own, or a usage error.
void EnterCommand(TParse& p, const TCommandInfo& command) {
  p.command = &command;
  for (const auto& [option, text] : p.early) {
    if (option->belongs(command)) Take(p, *option, text ? &*text : nullptr);
    else TakeElsewhere(p, *option, text ? &*text : nullptr);
  }
  p.early.clear();
}

// Adds an option to app, done with by take as it is read.
void AddOption(CLI::App& app, const TOption& o, std::function<void(const std::string*)> take) {
  std::string names(o.name);
  if (!o.shortName.empty()) names = std::string(o.shortName) + "," + names;
  if (o.flag) app.add_flag_callback(names, [take] { take(nullptr); })->trigger_on_parse();
  else app.add_option_function<std::string>(names, [take](const std::string& text) { take(&text); })->trigger_on_parse();
}

// The parser: the options of every command on the program, and a subcommand a command, with
// the options that belong to it and its arguments. An option of every command given after the
// command's name falls through to the program.
void BuildParser(TParse& p) {
  p.app.set_help_flag();  // --help is an option like the others
  p.app.allow_extras();   // an unknown option is said in this program's words
  for (const TOption& o : Options()) {
    if (o.belongs) AddOption(p.app, o, [&p, &o](const std::string* text) { TakeElsewhere(p, o, text); });
    else AddOption(p.app, o, [&p, &o](const std::string* text) { Take(p, o, text); });
  }
  for (int id = static_cast<int>(ciPorts); id <= static_cast<int>(ciLog); ++id) {
    const TCommandInfo& command = CommandInfo(static_cast<TCommandId>(id));
    CLI::App* sub = p.app.add_subcommand(std::string(command.name));
    sub->set_help_flag();
    sub->fallthrough();
    sub->preparse_callback([&p, &command](std::size_t) { EnterCommand(p, command); });
    for (const TOption& o : Options())
      if (o.belongs && o.belongs(command)) AddOption(*sub, o, [&p, &o](const std::string* text) { Take(p, o, text); });
    sub->add_option("arguments", p.words);  // and all after "--"
  }
}

// The option the parser's own error names ("--delay: 1 required TEXT missing", "Could not
// convert: --json = maybe"); nullptr for none.
const TOption* OptionOfError(const std::string& what) {
  for (std::size_t at = what.find('-'); at != std::string::npos; at = what.find('-', at + 1)) {
    if (at > 0 && what[at - 1] != ' ') continue;
    if (const TOption* option = FindOption(what.substr(at, what.find_first_of(":= ", at) - at))) return option;
  }
  return nullptr;
}

// An empty value after "=" (--db=): the parser would drop it and take the next word (the
// command, say) instead; as a word of its own, it is the empty value its option refuses.
std::vector<std::string> EmptyValuesApart(const std::vector<std::string>& argv) {
  std::vector<std::string> words;
  bool options = true;
  for (const std::string& word : argv) {
    options = options && word != "--";
    const TOption* option = options && word.ends_with('=') ? FindOption(word.substr(0, word.size() - 1)) : nullptr;
    if (option && !option->flag) words.insert(words.end(), {word.substr(0, word.size() - 1), ""});
    else words.push_back(word);
  }
  return words;
}

// Reads argv into p: done, or the first usage error in the order given.
TRunStatus ReadCommandLine(const std::vector<std::string>& argv, TParse& p) {
  BuildParser(p);
  try {
    const std::vector<std::string> words = EmptyValuesApart(argv);
    p.app.parse(std::vector<std::string>(words.rbegin(), words.rend()));
  } catch (const CLI::ParseError& e) {
    if (!p.failed.Ok()) return p.failed;
    if (TRunStatus unknown = UnknownBefore(p); !unknown.Ok()) return unknown;
    // A flag given a value (--json=maybe), or an option whose value is missing.
    const TOption* option = OptionOfError(e.what());
    if (option && option->flag) return Usage(std::string(option->name) + " is a flag: it takes no value");
    return Usage(option ? std::string(option->needs) : std::string(e.what()));
  }
  if (!p.failed.Ok()) return p.failed;
  if (TRunStatus unknown = UnknownBefore(p); !unknown.Ok()) return unknown;
  if (p.forGiven) p.words.push_back("--for");
  return TRunStatus::Done();
}

// What the options say together: done, or the usage error. Options that cannot go together
// are named where a job gave one of them.
TRunStatus OptionsTogether(const TCliArgs& a) {
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

// The option a job's key stands for: its own name but for the image's SHA-256 and the ports.
const TOption* OptionOfKey(std::string_view key) {
  if (key == "sha256") return FindOption("--expect-sha256");
  if (key == "ports") return FindOption("--port");
  return FindOption("--" + std::string(key));
}

// Whether a job's key goes with the command: when the command takes its option. log lists the
// job's rows, and takes the job's database, station and lot alone; log --flush its database alone.
bool KeyGoes(const station::TJobKey& key, const TOption& option, const TCommandInfo& command, bool flush) {
  if (command.id == ciLog) return key.key == "db" || (!flush && (key.key == "station" || key.key == "lot"));
  return !option.belongs || option.belongs(command);
}

// The job's keys under the command line's own options: each key's values checked as its option
// takes them, its line named when refused; the keys whose option the command line gave, or
// that do not go with the command, left out.
TRunStatus WithJob(const station::TJob& job, TParse& p) {
  for (const station::TJobKey& key : job.keys) {
    const std::string where = job.path + ":" + std::to_string(key.line) + ": " + key.key;
    const TOption* option = OptionOfKey(key.key);
    if (!option) return TRunStatus::Make(rkInternal, where + ": no option takes it");
    const bool goes = !p.given.contains(option->name) && KeyGoes(key, *option, *p.command, p.out.flush);
    for (const std::string& text : key.values) {
      if (option->flag) {
        if (goes && text == "true") p.out.*(option->flag) = true;
        continue;
      }
      TCliArgs probe;
      bool probeFor = false;
      TValue value{option->needs, text, goes ? p.out : probe, goes ? p.forGiven : probeFor};
      if (TRunStatus taken = option->take(value); !taken.Ok()) return Usage(where + ": " + taken.detail);
    }
    if (goes) p.out.fromJob[std::string(option->name)] = where;
  }
  return TRunStatus::Done();
}

// The first word the parser took for no option and no command (an unknown command); "" for none.
std::string FirstWord(const TParse& p) {
  for (const std::string& word : p.app.remaining(true))
    if (word != "--") return word;
  return {};
}

// The command named, or the usage error of a command line without one (the unknown name
// kept as the command given, for the JSON object).
TRunStatus CommandNamed(TParse& p) {
  if (p.command) return TRunStatus::Done();
  p.out.command = FirstWord(p);
  return Usage(p.out.command.empty() ? std::string("no command given") : "unknown command " + p.out.command);
}

// Reads the command line, and the job it names under it: the job's command and image when the
// command line gives no command, its ports when it gives none.
TRunStatus ReadWithJob(const std::vector<std::string>& argv, std::unique_ptr<TParse>& p, TCliArgs& out) {
  if (TRunStatus read = ReadCommandLine(argv, *p); !read.Ok() || out.help || out.version || out.job.empty()) return read;
  station::TJob job;
  if (TRunStatus loaded = station::LoadJob(out.job, job); !loaded.Ok()) return loaded;
  if (!p->command && FirstWord(*p).empty()) {
    std::vector<std::string> withCommand{job.operation};
    withCommand.insert(withCommand.end(), argv.begin(), argv.end());
    if (std::find(argv.begin(), argv.end(), "--") == argv.end()) withCommand.emplace_back("--");
    withCommand.push_back(job.image);
    out = {};
    p = std::make_unique<TParse>(out);
    if (TRunStatus read = ReadCommandLine(withCommand, *p); !read.Ok()) return read;
  }
  return WithJob(job, *p);
}

}  // namespace

TRunStatus ParseCliArgs(const std::vector<std::string>& argv, TCliArgs& out) {
  auto p = std::make_unique<TParse>(out);
  if (TRunStatus read = ReadWithJob(argv, p, out); !read.Ok() || out.help || out.version) return read;
  if (TRunStatus named = CommandNamed(*p); !named.Ok()) return named;
  out.portsGiven = p->given.contains("--port");
  if (out.ports.empty()) out.ports.push_back(ComPort(TPortMap::FromEnvironment(), "COM1"));
  out.command = p->command->name;
  out.id = p->command->id;
  if (TRunStatus together = OptionsTogether(out); !together.Ok()) return together;
  const std::vector<std::string> rest = p->words;
  if (TRunStatus taken = TakerOf(p->command->arguments)(out.command, rest, out); !taken.Ok()) return taken;
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
