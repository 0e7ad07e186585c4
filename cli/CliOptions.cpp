#include "cli/CliOptions.h"

#include <signal.h>

#include <algorithm>

#include "cli/CliReport.h"
#include "cli/CliValues.h"
#include "link/NumberText.h"
#include "link/WireText.h"
#include "station/StationDb.h"

namespace kavel::cli {
namespace {

// A usage error: the command line cannot be carried out as it is given.
TRunStatus Usage(std::string message) { return TRunStatus::Make(rkUsage, std::move(message)); }

// Done when good; otherwise rkUsage with the message usage.
TRunStatus Check(bool good, std::string_view usage) { return good ? TRunStatus::Done() : Usage(std::string(usage)); }

// True when text holds a control character (DEL too).
bool HoldsControls(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

TRunStatus TakePort(TValue& v) {
  TPortArg port;
  const TRunStatus status = ParsePortArg(v.text, TPortMap::FromEnvironment(), port);
  if (status.Ok()) v.out.ports.push_back(std::move(port));
  return status;
}

TRunStatus TakeBootEntry(TValue& v) {
  const std::string wrong = ParseModemSteps(v.text, v.out.bootEntry);
  return wrong.empty() ? TRunStatus::Done() : Usage(std::string(v.needs) + ": " + wrong);
}

TRunStatus TakeFormat(TValue& v) {
  if (v.text != "hex" && v.text != "bin") return Usage(std::string(v.needs));
  v.out.format = v.text == "hex" ? TImageFormat::ifHex : TImageFormat::ifBin;
  return TRunStatus::Done();
}

TRunStatus TakeDevice(TValue& v) {
  unsigned id = 0;
  if (!ParseHex(v.text, id, 0xFF)) return Usage(std::string(v.needs));
  v.out.expectDevice = static_cast<std::uint8_t>(id);
  return TRunStatus::Done();
}

// --for FILE stands among the command's arguments: erase takes it there, and anywhere else it
// is an argument too many.
TRunStatus TakeFor(TValue& v) {
  if (v.text.empty()) return Usage(std::string(v.needs));
  v.out.file = v.text;
  v.forGiven = true;
  return TRunStatus::Done();
}

// A name for the log (--station, --operator, --lot): 1 to 64 characters, none a control.
template <std::string TCliArgs::*field>
TRunStatus TakeName(TValue& v) {
  v.out.*field = v.text;
  v.out.stationNamed = true;
  return Check(!v.text.empty() && v.text.size() <= 64 && !HoldsControls(v.text), v.needs);
}

// --stop-words SIGNAL=WORDS: the words of one of the stop signals, each given once.
TRunStatus TakeStopWords(TValue& v) {
  static constexpr std::pair<std::string_view, int> kSignals[] = {{"INT", SIGINT}, {"TERM", SIGTERM}, {"HUP", SIGHUP}};
  const std::size_t equals = v.text.find('=');
  const std::string_view name = std::string_view(v.text).substr(0, equals);
  const auto known = std::find_if(std::begin(kSignals), std::end(kSignals), [name](const auto& s) { return s.first == name; });
  if (equals == std::string::npos || known == std::end(kSignals)) return Usage(std::string(v.needs));
  const std::string words = v.text.substr(equals + 1);
  if (words.empty() || words.size() > 100) return Usage(std::string(v.needs));
  if (HoldsControls(words))
    return Usage("--stop-words " + Printable(v.text) + ": the words hold no control characters");
  if (!v.out.stopWords.emplace(known->second, words).second)
    return Usage("--stop-words gives " + std::string(name) + " twice");
  return TRunStatus::Done();
}

// Words joined by commas (--by, --result), each one of names and none twice, added to list
// after those given before: done, or the usage error.
template <typename T, typename TOf>
TRunStatus TakeList(const TValue& v, std::vector<T>& list, const std::vector<std::string>& names, TOf of) {
  const std::string option(v.needs.substr(0, v.needs.find(' ')));
  for (std::size_t at = 0; at != std::string::npos;) {
    const std::size_t comma = v.text.find(',', at);
    const std::string word = v.text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    at = comma == std::string::npos ? comma : comma + 1;
    const auto known = std::find(names.begin(), names.end(), word);
    if (known == names.end()) {
      std::string all;
      for (const std::string& name : names) all.append(all.empty() ? "" : ", ").append(name);
      return Usage(option + " takes " + all + " (several joined by commas), not \"" + word + "\"");
    }
    const T item = of(static_cast<std::size_t>(known - names.begin()));
    if (std::find(list.begin(), list.end(), item) != list.end()) return Usage(option + " gives " + word + " twice");
    list.push_back(item);
  }
  return TRunStatus::Done();
}

// A time as a person writes it (--since, --until), as the log's rows hold it.
template <std::string TCliArgs::*field>
TRunStatus TakeTime(TValue& v) {
  std::string why;
  const auto utc = station::UtcFromText(v.text, why);
  if (utc) v.out.*field = *utc;
  if (utc || why.empty()) return Check(utc.has_value(), v.needs);
  return Usage(std::string(v.needs.substr(0, v.needs.find(' '))) + " " + why);  // "--since 2026-03-29T02:30 does not ..."
}

// The commands an option belongs to, by what their rows say they are.
bool OfCycle(const TCommandInfo& c) { return c.id == ciCycle; }
bool OfProgram(const TCommandInfo& c) { return c.id == ciProgram; }
bool OfLog(const TCommandInfo& c) { return c.id == ciLog; }
bool OfPorts(const TCommandInfo& c) { return c.id == ciPorts; }
bool OfErase(const TCommandInfo& c) { return c.arguments == TArguments::taEraseWhat; }
bool OfImage(const TCommandInfo& c) { return c.arguments == TArguments::taImage; }
bool OfImageOrErase(const TCommandInfo& c) { return OfImage(c) || OfErase(c); }
bool OfPort(const TCommandInfo& c) { return c.runner != nullptr; }
bool OfRange(const TCommandInfo& c) { return c.range; }
bool OfResends(const TCommandInfo& c) { return c.resends; }
bool OfVerifies(const TCommandInfo& c) { return c.verifies; }
bool OfReadsBack(const TCommandInfo& c) { return c.resends && c.verifies; }
bool OfAll(const TCommandInfo& c) { return c.id == ciProgram || c.id == ciVerify; }
bool OfSerial(const TCommandInfo& c) { return c.serial; }
bool OfSerialOrLog(const TCommandInfo& c) { return c.serial || c.id == ciLog; }
bool OfStation(const TCommandInfo& c) { return c.logged || c.id == ciLog; }

constexpr std::string_view kPortCommands = "the commands that open a port";
constexpr std::string_view kStationCommands = "program, cycle, verify, erase and log";
constexpr std::string_view kSerialCommands = "program and cycle, with --serial";

const TOption kOptions[] = {
    {.name = "--help", .shortName = "-h", .flag = &TCliArgs::help},
    {.name = "--version", .shortName = "-V", .flag = &TCliArgs::version},
    {.name = "--port", .shortName = "-p", .needs = kPortNeeds, .take = TakePort},
    {.name = "--baud", .shortName = "-b", .needs = "--baud needs a line speed such as 9600 or 19200",
     .take = [](TValue& v) {
       if (!KnownBaud(v.text)) return Usage(std::string(v.needs));
       v.out.baud = v.text;
       v.out.baudGiven = true;
       return TRunStatus::Done();
     }},
    {.name = "--delay", .needs = "--delay needs milliseconds (0 to 60000)",
     .take = [](TValue& v) { return Check(ParseNumber(v.text, v.out.delay, 0, 60000), v.needs); }},
    {.name = "--retries", .needs = "--retries needs a count (0 to 100)",
     .take = [](TValue& v) {
       v.out.retriesGiven = true;
       return Check(ParseNumber(v.text, v.out.retries, 0, 100), v.needs);
     }, .belongs = OfResends, .to = "program and cycle"},
    {.name = "--boot-entry", .needs = "--boot-entry needs dtr-rts or a sequence such as rts=1,dtr=1,50,dtr=0,100,rts=0",
     .take = TakeBootEntry},
    {.name = "--invert-dtr", .flag = &TCliArgs::invertDtr},
    {.name = "--invert-rts", .flag = &TCliArgs::invertRts},
    {.name = "--run-after", .flag = &TCliArgs::runAfter},
    {.name = "--controller", .needs = "--controller needs auto or none",
     .take = [](TValue& v) {
       v.out.controllerGiven = true;
       v.out.controllerNone = v.text == "none";
       return Check(v.text == "auto" || v.text == "none", v.needs);
     }, .belongs = OfCycle, .to = "cycle"},
    {.name = "--trace", .needs = "--trace needs a file",
     .take = [](TValue& v) {
       v.out.trace = v.text;
       return Check(!v.text.empty(), v.needs);
     }},
    {.name = "--format", .needs = "--format needs hex or bin", .take = TakeFormat, .belongs = OfImageOrErase, .to = "program, cycle, verify and erase --for"},
    {.name = "--range", .needs = "--range needs START-END in hexadecimal, such as 0000-3FFF",
     .take = [](TValue& v) {
       v.out.rangeGiven = true;
       return Check(ParseRange(v.text, v.out.rangeStart, v.out.rangeEnd), v.needs);
     }, .belongs = OfRange, .to = "read and blank-check"},
    {.name = "--expect-device", .needs = "--expect-device needs a device id in hexadecimal, such as C2",
     .take = TakeDevice, .belongs = OfVerifies, .to = "program, verify and cycle"},
    {.name = "--expect-sha256", .needs = "--expect-sha256 needs the image file's SHA-256: 64 hexadecimal digits",
     .take = [](TValue& v) {
       v.out.expectSha256.clear();
       for (char c : v.text) v.out.expectSha256 += static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
       return Check(v.text.size() == 64 && v.text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos,
                    v.needs);
     }, .belongs = OfImage, .to = "program, cycle and verify"},
    {.name = "--no-verify", .flag = &TCliArgs::noVerify, .belongs = OfReadsBack, .to = "program and cycle"},
    {.name = "--erase", .flag = &TCliArgs::eraseGiven, .belongs = OfProgram, .to = "program"},  // what program does anyway; scripts that say it keep working
    {.name = "--no-erase", .flag = &TCliArgs::noErase, .belongs = OfProgram, .to = "program"},
    {.name = "--all", .flag = &TCliArgs::all, .belongs = OfAll, .to = "program and verify"},
    {.name = "--no-confirm", .flag = &TCliArgs::noConfirm},
    {.name = "--yes", .shortName = "-y", .flag = &TCliArgs::yes},
    {.name = "--quiet", .shortName = "-q", .flag = &TCliArgs::quiet},
    {.name = "--verbose", .shortName = "-v", .flag = &TCliArgs::verbose},
    {.name = "--json", .flag = &TCliArgs::json},
    {.name = "--events", .flag = &TCliArgs::events, .belongs = OfPort, .to = kPortCommands},
    {.name = "--stop-words",
     .needs = "--stop-words needs SIGNAL=WORDS: INT, TERM or HUP, then 1 to 100 characters saying how a run stopped "
              "by it ended, such as INT=by the operator",
     .take = TakeStopWords, .belongs = OfPort, .to = kPortCommands},
    {.name = "--six-clock", .flag = &TCliArgs::sixClock, .belongs = OfCycle, .to = "cycle"},
    {.name = "--for", .needs = "--for needs an image file", .take = TakeFor, .belongs = OfErase, .to = "erase"},
    {.name = "--db", .needs = "--db needs a file or a postgresql:// URL",
     .take = [](TValue& v) {
       v.out.db = v.text;
       // An option taken for the value (--db --no-db) would become a file of its name.
       if (v.text.starts_with('-'))
         return Usage(std::string(v.needs) + ", not an option: " + v.text + " (./" + v.text + " names a file of that name)");
       return Check(!v.text.empty(), v.needs);
     }, .belongs = OfStation, .to = kStationCommands},
    {.name = "--no-db", .flag = &TCliArgs::noDb, .belongs = OfStation, .to = kStationCommands},
    {.name = "--serial", .needs = "--serial needs ADDR[:FORMAT] (program, cycle) or a number (log)",
     .take = [](TValue& v) {
       v.out.serial = v.text;
       return Check(!v.text.empty(), v.needs);
     }, .belongs = OfSerialOrLog, .to = "program, cycle and log"},
    {.name = "--serial-name", .needs = "--serial-name needs a name of 1 to 64 letters, digits, '-', '_' or '.'",
     .take = [](TValue& v) {
       v.out.serialName = v.text;
       v.out.serialNamed = true;
       return Check(!v.text.empty() && v.text.size() <= 64 &&
                        v.text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.") ==
                            std::string::npos,
                    v.needs);
     }, .belongs = OfSerial, .to = kSerialCommands},
    {.name = "--serial-first", .needs = "--serial-first needs a number, decimal or 0x hexadecimal (at most 2^63-1)",
     .take = [](TValue& v) {
       v.out.serialNamed = true;
       const auto first = ParseSerialNumber(v.text);
       if (first) v.out.serialFirst = *first;
       return Check(first.has_value(), v.needs);
     }, .belongs = OfSerial, .to = kSerialCommands},
    {.name = "--serial-list", .needs = "--serial-list needs a file of serial numbers, one a line",
     .take = [](TValue& v) {
       v.out.serialList = v.text;
       return Check(!v.text.empty(), v.needs);
     }, .belongs = OfSerial, .to = kSerialCommands},
    {.name = "--serial-step", .needs = "--serial-step needs a number (1 to 1000000)",
     .take = [](TValue& v) {
       v.out.serialNamed = true;
       const auto step = ParseWhole(v.text, 1, 1000000);
       if (step) v.out.serialStep = static_cast<std::int64_t>(*step);
       return Check(step.has_value(), v.needs);
     }, .belongs = OfSerial, .to = kSerialCommands},
    {.name = "--serial-keep", .flag = &TCliArgs::serialKeep, .belongs = OfSerial, .to = kSerialCommands},
    {.name = "--since",
     .needs = "--since needs a time: today, yesterday, -8h, -30m, -2d, 2026-12-08, 2026-12-08T09:30 or "
              "2026-12-08T09:30:15 (local; UTC with Z)",
     .take = TakeTime<&TCliArgs::since>, .belongs = OfLog, .to = "log"},
    {.name = "--until",
     .needs = "--until needs a time: today, yesterday, -8h, -30m, -2d, 2026-12-08, 2026-12-08T09:30 or "
              "2026-12-08T09:30:15 (local; UTC with Z)",
     .take = TakeTime<&TCliArgs::until>, .belongs = OfLog, .to = "log"},
    {.name = "--csv", .flag = &TCliArgs::csv, .belongs = OfLog, .to = "log"},
    {.name = "--stats", .flag = &TCliArgs::stats, .belongs = OfLog, .to = "log"},
    {.name = "--by", .needs = "--by needs station, port, lot, day, hour, result or operator (several joined by commas)",
     .take = [](TValue& v) {
       std::vector<std::string> names;
       for (std::size_t i = 0; i <= static_cast<std::size_t>(station::TStatsBy::sbOperator); ++i)
         names.emplace_back(station::StatsByName(static_cast<station::TStatsBy>(i)));
       return TakeList<station::TStatsBy>(v, v.out.statsBy, names, [](std::size_t i) { return station::TStatsBy(i); });
     }, .belongs = OfLog, .to = "log"},
    {.name = "--result", .needs = "--result needs a result such as ok or no_answer (several joined by commas)",
     .take = [](TValue& v) {
       const std::vector<std::string> names = ResultNames();
       return TakeList<std::string>(v, v.out.results, names, [&names](std::size_t i) { return names[i]; });
     }, .belongs = OfLog, .to = "log"},
    {.name = "--flush", .flag = &TCliArgs::flush, .belongs = OfLog, .to = "log"},
    {.name = "--pin", .flag = &TCliArgs::pin, .belongs = OfPorts, .to = "ports"},
    {.name = "--job", .needs = "--job needs a job file",
     .take = [](TValue& v) {
       if (!v.out.job.empty()) return Usage("--job is given twice: a run takes one job file");
       v.out.job = v.text;
       return Check(!v.text.empty(), v.needs);
     }},
    {.name = "--require-pinned", .flag = &TCliArgs::requirePinned, .belongs = OfPort, .to = kPortCommands},
    {.name = "--station", .needs = "--station needs a name of 1 to 64 characters", .take = TakeName<&TCliArgs::station>, .belongs = OfStation, .to = kStationCommands},
    {.name = "--operator", .needs = "--operator needs a name of 1 to 64 characters",
     .take = TakeName<&TCliArgs::operatorName>, .belongs = OfStation, .to = kStationCommands},
    {.name = "--lot", .needs = "--lot needs a work order of 1 to 64 characters", .take = TakeName<&TCliArgs::lot>, .belongs = OfStation, .to = kStationCommands},
};

}  // namespace

std::span<const TOption> Options() { return kOptions; }

const TOption* FindOption(std::string_view word) {
  for (const TOption& o : kOptions)
    if (word == o.name || (!o.shortName.empty() && word == o.shortName)) return &o;
  return nullptr;
}

}  // namespace kavel::cli
