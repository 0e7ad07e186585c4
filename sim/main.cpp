// kavel-isp-sim: a simulated chip boot loader on a pseudo-terminal, registered under a COM
// name so that the programmer (or a terminal program) can open it like a serial port.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "link/ComNames.h"
#include "version/Version.h"
#include "sim/SimChip.h"
#include "sim/SimController.h"
#include "sim/SimLine.h"

using namespace kavel;
using namespace kavel::sim;

namespace {

TSimLine* g_line = nullptr;

void OnSignal(int) {
  if (g_line) g_line->RequestStop();
}

const char* kUsage = R"(Usage: kavel-isp-sim [options]

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

Chip:
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

bool ParseInt(const std::string& text, int& value, int base = 10) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, base);
  if (text.empty() || *end != '\0' || errno != 0 || v < 0 || v > 100000000) return false;
  value = static_cast<int>(v);
  return true;
}

int Fail(const std::string& message) {
  std::cerr << "kavel-isp-sim: " << message << "\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string port = "COM1";
  std::string portDir;
  bool force = false;
  std::string logPath, flashOut, reportPath, flashIn;
  bool paced = false;
  TSimChipOptions options;
  TSimControllerOptions ktn;
  bool withController = false;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string& out) -> bool {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    int n = 0;
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return std::cout.flush() ? 0 : 1;
    } else if (arg == "--version" || arg == "-V") {
      std::cout << "kavel-isp-sim " << KAVEL_VERSION << "\n";
      return std::cout.flush() ? 0 : 1;
    } else if (arg == "--port") {
      if (!value(port) || !IsComName(port)) return Fail("--port needs a name such as COM3");
    } else if (arg == "--port-dir") {
      if (!value(portDir)) return Fail("--port-dir needs a directory");
    } else if (arg == "--force") {
      force = true;
    } else if (arg == "--speeds") {
      if (!value(v)) return Fail("--speeds needs a list such as 9600,14400");
      if (v == "any") continue;
      std::stringstream list(v);
      std::string item;
      while (std::getline(list, item, ',')) {
        if (!ParseInt(item, n) || n == 0) return Fail("bad speed '" + item + "'");
        options.acceptedSpeeds.insert(static_cast<std::uint32_t>(n));
      }
    } else if (arg == "--full-erase-ms") {
      if (!value(v) || !ParseInt(v, options.fullEraseMs)) return Fail("--full-erase-ms needs ms");
    } else if (arg == "--block-erase-ms") {
      if (!value(v) || !ParseInt(v, options.blockEraseMs)) return Fail("--block-erase-ms needs ms");
    } else if (arg == "--reply-delay") {
      if (!value(v) || !ParseInt(v, options.replyDelayMs)) return Fail("--reply-delay needs ms");
    } else if (arg == "--flash-in") {
      if (!value(flashIn)) return Fail("--flash-in needs a file");
    } else if (arg == "--security") {
      if (!value(v) || !ParseInt(v, n) || n > 7) return Fail("--security needs 0..7");
      options.securityBits = static_cast<std::uint8_t>(n);
    } else if (arg == "--status") {
      if (!value(v) || !ParseInt(v, n, 16) || n > 255) return Fail("--status needs a hex byte");
      options.statusByte = static_cast<std::uint8_t>(n);
    } else if (arg == "--manufacturer-id" || arg == "--device-id" || arg == "--boot-version") {
      if (!value(v) || !ParseInt(v, n, 16) || n > 255) return Fail(arg + " needs a hex byte");
      (arg == "--manufacturer-id" ? options.manufacturerId
       : arg == "--device-id"     ? options.deviceId
                                  : options.bootVersion) = static_cast<std::uint8_t>(n);
    } else if (arg == "--six-clock") {
      options.sixClock = true;
    } else if (arg == "--reply") {
      if (!value(v)) return Fail("--reply needs K:WHAT");
      auto colon = v.find(':');
      std::string what = colon == std::string::npos ? "" : v.substr(colon + 1);
      if (colon == std::string::npos || !ParseInt(v.substr(0, colon), n) || n == 0)
        return Fail("--reply needs K:WHAT with K from 1");
      if (what == "R") options.overrides[n] = TReplyOverride::CrcError;
      else if (what == "X") options.overrides[n] = TReplyOverride::NotAllowed;
      else if (what == "CR") options.overrides[n] = TReplyOverride::CarriageReturn;
      else if (what == "none") options.overrides[n] = TReplyOverride::Silent;
      else return Fail("--reply: WHAT is R, X, CR or none, not '" + what + "'");
    } else if (arg == "--read-answer") {
      if (!value(options.readAnswer) || options.readAnswer.empty())
        return Fail("--read-answer needs a text");
    } else if (arg == "--echo-limit") {
      if (!value(v) || !ParseInt(v, options.echoLimit)) return Fail("--echo-limit needs a count");
    } else if (arg.rfind("--ktn", 0) == 0) {
      withController = true;
      if (arg == "--ktn") {
      } else if (arg == "--ktn-suspended") {
        ktn.suspended = true;
      } else if (arg == "--ktn-state") {
        if (!value(v) || !ParseInt(v, n) || n > 255) return Fail("--ktn-state needs 0..255");
        ktn.state = static_cast<std::uint8_t>(n);
      } else if (arg == "--ktn-poll-ms") {
        if (!value(v) || !ParseInt(v, ktn.pollIntervalMs)) return Fail("--ktn-poll-ms needs ms");
      } else if (arg == "--ktn-invite-every") {
        if (!value(v) || !ParseInt(v, ktn.inviteEvery)) return Fail("--ktn-invite-every needs a count");
      } else if (arg == "--ktn-reply-delay") {
        if (!value(v) || !ParseInt(v, ktn.replyDelayMs)) return Fail("--ktn-reply-delay needs ms");
      } else if (arg == "--ktn-refuse-writes") {
        if (!value(v) || !ParseInt(v, ktn.refuseWrites)) return Fail("--ktn-refuse-writes needs a count");
      } else if (arg == "--ktn-bad-sum") {
        if (!value(v) || !ParseInt(v, n) || n == 0) return Fail("--ktn-bad-sum needs a reply number from 1");
        ktn.badChecksumReplies.insert(n);
      } else if (arg == "--ktn-noise") {
        if (!value(v)) return Fail("--ktn-noise needs a text");
        ktn.noise = Unescape(v);
      } else if (arg == "--ktn-other-frames") {
        if (!value(v) || !ParseInt(v, ktn.otherFramesBeforeReply)) return Fail("--ktn-other-frames needs a count");
      } else {
        return Fail("unknown option '" + arg + "' (see --help)");
      }
    } else if (arg == "--loopback") {
      options.loopBack = true;
    } else if (arg == "--noise") {
      if (!value(v)) return Fail("--noise needs a text");
      options.noise = Unescape(v);
    } else if (arg == "--extra") {
      if (!value(v)) return Fail("--extra needs a text");
      options.extra = Unescape(v);
    } else if (arg == "--weak-cell") {
      if (!value(v) || !ParseInt(v, options.weakCell, 16) || options.weakCell > 0xFFFF)
        return Fail("--weak-cell needs a hexadecimal address, 0 to FFFF");
    } else if (arg == "--hangup-after") {
      if (!value(v) || !ParseInt(v, options.hangUpAfter) || options.hangUpAfter == 0)
        return Fail("--hangup-after needs a record count from 1");
    } else if (arg == "--pace") {
      paced = true;
    } else if (arg == "--log") {
      if (!value(logPath)) return Fail("--log needs a file");
    } else if (arg == "--flash-out") {
      if (!value(flashOut)) return Fail("--flash-out needs a file");
    } else if (arg == "--report") {
      if (!value(reportPath)) return Fail("--report needs a file");
    } else {
      return Fail("unknown option '" + arg + "' (see --help)");
    }
  }
  if (portDir.empty()) portDir = PortDirectory();

  TSimChip chip(options);
  if (!flashIn.empty()) {
    std::ifstream in(flashIn, std::ios::binary);
    if (!in) return Fail("cannot read " + flashIn);
    in.read(reinterpret_cast<char*>(chip.Flash().data()),
            static_cast<std::streamsize>(chip.Flash().size()));
  }

  std::FILE* log = nullptr;
  if (logPath == "-") {
    log = stderr;
  } else if (!logPath.empty()) {
    log = std::fopen(logPath.c_str(), "w");
    if (!log) return Fail("cannot write " + logPath + ": " + std::strerror(errno));
  }

  TSimLine line;
  std::string error;
  if (!line.Open(error)) return Fail(error);
  line.AddDevice(&chip);
  TSimController controller(ktn);
  if (withController) line.AddDevice(&controller);
  line.SetLog(log);
  line.SetPaced(paced);
  if (!line.Register(portDir, port, force, error)) return Fail(error);
  if (!line.Note().empty()) std::cout << "kavel-isp-sim: " << line.Note() << "\n";

  g_line = &line;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);

  std::cout << "kavel-isp-sim: " << port << " -> " << line.SlavePath() << " (port directory "
            << portDir << ")\n"
            << "Talk to it by hand, for example:\n"
            << "  socat -,rawer,escape=0x1d " << portDir << "/" << port << ",rawer,b9600\n"
            << "then type U (the chip answers U) and a record such as :0100000210ED (echo, then .);"
            << " Ctrl-] ends socat.\nCtrl-C ends the simulator." << std::endl;

  line.Run();
  g_line = nullptr;
  line.Unregister();

  if (!flashOut.empty()) {
    std::ofstream out(flashOut, std::ios::binary);
    out.write(reinterpret_cast<const char*>(chip.Flash().data()),
              static_cast<std::streamsize>(chip.Flash().size()));
    if (!out) std::cerr << "kavel-isp-sim: cannot write " << flashOut << "\n";
  }
  if (!reportPath.empty()) {
    std::ofstream out(reportPath);
    out << chip.Report();
    if (withController) out << controller.Report();
    if (!out) std::cerr << "kavel-isp-sim: cannot write " << reportPath << "\n";
  }
  if (log && log != stderr) std::fclose(log);
  std::cout << "kavel-isp-sim: ended" << (line.HungUp() ? " (hung up)" : "");
  if (line.Dropped() > 0) std::cout << "; " << line.Dropped() << " bytes dropped (line full)";
  std::cout << "\n";
  return 0;
}
