// The operations' host on a command line: boxes become "caption: text" lines on standard
// error, the status box's lines go to standard output, the image file is the one given, the
// jumper prompt is asked on the terminal (or answered by --yes; end of input answers no),
// progress is a bar on a terminal and a line every 10% otherwise, and a stop signal asks
// long operations to stop. What happened is the operations' status, not the boxes' texts.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "cli/CliArgs.h"
#include "isp/IspHost.h"

namespace kavel::cli {

class TCliHost final : public TIspHost {
 public:
  // label: the port's name, put before every line when several ports run at once.
  TCliHost(const TCliArgs& args, std::string label, bool several);

  bool AwaitsAtWireSpeed() const override { return true; }
  int Box(const TMessageBoxRequest& request) override;
  std::optional<std::string> ChooseImageFile(const std::string& preselected) override;
  void SelectTargetBaud(std::string_view text) override;
  TIspOptions Options() const override;
  // Results on standard output; kept for the JSON object instead with --json.
  void AddStatusLine(std::string_view line) override;
  void RecordProgress(std::size_t done, std::size_t total) override;
  void SetActivity(std::string_view what) override;
  // A stop signal came, or the operator gave no answer at a prompt.
  bool StopRequested() const override;

  // True once the operator gave no answer at a prompt (end of input).
  bool Declined() const { return m_declined; }
  // The status box's lines, as the JSON object takes them.
  const std::vector<std::string>& StatusLines() const { return m_statusLines; }
  // The speed the last confirmed synchronization ended at ("" before one).
  const std::string& SpeedFound() const { return m_speedFound; }
  // A line on standard error (with the label when several ports run).
  void Say(std::string_view line) const;
  // A line on standard output (with the label when several ports run).
  void Print(std::string_view line) const;

 private:
  // Waits for the operator's Enter; false at the end of input or on a signal.
  bool AwaitEnter();

  const TCliArgs& m_args;
  std::string m_label;
  bool m_several;
  bool m_declined = false;
  std::string m_speedFound;
  std::vector<std::string> m_statusLines;
  std::string m_activity = "programming";
  int m_lastTenth = -1;
  mutable bool m_barOpen = false;  // a progress bar ends the current terminal line
  // When the first record went out: the estimate counts programming time only.
  std::optional<std::chrono::steady_clock::time_point> m_firstRecord;
};

}  // namespace kavel::cli
