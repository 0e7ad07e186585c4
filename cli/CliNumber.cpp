#include "cli/CliNumber.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "cli/CliTerminal.h"
#include "isp/Records.h"
#include "isp/Session.h"

namespace kavel::cli {
namespace {

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

}  // namespace

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

}  // namespace kavel::cli
