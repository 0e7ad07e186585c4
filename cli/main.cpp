// kavel-isp-cli: the chip session from a shell or a production script. This file only reads
// the command line, checks the image, the ports and the outputs before any port is touched,
// runs one command on each port and turns what happened into an exit status. Several --port
// options run the command on every port at once, one process each.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "cli/CliArgs.h"
#include "cli/CliDraw.h"
#include "cli/CliProcess.h"
#include "cli/CliFiles.h"
#include "cli/CliLog.h"
#include "cli/CliPorts.h"
#include "cli/CliReport.h"
#include "cli/CliRun.h"
#include "cli/CliStation.h"
#include "image/CheckedImage.h"
#include "link/ComNames.h"
#include "link/WireText.h"
#include "station/Serial.h"
#include "station/Sha256.h"
#include "version/Version.h"

using namespace kavel;
using namespace kavel::cli;

namespace {

constexpr const char* kVersion = KAVEL_VERSION;

// The JSON object of a run that could not say it itself (port "": none). endUnknown: the
// run's process ended by a signal of its own, after it may have worked on its board.
void JsonForPort(const TCliArgs& args, const std::string& port, TRunKind kind, int exit, const std::string& message,
                 bool endUnknown = false) {
  TRunFacts facts;
  facts.args = &args;
  facts.port = port;
  facts.status = TRunStatus::Make(kind, message);
  facts.exit = exit;
  facts.endUnknown = endUnknown;
  WriteOut(JsonObject(facts) + "\n");
}

// The run on one port, its result said whatever ends it: an exception that escapes it is a
// fault of this program, said as such, and with --json its object unless one was written.
int RunGuarded(const TCliArgs& args, const TPortRun& run) {
  std::string what;
  try {
    return RunOnPort(args, run);
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
    what = "an exception of no known kind";
  }
  const std::string message = "internal error: " + what;
  Complain((run.several ? run.port.name + ": " : std::string()) + message);
  if (args.json && ClaimResult()) JsonForPort(args, run.port.name, rkInternal, kExitInternal, message);
  return kExitInternal;
}

// A usage error: said, with --json as one object without a port too; its exit status.
int Usage(const TCliArgs& args, bool json, const TRunStatus& usage) {
  Complain(usage.detail);
  WriteErr("Try kavel-isp-cli --help.\n");
  const int exit = ExitStatusOf(usage, 0);
  if (json) JsonForPort(args, "", usage.kind, exit, usage.detail);
  return exit;
}

// An image that cannot be used: said once, and with --json one object a port.
int BadImage(const TCliArgs& args, const TRunStatus& bad) {
  Complain(bad.detail);
  const int exit = ExitStatusOf(bad, 0);
  if (args.json)
    for (const TPortArg& port : args.ports) JsonForPort(args, port.name, bad.kind, exit, bad.detail);
  return exit;
}

// The station database cannot be used (or its source of numbers has none left: no other
// database would help): said once before any port is touched, and with --json one object a
// port.
int StationFailed(const TCliArgs& args, const TRunStatus& failed, bool database = true) {
  Complain(failed.detail + "; nothing was sent to any board" +
           (args.db.empty() && database ? " (--db FILE|URL names another database, --no-db records nothing)" : ""));
  if (args.json)
    for (const TPortArg& port : args.ports) JsonForPort(args, port.name, failed.kind, kExitStation, failed.detail);
  return kExitStation;
}

// Results on standard output: done only when they could be written.
int Output(const std::string& text, int status = kExitOk) {
  if (WriteOut(text) || status != kExitOk) return status;
  Complain(std::string("cannot write standard output: ") + std::strerror(OutputError()));
  return kExitChip;
}

// The ports present, each with the device (links followed) or the network port it leads to.
int ListPorts(const TCliArgs& args) {
  const TPortMap map = TPortMap::FromEnvironment();
  std::string text;
  int status = kExitOk;
  if (args.pin) {
    for (const TPortMap::TPinned& p : map.Pin()) {
      if (p.error == 0) {
        text += Printable(p.name) + " -> " + Printable(p.target) + "\n";
      } else {
        Complain("cannot write the entry " + Printable(map.PortDir() + "/" + p.name) + ": " + std::strerror(p.error));
        status = kExitChip;
      }
    }
    if (text.empty() && status == kExitOk) text = "every serial port present has its entry already\n";
    return Output(text, status);
  }
  const TPortMap::TListing listing = map.List();
  for (const std::string& name : listing.names) {
    const TPortArg port = ComPort(map, name);
    const std::string device = RealDevice(port);
    text += Printable(name) + "\t" +
            Printable(!port.address.empty() ? port.address : !device.empty() ? device : port.device) +
            (port.pinned ? "" : "\tdefault rule: not pinned (ports --pin)") + "\n";
  }
  if (listing.names.empty()) text += "no serial ports found\n";
  if (listing.error != 0) {
    Complain("cannot read " + listing.unreadable + ": " + std::strerror(listing.error));
    status = kExitPort;
  }
  return Output(text, status);
}

// The child's outcome as an exit status, said in words when it did not simply exit.
int ChildStatus(const TCliArgs& args, pid_t child, const std::string& port) {
  int status = 0;
  pid_t waited;
  while ((waited = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
  }
  if (waited != child) {
    const std::string message = "its outcome cannot be had (" + std::string(std::strerror(errno)) + "); counted as failed";
    Complain(port + ": " + message);
    if (args.json) JsonForPort(args, port, rkCancelled, kExitChip, message);
    return kExitChip;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  const std::string message = "ended by " + SignalName(signal) + "; what it did is not known";
  Complain(port + ": " + message);
  // Killed along with an interrupted parent, it was stopped; killed on its own, it failed.
  const int exit = StopSignal() != 0 ? 128 + StopSignal() : kExitChip;
  if (args.json) JsonForPort(args, port, StopSignal() != 0 ? rkStopped : rkCancelled, exit, message, true);
  return exit;
}

// The runs, a process each. With serial numbers to draw (rows begun), each process draws
// through this one, in the order of the ports (ServeDraws).
int RunSeveral(const TCliArgs& args, const std::vector<TPortRun>& runs, std::vector<station::TRunRow>& rows) {
  const pid_t parent = getpid();
  const bool numbered = args.serialPlace && !rows.empty();
  std::vector<pid_t> children;
  std::vector<int> ends;  // this process's end of each child's line
  int worst = kExitOk;
  bool startFailed = false;
  for (const TPortRun& planned : runs) {
    if (StopSignal() != 0) break;  // nothing more is started once asked to stop
    TPortRun run = planned;
    int line[2] = {-1, -1};
    if (numbered && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, line) != 0) line[0] = -1;
    const pid_t child = !numbered || line[0] >= 0 ? fork() : -1;
    if (child == 0) {
      DieWithParent(parent);
      for (const int end : ends) close(end);  // the others' lines are not this port's
      close(line[0]);
      run.drawFd = line[1];
      _exit(RunGuarded(args, run));
    }
    if (line[1] >= 0) close(line[1]);
    if (child < 0) {
      if (line[0] >= 0) close(line[0]);
      const std::string message = std::string("cannot start its process: ") + std::strerror(errno);
      Complain(run.port.name + ": " + message);
      if (args.json) JsonForPort(args, run.port.name, rkCancelled, kExitPort, message);
      worst = std::max(worst, kExitPort);
      startFailed = true;
      break;
    }
    children.push_back(child);
    ends.push_back(line[0]);
    ForwardSignalsTo(children);
  }
  if (numbered) ServeDraws(args, *runs[0].station, rows, ends);
  for (std::size_t i = 0; i < children.size(); ++i) worst = std::max(worst, ChildStatus(args, children[i], runs[i].port.name));
  // The ports whose process was never started say so too (a failed start said it already).
  const std::size_t said = children.size() + (startFailed ? 1 : 0);
  for (std::size_t i = children.size(); i < runs.size(); ++i) {  // their rows, begun, say so too
    const int exit = StopSignal() != 0 ? 128 + StopSignal() : kExitPort;
    if (runs[i].row) FinishUnstarted(*runs[i].station, *runs[i].row, StopSignal() != 0 ? rkStopped : rkCancelled, exit);
  }
  for (std::size_t i = said; i < runs.size(); ++i) {
    const int exit = StopSignal() != 0 ? 128 + StopSignal() : kExitPort;
    if (args.json) {
      JsonForPort(args, runs[i].port.name, StopSignal() != 0 ? rkStopped : rkCancelled, exit,
                  "not started: nothing was done");
    }
    worst = std::max(worst, exit);
  }
  return worst;
}

// What can be told before the image is read and any port is touched: done, or rkUsage for a
// port given twice, raw TCP without the speed its server runs at or with modem lines to set,
// or a cycle that would ask where nobody can answer.
TRunStatus Runnable(const TCliArgs& args) {
  if (TRunStatus twice = PortsTwice(args.ports); !twice.Ok()) return AtJobKey(args, "--port", twice);
  for (const TPortArg& port : args.ports) {
    // A board whose number goes into its flash must be the board on that socket.
    if (!port.pinned && (args.requirePinned || args.serialPlace)) {
      const std::string device = RealDevice(port);
      return AtJobKey(args, "--port",
                      TRunStatus::Make(rkUsage, port.name + " has no entry in the port directory: only the default "
                                                            "rule gives it (" +
                                                    (device.empty() ? std::string("to no device now")
                                                                    : "to " + device + " now") +
                                                    "), and it moves to another device when one is unplugged; "
                                                    "kavel-isp-cli ports --pin writes an entry that keeps it" +
                                                    (args.requirePinned ? "" : " (--serial needs one)")));
    }
    if (port.RawTcp() && !args.baudGiven) {
      return AtJobKey(args, "--port",
                      TRunStatus::Make(rkUsage, port.name + " is raw TCP, which cannot set the line's speed: give "
                                                            "--baud, the speed the server's port runs at"));
    }
    if (port.RawTcp() && (!args.bootEntry.empty() || args.runAfter)) {
      return AtJobKey(args, "--port", TRunStatus::Make(rkUsage, port.name + " is raw TCP, which carries no modem "
                                                                            "lines for --boot-entry or --run-after"));
    }
  }
  const bool several = args.ports.size() > 1;
  if (CommandAsks(args) && !args.yes && (several || !isatty(STDIN_FILENO))) {
    return TRunStatus::Make(rkUsage, args.command +
                                         " asks the operator to set the boot jumper: run it on a terminal, or give --yes" +
                                         (several ? " (several ports cannot share one terminal)" : ""));
  }
  return TRunStatus::Done();
}

// The image, loaded once and checked whole: what is checked is what is sent. Done (with no
// image for a command without one), or rkBadImage saying why it cannot be used. The file's
// bytes, as they were read and checked, go into fileBytes.
TRunStatus LoadImage(const TCliArgs& args, std::optional<THexBinList>& image, std::string& fileBytes) {
  if (args.file.empty()) return TRunStatus::Done();
  try {
    image = LoadCheckedImage(args.file, args.format, {}, &fileBytes);
  } catch (const EImageFormatUnknown& e) {
    return TRunStatus::Make(rkBadImage, std::string(e.what()) + ": give --format hex or --format bin");
  } catch (const EImageError& e) {
    return TRunStatus::Make(rkBadImage, e.what());
  }
  return TRunStatus::Done();
}

// The trace file of each port.
std::vector<std::string> Traces(const TCliArgs& args) {
  std::vector<std::string> names;
  for (const TPortArg& port : args.ports) names.push_back(port.name);
  return TracePaths(args.trace, names);
}

// Done when the outputs may be written; rkUsage for read on several ports, or a file that is
// the image, a port, another output, or no regular file.
TRunStatus OutputsUsable(const TCliArgs& args) {
  if (args.ports.size() > 1 && !args.output.empty())
    return TRunStatus::Make(rkUsage, "read takes one port: each would overwrite the file");
  std::vector<std::string> outputs = Traces(args);
  if (!args.output.empty()) outputs.push_back(args.output);
  return OutputConflict(outputs, args.file, args.ports);
}

// The runs, one a port, each with its trace file.
void PlanRuns(const TCliArgs& args, const THexBinList* image, std::vector<TPortRun>& runs) {
  const std::vector<std::string> traces = Traces(args);
  const bool several = args.ports.size() > 1;
  const bool programs = CommandInfo(args.id).arguments == TArguments::taImage;
  for (std::size_t i = 0; i < args.ports.size(); ++i) {
    TPortRun run;
    run.port = args.ports[i];
    run.trace = traces[i];
    run.several = several;
    run.image = programs ? image : nullptr;
    runs.push_back(std::move(run));
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened: the port must never become descriptor 1 or 2.
  ReserveStandardDescriptors();
  InstallSignalHandlers();
  TCliArgs args;
  const std::vector<std::string> words(argv + 1, argv + argc);
  if (const TRunStatus usage = ParseCliArgs(words, args); !usage.Ok()) return Usage(args, args.json, usage);
  if (args.help) return Output(kUsage);
  if (args.version) return Output(std::string("kavel-isp-cli ") + kVersion + "\n");
  if (args.id == ciPorts) return ListPorts(args);
  if (args.id == ciLog) {
    if (args.ports.size() > 1) return Usage(args, args.json, TRunStatus::Make(rkUsage, "log takes one --port"));
    return ListLog(args);
  }
  if (const TRunStatus usage = Worse(Runnable(args), OutputsUsable(args)); !usage.Ok())
    return Usage(args, args.json, usage);
  // The serial list, read whole before anything is opened.
  std::optional<station::TSerialList> list;
  if (!args.serialList.empty()) {
    list.emplace();
    if (const TRunStatus read = station::ReadSerialList(args.serialList, *args.serialPlace, *list); !read.Ok())
      return Usage(args, args.json, AtJobKey(args, "--serial-list", read));
  }
  // The station's database first: a run whose record would be lost is not started.
  std::optional<TStationRun> station;
  std::unique_ptr<station::TStationDb> db;  // until the runs begin: each port's run opens its own
  if (CommandLogged(args)) {
    station.emplace();
    station->image = args.file;
    station->list = std::move(list);
    if (const TRunStatus ready = PrepareStation(args, *station, db); !ready.Ok())
      return StationFailed(args, AtJobKey(args, "--db", ready));
    // Rows that waited for this server since it last went away.
    // Said for people only: --json's readers have the log.
    if (const std::string sent = SendSpooled(station->where, *db); !sent.empty() && !args.quiet && !args.json)
      Complain(sent);
  }
  std::optional<THexBinList> image;
  std::string fileBytes;
  TRunStatus loaded = LoadImage(args, image, fileBytes);
  const std::string sha256 = loaded.Ok() ? station::Sha256(fileBytes) : std::string();
  if (loaded.Ok() && !args.expectSha256.empty() && sha256 != args.expectSha256) {
    loaded = AtJobKey(args, "--expect-sha256",
                      TRunStatus::Make(rkBadImage, Printable(args.file) + " is not the image expected: its SHA-256 is " +
                                                       sha256 + ", not " + args.expectSha256));
  }
  if (loaded.Ok() && image && args.serialPlace)
    loaded = AtJobKey(args, "--serial", station::SerialPlaceFree(*image, args.file, *args.serialPlace));
  if (!loaded.Ok()) {
    if (station) {
      if (const TRunStatus kept = RecordRefused(args, *station, *db, loaded, kExitFile); !kept.Ok())
        return StationFailed(args, kept);
    }
    return BadImage(args, loaded);
  }
  if (station && image) station->imageSha256 = sha256;  // of what was checked and is sent
  // A source of numbers that has none left refuses every board before any is touched (their
  // rows say so; rows that cannot be written change nothing of what is said).
  if (station) {
    if (const TRunStatus left = NumbersLeft(args, *station, *db); !left.Ok()) {
      (void)RecordRefused(args, *station, *db, left, kExitStation);
      return StationFailed(args, left, false);
    }
  }
  if (args.id == ciErase && image) args.eraseBlocks = image->Blocks();
  std::vector<TPortRun> runs;
  PlanRuns(args, image ? &*image : nullptr, runs);
  for (TPortRun& run : runs) run.station = station ? &*station : nullptr;
  // Several boards: their rows begun before any of them starts (their numbers are drawn,
  // in the order of the ports, once their chips answer).
  std::vector<station::TRunRow> rows;
  if (station && runs.size() > 1) {
    if (const TRunStatus begun = BeginBoards(args, *station, *db, args.ports, rows); !begun.Ok())
      return StationFailed(args, begun);
    for (std::size_t i = 0; i < runs.size(); ++i) runs[i].row = &rows[i];
  }
  db.reset();
  return runs.size() == 1 ? RunGuarded(args, runs[0]) : RunSeveral(args, runs, rows);
}
