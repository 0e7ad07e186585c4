// What the command line shows and asks while a session works: results on standard output,
// what a person reads on standard error, progress (a bar on a terminal, a line every 10%
// otherwise), and the jumper prompt. Quiet leaves out everything but what went wrong; prompts
// answered by --yes leave no trace. With several ports, each human line carries the port's
// name; JSON lines never do. With --json --events, the steps, their progress and the board's
// number go to standard output too, as JSON Lines before the result (see the manual page).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "cli/CliArgs.h"
#include "isp/Session.h"

namespace kavel::cli {

// The command line's own steps, beside the session's activities (TActivity).
enum class TCliStep : std::uint8_t {
  clBootEntry,  // the boot entry over the modem lines (--boot-entry)
  clNumber,     // the board's number waits for the ports before this one (several ports)
};
// "boot_entry", "number": the events' key, never changed once given out.
std::string_view CliStepKey(TCliStep step);
// "entering the boot loader", "waiting for the ports before this one to answer: the numbers
// follow the order of the ports".
std::string_view CliStepWords(TCliStep step);

class TCliTerminal final : public TSessionObserver {
 public:
  // label: the port's name, put before every human line when several ports run at once.
  TCliTerminal(const TCliArgs& args, std::string label, bool several);

  void Activity(TActivity activity) override;
  void Progress(std::size_t done, std::size_t total) override;
  // A step of the command line's own begins. The boot entry is what a run cut short was doing
  // from now on; the number's wait is said (a note), and leaves that as it was: nothing
  // reaches the chip while it lasts.
  void Step(TCliStep step);
  // A stop signal came, or the operator gave no answer at the prompt.
  bool StopRequested() override;
  // The boot entry over the modem lines when one is given (UseBootEntry), else the jumper
  // prompt on the terminal (Enter goes on; end of input or a signal is no), or --yes.
  bool ChipReady() override;
  // The chip is made ready by entry (which throws a port failure when the lines cannot be
  // set) instead of the prompt.
  void UseBootEntry(std::function<void()> entry) { m_bootEntry = std::move(entry); }

  // True once the operator gave no answer at the prompt (end of input).
  bool Declined() const { return m_declined; }
  // The controller on the line is suspended from now on: a run cut short says so.
  void ControllerSuspended() { m_suspended = true; }
  // What a run cut short at once says, from now on (see SetDoneSoFar).
  void DoneSoFar();
  // The board's serial number, drawn (or kept) for this run: a run cut short names it too.
  void Numbered(std::int64_t serial);
  // The class a run cut short at once is of, from any thread: "board" once a chip has answered
  // (a step past the speed search began, or a number was drawn), else "station".
  const char* StopClass() const;
  // The command's work is over (done: what it did, in words, when it was carried out; "" when
  // it failed) and its end is being recorded: a run cut short now says so, and that the
  // board's row may be left unfinished when it has one (recorded).
  void Concluding(const std::string& done, bool recorded);

  // A line on standard error: a note (not when quiet), or what went wrong (always).
  void Note(std::string_view line) const;
  void Say(std::string_view line) const;
  // A result line on standard output.
  void Print(std::string_view line) const;
  // A JSON object on a line of its own on standard output, without the port's name.
  void PrintJson(std::string_view object) const;

 private:
  void Err(std::string_view line) const;
  // A step begins: with --events, its event (key, and the words a person reads).
  void StepEvent(std::string_view key, std::string_view words);
  // With --events, one JSON line on standard output, in one write: the lines of several
  // ports' processes never mix.
  void Event(const std::string& line) const;
  // The words of the activity under way, for the progress lines.
  std::string_view ActivityText() const;

  const TCliArgs& m_args;
  std::string m_port;
  std::string m_label;  // "COM5: " with several ports, else ""
  bool m_declined = false;
  bool m_suspended = false;
  std::function<void()> m_bootEntry;
  std::optional<TActivity> m_activity;  // none before anything was sent to the chip
  bool m_entering = false;              // the boot entry is under way (it comes before the activity)
  std::atomic<bool> m_chipAnswered{false};  // StopClass: read by the stopper's thread
  std::string m_stepKey;                // the events' step: "" before the first
  int m_lastPercent = -1;               // the events' last progress in whole percent, this step
  std::optional<std::int64_t> m_serial;
  std::optional<std::string> m_concluded;  // the words of a run whose work is over
  std::size_t m_done = 0, m_total = 0;
  int m_lastTenth = -1;
  mutable bool m_barOpen = false;  // a progress bar ends the current terminal line
  std::chrono::steady_clock::time_point m_started;  // a run cut short counts its seconds from here
  // When the first record went out: the estimate counts from there.
  std::optional<std::chrono::steady_clock::time_point> m_first;
};

}  // namespace kavel::cli
