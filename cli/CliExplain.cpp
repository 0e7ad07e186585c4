// Why a run went wrong, in the program's own words: the step that failed, what the chip
// did, and what to do about it (Explain), and how a stopped run says so (StoppedHow).
#include <string>
#include <vector>

#include "cli/CliCommandTable.h"
#include "cli/CliProcess.h"
#include "cli/CliReport.h"
#include "image/HexText.h"

namespace kavel::cli {

namespace {

// What the chip did with a command, in words.
std::string ReplyWords(TReplyClass reply) {
  switch (reply) {
    case rcCrcError: return "received it damaged (it answered R: checksum)";
    case rcNotAllowed: return "refused it (it answered X)";
    default: return "did not answer it";
  }
}

// Why the chip refused, as far as its security bits tell: read after the refusal, never
// guessed. bit: the one that forbids what was refused (1: programming and erasing blocks, 2:
// reading the flash).
std::string Protection(const TRunFacts& f, int bit) {
  const std::string forbids = bit == 1 ? "programming and erasing blocks" : "reading the flash";
  if (!f.securityBits) {
    return "its security bits could not be read" + (f.securityUnread.empty() ? std::string() : " (" + f.securityUnread + ")") +
           ": security bit " + std::to_string(bit) + " would forbid it";
  }
  if (SecurityBitSet(*f.securityBits, bit)) {
    return "security bit " + std::to_string(bit) + " is set, which forbids " + forbids +
           "; only a whole-chip erase clears it (erase all, or cycle)";
  }
  std::string set;
  for (int b = 1; b <= 3; ++b)
    if (SecurityBitSet(*f.securityBits, b)) set += (set.empty() ? "" : ", ") + std::to_string(b);
  return "no protection bit forbids it: security bit " + std::to_string(bit) + " is not set (security bits set: " +
         (set.empty() ? std::string("none") : set) + ")";
}

// What to check when no speed answered.
std::string SyncChecklist(const TRunFacts& f) {
  std::string text =
      "Check: the chip in its boot loader (the Download Mode jumper set and the chip reset after it, or "
      "--boot-entry); the cable (TX to RX, RX to TX, ground); a crystal that allows one of these speeds";
  if (f.rawTcp) {  // which cannot go without --baud
    text += "; raw TCP cannot set the line's speed: the server's port must run at the --baud given";
  } else if (f.args->baudGiven) {
    text += "; --baud pins one speed: leave it out to try them all";
  }
  return text;
}

// The step of a cycle as the step of a command.
TStep StepOfCycle(TCycleStep step) {
  switch (step) {
    case TCycleStep::csSuspend: return TStep::stSuspend;
    case TCycleStep::csSync: return TStep::stSync;
    case TCycleStep::csDevice: return TStep::stDevice;
    case TCycleStep::csErase: return TStep::stErase;
    case TCycleStep::csProgram: return TStep::stProgram;
    case TCycleStep::csSixClock: return TStep::stSetting;
    case TCycleStep::csVerify: return TStep::stVerify;
    default: return TStep::stCycle;
  }
}

// The record the chip refused, in the image's terms.
std::string RecordText(const TRunFacts& f) {
  std::string what = "record " + std::to_string(f.status.index) + " of the image";
  if (!f.image || f.status.index < 0 || static_cast<std::size_t>(f.status.index) >= f.image->Count()) return what;
  const TImageRecord& r = f.image->Record(static_cast<std::size_t>(f.status.index));
  if (r.line > 0) what += ", line " + std::to_string(r.line) + " of the file";
  if (r.IsData()) return "the record for " + HexWord(r.address) + "-" + HexWord(r.LastAddress()) + " (" + what + ")";
  return what;
}

// True for the outcomes that say themselves in one line whatever step they came from: a stop,
// a port failure, an output not written, an image refused, a usage error.
bool SaysItself(TRunKind kind) {
  return kind == rkStopped || kind == rkPortFailed || kind == rkOutputFailed || kind == rkBadImage ||
         kind == rkCancelled || kind == rkUsage || kind == rkStationFailed;
}

}  // namespace

std::string StoppedHow(const TRunFacts& f) {
  if (f.declined) return "stopped: no answer at the jumper prompt";
  if (f.parentEnded) return "stopped: the main kavel-isp-cli process ended";
  if (f.stopSignal == 0) return "stopped";
  if (f.args) {
    if (const auto words = f.args->stopWords.find(f.stopSignal); words != f.args->stopWords.end())
      return "stopped " + words->second;
  }
  return "stopped by " + SignalName(f.stopSignal);
}

namespace {

// That one line.
std::string KindLine(const TRunFacts& f) {
  const TRunStatus& s = f.status;
  if (s.kind == rkStopped) return StoppedHow(f) + ": " + s.detail;
  if (s.kind == rkPortFailed && f.step != TStep::stOpen) return "port failure: " + s.detail;
  return s.detail;
}

// What went wrong in one step, and what to do about it, a line each.
using TExplainer = void (*)(const TRunFacts& f, std::vector<std::string>& lines);

void ExplainSync(const TRunFacts& f, std::vector<std::string>& lines) {
  lines.push_back(f.status.detail);
  if (!f.lineEchoes) lines.push_back(SyncChecklist(f));
}

void ExplainBlocks(const TRunFacts& f, std::vector<std::string>& lines) {
  const TRunStatus& s = f.status;
  lines.push_back(s.reply == rcNotAllowed
                      ? "the chip refused to erase block " + std::to_string(s.index) + ": " + Protection(f, 1)
                      : "the erase of block " + std::to_string(s.index) + ": the chip " + ReplyWords(s.reply));
}

void ExplainErase(const TRunFacts& f, std::vector<std::string>& lines) {
  lines.push_back("the whole-chip erase: the chip " + ReplyWords(f.status.reply));
}

void ExplainProgram(const TRunFacts& f, std::vector<std::string>& lines) {
  switch (f.status.reply) {
    case rcNotAllowed: lines.push_back("the chip refused " + RecordText(f) + ": " + Protection(f, 1)); break;
    case rcCrcError:
      lines.push_back("the chip received " + RecordText(f) + " damaged (checksum): check the cable and the line speed");
      break;
    default: lines.push_back("the chip did not answer " + RecordText(f) + ": check the jumper, the reset and the cable");
  }
}

// Reading the flash back (verify) or out (read).
void ExplainRead(const TRunFacts& f, std::vector<std::string>& lines) {
  const TRunStatus& s = f.status;
  if (s.kind == rkMismatch) {
    lines.push_back(s.detail);
    if (f.verify.notErased) {
      lines.push_back("Bits that should be 1 read 0: the flash held data where the image goes. program erases the "
                      "blocks it writes unless --no-erase; cycle erases the whole chip.");
    }
  } else if (s.kind == rkRefused) {
    lines.push_back("the chip refused to show its flash: " + Protection(f, 2));
  } else if (s.kind == rkNoAnswer) {
    lines.push_back("the chip did not answer the read of its flash: check the jumper, the reset and the cable");
  } else {
    lines.push_back("the chip's answer was not understood: " + s.detail);
  }
  if (f.args->id == ciCycle) lines.push_back("The chip was left unlocked (no status byte, no security bits): program it again.");
}

void ExplainBlank(const TRunFacts& f, std::vector<std::string>& lines) {
  if (!f.blankAt.empty()) {
    lines.push_back(RangeText(*f.args) + " is not blank: the first byte that is not FF is at " + f.blankAt);
  } else if (f.status.reply == rcNotAllowed) {
    lines.push_back("the chip refused the blank check: " + Protection(f, 2));
  } else {
    lines.push_back("the blank check: the chip " + ReplyWords(f.status.reply));
  }
}

void ExplainSetting(const TRunFacts& f, std::vector<std::string>& lines) {
  const TCliArgs& a = *f.args;
  const std::string what = a.id == ciSecurity      ? "security bit " + std::to_string(a.securityBit)
                           : a.id == ciSetStatus0 ? "the status byte to 0"
                                                  : "6-clock mode";
  lines.push_back("setting " + what + ": the chip " + ReplyWords(f.status.reply));
  if (a.id == ciCycle) lines.push_back("The chip was left unlocked (no status byte, no security bits).");
}

// A cycle's locking: the status byte, then the security bits in turn.
void ExplainLocking(const TRunFacts& f, std::vector<std::string>& lines) {
  const int locked = f.cycle.locked;
  lines.push_back("locking the chip: the chip " + ReplyWords(f.status.reply) + " (" +
                  (locked == 0   ? std::string("nothing was set")
                   : locked == 1 ? std::string("the status byte was set, no security bit")
                                 : "the status byte and security bits 1 to " + std::to_string(locked - 1) + " were set") +
                  ")");
}

constexpr std::pair<TStep, TExplainer> kExplainers[] = {
    {TStep::stSync, ExplainSync},       {TStep::stBlocks, ExplainBlocks}, {TStep::stErase, ExplainErase},
    {TStep::stProgram, ExplainProgram}, {TStep::stVerify, ExplainRead},   {TStep::stRead, ExplainRead},
    {TStep::stBlank, ExplainBlank},     {TStep::stSetting, ExplainSetting}, {TStep::stCycle, ExplainLocking},
};

}  // namespace

bool ProtectionMayExplain(const TRunFacts& f, const TRunStatus& status) {
  if (status.kind != rkRefused || status.reply != rcNotAllowed) return false;
  const TStep step = f.step == TStep::stCycle ? StepOfCycle(f.cycle.step) : f.step;
  return step == TStep::stBlocks || step == TStep::stProgram || step == TStep::stVerify || step == TStep::stRead ||
         step == TStep::stBlank;
}

std::vector<std::string> Explain(const TRunFacts& f) {
  std::vector<std::string> lines;
  if (f.status.Ok()) return lines;
  if (SaysItself(f.status.kind)) {
    lines.push_back(KindLine(f));
    return lines;
  }
  const TStep step = f.step == TStep::stCycle ? StepOfCycle(f.cycle.step) : f.step;
  for (const auto& [s, explain] : kExplainers) {
    if (s == step) {
      explain(f, lines);
      return lines;
    }
  }
  lines.push_back(f.status.detail);
  return lines;
}

}  // namespace kavel::cli
