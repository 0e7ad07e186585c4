// A scope guard: what must happen when a scope ends, on every path, exceptions included.
#pragma once

#include <functional>
#include <utility>

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

}  // namespace kavel
