// The session's edge: construction, stop points, and where exceptions become statuses.
#include "isp/Session.h"

#include <algorithm>
#include <limits>

#include "image/HexText.h"
#include "isp/Records.h"
#include "link/EComPort.h"

namespace kavel {

TIspSession::TIspSession(TNAVOPort& port, TClock& clock, TReplyWait& wait, TSessionObserver& observer)
    : m_port(port), m_clock(clock), m_observer(observer), m_engine(port, clock, wait) {
  m_port.KTNPort().UseClock(clock);
}

TIspStatus TIspSession::Edge(const std::function<TIspStatus()>& body) {
  try {
    return body();
  } catch (...) {
    std::optional<TIspStatus> status = StatusOfCurrentException();
    if (!status) throw;
    return *status;
  }
}

void TIspSession::StopPoint(std::string_view done) {
  if (m_observer.StopRequested()) throw EOperationStopped(std::string(done));
}

std::string TIspSession::SetClockRecord() {
  std::string body = "01000002";
  AppendHexByte(body, kSetClockValue);
  return CommandRecord(body);
}

int TIspSession::ScaledMs(std::int32_t delay, int factor, int base) {
  const std::int64_t ms = std::int64_t{delay} * factor + base;
  return static_cast<int>(std::clamp<std::int64_t>(ms, std::numeric_limits<int>::min(),
                                                    std::numeric_limits<int>::max()));
}

}  // namespace kavel
