#include "cli/CliCommands.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "cli/CliReport.h"
#include "cli/CliRun.h"

namespace kavel::cli {
namespace {

// The setting commands rely on a synchronized chip; a script's run starts from nothing.
bool Synchronized(TCommandRun& r) { return r.ops.SynchronizeOrSay(r.host.Options()); }

// First, when asked: is it the chip we mean? Else a plain synchronization.
bool Ready(TCommandRun& r) {
  return r.args.expectDevice ? r.ops.CheckDevice(*r.args.expectDevice) : Synchronized(r);
}

void Sync(TCommandRun& r) { Synchronized(r); }
void Info(TCommandRun& r) { r.ops.ReadIdentification(); }
void Status(TCommandRun& r) { r.ops.BReadStatusClick(); }

void Program(TCommandRun& r) {
  if (!Ready(r)) return;
  if (r.args.eraseFirst) {
    r.ops.BEraseBlocksClick();
    if (!r.ops.LastStatus().Ok()) return;
  }
  r.ops.BSendHexFileClick(false);
  if (r.ops.LastStatus().Ok() && !r.args.noVerify && r.run.image) r.ops.VerifyImage(*r.run.image);
}

void Verify(TCommandRun& r) {
  if (Ready(r) && r.run.image) r.ops.VerifyImage(*r.run.image);
}

void Read(TCommandRun& r) {
  std::vector<std::uint8_t> bytes;
  r.host.SetActivity("reading");
  if (!Synchronized(r) || !r.ops.ReadFlash(r.args.rangeStart, r.args.rangeEnd, bytes)) return;
  const std::string text = FlashFileText(bytes, r.args.rangeStart, *FormatByName(r.args.output));
  if (auto problem = WriteWholeFile(r.args.output, text)) r.fileProblem = *problem;
}

void Erase(TCommandRun& r) {
  if (r.args.eraseAll) {
    r.ops.BFullEraseClick(false);
  } else {
    r.ops.BEraseBlocksClick();
  }
}

void BlankCheck(TCommandRun& r) {
  r.host.Say("blank check of " + RangeText(r.args));
  r.ops.BBlankClick();
}

void SetStatus0(TCommandRun& r) {
  if (Synchronized(r)) r.ops.BSetStatusClick(false);
}
void Security(TCommandRun& r) {
  if (Synchronized(r)) r.ops.BSecurityClick(r.args.securityBit, false);
}
void SixClock(TCommandRun& r) {
  if (Synchronized(r)) r.ops.B6ClockClick(false);
}
void Suspend(TCommandRun& r) { r.ops.KTNSuspended = r.ops.SuspendKTN(); }
void Cycle(TCommandRun& r) { r.ops.BFullClick(); }

constexpr std::pair<std::string_view, TCommand> kCommands[] = {
    {"sync", Sync},     {"info", Info},         {"status", Status},          {"program", Program},
    {"verify", Verify}, {"read", Read},         {"erase", Erase},            {"blank-check", BlankCheck},
    {"set-status0", SetStatus0}, {"security", Security}, {"six-clock", SixClock}, {"suspend", Suspend},
    {"cycle", Cycle},
};

}  // namespace

TCommand FindCommand(std::string_view name) {
  for (const auto& [n, command] : kCommands)
    if (n == name) return command;
  return nullptr;
}

}  // namespace kavel::cli
