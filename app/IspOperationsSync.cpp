// Opening the port and bringing the boot loader to the line speed, the window's way.
#include "app/IspOperations.h"

#include "isp/ScopeGuards.h"
#include "link/EComPort.h"

namespace kavel {

void TIspOperations::TogglePort() {
  if (m_port.Connected()) {
    m_port.ClosePort();
    m_status = TIspStatus::Done();
  } else {
    try {
      m_port.OpenPort();
      m_status = TIspStatus::Done();
    } catch (const EComPort& e) {
      m_status = TIspStatus::Make(skPortFailed, "cannot open " + m_port.Port() + ": " + e.what());
      PlainBox("Open port error", "Open " + m_port.Port() + " port");
    }
  }
  m_host.ShowPortState();
}

bool TIspOperations::Synchronize() { return Synchronize(Options()); }

bool TIspOperations::Synchronize(const TIspOptions& options) {
  if (!m_port.Connected()) TogglePort();
  if (!m_port.Connected()) return false;  // TogglePort recorded why
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
  return Adopt(m_session.Synchronize(plan, result)).Ok();
}

TSyncPlan TIspOperations::SyncPlan(const TIspOptions& options) {
  TSyncPlan plan;
  plan.first = options.targetBaud;
  plan.blind = !options.waitForConfirmation;
  plan.delay = options.delay;
  return plan;
}

bool TIspOperations::SynchronizeOrSay(const TIspOptions& options) {
  if (Synchronize(options)) return true;
  PlainBox("Flash not synchronized", "Com Port Error");
  return false;
}

void TIspOperations::BSynchroClick() {
  if (SynchronizeOrSay(Options()))
    PlainBox("Flash synchronized: " + BaudRateText(m_port.BaudRate()), "OK", TBoxRole::brSuccess);
}

}  // namespace kavel
