// The operations' host on a command line: boxes become "caption: text" lines on standard
// error, the status box's lines go to standard output, the image file is the one given, the
// jumper prompt is asked on the terminal (or answered by --yes), progress is a bar on a
// terminal and a line every 10% otherwise, and Ctrl-C asks long operations to stop.
#pragma once

#include <chrono>
#include <string>

#include "cli/CliArgs.h"
#include "isp/IspHost.h"

namespace kavel::cli {

// The worst outcome the host has seen in the boxes and status lines.
enum class TOutcome : std::uint8_t { Ok, ChipFailed, PortFailed };

class TCliHost final : public TIspHost {
 public:
  // label: the port's name, put before every line when several ports run at once.
  TCliHost(const TCliArgs& args, std::string label, bool several);

  void ProcessEvents() override {}
  void IdleWait(TNAVOPort& port, int timeoutMs) override;
  int Box(const TMessageBoxRequest& request) override;
  std::optional<std::string> ChooseImageFile(const std::string& preselected) override;
  void SetProgress(std::string_view text) override { m_progress = text; }
  std::string ProgressText() const override { return m_progress; }
  void EnableWindow(bool) override {}
  void AppendDebug(std::string_view) override {}
  void ShowImageFile(std::string_view) override {}
  void SelectTargetBaud(std::string_view text) override { m_baud = text; }
  void ShowPortState() override {}
  TIspOptions Options() const override;
  void ClearStatus() override {}
  void AddStatusLine(std::string_view line) override;
  void RecordProgress(std::size_t done, std::size_t total) override;
  bool StopRequested() const override;

  TOutcome Outcome() const { return m_outcome; }
  void Fail(TOutcome outcome);
  // A line on standard error (with the label when several ports run).
  void Say(std::string_view line) const;
  // A line on standard output (with the label when several ports run).
  void Print(std::string_view line) const;
  // Records done when the run was stopped, of how many.
  std::size_t Done() const { return m_done; }
  std::size_t Total() const { return m_total; }

 private:
  const TCliArgs& m_args;
  std::string m_label;
  bool m_several;
  std::string m_progress;
  std::string m_baud;
  TOutcome m_outcome = TOutcome::Ok;
  std::size_t m_done = 0, m_total = 0;
  int m_lastTenth = -1;
  mutable bool m_barOpen = false;  // a progress bar ends the current terminal line
  std::chrono::steady_clock::time_point m_started;
};

// Ctrl-C: installs the handler that makes StopRequested true (a second Ctrl-C ends the
// program at once).
void InstallStopHandler();
bool StopSignalled();

}  // namespace kavel::cli
