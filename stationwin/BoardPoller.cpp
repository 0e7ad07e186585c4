#include "stationwin/BoardPoller.h"

#include <thread>

namespace kavel::stationwin {

TBoardPoller::TBoardPoller(const cli::TCliArgs& job, cli::TPortArg port, QObject* parent)
    : QObject(parent), m_job(std::make_shared<const cli::TCliArgs>(job)), m_port(std::move(port)) {
  m_next.setSingleShot(true);
  connect(&m_next, &QTimer::timeout, this, &TBoardPoller::Probe);
}

TBoardPoller::~TBoardPoller() {
  if (!m_probe) return;
  const std::lock_guard<std::mutex> hold(m_probe->mutex);
  m_probe->poller = nullptr;
  m_probe->stop = true;
}

void TBoardPoller::Start(int afterMs) {
  if (m_on) return;
  m_on = true;
  if (!m_probe) m_next.start(afterMs);
}

void TBoardPoller::Stop() {
  m_on = false;
  m_next.stop();
  if (m_probe) {
    m_probe->stop = true;  // Idle once it has ended
  } else {
    emit Idle();
  }
}

void TBoardPoller::Probe() {
  if (!m_on || m_probe) return;
  m_probe = std::make_shared<TLink>();
  m_probe->poller = this;
  m_began.start();
  // The thread owns what it reads; the window may be gone by the time it ends.
  std::thread([link = m_probe, job = m_job, port = m_port] {
    cli::TProbe probe = cli::ProbeBoard(*job, port, [&link] { return link->stop.load(); });
    const std::lock_guard<std::mutex> hold(link->mutex);
    if (TBoardPoller* poller = link->poller)
      QMetaObject::invokeMethod(poller, [poller, probe = std::move(probe)] { poller->Probed(probe); }, Qt::QueuedConnection);
  }).detach();
}

void TBoardPoller::Probed(const cli::TProbe& probe) {
  const bool stopped = m_probe->stop || probe.what == cli::TProbe::pwStopped;
  m_probe.reset();
  if (!stopped) emit Heard(probe);
  if (!m_on) {
    emit Idle();
    return;
  }
  const bool backOff = !stopped && (probe.what == cli::TProbe::pwNoPort || probe.what == cli::TProbe::pwNoise);
  m_backOffMs = !backOff ? 0 : m_backOffMs == 0 ? kBackOffMs : std::min(2 * m_backOffMs, kBackOffMaxMs);
  m_next.start(static_cast<int>(std::max<qint64>(0, (backOff ? m_backOffMs : kEveryMs) - m_began.elapsed())));
}

}  // namespace kavel::stationwin
