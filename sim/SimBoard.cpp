#include "sim/SimBoard.h"

#include <algorithm>

namespace kavel::sim {

bool TSimBoard::Toggle(std::int64_t nowMs) {
  m_in = !m_in;
  if (m_in) Restart(nowMs);
  return m_in;
}

void TSimBoard::Receive(std::uint8_t byte, std::uint32_t bitsPerSecond, std::int64_t nowMs,
                        std::vector<TSimOutput>& out) {
  if (!m_in) return;
  for (TSimDevice* device : m_devices) device->Receive(byte, bitsPerSecond, nowMs, out);
}

void TSimBoard::Tick(std::int64_t nowMs, std::vector<TSimOutput>& out) {
  if (!m_in) return;
  for (TSimDevice* device : m_devices) device->Tick(nowMs, out);
}

std::int64_t TSimBoard::NextTickMs() const {
  std::int64_t next = -1;
  if (!m_in) return next;
  for (const TSimDevice* device : m_devices) {
    const std::int64_t tick = device->NextTickMs();
    if (tick >= 0) next = next < 0 ? tick : std::min(next, tick);
  }
  return next;
}

void TSimBoard::ModemLines(bool dtr, bool rts, std::int64_t nowMs) {
  // An empty socket's reset lines lead nowhere; the board put back starts from power-on.
  if (!m_in) return;
  for (TSimDevice* device : m_devices) device->ModemLines(dtr, rts, nowMs);
}

bool TSimBoard::WantsHangUp() const {
  return m_in && std::any_of(m_devices.begin(), m_devices.end(), [](const TSimDevice* d) { return d->WantsHangUp(); });
}

void TSimBoard::Restart(std::int64_t nowMs) {
  for (TSimDevice* device : m_devices) device->Restart(nowMs);
}

}  // namespace kavel::sim
