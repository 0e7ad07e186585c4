#include "cli/CliProcess.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <optional>

#include "cli/CliStatus.h"
#include "link/WireText.h"

namespace kavel::cli {
namespace {

volatile sig_atomic_t g_stopSignal = 0;
std::atomic<long> g_firstStopMs{0};  // lock-free, so safe in a handler
static_assert(std::atomic<long>::is_always_lock_free);
constexpr int kMaxChildren = 1024;
pid_t g_children[kMaxChildren];
volatile sig_atomic_t g_childCount = 0;
int g_outputError = 0;
// A second stop signal, with a stopper to finish the run: set in the handler.
volatile sig_atomic_t g_stopNow = 0;
volatile sig_atomic_t g_exitNow = 0;  // the exit status it asks for
std::atomic<long> g_stopNowMs{0};
std::atomic<int> g_stopperPipe{-1};  // where the handler wakes the stopper; -1: no stopper
std::atomic<bool> g_resultClaimed{false};
pid_t g_parent = 0;  // in a child of a run on several ports: its parent, the main process
volatile sig_atomic_t g_parentEnded = 0;  // the first stop came from the main process's end
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// A second signal this soon after the first is the same request arriving twice (from the
// terminal and from the parent passing it on), not an operator insisting.
constexpr long kSameRequestMs = 500;

long MonotonicMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);  // async-signal-safe
  return static_cast<long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// The stop signals a second signal's words are made for, in the order they are kept.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The words of a process that runs a port, ready for the handler: two copies of what a
// second signal says, the one in use named by an atomic index, so that the handler never
// reads one being written. The result's JSON line is kept whole for each stop signal (its
// exit status and words differ), so that it goes out in one write: the lines of several
// ports' processes on one standard output never mix.
struct TStopWords {
  static constexpr std::size_t kSize = 2048;
  static constexpr std::size_t kObjectSize = 16384;  // an object with a long file's and port's name
  char human[kSize];
  char objects[std::size(kStopSignals)][kObjectSize];
  std::size_t humanLength = 0;
  std::size_t objectLengths[std::size(kStopSignals)] = {};
};
TStopWords g_words[2];
std::atomic<int> g_wordsInUse{-1};  // -1: this process runs no port
static_assert(std::atomic<int>::is_always_lock_free);
char g_acknowledgement[512];
std::size_t g_acknowledgementLength = 0;

void WriteRaw(int fd, const char* text, std::size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, text, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    text += w;
    n -= static_cast<std::size_t>(w);
  }
}

// The index of a stop signal's object in TStopWords; none for another. Async-signal-safe.
std::optional<std::size_t> StopIndex(int signal) {
  for (std::size_t i = 0; i < std::size(kStopSignals); ++i)
    if (kStopSignals[i] == signal) return i;
  return std::nullopt;
}

void OnStop(int signal) {
  const int saved = errno;
  for (int i = 0; i < g_childCount; ++i) kill(g_children[i], signal);
  const int words = g_wordsInUse.load();
  if (g_stopSignal == 0) {
    // The main process gone, the child has been handed to another parent before the signal
    // its end sends.
    if (g_parent != 0 && getppid() != g_parent) g_parentEnded = 1;
    g_stopSignal = signal;
    g_firstStopMs = MonotonicMs();
    if (words >= 0) WriteRaw(STDERR_FILENO, g_acknowledgement, g_acknowledgementLength);
  } else if (g_stopNow) {
    // Asked a third time, while the stopper records the stop: at once.
    if (MonotonicMs() - g_stopNowMs > kSameRequestMs) _exit(g_exitNow);
  } else if (words >= 0 && MonotonicMs() - g_firstStopMs > kSameRequestMs) {
    // Asked again: end at once, saying what was done and what was not.
    const TStopWords& w = g_words[words];
    WriteRaw(STDERR_FILENO, w.human, w.humanLength);
    const auto index = StopIndex(signal);
    if (index && w.objectLengths[*index] > 0 && !g_resultClaimed.exchange(true))
      WriteRaw(STDOUT_FILENO, w.objects[*index], w.objectLengths[*index]);
    const int stopper = g_stopperPipe.load();
    if (stopper < 0) _exit(128 + signal);
    // The stopper's thread ends the process; the alarm, should it not.
    g_exitNow = 128 + signal;
    g_stopNowMs = MonotonicMs();
    g_stopNow = 1;
    alarm((TStopper::kHardStopMs + 999) / 1000);
    const char wake = 's';
    WriteRaw(stopper, &wake, 1);
  }
  errno = saved;
}

void OnAlarm(int) {
  if (g_stopNow) _exit(g_exitNow);
}

// from into to, of room bytes: its length, or 0 when it does not fit whole (nothing is better
// than a line cut short).
std::size_t CopyInto(char* to, std::size_t room, const std::string& from) {
  if (from.size() > room) return 0;
  std::memcpy(to, from.data(), from.size());
  return from.size();
}

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

void ReserveStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", O_RDONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

void InstallSignalHandlers() {
  struct sigaction stop {};
  stop.sa_handler = OnStop;
  sigemptyset(&stop.sa_mask);
  // No SA_RESTART: a prompt waiting for the operator's Enter is cut short.
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &stop, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, nullptr);
  // A file grown past the process's size limit fails its write instead of killing the run.
  sigaction(SIGXFSZ, &ignore, nullptr);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGCHLD, &dfl, nullptr);
}

int StopSignal() { return g_stopSignal; }

bool StopNow() { return g_stopNow != 0; }

bool ParentEnded() { return g_parentEnded != 0; }

void AwaitStopper() {
  for (;;) pause();  // the stopper's thread ends the process, or the alarm does
}

bool ClaimResult() { return !g_resultClaimed.exchange(true); }

TStopper::TStopper(std::function<void(int exit)> atStop) : m_atStop(std::move(atStop)) {
  if (pipe2(m_pipe, O_CLOEXEC) != 0) return;  // then a second signal ends the run in the handler
  // The thread is made with every signal blocked, and keeps them so: the handlers run on the
  // run's own thread, whose waits they cut short.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  m_thread = std::thread([this] { Run(); });
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  struct sigaction alarmed {};
  alarmed.sa_handler = OnAlarm;
  sigemptyset(&alarmed.sa_mask);
  sigaction(SIGALRM, &alarmed, nullptr);
  g_stopperPipe = m_pipe[1];
}

TStopper::~TStopper() {
  g_stopperPipe = -1;
  if (m_thread.joinable()) {
    const char quit = 'q';
    WriteRaw(m_pipe[1], &quit, 1);
    m_thread.join();
  }
  for (int fd : m_pipe)
    if (fd >= 0) close(fd);
}

void TStopper::Run() {
  char what = 0;
  ssize_t n;
  while ((n = read(m_pipe[0], &what, 1)) < 0 && errno == EINTR) {
  }
  if (n != 1 || what != 's') return;
  m_atStop(g_exitNow);
  _exit(g_exitNow);
}

void SetStopWords(const std::string& label) {
  g_resultClaimed = false;  // a new run, whose result is still to be said
  const std::string text = label + "stopping after this step (a second Ctrl-C stops at once)\n";
  g_acknowledgementLength = std::min(text.size(), sizeof g_acknowledgement);
  std::memcpy(g_acknowledgement, text.data(), g_acknowledgementLength);
  SetDoneSoFar(label + "stopped at once\n");
}

void SetDoneSoFar(const std::string& human, const std::function<std::string(int signal)>& object) {
  const int next = g_wordsInUse.load() == 0 ? 1 : 0;
  TStopWords& w = g_words[next];
  w.humanLength = CopyInto(w.human, sizeof w.human, human.substr(0, sizeof w.human));
  for (std::size_t i = 0; i < std::size(kStopSignals); ++i)
    w.objectLengths[i] = object ? CopyInto(w.objects[i], sizeof w.objects[i], object(kStopSignals[i])) : 0;
  g_wordsInUse.store(next);
}

std::string SignalName(int signal) {
  switch (signal) {
    case SIGINT: return "Ctrl-C";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGKILL: return "SIGKILL";
    case SIGSEGV: return "SIGSEGV";
    case SIGABRT: return "SIGABRT";
    default: break;
  }
  const char* text = strsignal(signal);
  return "signal " + std::to_string(signal) + (text ? std::string(" (") + text + ")" : std::string());
}

void ForwardSignalsTo(const std::vector<pid_t>& children) {
  // Filled with the signals blocked, so that the handler never sees half a list.
  sigset_t all, old;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &old);
  g_childCount = 0;
  const std::size_t n = std::min<std::size_t>(children.size(), kMaxChildren);
  for (std::size_t i = 0; i < n; ++i) g_children[i] = children[i];
  g_childCount = static_cast<sig_atomic_t>(n);
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

void DieWithParent(pid_t parent) {
  g_childCount = 0;  // the parent's list is not ours
  g_parent = parent;
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) OnStop(SIGTERM);  // it is gone already
}

bool WriteOut(std::string_view text) {
  if (g_stopNow) return true;  // the handler has said what there is to say
  if (WriteAll(STDOUT_FILENO, text)) return true;
  if (g_outputError == 0) g_outputError = errno != 0 ? errno : EIO;
  return false;
}

bool WriteErr(std::string_view text) { return g_stopNow || WriteAll(STDERR_FILENO, text); }

int OutputError() { return g_outputError; }

int ExitStatusOf(const TRunStatus& status, int stopSignal) {
  switch (status.kind) {
    case rkOk:
    case rkUnconfirmed: return stopSignal != 0 ? 128 + stopSignal : kExitOk;
    case rkStopped: return stopSignal != 0 ? 128 + stopSignal : kExitStopped;
    case rkPortFailed: return kExitPort;
    case rkBadImage: return kExitFile;
    case rkUsage: return kExitUsage;
    case rkStationFailed: return kExitStation;
    case rkInternal: return kExitInternal;
    case rkCancelled:
    case rkRefused:
    case rkNoAnswer:
    case rkBadReply:
    case rkMismatch:
    case rkOutputFailed: break;
  }
  return kExitChip;
}

void Complain(const std::string& text) { WriteErr("kavel-isp-cli: " + Printable(text) + "\n"); }

}  // namespace kavel::cli
