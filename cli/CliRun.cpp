#include "cli/CliRun.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>

#include "cli/CliCommands.h"
#include "cli/CliDraw.h"
#include "cli/CliTerminal.h"
#include "cli/CliProcess.h"
#include "cli/CliReport.h"
#include "isp/Records.h"
#include "isp/Session.h"
#include "isp/ScopeGuards.h"
#include "link/EComPort.h"
#include "link/BootEntry.h"
#include "link/NetComDevice.h"
#include "link/PosixComDevice.h"
#include "link/TraceComDevice.h"
#include "link/WireText.h"

namespace kavel::cli {
// The serial device of a COM name looks the name up again as it opens it, because only
// there is a stale claim on the port directory's entry refused.
std::unique_ptr<TComDevice> DeviceFor(const TPortArg& port) {
  const TComDeviceContext context = ProgramDeviceContext();
  if (!port.address.empty()) return std::make_unique<TNetComDevice>(port.address, context.clock);
  if (port.kind == TPortArg::pkDevice) return std::make_unique<TPosixComDevice>(context, port.device);
  return std::make_unique<TPosixComDevice>(context);
}

namespace {

using TFile = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// The line behind a gate that shuts once a second stop signal has ended the run at once:
// from then on nothing more reaches the line (ECANCELED), whatever the run was doing.
class TStopGate final : public TComDevice {
 public:
  explicit TStopGate(std::unique_ptr<TComDevice> inner) : m_inner(std::move(inner)) {}
  int Open(const std::string& name) override {
    return Gate([&] { return m_inner->Open(name); });
  }
  void Close() override { m_inner->Close(); }
  int SetQueueSizes(std::size_t in, std::size_t out) override {
    return Gate([&] { return m_inner->SetQueueSizes(in, out); });
  }
  int SetLine(const TLineTermios& line, bool dtr, bool rts) override {
    return Gate([&] { return m_inner->SetLine(line, dtr, rts); });
  }
  int SetModemLines(bool dtr, bool rts) override {
    return Gate([&] { return m_inner->SetModemLines(dtr, rts); });
  }
  int BytesWaiting(std::size_t& count) override {
    count = 0;
    return Gate([&] { return m_inner->BytesWaiting(count); });
  }
  int Read(std::uint8_t* buffer, std::size_t n, int timeoutMs, std::size_t& got) override {
    got = 0;
    return Gate([&] { return m_inner->Read(buffer, n, timeoutMs, got); });
  }
  int Write(const std::uint8_t* buffer, std::size_t n, int timeoutMs, std::size_t& written) override {
    written = 0;
    return Gate([&] { return m_inner->Write(buffer, n, timeoutMs, written); });
  }
  int Purge(bool input, bool output) override {
    return Gate([&] { return m_inner->Purge(input, output); });
  }
  int WaitForInput(int timeoutMs, bool& arrived) override {
    arrived = false;
    return Gate([&] { return m_inner->WaitForInput(timeoutMs, arrived); });
  }
  int PollHandle() const override { return m_inner->PollHandle(); }
  std::string TakeRemarks() override { return m_inner->TakeRemarks(); }
  // The device's words, unless the gate itself refused the last call.
  std::string LastFailureWords() const override { return m_shut ? std::string() : m_inner->LastFailureWords(); }

 private:
  template <typename Call>
  int Gate(Call&& call) {
    m_shut = StopNow();
    return m_shut ? ECANCELED : call();
  }
  std::unique_ptr<TComDevice> m_inner;
  bool m_shut = false;  // the last call was refused here
};

// What the command says when it has been carried out, in its own words.
std::string Describe(const TCliArgs& args) {
  if (args.id == ciErase) return args.eraseAll ? "the erase" : "the block erase";
  return args.command;
}

// The trace file, open for writing; none when none was asked for. Never blocks: what stands
// under the name now (it was checked to be a regular file or none) is checked again as it is
// opened. Done, or rkOutputFailed.
TRunStatus OpenTrace(const std::string& path, TFile& file) {
  if (path.empty()) return TRunStatus::Done();
  const auto failed = [&path](const std::string& why) {
    return TRunStatus::Make(rkOutputFailed, "cannot write the trace file " + path + ": " + why);
  };
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) return failed(std::strerror(errno));
  struct stat st {};
  const bool stated = fstat(fd, &st) == 0;
  if (!stated || !S_ISREG(st.st_mode) || ftruncate(fd, 0) != 0 ||
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    const std::string why = stated && !S_ISREG(st.st_mode) ? "it is not a regular file" : std::strerror(errno);
    close(fd);
    return failed(why);
  }
  file.reset(fdopen(fd, "w"));
  if (file) return TRunStatus::Done();
  const std::string why = std::strerror(errno);
  close(fd);
  return failed(why);
}

// Closes the trace file. Done, or rkOutputFailed when any of it was not written.
TRunStatus CloseTrace(TFile& file, const TTraceComDevice* tracer, const std::string& path) {
  int err = tracer ? tracer->TraceError() : 0;
  if (std::fclose(file.release()) != 0 && err == 0) err = errno;
  if (err == 0) return TRunStatus::Done();
  return TRunStatus::Make(rkOutputFailed, "cannot write the trace file " + path + ": " + std::strerror(err));
}

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
  return std::make_unique<TStopGate>(std::move(device));
}

// Inside a catch block: the status of an exception that ends an operation (an image that
// cannot be used ...), else rkInternal: a fault of this program, said as such, never as the
// chip's.
TRunStatus StatusOfUnexpected() {
  if (std::optional<TRunStatus> known = StatusOfCurrentException()) return *known;
  try {
    throw;
  } catch (const std::exception& e) {
    return TRunStatus::Make(rkInternal, std::string("internal error: ") + e.what());
  } catch (...) {
    return TRunStatus::Make(rkInternal, "internal error: an exception of no known kind");
  }
}

}  // namespace

TRunStatus OpenPort(TNAVOPort& port, const TPortArg& arg, const std::string& baud) {
  port.SetPort(arg.name);
  port.SetBaudRate(BaudRateFromText(baud));
  try {
    port.OpenPort();
    return TRunStatus::Done();
  } catch (const EComPort& e) {
    const std::string where = arg.device.empty() || arg.device == arg.name ? arg.name : arg.name + " (" + arg.device + ")";
    const bool comName = arg.kind == TPortArg::pkComName;
    std::string why = "cannot open ";
    why += where;
    why += ": ";
    why += !e.Reason().empty() ? e.Reason() : e.Errno() ? PortErrorReason(*e.Errno(), comName) : e.Words();
    return TRunStatus::Make(rkPortFailed, why);
  } catch (...) {
    return StatusOfUnexpected();
  }
}

namespace {

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

// The board's number drawn, by this process or by its parent (several ports, the parent
// drawing in their order), and recorded in its row. Done with Serial() set; else the run's
// own failure: the source used up or the database failed (rkStationFailed), or a stop came
// first (rkStopped); nothing was written to the board then.
TRunStatus TakeNumber(const TCliArgs& args, const TPortRun& run, TBoardRecord& record, TDrawChannel& channel,
                      TCliTerminal& terminal) {
  const std::string untouched = "; nothing was written to the board";
  if (channel.Open()) {
    std::optional<std::int64_t> serial;
    // Said, so that a board that waits is not taken for one that hangs.
    const auto waiting = [&terminal] { terminal.Step(TCliStep::clNumber); };
    if (const TRunStatus asked = channel.Ask(serial, waiting); !asked.Ok()) return asked;
    if (!serial) return TRunStatus::Make(rkStationFailed, run.station->UsedUp(args) + untouched);
    record.Took(*serial, args, *run.station);
    return TRunStatus::Done();
  }
  const TRunStatus drawn = record.Draw(args, *run.station);
  if (!drawn.Ok()) return TRunStatus::Make(rkStationFailed, drawn.detail + untouched);
  if (!record.Serial()) return TRunStatus::Make(rkStationFailed, run.station->UsedUp(args) + untouched);
  return TRunStatus::Done();
}

// --serial, once the chip has answered (its device id read) and before anything is erased:
// the board's number drawn, or with --serial-keep the number's bytes read from the board,
// which keeps a number this log handed out from the same source, a blank board (or one
// whose flash may not be read) drawing the next. The image with the number goes in the
// place of the image. Not ok ends the run with nothing written: the read failed, or the
// number could not be had (command.ownFailure).
TIspStatus NumberTheBoard(TCommandRun& command, const TPortRun& run, TBoardRecord& record, TDrawChannel& channel,
                          THexBinList& numbered, const THexBinList*& image) {
  const TCliArgs& args = command.args;
  const station::TSerialPlace& place = *args.serialPlace;
  const std::string where = "the board's number at " + place.RangeText();
  // The run ended for a reason of the command line's own, before anything was written.
  const auto ownFailure = [&command](const TRunStatus& status) {
    command.ownFailure = status;
    return TIspStatus::Make(skCancelled, status.detail);
  };
  std::optional<std::uint64_t> held;
  if (args.serialKeep) {
    std::vector<std::uint8_t> bytes;
    TIspStatus read = command.session.ReadFlash(place.address, static_cast<std::uint16_t>(place.address + place.Size() - 1),
                                                args.delay, bytes);
    const bool locked = read.kind == skRefused && read.reply == rcNotAllowed;
    if (!read.Ok() && !locked) {
      command.facts.step = TStep::stRead;
      read.detail = "reading " + where + ": " + read.detail;
      return read;
    }
    const std::optional<std::uint64_t> decoded = read.Ok() ? station::SerialFromBytes(bytes, place) : std::nullopt;
    held = decoded;
    // Only a number this log handed out from the same source is kept: bytes half written, or
    // a number of another sequence, would give two boards one number.
    bool known = false;
    if (held) {
      if (const TRunStatus asked = record.HandedOut(static_cast<std::int64_t>(*held), args, *run.station, known);
          !asked.Ok())
        return ownFailure(TRunStatus::Make(rkStationFailed, asked.detail + "; nothing was written to the board"));
      if (!known) {
        command.terminal.Note(where + " holds " + station::SerialText(*held, place) +
                              ", which this log never handed out from " + run.station->SerialDraw(args).name +
                              ": a new number is drawn");
        held.reset();
      }
    }
    if (held) {
      channel.Close();
      record.Keep(static_cast<std::int64_t>(*held), args, *run.station);
      command.facts.serialKept = true;
      command.terminal.Note("the board holds serial number " + station::SerialText(*held, place) + ": it keeps it");
    } else {
      if (locked)
        command.terminal.Note("the chip refused the read of " + where +
                              " (security bit 2 forbids reading the flash): a new number is drawn");
      const bool blank = std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
      if (read.Ok() && !blank && !decoded) command.terminal.Note(where + " holds no number of its format: a new number is drawn");
    }
  }
  if (!held) {
    if (const TRunStatus taken = TakeNumber(args, run, record, channel, command.terminal); !taken.Ok()) return ownFailure(taken);
  }
  command.facts.serial = record.Serial();
  command.terminal.Numbered(*command.facts.serial);
  const TRunStatus stamped = station::WithSerial(*run.image, place, static_cast<std::uint64_t>(*record.Serial()), numbered);
  if (!stamped.Ok()) return ownFailure(stamped);
  image = command.facts.image = &numbered;
  return TIspStatus::Done();
}

}  // namespace

int RunOnPort(TCliArgs args, const TPortRun& run) {
  const auto started = std::chrono::steady_clock::now();
  TCliTerminal terminal(args, run.port.name, run.several);
  TRunFacts facts;
  facts.args = &args;
  facts.port = run.port.name;
  facts.rawTcp = run.port.RawTcp();
  facts.image = run.image;
  // The trace file first, before the row. Closed after the port (declared before it),
  // whatever path the run takes.
  TFile traceFile(nullptr, &std::fclose);
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
  TNAVOPort port(0, 0, RecordedDevice(run, traceFile.get(), args.verbose, tracer));
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
  if (command.ownFailure) status = *command.ownFailure;
  // From here on a run cut short says that the work is over, and leaves the row to the run.
  if (recording && !recording->ClaimForRun()) AwaitStopper();
  terminal.Concluding(status.Ok() ? Describe(args) : std::string(), recording != nullptr);
  facts.stopSignal = StopSignal();
  facts.parentEnded = ParentEnded();
  facts.declined = terminal.Declined();
  facts.work = status;
  if (!command.output.Ok()) {
    facts.fileWritten = false;
    status = Unwritten(terminal, status, command.output);
  }
  restore.Now();
  SayWhatIsLeft(args, terminal, facts, status);
  if (traceFile) {
    if (const TRunStatus closed = CloseTrace(traceFile, tracer, run.trace); !closed.Ok())
      status = Unwritten(terminal, status, closed);
  }
  return Conclude(args, terminal, facts, status, started, recording);
}

}  // namespace kavel::cli
