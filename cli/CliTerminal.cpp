#include "cli/CliTerminal.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "cli/CliProcess.h"
#include "cli/CliReport.h"
#include "link/WireText.h"
#include "station/StationDb.h"

namespace kavel::cli {
namespace {

// An event's fields in the order they are written.
using TJson = nlohmann::ordered_json;

}  // namespace

std::string_view CliStepKey(TCliStep step) { return step == TCliStep::clBootEntry ? "boot_entry" : "number"; }

std::string_view CliStepWords(TCliStep step) {
  return step == TCliStep::clBootEntry
             ? "entering the boot loader"
             : "waiting for the ports before this one to answer: the numbers follow the order of the ports";
}

TCliTerminal::TCliTerminal(const TCliArgs& args, std::string label, bool several)
    : m_args(args), m_port(label), m_label(several ? Printable(label) + ": " : std::string()),
      m_started(std::chrono::steady_clock::now()) {
  SetStopWords(m_label);
  DoneSoFar();
}

void TCliTerminal::Err(std::string_view line) const {
  // A progress bar that is still open gets its own line first.
  std::string text = m_barOpen ? "\n" : "";
  m_barOpen = false;
  text += m_label;
  text += Printable(line);
  text += '\n';
  WriteErr(text);
}

void TCliTerminal::Note(std::string_view line) const {
  if (!m_args.quiet) Err(line);
}

void TCliTerminal::Say(std::string_view line) const { Err(line); }

void TCliTerminal::Print(std::string_view line) const { WriteOut(m_label + Printable(line) + "\n"); }

void TCliTerminal::PrintJson(std::string_view object) const { WriteOut(std::string(object) + "\n"); }

bool TCliTerminal::StopRequested() { return StopSignal() != 0 || m_declined; }

bool TCliTerminal::ChipReady() {
  if (m_bootEntry) {
    m_bootEntry();
    return true;
  }
  if (m_args.yes) return true;
  if (!isatty(STDIN_FILENO)) {
    m_declined = true;
    return false;
  }
  Err("Set the boot jumper (Download Mode) and reset the chip (its uP Reset button).");
  WriteErr(m_label + "Enter to go on, Ctrl-C to stop: ");
  // Byte by byte, so that nothing after the line is taken from whoever reads next.
  for (;;) {
    char c = 0;
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 1 && c == '\n') return true;
    if (n == 1) continue;
    if (n < 0 && errno == EINTR && StopSignal() == 0) continue;
    break;  // end of input, a failed read, or a stop signal
  }
  if (StopSignal() == 0) m_declined = true;  // no answer is no
  WriteErr("\n");
  return false;
}

void TCliTerminal::Numbered(std::int64_t serial) {
  m_serial = serial;
  m_chipAnswered = true;  // a number is drawn only once the chip has given its device id
  if (m_args.events) {
    TJson event;
    event["event"] = "serial";
    event["port"] = JsonText(m_port);
    event["serial"] = serial;
    Event(event.dump());
  }
  DoneSoFar();
}

const char* TCliTerminal::StopClass() const {
  return m_chipAnswered ? station::TRunRow::kBoard : station::TRunRow::kStation;
}

void TCliTerminal::Event(const std::string& line) const {
  if (m_args.json && m_args.events) WriteOut(line + "\n");
}

void TCliTerminal::StepEvent(std::string_view key, std::string_view words) {
  m_stepKey = key;
  m_lastPercent = -1;
  if (!m_args.events) return;
  TJson event;
  event["event"] = "step";
  event["port"] = JsonText(m_port);
  event["step"] = std::string(key);
  event["text"] = std::string(words);
  Event(event.dump());
}

std::string_view TCliTerminal::ActivityText() const {
  if (m_entering) return CliStepWords(TCliStep::clBootEntry);
  return m_activity ? ActivityWords(*m_activity) : std::string_view();
}

void TCliTerminal::Concluding(const std::string& done, bool recorded) {
  std::string words = done.empty() ? "after the run had ended as said" : "after " + done + " had been carried out to its end";
  if (recorded) words += ": this board's row in the station log may be left unfinished";
  m_concluded = words;
  DoneSoFar();
}

void TCliTerminal::DoneSoFar() {
  std::string doing;
  const bool records = m_activity == TActivity::acProgram;
  const std::string counted = m_total == 0 ? std::string()
                                           : " (" + std::to_string(m_done) + " of " + std::to_string(m_total) +
                                                 (records ? " records)" : " bytes)");
  if (m_concluded) {
    doing = *m_concluded;
  } else if (m_entering) {
    doing = "while entering the boot loader over the modem lines: nothing was sent to the chip";
  } else if (!m_activity) {
    doing = "before anything was sent to the chip";
  } else {
    switch (*m_activity) {
      case TActivity::acProgram: doing = "while programming" + counted + ": the chip is not fully programmed"; break;
      case TActivity::acErase: doing = "while erasing: the erase may not have ended; erase again"; break;
      case TActivity::acVerify:
      case TActivity::acRead: doing = "while reading the flash" + counted + ": nothing was changed by it"; break;
      case TActivity::acLock:
        doing = "while locking the chip: the status byte and some of the security bits may be set";
        break;
      case TActivity::acSuspend: doing = "while suspending the communication controller"; break;
      case TActivity::acStatusByte: doing = "while setting the status byte: it may be set"; break;
      case TActivity::acSecurity: doing = "while setting a security bit: it may be set"; break;
      case TActivity::acSixClock: doing = "while setting 6-clock mode: the chip may have switched to it"; break;
      case TActivity::acSync:
      case TActivity::acBlank:
        doing = "while " + std::string(ActivityWords(*m_activity)) + ": nothing was changed by it";
        break;
    }
  }
  const std::string stopped = "stopped at once, " + doing;
  const std::string stillSuspended =
      "The communication controller on this line is still suspended: resume it from its management program.";
  std::string human = m_label + stopped + "\n";
  if (m_suspended) human += m_label + stillSuspended + "\n";
  std::function<std::string(int)> object;
  if (m_args.json) {
    // The result as every other is written, for each signal that may end the run.
    object = [this, &stopped](int signal) {
      TRunFacts facts;
      facts.args = &m_args;
      facts.port = m_port;
      facts.status = TRunStatus::Make(rkStopped, stopped);
      facts.stopSignal = signal;
      facts.exit = ExitStatusOf(facts.status, signal);
      facts.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_started).count();
      facts.serial = m_serial;
      facts.controllerSuspended = m_suspended;
      facts.chipAnswered = m_chipAnswered;
      return JsonObject(facts) + "\n";
    };
  }
  SetDoneSoFar(human, object);
}

void TCliTerminal::Activity(TActivity activity) {
  if (m_barOpen) WriteErr("\n");
  m_barOpen = false;
  m_activity = activity;
  m_entering = false;
  if (activity != TActivity::acSync && activity != TActivity::acSuspend) m_chipAnswered = true;
  m_done = m_total = 0;
  m_lastTenth = -1;
  m_first.reset();
  StepEvent(ActivityKey(activity), ActivityWords(activity));
  DoneSoFar();
}

void TCliTerminal::Step(TCliStep step) {
  if (step == TCliStep::clNumber) {
    Note(CliStepWords(step));
    StepEvent(CliStepKey(step), CliStepWords(step));
    return;
  }
  if (m_barOpen) WriteErr("\n");
  m_barOpen = false;
  m_entering = true;
  m_done = m_total = 0;
  m_lastTenth = -1;
  m_first.reset();
  StepEvent(CliStepKey(step), CliStepWords(step));
  DoneSoFar();
}

void TCliTerminal::Progress(std::size_t done, std::size_t total) {
  const auto now = std::chrono::steady_clock::now();
  if (!m_first || done <= 1) m_first = now;
  m_done = done;
  m_total = total;
  if (total == 0) return;
  const int percent = static_cast<int>(done * 100 / total);
  // An event for each whole percent: the first, every change, and the last.
  if (m_args.events && percent != m_lastPercent) {
    m_lastPercent = percent;
    TJson event;
    event["event"] = "progress";
    event["port"] = JsonText(m_port);
    event["step"] = m_stepKey;
    event["done"] = done;
    event["total"] = total;
    Event(event.dump());
  }
  const int tenth = percent / 10;
  if (tenth != m_lastTenth) DoneSoFar();
  if (m_args.quiet) {
    m_lastTenth = tenth;
    return;
  }
  const std::string unit = m_activity == TActivity::acProgram ? " records" : " bytes";
  const std::string activity(ActivityText());
  if (m_label.empty() && isatty(STDERR_FILENO)) {
    // The pace from the first record or byte on: the search, the prompt and the erase
    // before it take no part in what is left.
    const double elapsed = std::chrono::duration<double>(now - *m_first).count();
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
    std::snprintf(line, sizeof line, "\r%s [%s%s] %zu/%zu %3d%%  %s left ", activity.c_str(),
                  std::string(static_cast<std::size_t>(filled), '#').c_str(),
                  std::string(static_cast<std::size_t>(kWidth - filled), '.').c_str(), done, total, percent,
                  left.c_str());
    WriteErr(line);
    m_barOpen = done != total;
    if (!m_barOpen) WriteErr("\n");
    m_lastTenth = tenth;
    return;
  }
  if (tenth == m_lastTenth) return;
  m_lastTenth = tenth;
  Err(activity + " " + std::to_string(percent) + "% (" + std::to_string(done) + "/" + std::to_string(total) + unit +
      ")");
}

}  // namespace kavel::cli
