// Opening the port and bringing the boot loader to the line speed, the window's way.
#include "app/IspOperations.h"

#include "isp/ScopeGuards.h"
#include "link/EComPort.h"

namespace kavel {

TIspStatus TIspOperations::TogglePort() {
  return Run([this] {
    TIspStatus status = TIspStatus::Done();
    if (m_port.Connected()) {
      m_port.ClosePort();
    } else {
      try {
        m_port.OpenPort();
      } catch (const EComPort& e) {
        // The toggle's own failure: its box, and the port stays closed.
        status = TIspStatus::Make(skPortFailed, "cannot open " + m_port.Port() + ": " + e.what());
      }
    }
    Say(status, {TFailureWords::fwOpenPort});
    m_host.ShowPortState();
    return status;
  });
}

TIspStatus TIspOperations::Synchronize() {
  return Run([this] { return Synchronize(Options()); });
}

TIspStatus TIspOperations::Synchronize(const TIspOptions& options) {
  if (!m_port.Connected()) {
    TIspStatus opened = TogglePort();
    if (!m_port.Connected()) return opened;
  }
  const std::string kept = m_host.ProgressText();
  m_host.SetProgress("Synchronizing ...");
  TOnExit restoreProgress([&] { m_host.SetProgress(kept); });
  // Not waiting for replies, two "U" at the chosen speed, the chip trusted to catch one;
  // waiting for them, the chosen speed, then the others, until the chip confirms one, which
  // the speed list then shows (it shows where the search ended whatever happens).
  const TSyncPlan plan = SyncPlan(options);
  TOnExit showSpeed([&] {
    if (options.waitForConfirmation) m_host.SelectTargetBaud(m_port.BaudRate());
  });
  TSyncResult result;
  return m_session.Synchronize(plan, result);
}

TSyncPlan TIspOperations::SyncPlan(const TIspOptions& options) {
  TSyncPlan plan;
  plan.first = options.targetBaud;
  plan.blind = !options.waitForConfirmation;
  plan.delay = options.delay;
  return plan;
}

TIspStatus TIspOperations::SynchronizeOrSay(const TIspOptions& options) {
  return Say(Synchronize(options), {TFailureWords::fwNotSynchronized});
}

TIspStatus TIspOperations::BSynchroClick() {
  return Run([this] {
    const TIspStatus status = SynchronizeOrSay(Options());
    return Say(status, {TFailureWords::fwNone, "Flash synchronized: " + BaudRateText(m_port.BaudRate())});
  });
}

}  // namespace kavel
