#include "cli/CliCommands.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "cli/CliCommandTable.h"
#include "cli/CliFiles.h"
#include "isp/Records.h"

namespace kavel::cli {
namespace {

// Replies are awaited unless --no-confirm; the commands that learn something always await them.
TPacing Pacing(const TCliArgs& a) { return {a.delay, !a.noConfirm || CommandLearns(a), a.retries}; }

}  // namespace

TSyncPlan Plan(const TCliArgs& a) {
  TSyncPlan plan;
  plan.first = BaudRateFromText(a.baud);
  plan.delay = a.delay;
  plan.blind = !Pacing(a).awaitReplies;
  if (a.baudGiven) {
    plan.scan = false;
  } else {
    plan.fast = {br115200, br57600, br38400};
  }
  return plan;
}

namespace {

void TookSpeed(TRunFacts& facts, const TSyncResult& result) {
  facts.speedsTried = result.tried;
  facts.lineEchoes = result.echoes;
  if (result.confirmed) facts.speed = BaudRateText(result.speed);
}

TRunStatus Synchronized(TCommandRun& r) {
  r.facts.step = TStep::stSync;
  TSyncResult result;
  const TRunStatus status = r.session.Synchronize(Plan(r.args), result);
  TookSpeed(r.facts, result);
  return status;
}

// Synchronized, and when asked: is it the chip we mean?
TRunStatus Ready(TCommandRun& r) {
  TRunStatus status = Synchronized(r);
  // The station's log records the chip's id, expected or not.
  if (!status.Ok() || (!r.args.expectDevice && !CommandLogged(r.args))) return status;
  r.facts.step = TStep::stDevice;
  return r.session.CheckDevice(r.args.expectDevice, r.args.delay, &r.facts.deviceId);
}

// Reads the values into the facts, each whatever became of the others.
TRunStatus ReadValues(TCommandRun& r, const std::vector<std::pair<std::string_view, std::string_view>>& reads) {
  r.facts.step = TStep::stValues;
  TRunStatus status = TRunStatus::Done();
  for (const auto& [key, body] : reads) {
    TByteRead read;
    TRunStatus one = r.session.ReadByte(body, r.args.delay, read);
    if (!one.Ok()) {
      one.detail = std::string(key) + ": " +
                   (one.kind == rkBadReply ? one.detail
                    : one.kind == rkPortFailed ? one.detail
                    : "the chip " + std::string(one.reply == rcNotAllowed ? "refused the read (X)"
                                                : one.reply == rcCrcError ? "received the read damaged (R)"
                                                                          : "did not answer the read"));
      status = Worse(status, one);
      continue;
    }
    if (key == "Security bits") {
      for (int bit = 1; bit <= 3; ++bit)
        r.facts.values.emplace_back("Security " + std::to_string(bit), SecurityBitSet(*read.value, bit) ? "ON" : "OFF");
    } else {
      r.facts.values.emplace_back(std::string(key), read.came);  // both digits as they came
    }
  }
  return status;
}

constexpr std::pair<std::string_view, std::string_view> kStatusReads[] = {
    {"Security bits", kReadSecurityBody}, {"Status", kReadStatusBody}};

TRunStatus Sync(TCommandRun& r) { return Synchronized(r); }

TRunStatus Info(TCommandRun& r) {
  const TRunStatus synced = Synchronized(r);
  if (!synced.Ok()) return synced;
  return ReadValues(r, {{"Manufacturer id", "020000050000"}, {"Device id", "020000050001"},
                        {"Boot code version", "020000050002"}, kStatusReads[0], kStatusReads[1]});
}

TRunStatus Status(TCommandRun& r) {
  const TRunStatus synced = Synchronized(r);
  if (!synced.Ok()) return synced;
  return ReadValues(r, {kStatusReads[0], kStatusReads[1]});
}

// Verifies the image, at most up to its first 1 KB that differs unless --all.
TRunStatus Verified(TCommandRun& r) {
  r.facts.step = TStep::stVerify;
  const TRunStatus status = r.session.Verify(*r.image, r.args.delay, !r.args.all, r.facts.verify);
  r.facts.verified = status.Ok() && r.facts.verify.checked > 0 && r.facts.verify.differing == 0;
  return status;
}

TRunStatus Program(TCommandRun& r) {
  TRunStatus status = Ready(r);
  if (!status.Ok()) return status;
  if (r.beforeErase && !(status = r.beforeErase(r.image)).Ok()) return status;
  const TPacing pacing = Pacing(r.args);
  if (!r.args.noErase) {
    // What is written is erased first: programming only clears bits.
    const std::bitset<16> blocks = r.image->Blocks();
    r.terminal.Note("erasing the blocks the image touches: " + BlockList(blocks));
    r.facts.step = TStep::stBlocks;
    if (!(status = r.session.EraseBlocks(blocks, pacing, r.facts.blocksErased)).Ok()) return status;
  }
  r.facts.step = TStep::stProgram;
  if (!(status = r.session.Program(*r.image, pacing, r.facts.resent)).Ok() || r.args.noVerify) return status;
  return Worse(status, Verified(r));
}

TRunStatus Verify(TCommandRun& r) {
  const TRunStatus ready = Ready(r);
  return ready.Ok() ? Verified(r) : ready;
}

TRunStatus Read(TCommandRun& r) {
  TRunStatus status = Synchronized(r);
  if (!status.Ok()) return status;
  r.facts.step = TStep::stRead;
  std::vector<std::uint8_t> bytes;
  if (!(status = r.session.ReadFlash(r.args.rangeStart, r.args.rangeEnd, r.args.delay, bytes)).Ok()) return status;
  const std::string text = FlashFileText(bytes, r.args.rangeStart, *FormatByName(r.args.output));
  r.output = WriteWholeFile(r.args.output, text);
  return status;
}

TRunStatus Erase(TCommandRun& r) {
  const TRunStatus synced = Ready(r);
  if (!synced.Ok()) return synced;
  if (r.args.eraseAll) {
    r.facts.step = TStep::stErase;
    return r.session.EraseChip(Pacing(r.args));
  }
  r.facts.step = TStep::stBlocks;
  return r.session.EraseBlocks(r.args.eraseBlocks, Pacing(r.args), r.facts.blocksErased);
}

TRunStatus BlankCheck(TCommandRun& r) {
  const TRunStatus synced = Synchronized(r);
  if (!synced.Ok()) return synced;
  r.facts.step = TStep::stBlank;
  TBlankResult result;
  const TRunStatus status = r.session.BlankCheck(r.args.rangeStart, r.args.rangeEnd, r.args.delay, result);
  // What came before the reply is the address, line noise and line ends left out.
  for (char c : result.answer)
    if (c > ' ' && c < 0x7F) r.facts.blankAt += c;
  return status;
}

// A setting command, after synchronizing.
template <typename Command>
TRunStatus Setting(TCommandRun& r, Command command) {
  const TRunStatus synced = Synchronized(r);
  if (!synced.Ok()) return synced;
  r.facts.step = TStep::stSetting;
  return command(Pacing(r.args));
}

TRunStatus SetStatus0(TCommandRun& r) {
  return Setting(r, [&](const TPacing& p) { return r.session.SetStatusByte0(p); });
}
TRunStatus Security(TCommandRun& r) {
  return Setting(r, [&](const TPacing& p) { return r.session.SetSecurityBit(r.args.securityBit, p); });
}
TRunStatus SixClock(TCommandRun& r) {
  return Setting(r, [&](const TPacing& p) { return r.session.SetSixClock(p); });
}

TRunStatus Suspend(TCommandRun& r) {
  r.facts.step = TStep::stSuspend;
  TSuspension result;
  const TRunStatus status = r.session.SuspendController(result);
  r.facts.controllerSuspended = status.Ok();
  r.facts.controllerWasSuspended = result.already;
  if (result.suspended) r.terminal.ControllerSuspended();
  return status;
}

TRunStatus Cycle(TCommandRun& r) {
  // The controller first, apart, so that a run cut short knows it is suspended; unless the
  // line has none.
  if (!r.args.controllerNone) {
    const TRunStatus suspension = Suspend(r);
    if (suspension.kind == rkPortFailed || suspension.kind == rkStopped) return suspension;
    if (!suspension.Ok()) r.terminal.Note("the communication controller was not suspended: " + suspension.detail);
  }
  TCycleSteps steps;
  // A boot entry's own pauses give the reset its time; a reset by hand gets 2 s.
  if (!r.args.bootEntry.empty()) steps.resetPauseMs = 0;
  steps.pacing = Pacing(r.args);
  steps.sync = Plan(r.args);
  steps.suspend = false;
  steps.sixClock = r.args.sixClock;
  steps.verify = !r.args.noVerify;
  steps.expectDevice = r.args.expectDevice;
  steps.readDevice = CommandLogged(r.args);
  steps.beforeErase = r.beforeErase;
  r.facts.step = TStep::stCycle;
  const TRunStatus status = r.session.Cycle(*r.image, steps, r.facts.cycle);
  TookSpeed(r.facts, r.facts.cycle.sync);
  r.facts.verify = r.facts.cycle.verify;
  r.facts.verified = r.facts.cycle.verified;
  r.facts.resent = r.facts.cycle.resent;
  r.facts.deviceId = r.facts.cycle.deviceId;
  return status;
}

// What each command did, in its own words.
std::string SyncDone(const TRunFacts& f) { return SentOr(f, "synchronized at " + f.speed.value_or("?") + " bit/s"); }
std::string ProgramDone(const TRunFacts& f) {
  if (f.status.kind == rkUnconfirmed) return "sent " + SizeText(f.image) + ", not confirmed";
  return "programmed " + SizeText(f.image) + (f.verified ? ", verified" : ", not read back") + ResentText(f);
}
std::string VerifyDone(const TRunFacts& f) {
  return SentOr(f, "verified " + std::to_string(f.verify.checked) + " bytes: the flash holds " + f.args->file);
}
std::string ReadDone(const TRunFacts& f) {
  return SentOr(f, "read " + RangeText(*f.args) + (f.fileWritten ? " into " + f.args->output : " from the chip"));
}
std::string EraseDone(const TRunFacts& f) {
  return SentOr(f, f.args->eraseAll ? "erased the whole chip" : "erased blocks " + BlockList(f.args->eraseBlocks));
}
std::string BlankDone(const TRunFacts& f) { return SentOr(f, RangeText(*f.args) + " is blank"); }
std::string SetStatus0Done(const TRunFacts& f) { return SentOr(f, "set the status byte to 0"); }
std::string SecurityDone(const TRunFacts& f) {
  return SentOr(f, "set security bit " + std::to_string(f.args->securityBit));
}
std::string SixClockDone(const TRunFacts& f) { return SentOr(f, "switched the chip to 6-clock mode"); }
std::string SuspendDone(const TRunFacts& f) {
  return SentOr(f, f.controllerWasSuspended ? "the communication controller was suspended already"
                                            : "suspended the communication controller");
}
std::string CycleDone(const TRunFacts& f) {
  return SentOr(f, std::string(f.verified ? "programmed, verified and locked " : "programmed and locked ") +
                       f.args->file + ": " + SizeText(f.image) + ResentText(f));
}

using enum TArguments;
// id, name, arguments; logged, learns, serial, verifies, resends, range, controller; runner, words.
constexpr TCommandInfo kCommands[] = {
    {ciNone, "", taNone, false, false, false, false, false, false, false, nullptr, nullptr},
    {ciPorts, "ports", taNone, false, false, false, false, false, false, false, nullptr, nullptr},
    {ciSync, "sync", taNone, false, true, false, false, false, false, false, Sync, SyncDone},
    {ciInfo, "info", taNone, false, true, false, false, false, false, false, Info, nullptr},
    {ciStatus, "status", taNone, false, true, false, false, false, false, false, Status, nullptr},
    {ciBlankCheck, "blank-check", taNone, false, true, false, false, false, true, false, BlankCheck, BlankDone},
    {ciSetStatus0, "set-status0", taNone, false, false, false, false, false, false, false, SetStatus0, SetStatus0Done},
    {ciSixClock, "six-clock", taNone, false, false, false, false, false, false, false, SixClock, SixClockDone},
    {ciSuspend, "suspend", taNone, false, false, false, false, false, false, true, Suspend, SuspendDone},
    {ciProgram, "program", taImage, true, false, true, true, true, false, false, Program, ProgramDone},
    {ciCycle, "cycle", taImage, true, false, true, true, true, false, true, Cycle, CycleDone},
    {ciVerify, "verify", taImage, true, true, false, true, false, false, false, Verify, VerifyDone},
    {ciRead, "read", taOutput, false, true, false, false, false, true, false, Read, ReadDone},
    {ciSecurity, "security", taSecurityBit, false, false, false, false, false, false, false, Security, SecurityDone},
    {ciErase, "erase", taEraseWhat, true, false, false, false, false, false, false, Erase, EraseDone},
    {ciLog, "log", taNone, false, false, false, false, false, false, false, nullptr, nullptr},
};

}  // namespace

const TCommandInfo* FindCommandInfo(std::string_view name) {
  for (const TCommandInfo& c : kCommands)
    if (c.id != ciNone && c.name == name) return &c;
  return nullptr;
}

const TCommandInfo& CommandInfo(TCommandId id) {
  for (const TCommandInfo& c : kCommands)
    if (c.id == id) return c;
  return kCommands[0];
}

}  // namespace kavel::cli
