#include "cli/CliHost.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "cli/CliProcess.h"

namespace kavel::cli {
namespace {

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

TCliHost::TCliHost(const TCliArgs& args, std::string label, bool several)
    : m_args(args), m_label(std::move(label)), m_several(several) {}

void TCliHost::Say(std::string_view line) const {
  // A progress bar that is still open gets its own line first.
  std::string text = m_barOpen ? "\n" : "";
  m_barOpen = false;
  if (m_several) text += m_label + ": ";
  text += line;
  text += '\n';
  WriteErr(text);
}

void TCliHost::Print(std::string_view line) const {
  std::string text = m_several ? m_label + ": " : std::string();
  text += line;
  text += '\n';
  WriteOut(text);
}

void TCliHost::AddStatusLine(std::string_view line) {
  if (m_args.json) {
    m_statusLines.emplace_back(line);
  } else {
    Print(line);
  }
}

void TCliHost::SelectTargetBaud(std::string_view text) { m_speedFound = text; }

bool TCliHost::AwaitEnter() {
  // Byte by byte, so that nothing after the line is taken from whoever reads next.
  for (;;) {
    char c = 0;
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 1 && c == '\n') return true;
    if (n == 1) continue;
    if (n < 0 && errno == EINTR && StopSignal() == 0) continue;
    return false;  // end of input, a failed read, or a stop signal
  }
}

int TCliHost::Box(const TMessageBoxRequest& request) {
  // Without awaited replies nothing confirms what an operation calls done.
  const bool unconfirmed = request.role == TBoxRole::brSuccess && !Options().waitForConfirmation;
  if (request.role == TBoxRole::brPrompt) {
    // A terminal's prompt: the question alone, then what the keys do.
    Say(Lines(request.text, ""));
    if (m_args.yes) {
      Say("(answered by --yes)");
    } else if (isatty(STDIN_FILENO)) {
      WriteErr(std::string(m_several ? m_label + ": " : "") + "Enter to go on, Ctrl-C to stop: ");
      if (!AwaitEnter()) {
        m_declined = true;  // no answer is no
        WriteErr("\n");
      }
    } else {
      m_declined = true;
    }
    return DefaultButtonId(request.style);
  }
  const std::string caption = unconfirmed ? "Sent, not confirmed" : request.caption;
  const std::string head = caption.empty() ? std::string() : caption + ": ";
  Say(head + Lines(request.text, std::string(head.size(), ' ')));
  return DefaultButtonId(request.style);
}

std::optional<std::string> TCliHost::ChooseImageFile(const std::string&) { return m_args.file; }

TIspOptions TCliHost::Options() const {
  TIspOptions o;
  o.delay = m_args.delay;
  o.waitForConfirmation = !m_args.noConfirm || CommandLearns(m_args);
  o.sixClock = m_args.sixClock;
  o.targetBaud = m_args.baud;
  o.reuseImageFile = true;
  o.eraseBlocks = m_args.eraseBlocks;
  // The command line checks the whole flash unless told otherwise.
  o.blankStart = m_args.rangeStart;
  o.blankEnd = m_args.rangeEnd;
  o.verify = !m_args.noVerify;
  o.expectDevice = m_args.expectDevice;
  o.strictAnswers = true;
  if (!m_args.baudGiven) o.fastSpeeds = {br115200, br57600, br38400};
  return o;
}

bool TCliHost::StopRequested() const { return StopSignal() != 0 || m_declined; }

void TCliHost::SetActivity(std::string_view what) {
  if (m_barOpen) WriteErr("\n");
  m_barOpen = false;
  m_activity = what;
  m_lastTenth = -1;
  m_firstRecord.reset();
}

void TCliHost::RecordProgress(std::size_t done, std::size_t total) {
  const auto now = std::chrono::steady_clock::now();
  if (!m_firstRecord || done <= 1) m_firstRecord = now;
  if (m_args.quiet || total == 0) return;
  const int percent = static_cast<int>(done * 100 / total);
  if (!m_several && isatty(STDERR_FILENO)) {
    // The pace from the first record or byte on: the search, the prompt and the erase
    // before it take no part in what is left.
    const double elapsed = std::chrono::duration<double>(now - *m_firstRecord).count();
    std::string left = "--:--";
    if (done > 1) {
      const int seconds = static_cast<int>(elapsed * static_cast<double>(total - done) / static_cast<double>(done - 1));
      char text[32];
      std::snprintf(text, sizeof text, "%d:%02d", seconds / 60, seconds % 60);
      left = text;
    }
    constexpr int kWidth = 30;
    const int filled = static_cast<int>(done * kWidth / total);
    char line[160];
    std::snprintf(line, sizeof line, "\r%s [%s%s] %zu/%zu %3d%%  %s left ", m_activity.c_str(),
                  std::string(static_cast<std::size_t>(filled), '#').c_str(),
                  std::string(static_cast<std::size_t>(kWidth - filled), '.').c_str(), done, total,
                  percent, left.c_str());
    WriteErr(line);
    m_barOpen = done != total;
    if (!m_barOpen) WriteErr("\n");
    return;
  }
  const int tenth = percent / 10;
  if (tenth == m_lastTenth) return;
  m_lastTenth = tenth;
  Say(m_activity + " " + std::to_string(percent) + "% (" + std::to_string(done) + "/" + std::to_string(total) +
      (m_activity == "programming" ? " records)" : " bytes)"));
}

}  // namespace kavel::cli
