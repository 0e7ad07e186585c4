#include "stationwin/BoardPoller.h"

#include "link/EComPort.h"

namespace kavel::stationwin {

TBoardPoller::TBoardPoller(std::string port, TBaudRate speed, std::vector<TModemStep> entry, bool invertDtr,
                           bool invertRts, QObject* parent)
    : QObject(parent),
      m_portName(std::move(port)),
      m_speed(speed),
      m_entry(std::move(entry)),
      m_invertDtr(invertDtr),
      m_invertRts(invertRts) {
  m_tick.setInterval(kEveryMs);
  m_listen.setSingleShot(true);
  m_listen.setInterval(kListenMs);
  m_pause.setSingleShot(true);
  connect(&m_tick, &QTimer::timeout, this, &TBoardPoller::Poll);
  connect(&m_listen, &QTimer::timeout, this, &TBoardPoller::Listened);
  connect(&m_pause, &QTimer::timeout, this, &TBoardPoller::Enter);
}

TBoardPoller::~TBoardPoller() { Stop(); }

void TBoardPoller::Start() {
  if (!m_tick.isActive()) m_tick.start();
}

void TBoardPoller::Stop() {
  m_tick.stop();
  m_listen.stop();
  m_pause.stop();
  m_port.reset();
}

void TBoardPoller::Poll() {
  if (m_port) return;  // the last poll is still under way (an entry, a "U" listened for)
  try {
    m_port = std::make_unique<TCustomComPort>();
    m_port->SetPort(m_portName);
    m_port->SetBaudRate(m_speed);
    m_port->OpenPort();
  } catch (const EComPort&) {  // no socket, no adapter, or the port is busy: no board to be had
    m_port.reset();
    emit Heard(false);
    return;
  }
  m_step = 0;
  m_dtr = m_rts = false;
  Enter();
}

void TBoardPoller::Enter() {
  try {
    for (; m_step < m_entry.size(); ++m_step) {
      const TModemStep& s = m_entry[m_step];
      if (s.what == TModemStep::mwPause) {
        ++m_step;
        m_pause.start(s.ms);
        return;
      }
      (s.what == TModemStep::mwDtr ? m_dtr : m_rts) = s.on;
      m_port->SetModemLines(m_dtr != m_invertDtr, m_rts != m_invertRts);
    }
    m_port->PurgeBuffers(true, true);
    m_port->SendText("U");
    m_listen.start();
  } catch (const EComPort&) {  // the line failed meanwhile
    m_port.reset();
    emit Heard(false);
  }
}

void TBoardPoller::Listened() {
  bool present = false;
  try {
    char reply[64];
    const std::size_t waiting = std::min(m_port->BytesWaiting(), sizeof reply);
    const std::size_t got = waiting ? m_port->ReceiveBytes(reply, waiting) : 0;
    present = std::string_view(reply, got).find('U') != std::string_view::npos;
  } catch (const EComPort&) {
  }
  m_port.reset();  // closed: the round opens it
  emit Heard(present);
}

}  // namespace kavel::stationwin
