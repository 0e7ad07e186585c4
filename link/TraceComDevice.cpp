#include "link/TraceComDevice.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "link/WireText.h"

namespace kavel {

TTraceComDevice::TTraceComDevice(std::unique_ptr<TComDevice> inner, std::FILE* trace, TClock& clock)
    : m_inner(std::move(inner)), m_trace(trace), m_clock(clock), m_start(clock.NowMs()) {}

void TTraceComDevice::Line(char direction, const std::uint8_t* bytes, std::size_t n, int err) {
  if (!m_trace) return;
  std::string line = WireLogLine({m_clock.NowMs() - m_start, direction, m_speed,
                                  std::string(reinterpret_cast<const char*>(bytes), n)});
  if (err) line += std::string(" error: ") + std::strerror(err);
  line += '\n';
  std::fputs(line.c_str(), m_trace);
  Flush();
}

void TTraceComDevice::Flush() {
  if (std::fflush(m_trace) != 0 && m_traceError == 0) m_traceError = errno != 0 ? errno : EIO;
}

int TTraceComDevice::Open(const std::string& portName) {
  const int err = m_inner->Open(portName);
  if (m_trace) {
    std::fprintf(m_trace, "# open %s%s%s\n", Printable(portName).c_str(), err ? ": " : "", err ? std::strerror(err) : "");
    Remarks();
  }
  return err;
}

void TTraceComDevice::Remarks() {
  const std::string remarks = m_inner->TakeRemarks();
  if (!m_trace || remarks.empty()) return;
  for (std::size_t p = 0; p < remarks.size();) {
    const std::size_t end = std::min(remarks.find('\n', p), remarks.size());
    std::fprintf(m_trace, "# %s\n", Printable(remarks.substr(p, end - p)).c_str());
    p = end + 1;
  }
  Flush();
}

int TTraceComDevice::SetModemLines(bool dtr, bool rts) {
  const int err = m_inner->SetModemLines(dtr, rts);
  if (m_trace) {
    std::fprintf(m_trace, "%10.3f # DTR %s, RTS %s%s%s\n", static_cast<double>(m_clock.NowMs() - m_start) / 1000.0,
                 dtr ? "on" : "off", rts ? "on" : "off", err ? ": " : "", err ? std::strerror(err) : "");
    Remarks();
  }
  return err;
}

void TTraceComDevice::Close() {
  m_inner->Close();
  if (m_trace) {
    std::fprintf(m_trace, "# close\n");
    Flush();
  }
}

int TTraceComDevice::SetQueueSizes(std::size_t input, std::size_t output) {
  return m_inner->SetQueueSizes(input, output);
}

int TTraceComDevice::SetLine(const TLineTermios& line, bool dtr, bool rts) {
  const int err = m_inner->SetLine(line, dtr, rts);
  if (!err && line.bitsPerSecond) m_speed = line.bitsPerSecond;
  Remarks();
  return err;
}

int TTraceComDevice::BytesWaiting(std::size_t& count) { return m_inner->BytesWaiting(count); }

int TTraceComDevice::Read(std::uint8_t* buffer, std::size_t n, int timeoutMs, std::size_t& got) {
  const int err = m_inner->Read(buffer, n, timeoutMs, got);
  if (got > 0 || err) Line('<', buffer, got, err);
  return err;
}

int TTraceComDevice::Write(const std::uint8_t* buffer, std::size_t n, int timeoutMs,
                           std::size_t& written) {
  const int err = m_inner->Write(buffer, n, timeoutMs, written);
  // What really went out; a write cut short says so.
  Line('>', buffer, std::min(written, n), err);
  if (written < n && m_trace) {
    std::fprintf(m_trace, "# only %zu of %zu bytes were written\n", written, n);
    Flush();
  }
  return err;
}

int TTraceComDevice::Purge(bool input, bool output) { return m_inner->Purge(input, output); }

int TTraceComDevice::WaitForInput(int timeoutMs, bool& arrived) {
  return m_inner->WaitForInput(timeoutMs, arrived);
}

}  // namespace kavel
