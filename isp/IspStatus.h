// The one result of the operations: what became of an operation, as a small value that code
// decides on. The session's operations return it, and each front end maps it to its own
// manners (an exit status and JSON, boxes). Below the session the
// port and the image loader throw (EComPort, EImageError) and a stop request is an exception
// (EOperationStopped); StatusOfCurrentException turns those into a status at the session's
// edge. See docs/BUILDING.md, "One way to fail".
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

#include "isp/Records.h"

namespace kavel {

enum class TStatusKind : std::uint8_t {
  skOk,           // done, and confirmed by the chip wherever it answers
  skUnconfirmed,  // sent, but the chip's replies were not awaited (nothing says it was done)
  skCancelled,    // the operator cancelled before anything was sent
  skRefused,      // the chip (or the controller) said no: "R", "X", a check that failed
  skNoAnswer,     // nothing came, or only a carriage return; no speed answered
  skBadReply,     // an answer came that is not understood
  skMismatch,     // read back, the flash does not hold what was written
  skPortFailed,   // the port could not be opened, failed or vanished
  skStopped,      // the host asked to stop; detail says what was done and what was not
  skBadImage,     // the image cannot be read or holds nothing to program
};
using enum TStatusKind;

struct [[nodiscard]] TIspStatus {
  TStatusKind kind = skOk;
  TReplyClass reply = rcOk;  // the reply that decided it, for skRefused and skNoAnswer
  std::string detail;        // in words, for people: the box's text or more
  long index = -1;           // the image record or the erase block it is about; -1: none
  // What ended the operation when an exception did (a port error, a stop request, an image
  // that cannot be used), for a front end that reports such failures its own way (the
  // window's general error report, which shows the exception's whole message).
  std::exception_ptr cause = nullptr;

  // Done, or sent without awaiting replies.
  bool Ok() const { return kind == skOk || kind == skUnconfirmed; }

  static TIspStatus Done(bool confirmed = true) { return {confirmed ? skOk : skUnconfirmed, rcOk, {}, -1, {}}; }
  // rcOk: done; rcCrcError and rcNotAllowed: refused; rcNoAnswer: no answer.
  static TIspStatus FromReply(TReplyClass cls, std::string detail);
  static TIspStatus Make(TStatusKind kind, std::string detail) { return {kind, rcOk, std::move(detail), -1, {}}; }
};

// An operation ended early because it was asked to stop; what says what was done.
class EOperationStopped : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The worse of two statuses: the first failure wins; a failure beats success, and a success
// that was not confirmed beats a confirmed one.
TIspStatus Worse(TIspStatus a, TIspStatus b);

// Inside a catch block: the status of the exception being handled when it is one that ends an
// operation (a port error, a stop request, an image that cannot be loaded); nothing otherwise.
std::optional<TIspStatus> StatusOfCurrentException();

}  // namespace kavel
