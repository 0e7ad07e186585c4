#include "cli/CliHost.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace kavel::cli {
namespace {

volatile sig_atomic_t g_stop = 0;

void OnStop(int) { g_stop = 1; }

// The boxes' own line breaks, as lines of a terminal.
std::string Lines(std::string_view text, const std::string& indent) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
  std::string out;
  bool lineStart = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += '\n';
      lineStart = true;
      continue;
    }
    if (lineStart) out += indent;  // only before text, so empty lines stay empty
    lineStart = false;
    out += text[i];
  }
  return out;
}

}  // namespace

void InstallStopHandler() {
  struct sigaction sa {};
  sa.sa_handler = OnStop;
  sa.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the program at once
  sigaction(SIGINT, &sa, nullptr);
}

bool StopSignalled() { return g_stop != 0; }

TCliHost::TCliHost(const TCliArgs& args, std::string label, bool several)
    : m_args(args), m_label(std::move(label)), m_several(several),
      m_started(std::chrono::steady_clock::now()) {}

void TCliHost::Say(std::string_view line) const {
  // A progress bar that is still open gets its own line first.
  std::string text = m_barOpen ? "\n" : "";
  m_barOpen = false;
  if (m_several) text += m_label + ": ";
  text += line;
  text += '\n';
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

void TCliHost::Print(std::string_view line) const {
  std::string text = m_several ? m_label + ": " : std::string();
  text += line;
  text += '\n';
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

void TCliHost::Fail(TOutcome outcome) {
  if (outcome > m_outcome) m_outcome = outcome;
}

void TCliHost::IdleWait(TNAVOPort& port, int timeoutMs) {
  if (timeoutMs > 0) port.WaitForRxChar(timeoutMs);
}

int TCliHost::Box(const TMessageBoxRequest& request) {
  const std::string& caption = request.caption;
  if (caption == "Send Error" || caption == "Com Port Error" || caption == "Error") {
    Fail(TOutcome::ChipFailed);
  } else if (caption.rfind("Open ", 0) == 0) {
    Fail(TOutcome::PortFailed);
  }
  const std::string head = caption.empty() ? std::string() : caption + ": ";
  Say(head + Lines(request.text, std::string(head.size(), ' ')));
  // The jumper prompt: the operator acts, then goes on.
  if (caption == "Info") {
    if (m_args.yes) {
      Say("  (answered by --yes)");
    } else if (isatty(STDIN_FILENO)) {
      Say("  Press Enter when done.");
      std::string line;
      std::getline(std::cin, line);
    }
  }
  return DefaultButtonId(request.style);
}

std::optional<std::string> TCliHost::ChooseImageFile(const std::string&) { return m_args.file; }

TIspOptions TCliHost::Options() const {
  TIspOptions o;
  o.delay = m_args.delay;
  o.waitForConfirmation = !m_args.noConfirm;
  o.sixClock = m_args.sixClock;
  o.targetBaud = m_args.baud;
  o.reuseImageFile = true;
  o.eraseBlocks = m_args.eraseBlocks;
  return o;
}

void TCliHost::AddStatusLine(std::string_view line) {
  if (line.find("ERROR") != std::string_view::npos) Fail(TOutcome::ChipFailed);
  Print(line);
}

void TCliHost::RecordProgress(std::size_t done, std::size_t total) {
  m_done = done;
  m_total = total;
  if (m_args.quiet || total == 0) return;
  const int percent = static_cast<int>(done * 100 / total);
  if (!m_several && isatty(STDERR_FILENO)) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_started).count();
    const int left = done ? static_cast<int>(elapsed * static_cast<double>(total - done) / static_cast<double>(done)) : 0;
    constexpr int kWidth = 30;
    const int filled = static_cast<int>(done * kWidth / total);
    char line[160];
    std::snprintf(line, sizeof line, "\rprogramming [%s%s] %zu/%zu %3d%%  %d:%02d left ",
                  std::string(static_cast<std::size_t>(filled), '#').c_str(),
                  std::string(static_cast<std::size_t>(kWidth - filled), '.').c_str(), done, total,
                  percent, left / 60, left % 60);
    std::fputs(line, stderr);
    m_barOpen = done != total;
    if (!m_barOpen) std::fputs("\n", stderr);
    std::fflush(stderr);
    return;
  }
  const int tenth = percent / 10;
  if (tenth == m_lastTenth) return;
  m_lastTenth = tenth;
  Say("programming " + std::to_string(percent) + "% (" + std::to_string(done) + "/" +
      std::to_string(total) + " records)");
}

bool TCliHost::StopRequested() const { return g_stop != 0; }

}  // namespace kavel::cli
