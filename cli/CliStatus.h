// What became of a run of the command line: the session's outcomes (TRunStatus), and what only
// a run meets besides: a command line that cannot be carried out, an output not written, the
// station's record lost, a fault of the program. Each kind has its exit status and its JSON
// "result" (CliProcess.h, CliReport.h).
#pragma once

#include <cstdint>
#include <string>

#include "isp/IspStatus.h"
#include "station/StationStatus.h"

namespace kavel::cli {

// Exit statuses: the worst thing that happened.
inline constexpr int kExitOk = 0;
inline constexpr int kExitChip = 1;    // the chip (or the controller) refused or did not answer;
                                       // or an output (results, the trace) could not be written
inline constexpr int kExitUsage = 2;
inline constexpr int kExitPort = 3;    // the port could not be opened, failed or vanished
inline constexpr int kExitFile = 4;    // the image cannot be used: missing, unreadable, too large, bad
inline constexpr int kExitStation = 5; // the station database cannot be opened or written
inline constexpr int kExitInternal = 70; // a fault of this program (sysexits' EX_SOFTWARE)
inline constexpr int kExitStopped = 130;  // Ctrl-C (128 + the signal: 129 SIGHUP, 143 SIGTERM)

enum class TRunKind : std::uint8_t {
  // The session's, one for one (TStatusKind).
  rkOk, rkUnconfirmed, rkCancelled, rkRefused, rkNoAnswer, rkBadReply, rkMismatch, rkPortFailed, rkStopped,
  rkBadImage,
  // The run's own.
  rkOutputFailed,   // the work was done, but an output asked for (a file, a trace) was not written
  rkUsage,          // the command line cannot be carried out as given; found before anything was sent
  rkStationFailed,  // the station's database could not be opened or written: the run's record would be lost
  rkInternal,       // a fault of this program (an exception nobody expected), not of the chip or the line
};
using enum TRunKind;

struct [[nodiscard]] TRunStatus {
  TRunKind kind = rkOk;
  TReplyClass reply = rcOk;  // the reply that decided it, for rkRefused and rkNoAnswer
  std::string detail;        // in words, for people
  long index = -1;           // the image record or the erase block it is about; -1: none

  TRunStatus() = default;
  TRunStatus(TRunKind k, std::string words) : kind(k), detail(std::move(words)) {}
  // What the session said, as the run's outcome.
  TRunStatus(const TIspStatus& session);  // NOLINT(google-explicit-constructor): the session's kinds are the run's
  // What the station said: a serial place that cannot be used is a usage error, an image the
  // number cannot go into a bad image, a database that failed the station's failure.
  TRunStatus(const station::TStationStatus& station);  // NOLINT(google-explicit-constructor)

  // Done, or sent without awaiting replies.
  bool Ok() const { return kind == rkOk || kind == rkUnconfirmed; }

  static TRunStatus Done() { return {}; }
  static TRunStatus Make(TRunKind kind, std::string detail) { return {kind, std::move(detail)}; }
};

// The worse of two outcomes: the first failure wins; a failure beats success, and a success
// that was not confirmed beats a confirmed one.
TRunStatus Worse(TRunStatus a, TRunStatus b);

}  // namespace kavel::cli
