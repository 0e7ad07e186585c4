#include "sim/SimArgs.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <sstream>
#include <string_view>
#include <type_traits>
#include <utility>

#include "link/ComNames.h"
#include "link/NumberText.h"
#include "link/WireText.h"

namespace kavel::sim {

const char* const kSimUsage = R"(Usage: kavel-isp-sim [options]

Plays an 80C51-family flash chip's serial boot loader on a pseudo-terminal and registers it
in the port directory under a COM name, so that Kavel ISP can open it like a serial port.
Ends on Ctrl-C or SIGTERM (or after a hang-up), then writes the requested files and removes
its port entry.

The chip (with the controller, when there is one) sits on a board in the fixture's socket.
SIGUSR1 takes the board out, and again puts it back; each time the simulator says "board
taken out" or "board put in" on standard output. While it is out the line stays up (the
port entry stays, the RFC 2217 server accepts and negotiates), but nothing on it hears or
answers. Put back, the board is fresh from power-on: in its boot loader (with --need-entry,
in its application), the speed to be found again, no record begun; the flash, security bits,
status byte and 6-clock mode stay as they were, as does the controller's configuration.

The entry is claimed by a file beside it (COMn.kavel-claim) that is locked while the
simulator runs: an entry left by a simulator that was killed is known as stale, ignored by
Kavel ISP and replaced by the next simulator. Entries of yours (without a claim) are never
replaced or removed unless you say --force.

Line and registration:
  --port NAME            COM name to register (default COM1)
  --port-dir DIR         port directory (default: $KAVEL_ISP_PORT_DIR, else
                         $XDG_CONFIG_HOME/KAVEL/ports, else ~/.config/KAVEL/ports)
  --force                stand in for an entry of yours that is a symbolic link (it is put
                         back at exit), or take over another simulator's entry; files,
                         directories and device nodes are never replaced
  --speeds LIST          speeds at which a "U" is taken, e.g. 9600,14400 (default: any)
  --pace                 send to the program at the line speed (10 bits a byte), as a real
                         line does, not as fast as the pseudo-terminal takes it
  --latency-ms N         what the chip sends reaches the program N ms late, as through a
                         USB serial adapter's latency timer (16 ms for FTDI by default)
  --rfc2217 PORT         instead of a pseudo-terminal, an RFC 2217 server on 127.0.0.1:PORT
                         (the program opens rfc2217://127.0.0.1:PORT): the speed it sets is
                         the line's, and its DTR and RTS drive the chip's RST and /PSEN
  --out                  the board starts out of its socket (SIGUSR1 puts it in)

Chip:
  --need-entry           the chip runs its application, deaf to the line, until it is reset
                         with /PSEN low (DTR on holds RST high, RTS on pulls /PSEN low)
  --invert-dtr, --invert-rts
                         the board's transistors invert that line
  --full-erase-ms N      duration of the whole-chip erase (default 3000)
  --block-erase-ms N     duration of one 4 KB block erase (default 1000)
  --flash-in FILE        initial flash contents (BIN, up to 64 KB; the rest stays FF)
  --security N           initial security bits, 0..7 (bit 0 = security bit 1)
  --status HEX           initial status byte (default FF)
  --six-clock            start in 6-clock mode
  --manufacturer-id HEX  what the identification reads answer (defaults 15, C2, 1F)
  --device-id HEX
  --boot-version HEX
  --read-answer TEXT     the security-bit and status reads answer TEXT before their "."
                         instead of the value (e.g. "ab" or a single digit)

The display record :05 0000 04 SSSS EEEE 00 CC is answered after its echo with one line per
16 bytes ("AAAA=" and the bytes, CR LF), or with "L" and CR LF under security bit 2.

Faults:
  --reply K:WHAT         reply to record K (counted from 1) with WHAT instead of executing
                         it: R, X, CR or none; may be given several times
  --speeds LIST          (see above) answer the autobaud "U" only at these speeds
  --loopback             echo every byte at any speed and never reply (a loop-back plug)
  --noise TEXT           send TEXT before every reply (escapes \r \n \xHH)
  --extra TEXT           send TEXT after every reply
  --reply-delay MS       wait MS before every reply
  --hangup-after K       hang the line up after the reply to record K
  --echo-limit N         echo only the first N characters of each record
  --weak-cell HEX        the cell at this address keeps one bit that programming should
                         clear, so that it reads back wrong

Communication controller (on the same line; any of these puts it there):
  --ktn                  a controller that polls every 400 ms (every 3rd poll invites) and
                         can be suspended
  --ktn-state N          its state byte (default 1; 2, 3 and 4 make the program decline)
  --ktn-suspended        already in suspended mode
  --ktn-poll-ms N        time between polls (0: never polls)
  --ktn-invite-every N   every N-th poll invites the program to speak (0: none does)
  --ktn-reply-delay MS   wait MS before every reply (more than 70 is too late)
  --ktn-refuse-writes N  refuse the first N configuration writes with "-"
  --ktn-bad-sum K        send reply K (counted from 1) with a wrong checksum; repeatable
  --ktn-noise TEXT       send TEXT before every reply (escapes as for --noise)
  --ktn-other-frames N   send N frames with another code before every reply

Output:
  --log FILE             wire log: time, direction (> to chip, < from chip), speed, bytes;
                         "-" for standard error
  --flash-out FILE       flash image written as a 64 KB BIN file at exit
  --report FILE          security bits, status byte, 6-clock bit ... as name=value lines at exit
                         (and whether the controller ended suspended)
  --version              the version
  --help                 this text
)";

namespace {

// A count, a time or a byte: 0 to 100,000,000, in base 10 or 16.
bool ParseCount(const std::string& text, int& value, int base = 10) {
  const auto v = ParseWhole(text, 0, 100000000, base);
  if (v) value = static_cast<int>(*v);
  return v.has_value();
}

// One option: its names, what its value must be ("" for a flag) and how it is taken. take
// returns nothing when the value was taken, "" for "NAME needs NEEDS", or a problem of its
// own.
struct TSimOption {
  std::vector<std::string_view> names;
  std::string_view needs;
  std::function<std::optional<std::string>(TSimArgs& out, const std::string& name, const std::string& value)> take;
};

const std::optional<std::string> kTaken;
const std::optional<std::string> kNeedsIt = std::string();

// Where a field lives: the run's arguments, the chip's options or the controller's.
template <class TPart>
TPart& PartOf(TSimArgs& out) {
  if constexpr (std::is_same_v<TPart, TSimChipOptions>) {
    return out.options;
  } else if constexpr (std::is_same_v<TPart, TSimControllerOptions>) {
    return out.ktn;
  } else {
    return out;
  }
}

// An option whose value is a count or a time.
template <class TPart>
TSimOption Count(std::string_view name, std::string_view needs, int TPart::*field) {
  return {{name}, needs, [field](TSimArgs& out, const std::string&, const std::string& v) {
            return ParseCount(v, PartOf<TPart>(out).*field) ? kTaken : kNeedsIt;
          }};
}
// A flag.
template <class TPart>
TSimOption Flag(std::vector<std::string_view> names, bool TPart::*field) {
  return {std::move(names), "", [field](TSimArgs& out, const std::string&, const std::string&) {
            PartOf<TPart>(out).*field = true;
            return kTaken;
          }};
}
// A value kept as given.
TSimOption Text(std::string_view name, std::string_view needs, std::string TSimArgs::*field) {
  return {{name}, needs, [field](TSimArgs& out, const std::string&, const std::string& v) {
            out.*field = v;
            return kTaken;
          }};
}
// A number up to max (in base 10, or 16) into a byte.
TSimOption Byte(std::string_view name, std::string_view needs, std::uint8_t TSimChipOptions::*field, int max, int base) {
  return {{name}, needs, [=](TSimArgs& out, const std::string&, const std::string& v) {
            int n = 0;
            if (!ParseCount(v, n, base) || n > max) return kNeedsIt;
            out.options.*field = static_cast<std::uint8_t>(n);
            return kTaken;
          }};
}

std::optional<std::string> TakeSpeeds(TSimArgs& out, const std::string&, const std::string& v) {
  if (v == "any") return kTaken;
  std::stringstream list(v);
  for (std::string item; std::getline(list, item, ',');) {
    int n = 0;
    if (!ParseCount(item, n) || n == 0) return "bad speed '" + item + "'";
    out.options.acceptedSpeeds.insert(static_cast<std::uint32_t>(n));
  }
  return kTaken;
}

std::optional<std::string> TakeReply(TSimArgs& out, const std::string&, const std::string& v) {
  const std::size_t colon = v.find(':');
  int n = 0;
  if (colon == std::string::npos || !ParseCount(v.substr(0, colon), n) || n == 0)
    return std::string("--reply needs K:WHAT with K from 1");
  static const std::pair<std::string_view, TReplyOverride> kWhat[] = {{"R", TReplyOverride::CrcError},
                                                                      {"X", TReplyOverride::NotAllowed},
                                                                      {"CR", TReplyOverride::CarriageReturn},
                                                                      {"none", TReplyOverride::Silent}};
  const std::string what = v.substr(colon + 1);
  for (const auto& [word, reply] : kWhat) {
    if (what != word) continue;
    out.options.overrides[n] = reply;
    return kTaken;
  }
  return "--reply: WHAT is R, X, CR or none, not '" + what + "'";
}

const std::vector<TSimOption>& SimOptions() {
  using A = TSimArgs;
  using C = TSimChipOptions;
  using K = TSimControllerOptions;
  static const std::vector<TSimOption> options = {
      Flag<A>({"--help", "-h"}, &A::help),
      Flag<A>({"--version", "-V"}, &A::version),
      {{"--port"}, "a name such as COM3",
       [](A& out, const std::string&, const std::string& v) {
         out.port = v;
         return IsComName(v) ? kTaken : kNeedsIt;
       }},
      Text("--port-dir", "a directory", &A::portDir),
      Flag<A>({"--force"}, &A::force),
      {{"--speeds"}, "a list such as 9600,14400", TakeSpeeds},
      Flag<A>({"--pace"}, &A::paced),
      Count<A>("--latency-ms", "ms", &A::latencyMs),
      Count<A>("--rfc2217", "a TCP port", &A::rfc2217Port),
      Flag<A>({"--out"}, &A::out),
      Flag<C>({"--need-entry"}, &C::needEntry),
      Flag<C>({"--invert-dtr"}, &C::invertDtr),
      Flag<C>({"--invert-rts"}, &C::invertRts),
      Count<C>("--full-erase-ms", "ms", &C::fullEraseMs),
      Count<C>("--block-erase-ms", "ms", &C::blockEraseMs),
      Text("--flash-in", "a file", &A::flashIn),
      Byte("--security", "0..7", &C::securityBits, 7, 10),
      Byte("--status", "a hex byte", &C::statusByte, 255, 16),
      Flag<C>({"--six-clock"}, &C::sixClock),
      Byte("--manufacturer-id", "a hex byte", &C::manufacturerId, 255, 16),
      Byte("--device-id", "a hex byte", &C::deviceId, 255, 16),
      Byte("--boot-version", "a hex byte", &C::bootVersion, 255, 16),
      {{"--read-answer"}, "a text",
       [](A& out, const std::string&, const std::string& v) {
         out.options.readAnswer = v;
         return v.empty() ? kNeedsIt : kTaken;
       }},
      {{"--reply"}, "K:WHAT", TakeReply},
      Flag<C>({"--loopback"}, &C::loopBack),
      {{"--noise", "--extra", "--ktn-noise"}, "a text",
       [](A& out, const std::string& name, const std::string& v) {
         (name == "--noise" ? out.options.noise : name == "--extra" ? out.options.extra : out.ktn.noise) = Unescape(v);
         return kTaken;
       }},
      Count<C>("--reply-delay", "ms", &C::replyDelayMs),
      {{"--hangup-after"}, "a record count from 1",
       [](A& out, const std::string&, const std::string& v) {
         return ParseCount(v, out.options.hangUpAfter) && out.options.hangUpAfter != 0 ? kTaken : kNeedsIt;
       }},
      Count<C>("--echo-limit", "a count", &C::echoLimit),
      {{"--weak-cell"}, "a hexadecimal address, 0 to FFFF",
       [](A& out, const std::string&, const std::string& v) {
         return ParseCount(v, out.options.weakCell, 16) && out.options.weakCell <= 0xFFFF ? kTaken : kNeedsIt;
       }},
      {{"--ktn"}, "", [](A&, const std::string&, const std::string&) { return kTaken; }},
      {{"--ktn-state"}, "0..255",
       [](A& out, const std::string&, const std::string& v) {
         int n = 0;
         if (!ParseCount(v, n) || n > 255) return kNeedsIt;
         out.ktn.state = static_cast<std::uint8_t>(n);
         return kTaken;
       }},
      Flag<K>({"--ktn-suspended"}, &K::suspended),
      Count<K>("--ktn-poll-ms", "ms", &K::pollIntervalMs),
      Count<K>("--ktn-invite-every", "a count", &K::inviteEvery),
      Count<K>("--ktn-reply-delay", "ms", &K::replyDelayMs),
      Count<K>("--ktn-refuse-writes", "a count", &K::refuseWrites),
      {{"--ktn-bad-sum"}, "a reply number from 1",
       [](A& out, const std::string&, const std::string& v) {
         int n = 0;
         if (!ParseCount(v, n) || n == 0) return kNeedsIt;
         out.ktn.badChecksumReplies.insert(n);
         return kTaken;
       }},
      Count<K>("--ktn-other-frames", "a count", &K::otherFramesBeforeReply),
      Text("--log", "a file", &A::logPath),
      Text("--flash-out", "a file", &A::flashOut),
      Text("--report", "a file", &A::reportPath),
  };
  return options;
}

}  // namespace

std::optional<std::string> ParseSimArgs(const std::vector<std::string>& argv, TSimArgs& out) {
  const auto& options = SimOptions();
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    const auto option = std::find_if(options.begin(), options.end(), [&](const TSimOption& o) {
      return std::find(o.names.begin(), o.names.end(), arg) != o.names.end();
    });
    if (option == options.end()) return "unknown option '" + arg + "' (see --help)";
    const std::string needs = arg + " needs " + std::string(option->needs);
    if (!option->needs.empty() && i + 1 >= argv.size()) return needs;
    const std::string value = option->needs.empty() ? std::string() : argv[++i];
    if (arg.rfind("--ktn", 0) == 0) out.withController = true;  // any of them puts it on the line
    if (auto problem = option->take(out, arg, value)) return problem->empty() ? needs : *problem;
  }
  return std::nullopt;
}

}  // namespace kavel::sim
