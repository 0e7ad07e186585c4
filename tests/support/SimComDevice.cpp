#include "tests/support/SimComDevice.h"

#include <algorithm>
#include <cerrno>

#include "sim/SimLine.h"

namespace kavel::sim {

int TSimComDevice::Open(const std::string& portName) {
  if (!m_portName.empty() && portName != m_portName) return ENOENT;
  m_open = true;
  return 0;
}

int TSimComDevice::SetQueueSizes(std::size_t, std::size_t) { return m_open ? 0 : EBADF; }

int TSimComDevice::SetLine(const TLineTermios& line, bool, bool) {
  if (!m_open) return EBADF;
  m_speed = line.bitsPerSecond ? line.bitsPerSecond : 9600;
  return 0;
}

int TSimComDevice::Failure() const {
  if (!m_open) return EBADF;
  // The line goes dead once what the devices sent before hanging up has been read.
  const bool hungUp = m_incoming.empty() && m_rx.empty() &&
                      std::any_of(m_devices.begin(), m_devices.end(),
                                  [](const TSimDevice* d) { return d->WantsHangUp(); });
  return hungUp ? EIO : 0;
}

void TSimComDevice::Schedule(std::vector<TSimOutput>& outputs) {
  std::stable_sort(outputs.begin(), outputs.end(),
                   [](const TSimOutput& a, const TSimOutput& b) { return a.atMs < b.atMs; });
  for (const TSimOutput& output : outputs) {
    std::int64_t t = std::max(output.atMs * 1000, m_replyFreeUs);
    for (char c : output.bytes) {
      t += ByteUs();
      m_incoming.push_back({t + m_latencyUs, static_cast<std::uint8_t>(c), output.bitsPerSecond});
    }
    m_replyFreeUs = t;
  }
  outputs.clear();
}

void TSimComDevice::LogReceived(std::uint8_t byte) {
  if (!m_lastLogWasReceive || m_wireLog.empty()) {
    m_wireLog.push_back({m_clock.NowMs(), '<', m_speed, {}});
    m_lastLogWasReceive = true;
  }
  m_wireLog.back().bytes += static_cast<char>(byte);
}

void TSimComDevice::TickDevices() {
  std::vector<TSimOutput> outputs;
  for (TSimDevice* device : m_devices) device->Tick(m_clock.NowMs(), outputs);
  Schedule(outputs);
}

std::int64_t TSimComDevice::NextTickMs() const {
  std::int64_t next = -1;
  for (const TSimDevice* device : m_devices) {
    const std::int64_t t = device->NextTickMs();
    if (t >= 0 && (next < 0 || t < next)) next = t;
  }
  return next;
}

void TSimComDevice::Arrive() {
  TickDevices();
  const std::int64_t now = NowUs();
  while (!m_incoming.empty() && m_incoming.front().atUs <= now) {
    TIncoming in = m_incoming.front();
    m_incoming.pop_front();
    // Sent at another speed than the line's now: it arrives garbled.
    if (in.bitsPerSecond != 0 && in.bitsPerSecond != m_speed) in.byte = Garble(in.byte);
    m_rx.push_back(in.byte);
    LogReceived(in.byte);
  }
}

bool TSimComDevice::WaitUntil(std::int64_t untilMs) {
  TickDevices();
  // A device that speaks of its own accord before anything else arrives: time goes to that
  // moment, and what it sends joins the line.
  for (std::int64_t tick = NextTickMs(); tick >= 0 && tick < untilMs &&
                                         (m_incoming.empty() || tick * 1000 < m_incoming.front().atUs);
       tick = NextTickMs()) {
    m_clock.AdvanceTo(tick);
    TickDevices();
  }
  if (m_incoming.empty() || m_incoming.front().atUs > untilMs * 1000) {
    m_clock.AdvanceTo(untilMs);
    Arrive();
    return !m_rx.empty();
  }
  m_clock.AdvanceTo((m_incoming.front().atUs + 999) / 1000);
  Arrive();
  return true;
}

int TSimComDevice::BytesWaiting(std::size_t& count) {
  count = 0;
  if (int err = Failure()) return err;
  Arrive();
  count = m_rx.size();
  return 0;
}

int TSimComDevice::Read(std::uint8_t* buffer, std::size_t n, int timeoutMs, std::size_t& got) {
  got = 0;
  if (int err = Failure()) return err;
  Arrive();
  if (m_rx.empty()) {
    // Nothing waiting: wait for n bytes, or the time-out.
    const std::int64_t until = m_clock.NowMs() + (timeoutMs < 0 ? 1'000'000'000 : timeoutMs);
    while (m_rx.size() < n && m_clock.NowMs() < until && WaitUntil(until)) {
    }
  }
  while (got < n && !m_rx.empty()) {
    buffer[got++] = m_rx.front();
    m_rx.pop_front();
  }
  return 0;
}

int TSimComDevice::Write(const std::uint8_t* buffer, std::size_t n, int, std::size_t& written) {
  written = 0;
  if (int err = Failure()) return err;
  Arrive();
  std::int64_t t = std::max(NowUs(), m_lineFreeUs);
  std::vector<TSimOutput> outputs;
  for (std::size_t i = 0; i < n; ++i) {
    t += ByteUs();
    for (TSimDevice* device : m_devices) device->Receive(buffer[i], m_speed, t / 1000, outputs);
  }
  m_lineFreeUs = t;
  m_wireLog.push_back({m_clock.NowMs(), '>', m_speed, std::string(reinterpret_cast<const char*>(buffer), n)});
  m_lastLogWasReceive = false;
  Schedule(outputs);
  // The write returns when its last byte has left, or at once into an adapter.
  if (!m_adapter) m_clock.AdvanceTo((t + 999) / 1000);
  written = n;
  return 0;
}

int TSimComDevice::Purge(bool input, bool) {
  if (int err = Failure()) return err;
  if (input) {
    Arrive();
    m_rx.clear();
  }
  return 0;
}

int TSimComDevice::WaitForInput(int timeoutMs, bool& arrived) {
  arrived = false;
  if (int err = Failure()) return err;
  Arrive();
  arrived = !m_rx.empty() || WaitUntil(m_clock.NowMs() + std::max(timeoutMs, 0));
  return 0;
}

}  // namespace kavel::sim
