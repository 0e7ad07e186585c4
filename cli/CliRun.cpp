#include "cli/CliRun.h"

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "cli/CliCommands.h"
#include "cli/CliTerminal.h"
#include "cli/CliProcess.h"
#include "cli/CliReport.h"
#include "isp/Session.h"
#include "isp/ScopeGuards.h"
#include "link/ComNames.h"
#include "link/EComPort.h"
#include "link/AnyComDevice.h"
#include "link/BootEntry.h"
#include "link/NetComDevice.h"
#include "link/TraceComDevice.h"

namespace kavel::cli {
namespace {

// The device behind the port argument: a COM name through the port directory, a network
// port's address, or else a device path.
std::unique_ptr<TComDevice> DeviceFor(const std::string& port) {
  if (IsComName(port) || LooksLikeNetAddress(port)) return MakeComDevice();
  return std::make_unique<TAnyComDevice>(port);
}

// What the command says when it has been carried out, in its own words.
std::string Describe(const TCliArgs& args) {
  if (args.command == "erase") return args.eraseAll ? "the erase" : "the block erase";
  return args.command;
}

}  // namespace

void Complain(const std::string& text) { WriteErr("kavel-isp-cli: " + text + "\n"); }

namespace {

// The line's device, behind the recorders of the trace file (tracer: its recorder) and of -v.
std::unique_ptr<TComDevice> RecordedDevice(const TPortRun& run, std::FILE* traceFile, bool verbose,
                                           const TTraceComDevice*& tracer) {
  std::unique_ptr<TComDevice> device = run.device ? run.device() : DeviceFor(run.port);
  if (traceFile) {
    auto wrapped = std::make_unique<TTraceComDevice>(std::move(device), traceFile);
    tracer = wrapped.get();
    device = std::move(wrapped);
  }
  if (verbose) device = std::make_unique<TTraceComDevice>(std::move(device), stderr);
  return device;
}

// Opens the port by its name at the speed asked for. Done, or skPortFailed saying why it
// cannot be opened.
TIspStatus OpenPort(TNAVOPort& port, const std::string& name, const std::string& baud) {
  if (IsComName(name) || LooksLikeNetAddress(name)) port.SetPort(name);  // the name exactly as given
  port.SetBaudRate(BaudRateFromText(baud));
  try {
    port.OpenPort();
    return TIspStatus::Done();
  } catch (const EComPort& e) {
    const std::string device = IsComName(name) ? TPortMap::FromEnvironment().DevicePath(name) : name;
    const std::string where = device.empty() || device == name ? name : name + " (" + device + ")";
    return TIspStatus::Make(skPortFailed, "cannot open " + where + ": " +
                                              (e.WinCode() ? PortErrorReason(*e.WinCode(), IsComName(name)) : e.Words()));
  }
}

// An output that was asked for and could not be written fails the run too: it is said as it
// is found, and the status names every one of them.
TIspStatus Unwritten(const TCliTerminal& terminal, const TIspStatus& status, const std::string& problem) {
  terminal.Say(problem);
  return status.kind == skOutputFailed ? TIspStatus::Make(skOutputFailed, status.detail + "; " + problem)
                                       : Worse(status, TIspStatus::Make(skOutputFailed, problem));
}

// The end of every run, whatever ended it: what went wrong in words, the result as lines or
// one JSON object, and the exit status.
int Conclude(const TCliArgs& args, const TCliTerminal& terminal, TRunFacts& facts, TIspStatus status,
             std::chrono::steady_clock::time_point started) {
  facts.status = status;
  facts.exit = ExitStatusOf(status, facts.stopSignal);
  facts.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (status.kind != skOutputFailed) {  // an output that failed was said already
    for (const std::string& line : Explain(facts)) terminal.Say(line);
  }
  if (status.Ok() && facts.stopSignal != 0) {
    terminal.Say("stopped by " + SignalName(facts.stopSignal) + ", but only after " + Describe(args) +
                 " had been carried out to its end");
  }
  if (args.json) {
    terminal.PrintJson(JsonObject(facts));
  } else if (!args.quiet) {
    for (const auto& [key, value] : facts.values) terminal.Print(key + ": " + value);
    if (const std::string line = ResultLine(facts); !line.empty()) terminal.Print(line);
  }
  if (OutputError() != 0)
    status = Unwritten(terminal, status, std::string("cannot write the results to standard output: ") + std::strerror(OutputError()));
  return ExitStatusOf(status, facts.stopSignal);
}

}  // namespace

int RunOnPort(TCliArgs args, const TPortRun& run) {
  const auto started = std::chrono::steady_clock::now();
  TCliTerminal terminal(args, run.port, run.several);
  TRunFacts facts;
  facts.args = &args;
  facts.port = run.port;
  facts.image = run.image;
  // Closed after the port (declared before it), whatever path the run takes.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> traceFile(nullptr, &std::fclose);
  if (!run.trace.empty()) {
    traceFile.reset(std::fopen(run.trace.c_str(), "w"));
    if (!traceFile) {
      const std::string problem = "cannot write the trace file " + run.trace + ": " + std::strerror(errno);
      terminal.Say(problem);
      facts.work = TIspStatus::Make(skCancelled, "nothing was done");
      return Conclude(args, terminal, facts, TIspStatus::Make(skOutputFailed, problem + "; nothing was done"), started);
    }
  }
  const TTraceComDevice* tracer = nullptr;
  TNAVOPort port(0, 0, RecordedDevice(run, traceFile.get(), args.verbose, tracer));
  if (const TIspStatus opened = OpenPort(port, run.port, args.baud); !opened.Ok()) {
    facts.step = TStep::stOpen;
    facts.work = opened;
    return Conclude(args, terminal, facts, facts.work, started);
  }
  // The line as it was found, and the port let go, on every path.
  const TBaudRate found = port.BaudRate();
  TOnExit restore([&] {
    if (!port.Connected()) return;
    try {
      port.SetBaudRate(found);
    } catch (...) {
    }
    port.ClosePort();
  });
  TClock& clock = run.clock ? *run.clock : TSystemClock::Instance();
  TWireSpeedWait wait;
  TIspSession session(port, clock, wait, terminal);
  TCommandRun command{args, run.image, terminal, session, facts, {}};
  // The modem lines do what the operator would: before the command (a cycle makes the chip
  // ready after the controller's suspension instead of asking), and after a good one.
  const auto modemLines = [&](std::span<const TModemStep> steps) {
    try {
      RunModemSteps(port, clock, steps, args.invertDtr, args.invertRts);
    } catch (const EComPort& e) {
      throw EComPort(e.Code(), e.WinCode(), "on " + run.port);
    }
  };
  if (!args.bootEntry.empty()) terminal.UseBootEntry([&] { modemLines(args.bootEntry); });
  TIspStatus status;
  try {
    if (!args.bootEntry.empty() && args.command != "cycle") modemLines(args.bootEntry);
    if (const TCommand work = FindCommand(args.command)) status = work(command);
    if (status.Ok() && args.runAfter) modemLines(kRunAfterReset);
  } catch (const EComPort& e) {
    status = TIspStatus::Make(skPortFailed, e.Words());
  } catch (const std::exception& e) {
    status = TIspStatus::Make(skRefused, e.what());
  }
  facts.stopSignal = StopSignal();
  facts.declined = terminal.Declined();
  facts.work = status;
  if (!command.output.Ok()) {
    facts.fileWritten = false;
    status = Unwritten(terminal, status, command.output.detail);
  }
  restore.Now();
  if (status.Ok() && args.command != "sync" && facts.speed) terminal.Note("line speed: " + *facts.speed + " bit/s");
  if (facts.controllerSuspended && status.Ok()) {
    terminal.Note("The communication controller on this line is suspended: resume it from its management program "
                  "when you are done.");
  } else if (facts.controllerSuspended) {
    terminal.Say("The communication controller on this line is still suspended: resume it from its management "
                 "program when you are done.");
  }
  if (traceFile) {
    int err = tracer ? tracer->TraceError() : 0;
    if (std::fclose(traceFile.release()) != 0 && err == 0) err = errno;
    if (err != 0) status = Unwritten(terminal, status, "cannot write the trace file " + run.trace + ": " + std::strerror(err));
  }
  return Conclude(args, terminal, facts, status, started);
}

}  // namespace kavel::cli
