// The operations object: its construction, boxes, stop points and the status of a run.
#include "isp/IspOperations.h"

#include <algorithm>
#include <limits>

#include "image/HexBinList.h"
#include "link/EComPort.h"

namespace kavel {

TIspOperations::TIspOperations(TNAVOPort& port, TClock& clock, TIspHost& host)
    : m_port(port), m_clock(clock), m_host(host), m_engine(port, clock, host) {
  m_port.KTNPort().UseClock(clock);
}

void TIspOperations::PlainBox(std::string_view text, std::string_view caption, TBoxRole role) {
  m_host.Box(PlainBoxRequest(text, caption, role));
}

std::string TIspOperations::OnOffText(int value) { return value != 0 ? "ON" : "OFF"; }

int TIspOperations::ScaledMs(std::int32_t delay, int factor, int base) {
  const std::int64_t ms = std::int64_t{delay} * factor + base;
  return static_cast<int>(std::clamp<std::int64_t>(ms, std::numeric_limits<int>::min(),
                                                    std::numeric_limits<int>::max()));
}

void TIspOperations::StopPoint(std::string_view done) {
  if (m_host.StopRequested()) throw EOperationStopped(std::string(done));
}

TIspStatus TIspOperations::Perform(const std::function<void()>& operation) {
  try {
    operation();
  } catch (...) {
    if (!StatusOfCurrentException(m_status)) throw;
  }
  return m_status;
}

}  // namespace kavel
