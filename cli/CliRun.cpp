#include "cli/CliRun.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>

#include "cli/CliCommands.h"
#include "cli/CliDraw.h"
#include "cli/CliNumber.h"
#include "cli/CliTerminal.h"
#include "cli/CliProcess.h"
#include "cli/CliReport.h"
#include "isp/Records.h"
#include "isp/Session.h"
#include "isp/ScopeGuards.h"
#include "link/EComPort.h"
#include "link/BootEntry.h"
#include "link/TraceComDevice.h"

namespace kavel::cli {
namespace {

// What the command says when it has been carried out, in its own words.
std::string Describe(const TCliArgs& args) {
  if (args.id == ciErase) return args.eraseAll ? "the erase" : "the block erase";
  return args.command;
}

// The security bits into the facts, or why they could not be read.
void ReadProtection(TCommandRun& command) {
  TByteRead read;
  const TRunStatus bits = command.session.ReadByte(kReadSecurityBody, command.args.delay, read);
  TRunFacts& f = command.facts;
  f.securityBits = bits.Ok() ? read.value : std::nullopt;
  if (bits.Ok()) return;
  f.securityUnread = bits.kind == rkBadReply || bits.kind == rkPortFailed ? bits.detail
                     : bits.reply == rcNotAllowed                         ? "the chip refused the read too"
                     : bits.reply == rcCrcError                           ? "the chip received the read damaged"
                                                                          : "the chip did not answer the read";
}

// The command, with the modem lines doing what the operator would: the boot entry before it
// (a cycle makes the chip ready after the controller's suspension, where it would ask), and
// the reset into the application after a good one. Its outcome, exceptions included.
TRunStatus Work(TCommandRun& command, TNAVOPort& port, TClock& clock, const std::string& portName) {
  const TCliArgs& args = command.args;
  // The steps, and for an entry a stop between them and within their pauses.
  const auto modemLines = [&port, &clock, &args, &portName](std::span<const TModemStep> steps, bool entry) {
    try {
      if (!RunModemSteps(port, clock, steps, args.invertDtr, args.invertRts,
                         entry ? std::function<bool()>([] { return StopSignal() != 0; }) : nullptr))
        throw EOperationStopped("stopped during the boot entry: nothing was sent to the chip");
    } catch (const EComPort& e) {
      throw EComPort(e.Code(), e.Errno(), "on " + portName, e.Reason());
    }
  };
  TCliTerminal& terminal = command.terminal;
  const auto enter = [modemLines, &args, &terminal] {
    terminal.Step(TCliStep::clBootEntry);
    modemLines(args.bootEntry, true);
  };
  if (!args.bootEntry.empty()) terminal.UseBootEntry(enter);
  TRunStatus status;
  try {
    if (!args.bootEntry.empty() && args.id != ciCycle) enter();
    if (const auto work = CommandInfo(args.id).runner) status = work(command);
    // A refusal that protection may explain: the security bits are read (a protected chip
    // still shows them), so that the report says what is known instead of a guess.
    if (ProtectionMayExplain(command.facts, status)) ReadProtection(command);
    if (status.Ok() && args.runAfter) modemLines(kRunAfterReset, false);
  } catch (const EComPort& e) {
    status = TRunStatus::Make(rkPortFailed, e.Words());
  } catch (const EOperationStopped& e) {
    status = TRunStatus::Make(rkStopped, e.what());
  } catch (...) {
    status = StatusOfUnexpected();
  }
  return status;
}

// An output that was asked for and could not be written fails the run too: it is said as it
// is found, and the status names every one of them.
TRunStatus Unwritten(const TCliTerminal& terminal, const TRunStatus& status, const TRunStatus& unwritten) {
  terminal.Say(unwritten.detail);
  return status.kind == rkOutputFailed ? TRunStatus::Make(rkOutputFailed, status.detail + "; " + unwritten.detail)
                                       : Worse(status, unwritten);
}

// What the run leaves that the operator should know of: the speed the line ran at, and a
// communication controller that is still suspended.
void SayWhatIsLeft(const TCliArgs& args, const TCliTerminal& terminal, const TRunFacts& facts, const TRunStatus& status) {
  if (status.Ok() && args.id != ciSync && facts.speed) terminal.Note("line speed: " + *facts.speed + " bit/s");
  if (facts.controllerSuspended && status.Ok()) {
    terminal.Note("The communication controller on this line is suspended: resume it from its management program "
                  "when you are done.");
  } else if (facts.controllerSuspended) {
    terminal.Say("The communication controller on this line is still suspended: resume it from its management "
                 "program when you are done.");
  }
}

// The end of every run, whatever ended it: what went wrong in words, the result as lines or
// one JSON object, and the exit status.
// With a record, the board's row is finished first: a row that cannot be finished fails the
// run with the station's own status, after what the run did has been said.
int Conclude(const TCliArgs& args, TCliTerminal& terminal, TRunFacts& facts, TRunStatus status,
             std::chrono::steady_clock::time_point started, TBoardRecord* record = nullptr) {
  if (record && !record->ClaimForRun()) AwaitStopper();
  facts.status = status;
  facts.exit = ExitStatusOf(status, facts.stopSignal);
  facts.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (status.kind != rkOutputFailed) {  // an output that failed was said already
    for (const std::string& line : Explain(facts)) terminal.Say(line);
  }
  terminal.Concluding(facts.work.Ok() ? Describe(args) : std::string(), record != nullptr);
  if (record) {
    if (const TRunStatus kept = record->Finish(facts); !kept.Ok()) {
      const std::string done = status.Ok() ? Describe(args) + " was carried out" : "the run failed as said";
      // A shared server's row that its spool could not take either is lost: both say why.
      const std::string lost = record->SpoolFailure().empty() ? "" : "; " + record->SpoolFailure() + ": this board's row is lost";
      const char* const left = !lost.empty()            ? " ("
                               : record->Unconfirmed() ? "; this board's row may be left unfinished ("
                                                       : "; this board's row is left unfinished (";
      status = TRunStatus::Make(rkStationFailed, kept.detail + lost + left + done + ")");
      terminal.Say(status.detail);
      facts.status = status;
      facts.exit = ExitStatusOf(status, facts.stopSignal);
      facts.logged = record->Unconfirmed() && lost.empty() ? "unconfirmed" : "lost";
    } else if (!record->Spooled().empty()) {
      terminal.Say(record->Spooled());
      facts.logged = "spooled";
    }
  }
  if (status.Ok() && facts.stopSignal != 0) {
    terminal.Say(StoppedHow(facts) + ", but only after " + Describe(args) +
                 " had been carried out to its end");
  }
  if (args.json) {
    if (ClaimResult()) terminal.PrintJson(JsonObject(facts));
  } else if (!args.quiet) {
    for (const auto& [key, value] : facts.values) terminal.Print(key + ": " + value);
    if (const std::string line = ResultLine(facts); !line.empty()) terminal.Print(line);
  }
  if (const int err = OutputError(); err != 0) {
    const std::string why = std::string("cannot write the results to standard output: ") + std::strerror(err);
    status = Unwritten(terminal, status, TRunStatus::Make(rkOutputFailed, why));
  }
  return ExitStatusOf(status, facts.stopSignal);
}

// The facts of a run on the port, before anything is done.
TRunFacts FirstFacts(const TCliArgs& args, const TPortRun& run) {
  TRunFacts facts;
  facts.args = &args;
  facts.port = run.port.name;
  facts.rawTcp = run.port.RawTcp();
  facts.image = run.image;
  return facts;
}

// The work over: the run's own failure in place of the session's, a run cut short told that
// the work is over, what the terminal heard during it, and an output asked for that could not
// be written. The run's status.
TRunStatus AfterWork(TCommandRun& command, TRunStatus status, TBoardRecord* recording) {
  if (command.ownFailure) status = *command.ownFailure;
  // From here on a run cut short says that the work is over, and leaves the row to the run.
  if (recording && !recording->ClaimForRun()) AwaitStopper();
  command.terminal.Concluding(status.Ok() ? Describe(command.args) : std::string(), recording != nullptr);
  TRunFacts& facts = command.facts;
  facts.stopSignal = StopSignal();
  facts.parentEnded = ParentEnded();
  facts.declined = command.terminal.Declined();
  facts.work = status;
  if (!command.output.Ok()) {
    facts.fileWritten = false;
    status = Unwritten(command.terminal, status, command.output);
  }
  return status;
}

}  // namespace

int RunOnPort(TCliArgs args, const TPortRun& run) {
  const auto started = std::chrono::steady_clock::now();
  TCliTerminal terminal(args, run.port.name, run.several);
  TRunFacts facts = FirstFacts(args, run);
  // The trace file first, before the row. Closed after the port (declared before it),
  // whatever path the run takes.
  TTraceFile traceFile(nullptr, &std::fclose);
  const TRunStatus trace = OpenTrace(run.trace, traceFile);
  // The board's row, before anything is sent to it; its number is drawn once its chip has
  // answered. The line to the parent that draws it is let go as soon as the board needs none.
  std::optional<TBoardRecord> record;
  TDrawChannel channel(run.drawFd);
  THexBinList numbered;
  if (run.station) {
    record.emplace();
    const TRunStatus begun = run.row ? record->Adopt(*run.station, *run.row) : record->Begin(args, *run.station, run.port);
    if (!begun.Ok()) {
      channel.Close();
      facts.work = TRunStatus::Make(rkCancelled, "nothing was done");
      // A row that was begun is finished, whatever stopped the run.
      return Conclude(args, terminal, facts, TRunStatus::Make(rkStationFailed, begun.detail + "; nothing was sent to the board"),
                      started, record->Begun() ? &*record : nullptr);
    }
  }
  // A second stop signal now marks the board's row as stopped before the process ends.
  std::optional<TStopper> stopper;
  if (record) stopper.emplace([&record, &terminal](int exit) { record->MarkStopped(exit, terminal.StopClass()); });
  TBoardRecord* const recording = record ? &*record : nullptr;
  if (!trace.Ok()) {
    channel.Close();
    terminal.Say(trace.detail);
    facts.work = TRunStatus::Make(rkCancelled, "nothing was done");
    return Conclude(args, terminal, facts, TRunStatus::Make(rkOutputFailed, trace.detail + "; nothing was done"), started,
                    recording);
  }
  const TTraceComDevice* tracer = nullptr;
  TNAVOPort port(0, 0, RecordedDevice(run.device ? run.device() : DeviceFor(run.port), traceFile.get(), args.verbose, tracer));
  if (const TRunStatus opened = OpenPort(port, run.port, args.baud); !opened.Ok()) {
    channel.Close();
    facts.step = TStep::stOpen;
    facts.work = opened;
    return Conclude(args, terminal, facts, opened, started, recording);
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
  TCommandRun command{args, facts.image, terminal, session, facts, {}};
  if (args.serialPlace && recording) {
    command.beforeErase = [&command, &run, recording, &channel, &numbered](const THexBinList*& image) {
      return NumberTheBoard(command, run, *recording, channel, numbered, image);
    };
  }
  TRunStatus status = Work(command, port, clock, run.port.name);
  channel.Close();
  status = AfterWork(command, status, recording);
  restore.Now();
  SayWhatIsLeft(args, terminal, facts, status);
  if (traceFile) {
    if (const TRunStatus closed = CloseTrace(traceFile, tracer, run.trace); !closed.Ok())
      status = Unwritten(terminal, status, closed);
  }
  return Conclude(args, terminal, facts, status, started, recording);
}

}  // namespace kavel::cli
