// kavel-isp-cli: the device operations from a shell or a production script, without a
// window. The same operations object as the window drives the line; this file only reads
// the command line, checks the image and the outputs before any port is touched, runs one
// command on each port and turns what happened into an exit status. Several --port options
// run the command on every port at once, one process each.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli/CliArgs.h"
#include "cli/CliProcess.h"
#include "cli/CliRun.h"
#include "image/CheckedImage.h"
#include "link/ComNames.h"
#include "version/Version.h"

using namespace kavel;
using namespace kavel::cli;

namespace {

constexpr const char* kVersion = KAVEL_VERSION;

int Usage(const std::string& message) {
  Complain(message + "\nTry kavel-isp-cli --help.");
  return kExitUsage;
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
  for (const std::string& name : listing.names) text += name + "\t" + map.DevicePath(name) + "\n";
  if (listing.names.empty()) text += "no serial ports found\n";
  int status = kExitOk;
  if (listing.error != 0) {
    Complain("cannot read " + listing.unreadable + ": " + std::strerror(listing.error));
    status = kExitPort;
  }
  return Output(text, status);
}

// The child's outcome as an exit status, said in words when it did not simply exit.
int ChildStatus(pid_t child, const std::string& port) {
  int status = 0;
  pid_t waited;
  while ((waited = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
  }
  if (waited != child) {
    Complain(port + ": its outcome cannot be had (" + std::strerror(errno) + "); counted as failed");
    return kExitChip;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  Complain(port + ": ended by " + SignalName(signal) + "; what it did is not known");
  // Killed along with an interrupted parent, it was stopped; killed on its own, it failed.
  return StopSignal() != 0 ? 128 + StopSignal() : kExitChip;
}

int RunSeveral(const TCliArgs& args, const std::vector<TPortRun>& runs) {
  const pid_t parent = getpid();
  std::vector<pid_t> children;
  int worst = kExitOk;
  for (const TPortRun& run : runs) {
    if (StopSignal() != 0) break;  // nothing more is started once asked to stop
    const pid_t child = fork();
    if (child == 0) {
      DieWithParent(parent);
      _exit(RunOnPort(args, run));
    }
    if (child < 0) {
      Complain(run.port + ": cannot start its process: " + std::strerror(errno));
      worst = std::max(worst, kExitPort);
      break;
    }
    children.push_back(child);
    ForwardSignalsTo(children);
  }
  for (std::size_t i = 0; i < children.size(); ++i) worst = std::max(worst, ChildStatus(children[i], runs[i].port));
  if (children.size() < runs.size() && StopSignal() != 0) worst = std::max(worst, 128 + StopSignal());
  return worst;
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened: the port must never become descriptor 1 or 2.
  ReserveStandardDescriptors();
  InstallSignalHandlers();
  TCliArgs args;
  if (auto problem = ParseCliArgs(std::vector<std::string>(argv + 1, argv + argc), args)) {
    return Usage(*problem);
  }
  if (args.help) return Output(kUsage);
  if (args.version) return Output(std::string("kavel-isp-cli ") + kVersion + "\n");
  if (args.command == "ports") return ListPorts();
  if (args.ports.empty()) args.ports.push_back("COM1");
  const bool several = args.ports.size() > 1;
  if (CommandAsks(args) && !args.yes && (several || !isatty(STDIN_FILENO))) {
    return Usage(args.command + " asks the operator to set the jumper: run it on a terminal, or "
                 "give --yes" + std::string(several ? " (several ports cannot share one terminal)" : ""));
  }

  // The image, loaded once and checked whole: what is checked is what is sent.
  std::optional<THexBinList> image;
  if (!args.file.empty()) {
    try {
      image = LoadCheckedImage(args.file, args.format);
    } catch (const EImageFormatUnknown& e) {
      Complain(std::string(e.what()) + ": give --format hex or --format bin");
      return kExitFile;
    } catch (const EImageError& e) {
      Complain(e.what());
      return kExitFile;
    }
  }
  if ((args.command == "erase" || args.eraseFirst) && image) {
    args.eraseBlocks = image->Blocks();
    std::string list;
    for (int b = 0; b < 16; ++b)
      if (args.eraseBlocks.test(static_cast<std::size_t>(b))) list.append(" ").append(std::to_string(b));
    WriteErr("blocks to erase:" + list + "\n");
  }

  std::vector<std::string> outputs = TracePaths(args.trace, args.ports);
  const std::vector<std::string> traces = outputs;
  if (several && !args.output.empty()) return Usage("read takes one port: each would overwrite the file");
  if (!args.output.empty()) outputs.push_back(args.output);
  if (auto conflict = OutputConflict(outputs, args.file, args.ports)) return Usage(*conflict);

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
