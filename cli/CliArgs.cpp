#include "cli/CliArgs.h"

#include <charconv>
#include <limits>

#include "link/ComNames.h"
#include "link/NetComDevice.h"
#include "link/NumberText.h"

#include "link/BaudRate.h"

namespace kavel::cli {

const char* const kUsage = R"(Usage: kavel-isp-cli [options] COMMAND [ARGS]
Programs 80C51-family flash microcontrollers through their serial boot loader.

Commands:
  ports                      the ports present and the device each COM name leads to
  sync                       synchronize; print the speed found
  info                       manufacturer id, device id, boot code version, security bits,
                             status byte
  program FILE               erase the 4 KB blocks a HEX or BIN image touches, program it,
                             then read it back and compare
  erase [all | BLOCK...]     the whole chip (default), or the listed 4 KB blocks (0-15)
  erase --for FILE           the blocks that the image touches
  blank-check [--range S-E]  whether the flash is blank (default 0000-FFFF)
  status                     the security bits and the status byte
  set-status0                set the status byte to 0
  security 1|2|3             set a security bit
  six-clock                  switch the chip to 6-clock mode
  suspend                    suspend the communication controller on the line
  cycle FILE [--six-clock]   the full programming cycle (asks for the jumper
                             unless --boot-entry)
  read FILE [--range S-E]    read the flash (default 0000-FFFF) into FILE (.hex, .ihx or .bin)
  verify FILE                read back the addresses the image holds and compare

Options:
  -p, --port COMn|DEVICE|URL the port (default COM1): a COM name, a device, or a network
                             port, rfc2217://HOST:PORT or socket://HOST:PORT (raw TCP: give
                             --baud, the server's speed); give it several times to run the
                             command on every port at once
  -b, --baud RATE            the line speed to use; without it the fastest that works:
                             115200, 57600, 38400, then 9600 and the usual search
  --delay MS                 the delay D (default 60)
  --no-confirm               do not wait for the chip's replies; pace by the delay
  -y, --yes                  answer the operator prompts (needed without a terminal)
  -q, --quiet                nothing at all when all goes well; what went wrong, if anything
  -v, --verbose              every byte each way on standard error (as --trace writes it)
  --json                     one JSON object a port a line on standard output instead of
                             the result lines, for every outcome (see the manual page)
  --retries N                program, cycle: send a data record answered R (spoiled on the
                             line) or not at all again, up to N times (default 2)
  --no-verify                program, cycle: do not read the image back
  --no-erase                 program: do not erase the blocks the image touches first
  --all                      program, verify: read all of the image back, not only up to
                             the first 1 KB that differs
  --expect-device ID         program, verify, cycle: refuse a chip whose device id differs
                             (hexadecimal), before anything is written
  --range START-END          read, blank-check: the addresses, hexadecimal (0x optional)
  --format hex|bin           the image's format, for a name that ends in neither .hex,
                             .ihx nor .bin (otherwise the name, or HEX content, tells)
  --boot-entry dtr-rts|SEQ   make the chip ready over the modem lines instead of the jumper:
                             dtr-rts (DTR holds RST high, RTS pulls /PSEN low) is
                             rts=1,dtr=1,50,dtr=0,100,rts=0; a sequence of dtr=0|1, rts=0|1
                             and pauses in ms serves other wiring
  --invert-dtr, --invert-rts for boards whose transistors invert that line
  --run-after                at the end of a good run, reset the chip into its application
                             (RTS off, DTR pulsed)
  --trace FILE               write every byte each way, with time and speed, to FILE
  -V, --version, -h, --help
  --                         the end of the options (for a file named -x.hex)

Exit status:
  0    done: carried out, confirmed by the chip and read back equal where it answers
       (with --no-confirm and --no-verify: sent, not confirmed)
  1    the chip or the controller refused, did not answer or answered something not
       understood, the flash read back differently, or an output could not be written
  2    usage
  3    the port: cannot be opened, failed, vanished
  4    the image file cannot be used
  130  stopped by Ctrl-C or at the jumper prompt (129 SIGHUP, 143 SIGTERM)
)";

namespace {

bool ParseNumber(const std::string& text, int& value, int low, int high) {
  const auto v = ParseWhole(text, low, high);
  if (v) value = static_cast<int>(*v);
  return v.has_value();
}

bool KnownBaud(const std::string& text) {
  return BaudRateText(BaudRateFromText(text)) == text && text != "Custom";
}

// A hexadecimal number of 0 to max, "0x" optional.
bool ParseHex(const std::string& text, unsigned& value, unsigned max) {
  const auto v = ParseWhole(text, 0, max, 16);
  if (v) value = static_cast<unsigned>(*v);
  return v.has_value();
}

// "START-END" in hexadecimal, START not after END.
bool ParseRange(const std::string& text, std::uint16_t& start, std::uint16_t& end) {
  const std::size_t dash = text.find('-');
  unsigned s = 0, e = 0;
  if (dash == std::string::npos || !ParseHex(text.substr(0, dash), s, 0xFFFF) ||
      !ParseHex(text.substr(dash + 1), e, 0xFFFF) || e < s)
    return false;
  start = static_cast<std::uint16_t>(s);
  end = static_cast<std::uint16_t>(e);
  return true;
}

// A COM name whose number fits the port numbers of the program; nothing else starting with
// "COM" and digits is a port.
bool ComNumberFits(const std::string& name) {
  int number = 0;
  return ParseNumber(name.substr(3), number, 0, std::numeric_limits<int>::max());
}

}  // namespace

std::optional<std::string> ParseCliArgs(const std::vector<std::string>& argv, TCliArgs& out) {
  std::vector<std::string> words;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string& a = argv[i];
    if (optionsEnded) {
      words.push_back(a);
      continue;
    }
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argv.size()) return std::nullopt;
      return argv[++i];
    };
    if (a == "--") {
      optionsEnded = true;
    } else if (a == "--help" || a == "-h") {
      out.help = true;
    } else if (a == "--version" || a == "-V") {
      out.version = true;
    } else if (a == "--port" || a == "-p") {
      auto v = value();
      if (!v || v->empty()) return "--port needs a COM name, a device path or a network port's address";
      if (LooksLikeNetAddress(*v) && !ParseNetAddress(*v))
        return "--port " + *v + ": a network port is rfc2217://HOST:PORT or socket://HOST:PORT";
      if (IsComName(*v) && !ComNumberFits(*v)) return "--port " + *v + ": no port has a number that large";
      out.ports.push_back(*v);
    } else if (a == "--baud" || a == "-b") {
      auto v = value();
      if (!v || !KnownBaud(*v)) return "--baud needs a line speed such as 9600 or 19200";
      out.baud = *v;
      out.baudGiven = true;
    } else if (a == "--delay") {
      auto v = value();
      if (!v || !ParseNumber(*v, out.delay, 0, 60000)) return "--delay needs milliseconds (0 to 60000)";
    } else if (a == "--retries") {
      auto v = value();
      if (!v || !ParseNumber(*v, out.retries, 0, 100)) return "--retries needs a count (0 to 100)";
      out.retriesGiven = true;
    } else if (a == "--boot-entry") {
      auto v = value();
      std::string problem;
      const auto steps = v ? ParseModemSteps(*v, problem) : std::nullopt;
      if (!steps) return "--boot-entry needs dtr-rts or a sequence such as rts=1,dtr=1,50,dtr=0,100,rts=0" +
                         (problem.empty() ? std::string() : ": " + problem);
      out.bootEntry = *steps;
    } else if (a == "--invert-dtr") {
      out.invertDtr = true;
    } else if (a == "--invert-rts") {
      out.invertRts = true;
    } else if (a == "--run-after") {
      out.runAfter = true;
    } else if (a == "--trace") {
      auto v = value();
      if (!v || v->empty()) return "--trace needs a file";
      out.trace = *v;
    } else if (a == "--format") {
      auto v = value();
      if (v == "hex") {
        out.format = TImageFormat::ifHex;
      } else if (v == "bin") {
        out.format = TImageFormat::ifBin;
      } else {
        return std::string("--format needs hex or bin");
      }
    } else if (a == "--range") {
      auto v = value();
      if (!v || !ParseRange(*v, out.rangeStart, out.rangeEnd))
        return std::string("--range needs START-END in hexadecimal, such as 0000-3FFF");
      out.rangeGiven = true;
    } else if (a == "--expect-device") {
      auto v = value();
      unsigned id = 0;
      if (!v || !ParseHex(*v, id, 0xFF)) return std::string("--expect-device needs a device id in hexadecimal, such as C2");
      out.expectDevice = static_cast<std::uint8_t>(id);
    } else if (a == "--no-verify") {
      out.noVerify = true;
    } else if (a == "--erase") {
      out.eraseGiven = true;  // what program does anyway; scripts that say it keep working
    } else if (a == "--no-erase") {
      out.noErase = true;
    } else if (a == "--all") {
      out.all = true;
    } else if (a == "--no-confirm") {
      out.noConfirm = true;
    } else if (a == "--yes" || a == "-y") {
      out.yes = true;
    } else if (a == "--quiet" || a == "-q") {
      out.quiet = true;
    } else if (a == "--verbose" || a == "-v") {
      out.verbose = true;
    } else if (a == "--json") {
      out.json = true;
    } else if (a == "--six-clock") {
      out.sixClock = true;
    } else if (a == "--for") {
      auto v = value();
      if (!v || v->empty()) return "--for needs an image file";
      out.file = *v;
      words.push_back("--for");
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      return "unknown option " + a;
    } else {
      words.push_back(a);
    }
  }
  if (out.help || out.version) return std::nullopt;
  if (words.empty()) return std::string("no command given");
  out.command = words[0];
  const std::vector<std::string> rest(words.begin() + 1, words.end());
  const std::string& c = out.command;
  auto none = [&]() -> std::optional<std::string> {
    if (!rest.empty()) return c + " takes no arguments";
    return std::nullopt;
  };
  if (out.sixClock && c != "cycle") return std::string("--six-clock belongs to cycle");
  if (out.format && c != "program" && c != "cycle" && c != "erase" && c != "verify")
    return std::string("--format belongs to program, cycle, verify and erase --for");
  if (out.rangeGiven && c != "read" && c != "blank-check") return std::string("--range belongs to read and blank-check");
  if (out.noVerify && c != "program" && c != "cycle") return std::string("--no-verify belongs to program and cycle");
  if ((out.eraseGiven || out.noErase) && c != "program") return std::string("--erase and --no-erase belong to program");
  if (out.eraseGiven && out.noErase) return std::string("--erase and --no-erase cannot both be given");
  if (out.all && c != "program" && c != "verify") return std::string("--all belongs to program and verify");
  if (out.retriesGiven && c != "program" && c != "cycle") return std::string("--retries belongs to program and cycle");
  if (out.expectDevice && c != "program" && c != "verify" && c != "cycle")
    return std::string("--expect-device belongs to program, verify and cycle");
  if (c == "read") {
    if (rest.size() != 1) return std::string("read needs one file to write");
    if (!FormatByName(rest[0])) return "read: " + rest[0] + " must end in .hex, .ihx or .bin";
    out.output = rest[0];
    return std::nullopt;
  }
  if (c == "ports" || c == "sync" || c == "info" || c == "blank-check" || c == "status" ||
      c == "set-status0" || c == "six-clock" || c == "suspend") {
    return none();
  }
  if (c == "program" || c == "cycle" || c == "verify") {
    if (rest.size() != 1 || rest[0] == "--for") return c + " needs one image file";
    out.file = rest[0];
    return std::nullopt;
  }
  if (c == "security") {
    if (rest.size() != 1 || !ParseNumber(rest[0], out.securityBit, 1, 3)) return std::string("security needs 1, 2 or 3");
    return std::nullopt;
  }
  if (c == "erase") {
    if (rest.size() == 1 && rest[0] == "--for") return std::nullopt;
    if (rest.empty() || (rest.size() == 1 && rest[0] == "all")) {
      out.eraseAll = true;
      return std::nullopt;
    }
    for (const std::string& b : rest) {
      int block = 0;
      if (!ParseNumber(b, block, 0, 15)) return "erase: " + b + " is not a block number (0-15) or all";
      out.eraseBlocks.set(static_cast<std::size_t>(block));
    }
    return std::nullopt;
  }
  return "unknown command " + c;
}

bool CommandAsks(const TCliArgs& args) { return args.command == "cycle" && args.bootEntry.empty(); }

bool CommandLearns(const TCliArgs& args) {
  const std::string& c = args.command;
  return c == "sync" || c == "info" || c == "status" || c == "blank-check" || c == "read" || c == "verify";
}

}  // namespace kavel::cli
