// What a signal handler may ask of a running simulated line: to stop, or to take the board out
// or put it back. The asking is async-signal-safe (an atomic and one byte into a pipe); the
// line watches the pipe in every wait and takes what was asked on its own thread.
#pragma once

#include <atomic>

namespace kavel::sim {

class TSimWake {
 public:
  struct TAsked {
    bool stop = false;
    int toggles = 0;  // times the board was to be taken out or put back since the last Take
  };

  TSimWake();
  ~TSimWake();
  TSimWake(const TSimWake&) = delete;
  TSimWake& operator=(const TSimWake&) = delete;

  // False when the pipe could not be made (errno says why); nothing can be asked then.
  bool Ok() const { return m_pipe[0] >= 0; }
  // To poll for POLLIN: readable once something was asked.
  int Fd() const { return m_pipe[0]; }

  // Async-signal-safe. A stop stays asked: every Take after it says so.
  void RequestStop() noexcept;
  void RequestToggle() noexcept;

  // Empties the pipe and returns what was asked since the last call.
  TAsked Take();

 private:
  void Wake() noexcept;

  int m_pipe[2] = {-1, -1};
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_toggles{0};
};

}  // namespace kavel::sim
