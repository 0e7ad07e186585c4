// What the command line needs of its process: standard descriptors that are always open,
// signals that stop an operation instead of killing it, outputs whose failures are noticed,
// and the children of a run on several ports.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cli/CliStatus.h"

namespace kavel::cli {

// Makes sure descriptors 0, 1 and 2 are open before anything else is: a closed one is
// opened on /dev/null, read-only, so that nothing opened later (the port) takes its number
// and writing to it fails as writing to a closed descriptor does.
void ReserveStandardDescriptors();

// SIGINT, SIGTERM and SIGHUP ask the running operation to stop; a second one, given later,
// ends a run at once (see SetStopWords); SIGPIPE and SIGXFSZ are ignored, so that a closed
// pipe or a file size limit only fails the write; SIGCHLD is put back to its default, so
// that children can be waited for.
void InstallSignalHandlers();
// From now on this process runs a port (a run whose result is still to be said, see
// ClaimResult): the first stop signal is acknowledged at once on
// standard error (label before it with several ports), and a second one writes what
// SetDoneSoFar last said and ends the process with 128 + the signal.
void SetStopWords(const std::string& label);
// What a second stop signal says: human on standard error; with object, the result's JSON
// line that object gives for the signal (SIGINT, SIGTERM or SIGHUP) on standard output. Each
// made now and kept ready for the handler, which only writes it.
void SetDoneSoFar(const std::string& human, const std::function<std::string(int signal)>& object = nullptr);
// The first stop signal received; 0 while none was.
int StopSignal();
// True when the first stop signal came from the end of the main process (DieWithParent), not
// from a person or the main process passing one on.
bool ParentEnded();
// True once a second stop signal has ended the run at once: its words are said, and nothing
// more may reach the line or the outputs.
bool StopNow();
// Waits for the stopper to end the process, after a second stop signal; never returns.
[[noreturn]] void AwaitStopper();
// Claims the run's result for standard output: true the first time, from the run or from a
// second stop signal's handler, which then says it in its own words; false ever after.
bool ClaimResult();

// While it lives, a second stop signal (see SetStopWords) does not end the process in the
// handler: the handler says what it says, and a thread of the stopper's own then runs
// atStop(exit status) and ends the process with that status, within kHardStopMs whatever
// atStop does (a run cut short records that it was stopped). Signals never run on that
// thread. One at a time.
class TStopper {
 public:
  static constexpr int kHardStopMs = 5000;
  explicit TStopper(std::function<void(int exit)> atStop);
  ~TStopper();
  TStopper(const TStopper&) = delete;
  TStopper& operator=(const TStopper&) = delete;

 private:
  void Run();
  std::function<void(int)> m_atStop;
  int m_pipe[2] = {-1, -1};
  std::thread m_thread;
};
// The signal's name for messages: "Ctrl-C", "SIGTERM", "SIGHUP" ...
std::string SignalName(int signal);
// Children to pass the stop signals on to (the parent of a run on several ports).
void ForwardSignalsTo(const std::vector<pid_t>& children);
// In a child: stops as by SIGTERM when the parent dies (and at once when it has already); the
// stop is then the parent's end (ParentEnded).
void DieWithParent(pid_t parent);

// Writes to standard output or standard error, and remembers the first failure of each.
bool WriteOut(std::string_view text);
bool WriteErr(std::string_view text);
// A line on standard error from the program itself: "kavel-isp-cli: " + text, its control
// characters shown escaped.
void Complain(const std::string& text);
// The errno of the first failed write to standard output; 0 when none failed.
int OutputError();

// The exit status of an operation's outcome; stopSignal: the signal that stopped it, if any.
int ExitStatusOf(const TRunStatus& status, int stopSignal);

}  // namespace kavel::cli
