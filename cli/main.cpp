// kavel-isp-cli: the chip session from a shell or a production script. This file only reads
// the command line, checks the image, the ports and the outputs before any port is touched,
// runs one command on each port and turns what happened into an exit status. Several --port
// options run the command on every port at once, one process each.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "cli/CliArgs.h"
#include "cli/CliProcess.h"
#include "cli/CliReport.h"
#include "cli/CliFiles.h"
#include "cli/CliRun.h"
#include "image/CheckedImage.h"
#include "link/ComNames.h"
#include "link/NetComDevice.h"
#include "version/Version.h"

using namespace kavel;
using namespace kavel::cli;

namespace {

constexpr const char* kVersion = KAVEL_VERSION;

// --json anywhere before the end of the options: a usage error is then a JSON object too.
bool JsonAsked(const std::vector<std::string>& argv) {
  for (const std::string& a : argv) {
    if (a == "--") return false;
    if (a == "--json") return true;
  }
  return false;
}

// The JSON object of a run that could not say it itself (port "": none).
void JsonForPort(const TCliArgs& args, const std::string& port, TStatusKind kind, int exit, const std::string& message) {
  TRunFacts facts;
  facts.args = &args;
  facts.port = port;
  facts.status = TIspStatus::Make(kind, message);
  facts.exit = exit;
  WriteOut(JsonObject(facts) + "\n");
}

// A usage error: said, with --json as one object without a port too; its exit status.
int Usage(const TCliArgs& args, bool json, const TIspStatus& usage) {
  Complain(usage.detail + "\nTry kavel-isp-cli --help.");
  const int exit = ExitStatusOf(usage, 0);
  if (json) JsonForPort(args, "", usage.kind, exit, usage.detail);
  return exit;
}
int Usage(const TCliArgs& args, bool json, std::string message) {
  return Usage(args, json, TIspStatus::Make(skUsage, std::move(message)));
}

// An image that cannot be used: said once, and with --json one object a port.
int BadImage(const TCliArgs& args, const std::string& message) {
  Complain(message);
  if (args.json)
    for (const std::string& port : args.ports) JsonForPort(args, port, skBadImage, kExitFile, message);
  return kExitFile;
}

// The device a port names: its COM entry or path, links followed ("" when there is none).
std::string DeviceOf(const TPortMap& map, const std::string& port) {
  const std::string path = IsComName(port) ? map.DevicePath(port) : port;
  char resolved[PATH_MAX];
  return !path.empty() && realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// Whether the ports can all be used at once: done, or skUsage naming one given twice, by
// name or through another name for the same device.
TIspStatus PortsTwice(const std::vector<std::string>& ports) {
  const TPortMap map = TPortMap::FromEnvironment();
  for (std::size_t i = 0; i < ports.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (ports[i] == ports[j]) return TIspStatus::Make(skUsage, "the port " + ports[i] + " is given twice");
      const std::string a = DeviceOf(map, ports[i]), b = DeviceOf(map, ports[j]);
      if (!a.empty() && a == b) return TIspStatus::Make(skUsage, ports[j] + " and " + ports[i] + " are the same device, " + a);
    }
  }
  return TIspStatus::Done();
}

// Results on standard output: done only when they could be written.
int Output(const std::string& text, int status = kExitOk) {
  if (WriteOut(text) || status != kExitOk) return status;
  Complain(std::string("cannot write standard output: ") + std::strerror(OutputError()));
  return kExitChip;
}

int ListPorts() {
  const TPortMap map = TPortMap::FromEnvironment();
  const TPortMap::TListing listing = map.List();
  std::string text;
  for (const std::string& name : listing.names) {
    const std::string device = DeviceOf(map, name);
    text += name + "\t" + map.NetAddress(name).value_or(device.empty() ? map.DevicePath(name) : device) + "\n";
  }
  if (listing.names.empty()) text += "no serial ports found\n";
  int status = kExitOk;
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
    if (args.json) JsonForPort(args, port, skCancelled, kExitChip, message);
    return kExitChip;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  const std::string message = "ended by " + SignalName(signal) + "; what it did is not known";
  Complain(port + ": " + message);
  // Killed along with an interrupted parent, it was stopped; killed on its own, it failed.
  const int exit = StopSignal() != 0 ? 128 + StopSignal() : kExitChip;
  if (args.json) JsonForPort(args, port, StopSignal() != 0 ? skStopped : skCancelled, exit, message);
  return exit;
}

int RunSeveral(const TCliArgs& args, const std::vector<TPortRun>& runs) {
  const pid_t parent = getpid();
  std::vector<pid_t> children;
  int worst = kExitOk;
  bool startFailed = false;
  for (const TPortRun& run : runs) {
    if (StopSignal() != 0) break;  // nothing more is started once asked to stop
    const pid_t child = fork();
    if (child == 0) {
      DieWithParent(parent);
      _exit(RunOnPort(args, run));
    }
    if (child < 0) {
      const std::string message = std::string("cannot start its process: ") + std::strerror(errno);
      Complain(run.port + ": " + message);
      if (args.json) JsonForPort(args, run.port, skCancelled, kExitPort, message);
      worst = std::max(worst, kExitPort);
      startFailed = true;
      break;
    }
    children.push_back(child);
    ForwardSignalsTo(children);
  }
  for (std::size_t i = 0; i < children.size(); ++i) worst = std::max(worst, ChildStatus(args, children[i], runs[i].port));
  // The ports whose process was never started say so too (a failed start said it already).
  const std::size_t said = children.size() + (startFailed ? 1 : 0);
  for (std::size_t i = said; i < runs.size(); ++i) {
    const int exit = StopSignal() != 0 ? 128 + StopSignal() : kExitPort;
    if (args.json) {
      JsonForPort(args, runs[i].port, StopSignal() != 0 ? skStopped : skCancelled, exit, "not started: nothing was done");
    }
    worst = std::max(worst, exit);
  }
  return worst;
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened: the port must never become descriptor 1 or 2.
  ReserveStandardDescriptors();
  InstallSignalHandlers();
  TCliArgs args;
  const std::vector<std::string> words(argv + 1, argv + argc);
  if (const TIspStatus usage = ParseCliArgs(words, args); !usage.Ok()) return Usage(args, JsonAsked(words), usage);
  if (args.help) return Output(kUsage);
  if (args.version) return Output(std::string("kavel-isp-cli ") + kVersion + "\n");
  if (args.command == "ports") return ListPorts();
  if (args.ports.empty()) args.ports.push_back("COM1");
  const bool several = args.ports.size() > 1;
  if (const TIspStatus twice = PortsTwice(args.ports); !twice.Ok()) return Usage(args, args.json, twice);
  const TPortMap map = TPortMap::FromEnvironment();
  for (const std::string& port : args.ports) {
    const std::string address = LooksLikeNetAddress(port) ? port : map.NetAddress(port).value_or("");
    if (address.rfind("socket://", 0) == 0 && !args.baudGiven) {
      return Usage(args, args.json, port + " is raw TCP, which cannot set the line's speed: give --baud, the speed "
                                           "the server's port runs at");
    }
    if (address.rfind("socket://", 0) == 0 && (!args.bootEntry.empty() || args.runAfter)) {
      return Usage(args, args.json, port + " is raw TCP, which carries no modem lines for --boot-entry or --run-after");
    }
  }
  if (CommandAsks(args) && !args.yes && (several || !isatty(STDIN_FILENO))) {
    return Usage(args, args.json,
                 args.command + " asks the operator to set the boot jumper: run it on a terminal, or give --yes" +
                     std::string(several ? " (several ports cannot share one terminal)" : ""));
  }

  // The image, loaded once and checked whole: what is checked is what is sent.
  std::optional<THexBinList> image;
  if (!args.file.empty()) {
    try {
      image = LoadCheckedImage(args.file, args.format);
    } catch (const EImageFormatUnknown& e) {
      return BadImage(args, std::string(e.what()) + ": give --format hex or --format bin");
    } catch (const EImageError& e) {
      return BadImage(args, e.what());
    }
  }
  if (args.command == "erase" && image) args.eraseBlocks = image->Blocks();

  std::vector<std::string> outputs = TracePaths(args.trace, args.ports);
  const std::vector<std::string> traces = outputs;
  if (several && !args.output.empty()) return Usage(args, args.json, "read takes one port: each would overwrite the file");
  if (!args.output.empty()) outputs.push_back(args.output);
  if (const TIspStatus conflict = OutputConflict(outputs, args.file, args.ports); !conflict.Ok())
    return Usage(args, args.json, conflict);

  std::vector<TPortRun> runs;
  for (std::size_t i = 0; i < args.ports.size(); ++i) {
    const bool programs = args.command == "program" || args.command == "cycle" || args.command == "verify";
    TPortRun run;
    run.port = args.ports[i];
    run.trace = traces[i];
    run.several = several;
    run.image = programs && image ? &*image : nullptr;
    runs.push_back(std::move(run));
  }
  if (!several) return RunOnPort(args, runs[0]);
  return RunSeveral(args, runs);
}
