// A host without a window: options in a public field, boxes and texts recorded, the file
// dialog and the boxes' buttons scripted.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/IspHost.h"
#include "isp/Session.h"

namespace kavel::test {

class TNullHost : public TIspHost {
 public:
  void ProcessEvents() override {}
  int Box(const TMessageBoxRequest& request) override {
    boxes.push_back(request.caption + ": " + request.text);
    requests.push_back(request);
    if (onBox) onBox(request);
    if (!answers.empty()) {
      const int id = answers.front();
      answers.pop_front();
      return id;
    }
    return DefaultButtonId(request.style);
  }
  std::optional<std::string> ChooseImageFile(const std::string& preselected) override {
    dialogShownWith.push_back(preselected);
    return chosenFile;
  }
  void SetProgress(std::string_view text) override {
    progress = text;
    progressLog.emplace_back(text);
  }
  std::string ProgressText() const override { return progress; }
  void EnableWindow(bool enabled) override { windowEnabled = enabled; }
  void AppendDebug(std::string_view line) override { debug.emplace_back(line); }
  void ClearStatus() override { status.clear(); }
  void AddStatusLine(std::string_view line) override { status.emplace_back(line); }
  void ShowImageFile(std::string_view fileName) override { caption = fileName; }
  void SelectTargetBaud(TBaudRate rate) override { options.targetBaud = rate; }
  void ShowPortState() override { ++portStateShown; }
  TIspOptions Options() const override { return options; }
  void RecordProgress(std::size_t done, std::size_t total) override {
    if (onRecord) onRecord(done, total);
  }
  bool StopRequested() const override { return stop; }

  TIspOptions options;
  std::vector<std::string> boxes;  // "caption: text"
  std::vector<TMessageBoxRequest> requests;
  std::deque<int> answers;         // buttons pressed in the next boxes (else the default)
  std::optional<std::string> chosenFile;  // what the file dialog returns (nothing: cancelled)
  std::vector<std::string> dialogShownWith;
  std::string progress;
  std::vector<std::string> progressLog;
  bool windowEnabled = true;
  std::vector<std::string> debug;
  std::vector<std::string> status;  // the status box's lines
  std::string caption;             // the image file shown in the caption
  int portStateShown = 0;
  // Hooks: the operator acting while a box is up, or while records go out; a stop request.
  std::function<void(const TMessageBoxRequest&)> onBox;
  std::function<void(std::size_t done, std::size_t total)> onRecord;
  bool stop = false;
};

// What a session shows, recorded; its stop request and the chip's readiness scripted.
class TTestObserver final : public TSessionObserver {
 public:
  void Activity(TActivity what) override {
    activity = what;
    doneOfTotal = {};
  }
  void Progress(std::size_t done, std::size_t total) override { doneOfTotal = {done, total}; }
  bool StopRequested() override { return stopWhen && stopWhen(); }
  bool ChipReady() override { return ready; }

  std::optional<TActivity> activity;  // none before the first
  std::pair<std::size_t, std::size_t> doneOfTotal;  // the latest progress
  std::function<bool()> stopWhen;  // asked at every stop point, as a signal arriving meanwhile
  bool ready = true;
};

}  // namespace kavel::test
