#include "sim/SimWake.h"

#include <fcntl.h>
#include <unistd.h>

namespace kavel::sim {

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "a signal handler may only touch lock-free atomics");

TSimWake::TSimWake() {
  if (pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0) m_pipe[0] = m_pipe[1] = -1;
}

TSimWake::~TSimWake() {
  for (int fd : m_pipe)
    if (fd >= 0) close(fd);
}

void TSimWake::Wake() noexcept {
  if (m_pipe[1] < 0) return;
  const char c = 1;
  // A full pipe is awake already: the byte lost changes nothing.
  [[maybe_unused]] const ssize_t n = write(m_pipe[1], &c, 1);
}

void TSimWake::RequestStop() noexcept {
  m_stop = true;
  Wake();
}

void TSimWake::RequestToggle() noexcept {
  ++m_toggles;
  Wake();
}

TSimWake::TAsked TSimWake::Take() {
  char drain[64];
  while (m_pipe[0] >= 0 && read(m_pipe[0], drain, sizeof drain) > 0) {
  }
  return {m_stop.load(), m_toggles.exchange(0)};
}

}  // namespace kavel::sim
