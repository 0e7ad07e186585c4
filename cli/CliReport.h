// What the command line says when a command is over: the one result line on standard output
// (or one JSON object a port with --json), and, when something went wrong, what and why in
// its own words, from the step that failed: a refused erase on a locked chip names the
// security bit, a failed synchronization the speeds tried and what to check.
#pragma once

#include <bitset>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/CliArgs.h"
#include "image/HexBinList.h"
#include "isp/Records.h"
#include "isp/Session.h"

namespace kavel::cli {

// The version of the JSON objects' fields; it grows when a field changes meaning or goes.
inline constexpr int kJsonSchema = 1;

// The step an outcome came from.
enum class TStep : std::uint8_t {
  stNone, stOpen, stSync, stDevice, stErase, stBlocks, stProgram, stVerify, stRead, stBlank, stSetting, stValues,
  stSuspend, stCycle
};

// What one run on one port did.
struct TRunFacts {
  const TCliArgs* args = nullptr;
  std::string port;                 // "" when the run had none (a usage error)
  bool rawTcp = false;              // the port is raw TCP: its speed is the server's, never set from here
  TRunStatus status;                // the outcome: rkOutputFailed when the work was done but an output was not
  TRunStatus work;                  // the command's own outcome, whatever became of its outputs
  TStep step = TStep::stNone;       // the step the outcome came from
  int stopSignal = 0;               // the signal that stopped it
  bool parentEnded = false;         // the stop was the end of the main process (a port's child)
  bool declined = false;            // no answer at the jumper prompt
  bool fileWritten = true;          // read: the flash went into its file
  int exit = 0;
  double seconds = 0;               // from opening the port to the end
  std::optional<std::string> speed;  // bit/s, once a speed was confirmed
  std::vector<TBaudRate> speedsTried;
  const THexBinList* image = nullptr;  // the checked image, when the command has one
  bool verified = false;               // the image was read back equal
  std::size_t resent = 0;              // data records sent again
  TVerifyReport verify;
  std::vector<std::pair<std::string, std::string>> values;  // info, status: the values read, in order
  std::bitset<16> blocksErased;     // program, erase: the blocks erased
  TCycleResult cycle;
  bool controllerSuspended = false;  // the controller on the line is suspended (by this run or before)
  bool controllerWasSuspended = false;  // suspend: it was so before this run
  bool lineEchoes = false;           // the speed search found a line that gives back what it is sent
  std::string blankAt;               // blank-check: the first address that is not blank
  std::optional<std::uint8_t> deviceId;  // the chip's device id, once read
  bool chipAnswered = false;             // a chip answered, its speed or id not kept (a run cut short)
  // After a refusal (X) that protection may explain: the security bits read then, or why
  // they could not be read.
  std::optional<std::uint8_t> securityBits;
  std::string securityUnread;
  std::optional<std::int64_t> serial;    // the board's serial number, written with the image
  bool serialKept = false;               // --serial-keep: the board held it already
  std::string logged;                    // "spooled": the row waits in the spool for its server; "lost":
                                         // it could not be recorded anywhere; "" when the log has it
  bool endUnknown = false;               // the run's process ended by a signal of its own: what it did
                                         // with its board is not known
};

// A refusal (X) that a security bit may explain: to a data record, a block erase, a read of
// the flash or a blank check.
bool ProtectionMayExplain(const TRunFacts& facts, const TRunStatus& status);

// "17 records (152 bytes)": the image's size in words; "" for none.
std::string SizeText(const THexBinList* image);
// ", 2 records sent again": the records that line noise made go twice; "" for none.
std::string ResentText(const TRunFacts& facts);
// done, or "sent, not confirmed: " + done when the chip's replies were not awaited.
std::string SentOr(const TRunFacts& facts, std::string done);

// The line that says what the command did; "" when it did not succeed (Explain says why) or
// when its results are its values (info, status).
std::string ResultLine(const TRunFacts& facts);
// What went wrong and what to do about it, a line each; nothing when all went well.
std::vector<std::string> Explain(const TRunFacts& facts);
// How the run was stopped: "stopped by Ctrl-C" (or "stopped " + the signal's --stop-words),
// "stopped: the main kavel-isp-cli process ended", "stopped: no answer at the jumper prompt",
// or "stopped".
std::string StoppedHow(const TRunFacts& facts);
// What the run counts as (--json's "class", the log's result_class): a run the station refused
// or gave up before any chip answered is the station's (TRunRow::kStation), any other a
// board's (one whose process ended unknown included).
const char* ResultClass(const TRunFacts& facts);
// The outcome in one line: the result line, or the first reason it went wrong (--json's
// "message", the log's "reason").
std::string Reason(const TRunFacts& facts);
// The outcome's kind as --json's "result" and the station's log name it: "ok", "refused" ...
const char* KindName(TRunKind kind);
// Every result a row of the station's log may hold: each kind's name, then "unfinished".
std::vector<std::string> ResultNames();
// One line of JSON (see the manual page for its fields).
std::string JsonObject(const TRunFacts& facts);
// "0000-FFFF": the range of read and blank-check.
std::string RangeText(const TCliArgs& args);
// Why a port could not be opened (err: the system's error number), and what to do.
std::string PortErrorReason(int err, bool comName);
// text as JSON takes it: valid UTF-8 as it stands, and a byte of no character as the character
// of its value (U+0080 to U+00FF), so that nothing is lost and what is written is valid UTF-8.
std::string JsonText(std::string_view text);
// text as a JSON string, quoted and escaped.
std::string Json(std::string_view text);

}  // namespace kavel::cli
