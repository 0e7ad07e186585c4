#include "cli/CliStatus.h"

namespace kavel::cli {

namespace {

TRunKind KindOf(TStatusKind kind) {
  switch (kind) {
    case skOk: return rkOk;
    case skUnconfirmed: return rkUnconfirmed;
    case skCancelled: return rkCancelled;
    case skRefused: return rkRefused;
    case skNoAnswer: return rkNoAnswer;
    case skBadReply: return rkBadReply;
    case skMismatch: return rkMismatch;
    case skPortFailed: return rkPortFailed;
    case skStopped: return rkStopped;
    case skBadImage: return rkBadImage;
  }
  return rkInternal;  // a kind this program does not know is its own fault
}

TRunKind KindOf(station::TStationKind kind) {
  switch (kind) {
    case station::ssOk: return rkOk;
    case station::ssBadPlace:
    case station::ssBadJob: return rkUsage;
    case station::ssImageClash: return rkBadImage;
    case station::ssFailed: break;
  }
  return rkStationFailed;
}

}  // namespace

TRunStatus::TRunStatus(const TIspStatus& session)
    : kind(KindOf(session.kind)), reply(session.reply), detail(session.detail), index(session.index) {}

TRunStatus::TRunStatus(const station::TStationStatus& station) : kind(KindOf(station.kind)), detail(station.detail) {}

TRunStatus Worse(TRunStatus a, TRunStatus b) {
  if (!a.Ok()) return a;
  if (!b.Ok()) return b;
  return a.kind == rkUnconfirmed ? a : b;
}

}  // namespace kavel::cli
