// Scope guards: what must happen when a scope ends, on every path, exceptions included.
#pragma once

#include <functional>
#include <string_view>
#include <utility>

#include "isp/IspHost.h"

namespace kavel {

// Runs its action when the scope ends, on every path; a failure of the action itself is
// dropped, as the first failure is the one to report.
class TOnExit {
 public:
  explicit TOnExit(std::function<void()> action) : m_action(std::move(action)) {}
  ~TOnExit() { Now(); }
  // Runs the action now instead of at the end (once in all).
  void Now() noexcept {
    if (!m_action) return;
    try {
      std::exchange(m_action, nullptr)();
    } catch (...) {
    }
  }
  TOnExit(const TOnExit&) = delete;
  TOnExit& operator=(const TOnExit&) = delete;

 private:
  std::function<void()> m_action;
};

// Disables the window and shows text in panel 0 for its lifetime; afterwards the panel is
// empty and the window enabled again, on every path.
class TBusyWindow {
 public:
  TBusyWindow(TIspHost& host, std::string_view text) : m_host(host) {
    m_host.EnableWindow(false);
    m_host.SetProgress(text);
  }
  ~TBusyWindow() {
    try {
      m_host.SetProgress("");
    } catch (...) {
    }
    try {
      m_host.EnableWindow(true);
    } catch (...) {
    }
  }
  TBusyWindow(const TBusyWindow&) = delete;
  TBusyWindow& operator=(const TBusyWindow&) = delete;

 private:
  TIspHost& m_host;
};

}  // namespace kavel
