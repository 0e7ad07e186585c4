// A host without a window: options in public fields, boxes and texts recorded.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "isp/IspHost.h"

namespace kavel::test {

class TNullHost : public TIspHost {
 public:
  void ProcessEvents() override {}
  void ShowBox(std::string_view text, std::string_view caption) override {
    boxes.push_back(std::string(caption) + ": " + std::string(text));
  }
  void SetProgress(std::string_view text) override { progress = text; }
  void EnableWindow(bool enabled) override { windowEnabled = enabled; }
  void AppendDebug(std::string_view line) override { debug.emplace_back(line); }
  int Delay() const override { return delay; }
  bool WaitForConfirmation() const override { return wfc; }
  bool SixClock() const override { return sixClock; }
  std::string TargetBaudText() const override { return targetBaud; }
  std::string ImageFileName() const override { return imageFile; }

  int delay = 60;
  bool wfc = true;
  bool sixClock = false;
  std::string targetBaud = "9600";
  std::string imageFile;
  std::vector<std::string> boxes;  // "caption: text"
  std::string progress;
  bool windowEnabled = true;
  std::vector<std::string> debug;
};

}  // namespace kavel::test
