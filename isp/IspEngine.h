// The protocol core shared by every device operation: writing a command record and waiting
// for the boot loader's reply under a time-out while the front end stays responsive.
//
// A paced reply wait polls the port in rounds. A round that finds input pauses 50 ms (the chip
// needs that long to finish an echo and its reply), giving the front end its pass
// (TReplyWait::BetweenPolls) every kIdlePollMs meanwhile, then reads at most 65 bytes; a round
// that finds none hands the wait to the wait policy (TReplyWait::IdleWait), which sleeps until
// input arrives, the front end has something to do or the deadline passes, so an idle wait
// leaves the CPU idle. The time-out is the reply deadline held here; like a timer's tick it
// is noticed in a round without input, so a chip that is still answering keeps the wait
// alive.
//
// A line that never goes quiet (noise, a loop-back plug, a talkative stranger) must not
// hold the wait for ever: a round that begins after the time-out has passed reads all that
// is waiting (up to kLateReadMax bytes, so a long echo still finds its reply) and, when that
// brings no awaited character, ends the wait with no reply. Noise therefore holds a wait
// for at most one round past its time-out. ReplyText keeps the last kReplyTextLimit bytes.
//
// A time-out of 0 or less is taken as 0: the wait still reads whatever is already waiting,
// and ends at the first round in which nothing is.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "isp/ReplyWait.h"
#include "isp/IspStatus.h"
#include "isp/Records.h"
#include "link/Clock.h"
#include "link/NAVOPort.h"

namespace kavel {

// What a wait for a reply character brought.
struct TReply {
  char ch = kNoReply;  // the awaited character; kNoReply when none came in time or the port failed
  // How the line fared during the wait: Done, or skPortFailed with the port's words when a
  // port failure ended it (a front end's operator may hear "no answer" then; the status says why).
  TIspStatus line = TIspStatus::Done();

  TReplyClass Class() const { return ClassifyReply(ch); }
  // The status of a command answered so, detail its words: no answer becomes the port's
  // failure when the port failed during the wait.
  TIspStatus Status(std::string detail) const;
};

class TIspEngine {
 public:
  static constexpr int kSettleMs = 50;        // pause after first seeing input in a round
  static constexpr std::size_t kMaxRead = 65;  // bytes read per round
  static constexpr int kIdlePollMs = 10;      // longest sleep between event passes when settling
  static constexpr std::size_t kLateReadMax = 4096;     // bytes read by a round after the time-out
  static constexpr std::size_t kReplyTextLimit = 4096;  // ReplyText keeps this many last bytes
  static constexpr std::size_t kLinesTextLimit = 65536;  // the longest answer ReceiveLines takes
  // How long a USB serial adapter may hold received bytes before it hands them on (its
  // latency timer: 16 ms by default for FTDI), twice over.
  static constexpr int kAdapterLatencyMs = 32;
  // At the wire's pace, the least time the chip is given after a record's echo: it carries the
  // record out before it answers, so a time-out of 0 would race its reply.
  static constexpr int kMinChipMs = 20;

  // References only; all three outlive the engine. wait: how this front end waits.
  TIspEngine(TNAVOPort& port, TClock& clock, TReplyWait& wait);

  // Writes text to the line (port errors propagate): "U", a record whose echo is read apart.
  void Send(std::string_view text);
  // Writes a command record whose reply is awaited next: a front end that waits at the wire's
  // speed takes the reply only after the record's echo.
  void SendRecord(std::string_view record);

  // Waits for the first received character that is in awaited, up to timeoutMs: the reply,
  // with kNoReply when none came in time or the port failed (the wait then ends quietly, and
  // the reply's line status says so). ReplyText() then holds everything received during the
  // wait (its last kReplyTextLimit bytes), up to and including the character; bytes after it
  // in the same read are dropped. Blocks at most one polling round past timeoutMs however
  // busy the line is.
  TReply WaitForChar(int timeoutMs, std::string_view awaited);
  // WaitForChar with ".", "R", "X" and carriage return.
  TReply WaitForDot(int timeoutMs);

  // Collects an answer of text lines after a record: everything received until lines line
  // feeds have come after echo (the record as echoed), or the first line after it is a
  // one-letter refusal, or nothing came for idleMs, or totalMs have passed. ReplyText then
  // holds all of it, noise before the echo included. Done when the answer is complete;
  // skNoAnswer when it is not; skPortFailed when the port failed meanwhile. The idle wait
  // sleeps on the port.
  TIspStatus ReceiveLines(std::string_view echo, std::size_t lines, int idleMs, int totalMs);

  // Everything received during the most recent wait (one text for the whole program).
  const std::string& ReplyText() const { return m_replyText; }
  void ClearReplyText() { m_replyText.clear(); }

  // The reply deadline, one for the whole program like ReplyText: a wait arms it, and a wait
  // started meanwhile from the front end's pass re-arms the same one. Passed once it was
  // reached in a round without input, or a wait gave up on a noisy line; cleared when a wait
  // arms it. A wait that got its reply leaves it armed.
  bool ReplyDeadlinePassed() const { return m_replyDeadlinePassed; }

  // Outcome of one command given with GiveCommand.
  struct TCommandOutcome {
    bool awaited = false;    // a reply was read (else the fixed pause was taken)
    TReply reply;            // the reply when awaited
    TReplyClass cls = rcOk;  // rcOk when not awaited
  };
  // Writes record (port errors propagate), then either waits for the reply with
  // WaitForDot(waitMs) and classifies it (awaitReply), or pauses pauseMs and counts the
  // command as carried out.
  TCommandOutcome GiveCommand(std::string_view record, int waitMs, int pauseMs, bool awaitReply);

  TNAVOPort& Port() { return m_port; }
  TClock& Clock() { return m_clock; }

 private:
  // What one wait waits for: how it reads, when its answer is complete, and until when it
  // waits (IspEngine.cpp: the paced reply, the reply at the wire's pace, lines).
  class TAnswer;
  class TPacedReply;
  class TWireReply;
  class TLines;
  // The one wait loop, whatever the answer: a round with input reads it (after the answer's
  // settle pause) and lets the answer judge it; a round without hands the time to the front
  // end's idle wait, up to the answer's quiet deadline. Ends with the answer complete (Done);
  // with the quiet deadline passed, or input past the noise deadline (or too much of it)
  // that completes nothing (skNoAnswer); or with a port failure (skPortFailed, its words).
  TIspStatus Wait(TAnswer& answer);

  void ArmReplyDeadline(int intervalMs);
  void PassReplyDeadline();
  // The reply deadline as a time; the smallest time once passed.
  std::int64_t ReplyDeadline() const;
  // The time characters take on the line at the port's speed, in whole ms (10 bits each).
  int LineMs(std::size_t characters) const;
  // The 50 ms pause after first seeing input, the front end given its passes meanwhile.
  void Settle();
  // Appends received bytes to ReplyText, keeping its tail.
  void AppendReply(std::string_view bytes);

  TNAVOPort& m_port;
  TClock& m_clock;
  TReplyWait& m_wait;
  std::string m_replyText;
  std::string m_pendingEcho;  // the record written last, until a wait takes it
  bool m_replyDeadlinePassed = false;
  std::optional<std::int64_t> m_replyDeadline;  // while armed
};

}  // namespace kavel
