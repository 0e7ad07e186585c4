// TIspSession: the chip session, the core both front ends drive. Its contract:
//  - Every conversation with the boot loader is a named operation that takes its inputs as
//    arguments and returns one [[nodiscard]] TIspStatus: ok (the chip confirmed it),
//    unconfirmed (sent, its replies not awaited), or the first thing that went wrong, as a
//    kind that code decides on and words that people read. Typed results (the speed found,
//    the bytes read, the values, the first difference) go into result structures.
//  - Nothing is shown and nothing is asked but through the TSessionObserver: no boxes, no file
//    dialog, no caption. The observer sees the activity and its progress, answers whether to
//    stop (asked between records and between steps, never in the middle of one: the
//    operation then ends with skStopped, its detail saying what was done) and, in a cycle,
//    whether the chip is in its boot loader.
//  - No exception leaves an operation: a port that fails, a stop request, an image that cannot
//    be used become its status, which carries the exception as its cause for a front end whose
//    manners report it its own way (the window: in its general error report).
//  - Waiting for a reply is the TReplyWait given at construction; every pause and deadline
//    goes through the TClock.
//  - Between operations the session keeps the line (its speed) and the text received during
//    the last reply wait (ReplyText), nothing else.
// Its operations, in files of one idea each: SessionSync.cpp (the speed), SessionCommands.cpp
// (programming, erases, blank check, settings), SessionReads.cpp (values, the flash, verify),
// SessionCycle.cpp (the controller and the cycle), Session.cpp (the edge).
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/HexBinList.h"
#include "isp/Activity.h"
#include "isp/IspEngine.h"
#include "isp/IspStatus.h"
#include "isp/ReplyWait.h"
#include "link/Clock.h"
#include "link/KTNFrames.h"
#include "link/NAVOPort.h"

namespace kavel {

// The steps of a cycle, in order.
enum class TCycleStep : std::uint8_t {
  csSuspend, csReady, csSync, csDevice, csErase, csProgram, csSixClock, csVerify, csLock, csDone
};

class TSessionObserver {
 public:
  virtual ~TSessionObserver() = default;
  // What the session does from now on (ActivityKey and ActivityWords name it). Heard as each
  // operation begins; a cycle's locking is one activity, its status byte and security bits
  // within it.
  virtual void Activity(TActivity /*activity*/) {}
  // Records done of total while an image is programmed, bytes while the flash is read.
  virtual void Progress(std::size_t /*done*/, std::size_t /*total*/) {}
  // Asked at every stop point: true ends the operation there.
  virtual bool StopRequested() { return false; }
  // A cycle, once the controller is suspended: true when the chip is in its boot loader (the
  // jumper set and the chip reset); false ends the cycle before anything reaches the chip.
  virtual bool ChipReady() { return true; }
  // A cycle's step from the speed search on begins, and ends with the status it returns
  // (a port failure and a stop within its operation included; a stop at one of the cycle's
  // own stop points ends the cycle without it).
  virtual void StepBegins(TCycleStep /*step*/) {}
  virtual void StepEnded(TCycleStep /*step*/, const TIspStatus& /*status*/) {}
};

// How the replies of the setting commands are taken.
struct TPacing {
  std::int32_t delay = 60;   // D in ms: the time-outs (and pauses) grow with it; may be <= 0
  bool awaitReplies = true;  // false: each command counts as done after its pause, unconfirmed
  // How many times a data record answered "R" or not at all is sent again. Safe: the same
  // bytes programmed twice leave the cells as programmed once, and a read-back proves it.
  // Commands that erase or lock are never sent twice.
  int retries = 0;
};

// How the speed is searched.
struct TSyncPlan {
  TBaudRate first = br9600;        // tried twice
  std::vector<TBaudRate> fast;     // tried twice each, before first
  bool scan = true;                // after first: 38400, 19200, 14400, 9600 and 4800, twice each
  bool blind = false;              // two "U" at first, delay apart, the chip trusted to catch one
  std::int32_t delay = 60;
};

struct TSyncResult {
  TBaudRate speed = br9600;          // where the search ended (the speed found when it did)
  bool confirmed = false;            // the chip confirmed it
  std::vector<TBaudRate> tried;      // in order, each once
  bool echoes = false;               // the line gave back exactly what was written, nothing else
  bool heard = false;                // something came back to a "U", whatever it was
};

// What a verification found.
struct TVerifyReport {
  std::size_t checked = 0;     // bytes read back and compared
  std::size_t differing = 0;   // of them, those that differ
  unsigned firstAddress = 0;   // the first that differs, what was written and what was read
  std::uint8_t written = 0, read = 0;
  bool notErased = false;      // a differing byte reads as written AND something else: the
                               // flash held data when it was programmed
  bool complete = true;        // every byte of the image was compared (false: it stopped at
                               // the first block that differs)
};

// A read of one value (a security bits' or status byte's answer, an id).
struct TByteRead {
  std::string reply;                  // all that came, the "." included
  std::string came;                   // what came after the echo, the "." left out
  std::string digits;                 // where the value's digits stand (TReadAnswer)
  std::optional<std::uint8_t> value;  // when the answer is exactly two hex digits
};

// What the blank check found.
struct TBlankResult {
  bool blank = false;
  std::string answer;  // what came before the reply character: the first address not blank
  std::string echo;    // the record's echo as it came, without control characters
};

// What became of a suspension of the controller.
struct TSuspension {
  bool suspended = false;         // by this call
  bool already = false;           // it was suspended before this call
  bool stoppedAnswering = false;  // it was found, then stopped answering
};

// What a cycle did, step by step.
struct TCycleResult {
  // The step it came to last: the one that failed or was stopped; csDone when all went
  // through (confirmed or not).
  TCycleStep step = TCycleStep::csSuspend;
  TSuspension suspension;         // what this cycle did with the controller
  TIspStatus suspensionStatus;    // and what became of it
  TSyncResult sync;
  bool erased = false, programmed = false, sixClock = false, verified = false;
  int locked = 0;                 // 0 nothing; 1 the status byte; 2, 3, 4 and security bits 1, 2, 3
  std::size_t resent = 0;         // data records sent again
  TVerifyReport verify;
  std::optional<std::uint8_t> deviceId;  // once read
};

struct TCycleSteps {
  TPacing pacing;
  TSyncPlan sync;
  bool suspend = true;                       // look for the controller first
  bool sixClock = false;
  bool verify = true;                        // read the image back before locking
  std::optional<std::uint8_t> expectDevice;  // refuse another chip before anything is erased
  bool readDevice = false;                   // read the device id, expected or not
  int wakeUps = 0;                           // "U" written before the speed search, each
                                             // followed by the pacing's delay
  bool sixClockRefusalEnds = true;           // false: a refused or unanswered 6-clock command
                                             // is the cycle's status, but the cycle goes on
  int resetPauseMs = 2000;                   // after the chip was made ready (a reset by hand);
                                             // 0 when the entry's own pauses gave it its time
  // Once the chip answers and before anything is erased: what the caller asks of the chip
  // first (a board's number read), and the image to program instead of the one given
  // (image: set to it). Not ok ends the cycle with nothing erased.
  std::function<TIspStatus(const THexBinList*& image)> beforeErase;
};

class TIspSession {
 public:
  static constexpr int kSyncReplyMs = 150;   // the wait for "U" and for the set-clock "."
  static constexpr int kSyncQuietMs = 20;    // nothing may follow the "U" for this long
  static constexpr int kSyncPauseMs = 100;   // between attempts, and after the set-clock reply
  static constexpr int kSetClockValue = 0x10;
  static constexpr int kSixClockPauseMs = 50;  // before an image record that sets 6-clock mode
  static constexpr int kSuspendPauseMs = 750;  // after the controller exchange

  // References only; all of them outlive the session.
  TIspSession(TNAVOPort& port, TClock& clock, TReplyWait& wait, TSessionObserver& observer);

  // Brings the boot loader to the line speed by the plan. Ok when the chip confirmed a speed
  // (its "U" answered alone within 150 ms, 20 ms quiet, and the set-clock record answered
  // "."); unconfirmed after a blind start; no answer naming the speeds tried, and whether
  // the line echoes, when none answered. The port is at the speed found, else at the last
  // one tried.
  [[nodiscard]] TIspStatus Synchronize(const TSyncPlan& plan, TSyncResult& result);

  // The commands, on a synchronized chip. A refused or unanswered one ends the operation with
  // its status (index: the record or block); without awaited replies they are paced instead.
  // Programs the image's records in order, the 6-clock command 50 ms after the one before it;
  // resent: how many times a data record was sent again.
  [[nodiscard]] TIspStatus Program(const THexBinList& image, const TPacing& pacing, std::size_t& resent);
  [[nodiscard]] TIspStatus EraseChip(const TPacing& pacing);
  // The blocks in order; erased: those that were.
  [[nodiscard]] TIspStatus EraseBlocks(std::bitset<16> blocks, const TPacing& pacing, std::bitset<16>& erased);
  // Whether start..end is blank, always awaited. First reads away what is pending (on a quiet
  // line that takes the port's read time-out, about 2 s).
  [[nodiscard]] TIspStatus BlankCheck(std::uint16_t start, std::uint16_t end, std::int32_t delay,
                                      TBlankResult& result);
  [[nodiscard]] TIspStatus SetStatusByte0(const TPacing& pacing);
  [[nodiscard]] TIspStatus SetSecurityBit(int bit, const TPacing& pacing);  // bit 1, 2 or 3
  [[nodiscard]] TIspStatus SetSixClock(const TPacing& pacing);

  // One value read with the read record of body (always awaited): ok only with an answer of
  // exactly two hex digits after the echo; bad reply (quoting what came) otherwise.
  [[nodiscard]] TIspStatus ReadByte(std::string_view body, std::int32_t delay, TByteRead& read);
  // Reads the device id (into id, when given): ok when it is expected or nothing is;
  // refused naming both ids otherwise.
  [[nodiscard]] TIspStatus CheckDevice(std::optional<std::uint8_t> expected, std::int32_t delay,
                                       std::optional<std::uint8_t>* id = nullptr);
  // Reads start..end inclusive with display records of at most 1 KB; progress in bytes.
  [[nodiscard]] TIspStatus ReadFlash(std::uint16_t start, std::uint16_t end, std::int32_t delay,
                                     std::vector<std::uint8_t>& bytes);
  // Reads back exactly the addresses the image's data hold (contiguous runs, at most 1 KB a
  // record) and compares them: ok when equal, mismatch naming the first difference and the
  // count. stopAtFirst ends the reading with the first record that differs.
  [[nodiscard]] TIspStatus Verify(const THexBinList& image, std::int32_t delay, bool stopAtFirst,
                                  TVerifyReport& report);

  // Puts the communication controller on the line into suspended mode, at 9600 bit/s: ok when
  // it is suspended (by this call, or already), no answer when nothing answered or it stopped
  // answering, refused when its state is 2, 3 or 4, port failed when the port could not be
  // opened or failed meanwhile. The port gets its speed back and 750 ms pass on every path.
  [[nodiscard]] TIspStatus SuspendController(TSuspension& result);

  // The full cycle: the controller (unless not asked for), the chip made ready (the
  // observer's ChipReady), 2 s for its reset, the wake-up "U" when asked, the speed, the
  // device id when expected, the whole-chip erase, the image, 6-clock mode when asked, the
  // read-back when asked, then the locking: status byte 0, security bits 1, 2 and 3. It ends
  // at the first step that fails (a refused 6-clock command only when the steps say so);
  // only a chip that holds the image (when read back) is locked, and a stop is honoured
  // before each locking step. The observer hears each step from the speed search on begin
  // and end.
  [[nodiscard]] TIspStatus Cycle(const THexBinList& image, const TCycleSteps& steps, TCycleResult& result);

  // Everything received during the last reply wait.
  const std::string& ReplyText() const { return m_engine.ReplyText(); }
  TIspEngine& Engine() { return m_engine; }

  // The set-clock record, :0100000210ED.
  static std::string SetClockRecord();
  // D x factor + base, as a time-out in ms, kept within int's range whatever D is.
  static int ScaledMs(std::int32_t delay, int factor, int base);

 private:
  // Runs body at the session's edge: its status, or that of the exception that ended it (the
  // exception its cause).
  TIspStatus Edge(const std::function<TIspStatus()>& body);
  // Throws EOperationStopped saying done when the observer asks to stop.
  void StopPoint(std::string_view done);
  // What one attempt of the speed search heard after its "U".
  struct TSyncAnswer {
    bool ok = false;      // the lone "U", then the set-clock record answered "."
    bool uBack = false;   // the lone "U" came back
    bool echoed = false;  // then the record came back alone, unanswered
    bool heard = false;   // anything came back to the "U"
    TIspStatus line = TIspStatus::Done();  // skPortFailed when the port failed meanwhile
  };
  TSyncAnswer SyncReply();
  // A command record, then its reply (D-scaled time-out) or its pause.
  TIspStatus Command(std::string_view record, const TPacing& pacing, int waitMs, int pauseMs,
                     std::string_view what);
  TIspStatus ReadRanges(const std::vector<std::pair<std::uint16_t, std::uint16_t>>& ranges, std::int32_t delay,
                        std::vector<std::uint8_t>& bytes, bool stopAtFirst,
                        const std::function<bool(std::size_t, const std::vector<std::uint8_t>&)>& differs);
  // The exchange with the controller, at 9600 bit/s.
  TIspStatus Controller(TSuspension& result);
  // One step of a cycle: body run, its beginning and end told to the observer.
  TIspStatus CycleStep(TCycleStep step, TCycleResult& result, const std::function<TIspStatus()>& body);
  // A cycle's first step: the wake-up characters, then the speed search.
  TIspStatus WakeAndSynchronize(const TCycleSteps& steps, TCycleResult& result);
  // A cycle's steps after programming, each as the steps ask: 6-clock mode, the
  // verification, the locking. The first failure that ends the cycle, else the worst of
  // theirs and cycle's (the outcome so far).
  TIspStatus AfterProgramming(const THexBinList& programmed, const TCycleSteps& steps, TCycleResult& result,
                              TIspStatus cycle);
  // A cycle's locking: status byte 0, then security bits 1, 2 and 3, a stop honoured before
  // each; locked: how far it went (as TCycleResult::locked). Stops throw.
  TIspStatus Lock(const TPacing& pacing, int& locked);
  // The setting commands themselves, unannounced: the public operations announce their own
  // activity, the locking its one.
  TIspStatus StatusByte0(const TPacing& pacing);
  TIspStatus SecurityBit(int bit, const TPacing& pacing);

  TNAVOPort& m_port;
  TClock& m_clock;
  TSessionObserver& m_observer;
  TIspEngine m_engine;
  std::array<std::uint8_t, kKtnModeSize> m_controllerState{};
  TControllerConfig m_controllerConfig{};
};

}  // namespace kavel
