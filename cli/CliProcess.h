// What the command line needs of its process: standard descriptors that are always open,
// signals that stop an operation instead of killing it, outputs whose failures are noticed,
// and the children of a run on several ports.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "isp/IspStatus.h"

namespace kavel::cli {

// Makes sure descriptors 0, 1 and 2 are open before anything else is: a closed one is
// opened on /dev/null, read-only, so that nothing opened later (the port) takes its number
// and writing to it fails as writing to a closed descriptor does.
void ReserveStandardDescriptors();

// SIGINT, SIGTERM and SIGHUP ask the running operation to stop; a second one, given later,
// ends a run at once (see SetStopWords); SIGPIPE is ignored, so that a closed pipe only fails
// the write; SIGCHLD is put back to its default, so that children can be waited for.
void InstallSignalHandlers();
// From now on this process runs a port: the first stop signal is acknowledged at once on
// standard error (label before it with several ports), and a second one writes what
// SetDoneSoFar last said and ends the process with 128 + the signal.
void SetStopWords(const std::string& label);
// What a second stop signal says: human on standard error; with json, the JSON object
// jsonHead + the exit status + jsonTail on standard output. Kept ready for the handler.
void SetDoneSoFar(const std::string& human, const std::string& jsonHead = {}, const std::string& jsonTail = {});
// The first stop signal received; 0 while none was.
int StopSignal();
// The signal's name for messages: "Ctrl-C", "SIGTERM", "SIGHUP" ...
std::string SignalName(int signal);
// Children to pass the stop signals on to (the parent of a run on several ports).
void ForwardSignalsTo(const std::vector<pid_t>& children);
// In a child: dies with SIGTERM when the parent dies (and at once when it has already).
void DieWithParent(pid_t parent);

// Writes to standard output or standard error, and remembers the first failure of each.
bool WriteOut(std::string_view text);
bool WriteErr(std::string_view text);
// The errno of the first failed write to standard output; 0 when none failed.
int OutputError();

// The exit status of an operation's outcome; stopSignal: the signal that stopped it, if any.
int ExitStatusOf(const TIspStatus& status, int stopSignal);

}  // namespace kavel::cli
