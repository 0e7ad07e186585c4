// The protocol core shared by every device operation: writing a command record and waiting
// for the boot loader's reply under a time-out while the window stays responsive.
//
// A window's reply wait polls the port in rounds. A round that finds input pauses 50 ms (the chip
// needs that long to finish an echo and its reply), letting the window process its events
// every kIdlePollMs meanwhile, then reads at most 65 bytes; a round that finds none hands the
// wait to the wait policy (TReplyWait::IdleWait), which sleeps until input arrives, a window event
// comes or the deadline passes, and gives the window its event pass, so an idle wait leaves
// the CPU idle. The time-out (Timer1) is a deadline held here; like a window timer's tick it
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

  // References only; all three outlive the engine. wait: how this front end waits.
  TIspEngine(TNAVOPort& port, TClock& clock, TReplyWait& wait);

  // Writes text to the line (port errors propagate): "U", a record whose echo is read apart.
  void Send(std::string_view text);
  // Writes a command record whose reply is awaited next: a front end that waits at the wire's
  // speed takes the reply only after the record's echo.
  void SendRecord(std::string_view record);

  // Waits for the first received character that is in awaited, up to timeoutMs. Returns it,
  // or kNoReply ('\0') when none came in time or the port failed (the failure is swallowed).
  // ReplyText() then holds everything received during the wait (its last kReplyTextLimit
  // bytes), up to and including the returned character; bytes after it in the same read are
  // dropped. Blocks at most one polling round past timeoutMs however busy the line is.
  char WaitForChar(int timeoutMs, std::string_view awaited);
  // WaitForChar with ".", "R", "X" and carriage return.
  char WaitForDot(int timeoutMs);

  // Collects an answer of text lines after a record: everything received until lines line
  // feeds have come after echo (the record as echoed), or the first line after it is a
  // one-letter refusal, or nothing came for idleMs, or totalMs have passed. ReplyText then
  // holds all of it, noise before the echo included; true when the answer is complete. Port
  // failures end it as in WaitForChar. The idle wait sleeps on the port meanwhile.
  bool ReceiveLines(std::string_view echo, std::size_t lines, int idleMs, int totalMs);

  // Everything received during the most recent wait (one text for the whole program).
  const std::string& ReplyText() const { return m_replyText; }
  // The port failure that ended the most recent wait (its message); empty when none did.
  const std::string& PortFailure() const { return m_portFailure; }
  // The status of a command whose reply was of class cls, detail its words: no answer
  // becomes a port failure when the port failed during the wait.
  TIspStatus ReplyStatus(TReplyClass cls, std::string detail) const;
  void ClearReplyText() { m_replyText.clear(); }

  // The reply time-out: arms it for intervalMs from now and clears the expired flag.
  void Timer1Init(int intervalMs);
  // The time-out's tick: stops it and sets the expired flag.
  void Timer1Timer();
  bool Timer1Expired() const { return m_timer1Expired; }

  // Outcome of one command given with GiveCommand.
  struct TCommandOutcome {
    bool awaited = false;         // a reply was read (else the fixed pause was taken)
    char reply = kNoReply;        // the reply character when awaited
    TReplyClass cls = rcOk;       // rcOk when not awaited
  };
  // Writes record (port errors propagate), then either waits for the reply with
  // WaitForDot(waitMs) and classifies it (awaitReply), or pauses pauseMs and counts the
  // command as carried out.
  TCommandOutcome GiveCommand(std::string_view record, int waitMs, int pauseMs, bool awaitReply);

  TNAVOPort& Port() { return m_port; }
  TClock& Clock() { return m_clock; }

 private:
  // The reply wait at the wire's speed (TReplyWait::AtWireSpeed): sleeps on the
  // port until input or the deadline, no settle pause, and ends at the first awaited
  // character after echo (the record just written; empty: anywhere). Timer1 is armed; its
  // time-out counts from the end of the echo, and until the echo is back the wait allows for
  // the line time of the record and its echo and for an adapter's latency.
  char WireWait(std::string_view awaited, const std::string& echo);
  // The time characters take on the line at the port's speed, in whole ms (10 bits each).
  int LineMs(std::size_t characters) const;
  // Delivers the tick when the deadline has passed (the timer's message being processed).
  void DeliverTimerTick();
  // The 50 ms pause after first seeing input, with the window's events processed meanwhile.
  void Settle();
  // Appends received bytes to ReplyText, keeping its tail.
  void AppendReply(const char* bytes, std::size_t n);

  TNAVOPort& m_port;
  TClock& m_clock;
  TReplyWait& m_wait;
  std::string m_replyText;
  std::string m_portFailure;
  std::string m_pendingEcho;  // the record written last, until a wait takes it
  bool m_timer1Expired = false;
  std::optional<std::int64_t> m_timer1Deadline;  // while the time-out is armed
};

}  // namespace kavel
