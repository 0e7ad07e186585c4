// Opening the port and bringing the boot loader to the line speed.
#include "isp/IspOperations.h"

#include "image/HexText.h"
#include "isp/Records.h"
#include "isp/ScopeGuards.h"
#include "link/EComPort.h"

namespace kavel {

namespace {

// The speeds tried after the first one has failed, in this order.
constexpr TBaudRate kScanList[] = {br38400, br19200, br14400, br9600, br4800};

}  // namespace

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

std::string TIspOperations::SetClockRecord() {
  std::string body = "01000002";
  AppendHexByte(body, kSetClockValue);
  return CommandRecord(body);
}

bool TIspOperations::Synchronize() { return Synchronize(Options()); }

bool TIspOperations::Synchronize(const TIspOptions& options) {
  if (!m_port.Connected()) TogglePort();
  if (!m_port.Connected()) return false;  // TogglePort recorded why
  const std::string kept = m_host.ProgressText();
  m_host.SetProgress("Synchronizing ...");
  TOnExit restoreProgress([&] { m_host.SetProgress(kept); });

  m_port.SetBaudRate(BaudRateFromText(options.targetBaud));
  m_port.PurgeBuffers(true, true);
  if (!options.waitForConfirmation) {
    // Blind: the boot loader is trusted to have caught one of the two.
    for (int i = 0; i < 2; ++i) {
      m_engine.Send("U");
      m_clock.SleepMs(options.delay);
    }
    m_status = TIspStatus::Done(false);
    return true;
  }

  // Confirmed: the speed list shows the speed the port ends at, whatever happens.
  TOnExit showSpeed([&] { m_host.SelectTargetBaud(BaudRateText(m_port.BaudRate())); });
  std::string portFailure;
  auto attempt = [&] {
    StopPoint("stopped during the speed search, before any command reached the chip");
    m_engine.Send("U");
    const bool ok = SyncReply();
    if (!m_engine.PortFailure().empty()) portFailure = m_engine.PortFailure();
    return ok;
  };
  auto found = [&] {
    m_status = TIspStatus::Done();
    return true;
  };
  // The speeds a host would rather have first, two attempts each as for the scan's speeds
  // (a chip still at one of them from an earlier run answers only there); a chip whose
  // crystal cannot make one fails its set-clock check there.
  for (TBaudRate rate : options.fastSpeeds) {
    m_port.SetBaudRate(rate);
    for (int i = 0; i < 2; ++i) {
      m_clock.SleepMs(kSyncPauseMs);
      if (attempt()) return found();
    }
  }
  m_port.SetBaudRate(BaudRateFromText(options.targetBaud));
  if (attempt()) return found();
  m_clock.SleepMs(kSyncPauseMs);
  if (attempt()) return found();
  for (TBaudRate rate : kScanList) {
    m_port.SetBaudRate(rate);
    for (int i = 0; i < 2; ++i) {
      m_clock.SleepMs(kSyncPauseMs);
      if (attempt()) return found();
    }
  }
  m_status = portFailure.empty()
                 ? TIspStatus::Make(skNoAnswer, "Flash not synchronized: no speed answered")
                 : TIspStatus::Make(skPortFailed, "Flash not synchronized: the port failed: " + portFailure);
  return false;
}

bool TIspOperations::SyncReply() {
  if (m_engine.WaitForChar(kSyncReplyMs, "U") != 'U') return false;
  m_clock.SleepMs(kSyncQuietMs);
  if (m_engine.ReplyText() != "U") return false;  // something came before it
  if (m_port.BytesWaiting() != 0) return false;   // something came after it
  return SetClock();
}

bool TIspOperations::SetClock() {
  m_port.PurgeBuffers(true, true);
  m_engine.SendRecord(SetClockRecord());
  const char reply = m_engine.WaitForChar(kSyncReplyMs, ".");
  m_clock.SleepMs(kSyncPauseMs);
  return reply == kReplyOk;
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
