#include "sim/SimArgs.h"

#include <algorithm>
#include <iterator>
#include <sstream>

#include "link/ComNames.h"
#include "link/NumberText.h"
#include "link/WireText.h"

namespace kavel::sim {

const char* const kSimUsage = R"(Usage: kavel-isp-sim [options]

Plays an 80C51-family flash chip's serial boot loader on a pseudo-terminal and registers it
in the port directory under a COM name, so that Kavel ISP can open it like a serial port.
Ends on Ctrl-C or SIGTERM (or after a hang-up), then writes the requested files and removes
its port entry.

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

}  // namespace

std::optional<std::string> ParseSimArgs(const std::vector<std::string>& argv, TSimArgs& out) {
  // The options that take a plain count or time into a field, and what they need.
  const struct {
    const char* name;
    int* field;
    const char* needs;
  } counts[] = {
      {"--full-erase-ms", &out.options.fullEraseMs, "ms"},
      {"--latency-ms", &out.latencyMs, "ms"},
      {"--rfc2217", &out.rfc2217Port, "a TCP port"},
      {"--block-erase-ms", &out.options.blockEraseMs, "ms"},
      {"--reply-delay", &out.options.replyDelayMs, "ms"},
      {"--echo-limit", &out.options.echoLimit, "a count"},
      {"--ktn-poll-ms", &out.ktn.pollIntervalMs, "ms"},
      {"--ktn-invite-every", &out.ktn.inviteEvery, "a count"},
      {"--ktn-reply-delay", &out.ktn.replyDelayMs, "ms"},
      {"--ktn-refuse-writes", &out.ktn.refuseWrites, "a count"},
      {"--ktn-other-frames", &out.ktn.otherFramesBeforeReply, "a count"},
  };
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    auto value = [&](std::string& into) -> bool {
      if (i + 1 >= argv.size()) return false;
      into = argv[++i];
      return true;
    };
    std::string v;
    int n = 0;
    const auto count = std::find_if(std::begin(counts), std::end(counts), [&](const auto& c) { return arg == c.name; });
    if (count != std::end(counts)) {
      if (!value(v) || !ParseCount(v, *count->field)) return arg + " needs " + count->needs;
      if (arg.rfind("--ktn", 0) == 0) out.withController = true;
    } else if (arg == "--help" || arg == "-h") {
      out.help = true;
    } else if (arg == "--version" || arg == "-V") {
      out.version = true;
    } else if (arg == "--port") {
      if (!value(out.port) || !IsComName(out.port)) return std::string("--port needs a name such as COM3");
    } else if (arg == "--port-dir") {
      if (!value(out.portDir)) return std::string("--port-dir needs a directory");
    } else if (arg == "--force") {
      out.force = true;
    } else if (arg == "--speeds") {
      if (!value(v)) return std::string("--speeds needs a list such as 9600,14400");
      if (v == "any") continue;
      std::stringstream list(v);
      std::string item;
      while (std::getline(list, item, ',')) {
        if (!ParseCount(item, n) || n == 0) return std::string("bad speed '" + item + "'");
        out.options.acceptedSpeeds.insert(static_cast<std::uint32_t>(n));
      }
    } else if (arg == "--flash-in") {
      if (!value(out.flashIn)) return std::string("--flash-in needs a file");
    } else if (arg == "--security") {
      if (!value(v) || !ParseCount(v, n) || n > 7) return std::string("--security needs 0..7");
      out.options.securityBits = static_cast<std::uint8_t>(n);
    } else if (arg == "--status") {
      if (!value(v) || !ParseCount(v, n, 16) || n > 255) return std::string("--status needs a hex byte");
      out.options.statusByte = static_cast<std::uint8_t>(n);
    } else if (arg == "--manufacturer-id" || arg == "--device-id" || arg == "--boot-version") {
      if (!value(v) || !ParseCount(v, n, 16) || n > 255) return std::string(arg + " needs a hex byte");
      (arg == "--manufacturer-id" ? out.options.manufacturerId
       : arg == "--device-id"     ? out.options.deviceId
                                  : out.options.bootVersion) = static_cast<std::uint8_t>(n);
    } else if (arg == "--six-clock") {
      out.options.sixClock = true;
    } else if (arg == "--reply") {
      if (!value(v)) return std::string("--reply needs K:WHAT");
      auto colon = v.find(':');
      std::string what = colon == std::string::npos ? "" : v.substr(colon + 1);
      if (colon == std::string::npos || !ParseCount(v.substr(0, colon), n) || n == 0)
        return std::string("--reply needs K:WHAT with K from 1");
      if (what == "R") out.options.overrides[n] = TReplyOverride::CrcError;
      else if (what == "X") out.options.overrides[n] = TReplyOverride::NotAllowed;
      else if (what == "CR") out.options.overrides[n] = TReplyOverride::CarriageReturn;
      else if (what == "none") out.options.overrides[n] = TReplyOverride::Silent;
      else return std::string("--reply: WHAT is R, X, CR or none, not '" + what + "'");
    } else if (arg == "--read-answer") {
      if (!value(out.options.readAnswer) || out.options.readAnswer.empty())
        return std::string("--read-answer needs a text");
    } else if (arg.rfind("--ktn", 0) == 0) {
      out.withController = true;
      if (arg == "--ktn") {
      } else if (arg == "--ktn-suspended") {
        out.ktn.suspended = true;
      } else if (arg == "--ktn-state") {
        if (!value(v) || !ParseCount(v, n) || n > 255) return std::string("--ktn-state needs 0..255");
        out.ktn.state = static_cast<std::uint8_t>(n);
      } else if (arg == "--ktn-bad-sum") {
        if (!value(v) || !ParseCount(v, n) || n == 0) return std::string("--ktn-bad-sum needs a reply number from 1");
        out.ktn.badChecksumReplies.insert(n);
      } else if (arg == "--ktn-noise") {
        if (!value(v)) return std::string("--ktn-noise needs a text");
        out.ktn.noise = Unescape(v);
      } else {
        return std::string("unknown option '" + arg + "' (see --help)");
      }
    } else if (arg == "--loopback") {
      out.options.loopBack = true;
    } else if (arg == "--noise") {
      if (!value(v)) return std::string("--noise needs a text");
      out.options.noise = Unescape(v);
    } else if (arg == "--extra") {
      if (!value(v)) return std::string("--extra needs a text");
      out.options.extra = Unescape(v);
    } else if (arg == "--weak-cell") {
      if (!value(v) || !ParseCount(v, out.options.weakCell, 16) || out.options.weakCell > 0xFFFF)
        return std::string("--weak-cell needs a hexadecimal address, 0 to FFFF");
    } else if (arg == "--hangup-after") {
      if (!value(v) || !ParseCount(v, out.options.hangUpAfter) || out.options.hangUpAfter == 0)
        return std::string("--hangup-after needs a record count from 1");
    } else if (arg == "--pace") {
      out.paced = true;
    } else if (arg == "--need-entry") {
      out.options.needEntry = true;
    } else if (arg == "--invert-dtr") {
      out.options.invertDtr = true;
    } else if (arg == "--invert-rts") {
      out.options.invertRts = true;
    } else if (arg == "--log") {
      if (!value(out.logPath)) return std::string("--log needs a file");
    } else if (arg == "--flash-out") {
      if (!value(out.flashOut)) return std::string("--flash-out needs a file");
    } else if (arg == "--report") {
      if (!value(out.reportPath)) return std::string("--report needs a file");
    } else {
      return std::string("unknown option '" + arg + "' (see --help)");
    }
  }
  return std::nullopt;
}

}  // namespace kavel::sim
