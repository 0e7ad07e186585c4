// The operations object: its construction, boxes, stop points and the status of a run.
#include "app/IspOperations.h"

#include "image/HexBinList.h"
#include "link/EComPort.h"

namespace kavel {

TIspOperations::TIspOperations(TNAVOPort& port, TClock& clock, TIspHost& host)
    : m_port(port), m_clock(clock), m_host(host), m_observer(host, *this), m_session(port, clock, host, m_observer) {}

void TIspOperations::TWindowObserver::Activity(TActivity activity) {
  m_programming = activity == TActivity::acProgram;
  if (m_programming) m_host.SetActivity(ActivityWords(activity));
}

void TIspOperations::TWindowObserver::Progress(std::size_t done, std::size_t total) {
  if (!m_programming) return;
  m_host.SetProgress("Programming line: " + std::to_string(done - 1) + " / " + std::to_string(total));
  m_host.RecordProgress(done, total);
}

void TIspOperations::PlainBox(std::string_view text, std::string_view caption, TBoxRole role) {
  m_host.Box(PlainBoxRequest(text, caption, role));
}

const TIspStatus& TIspOperations::Adopt(TIspStatus status) {
  m_status = std::move(status);
  RaiseCause(m_status);
  return m_status;
}

std::string TIspOperations::OnOffText(int value) { return value != 0 ? "ON" : "OFF"; }

void TIspOperations::StopPoint(std::string_view done) {
  if (m_host.StopRequested()) throw EOperationStopped(std::string(done));
}

TIspStatus TIspOperations::Perform(const std::function<void()>& operation) {
  try {
    operation();
  } catch (...) {
    const std::optional<TIspStatus> status = StatusOfCurrentException();
    if (!status) throw;
    m_status = *status;
  }
  return m_status;
}

}  // namespace kavel
