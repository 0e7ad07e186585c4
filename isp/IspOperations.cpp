#include "isp/IspOperations.h"

#include <functional>
#include <utility>

#include "image/HexBinList.h"
#include "image/HexText.h"
#include "isp/Records.h"
#include "link/EComPort.h"

namespace kavel {
namespace {

// Runs its action when the scope ends, on every path; a failure of the action itself is
// dropped, as the first failure is the one to report.
class TOnExit {
 public:
  explicit TOnExit(std::function<void()> action) : m_action(std::move(action)) {}
  ~TOnExit() {
    try {
      m_action();
    } catch (...) {
    }
  }
  TOnExit(const TOnExit&) = delete;
  TOnExit& operator=(const TOnExit&) = delete;

 private:
  std::function<void()> m_action;
};

// The speeds tried after the first one has failed, in this order.
constexpr TBaudRate kScanList[] = {br38400, br19200, br14400, br9600, br4800};

}  // namespace

TIspOperations::TIspOperations(TNAVOPort& port, TClock& clock, TIspHost& host)
    : m_port(port), m_clock(clock), m_host(host), m_engine(port, clock, host) {}

void TIspOperations::PlainBox(std::string_view text, std::string_view caption) {
  m_host.Box(PlainBoxRequest(text, caption));
}

void TIspOperations::TogglePort() {
  if (m_port.Connected()) {
    m_port.ClosePort();
  } else {
    try {
      m_port.OpenPort();
    } catch (const EComPort&) {
      PlainBox("Open port error", "Open " + m_port.Port() + " port");
    }
  }
  m_host.ShowPortState();
}

std::string TIspOperations::SetClockRecord() {
  std::string body = "01000002";
  AppendHexByte(body, kSetClockValue);
  std::string record(1, ':');
  record += AddChecksum(body);
  return record;
}

bool TIspOperations::Synchronize() { return Synchronize(m_host.Options()); }

bool TIspOperations::Synchronize(const TIspOptions& options) {
  if (!m_port.Connected()) TogglePort();
  if (!m_port.Connected()) return false;
  const std::string kept = m_host.ProgressText();
  m_host.SetProgress("Synchronizing ...");
  TOnExit restoreProgress([&] { m_host.SetProgress(kept); });

  m_port.SetBaudRate(BaudRateFromText(options.targetBaud));
  m_port.PurgeBuffers(true, true);
  if (!options.waitForConfirmation) {
    // Blind: the boot loader is trusted to have caught one of the two.
    for (int i = 0; i < 2; ++i) {
      m_port.SendText("U");
      m_clock.SleepMs(options.delay);
    }
    return true;
  }

  // Confirmed: the speed list shows the speed the port ends at, whatever happens.
  TOnExit showSpeed([&] { m_host.SelectTargetBaud(BaudRateText(m_port.BaudRate())); });
  auto attempt = [this] {
    m_port.SendText("U");
    return SyncReply();
  };
  if (attempt()) return true;
  m_clock.SleepMs(kSyncPauseMs);
  if (attempt()) return true;
  for (TBaudRate rate : kScanList) {
    m_port.SetBaudRate(rate);
    for (int i = 0; i < 2; ++i) {
      m_clock.SleepMs(kSyncPauseMs);
      if (attempt()) return true;
    }
  }
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
  m_port.SendText(SetClockRecord());
  const char reply = m_engine.WaitForChar(kSyncReplyMs, ".");
  m_clock.SleepMs(kSyncPauseMs);
  return reply == kReplyOk;
}

void TIspOperations::BSynchroClick() {
  if (Synchronize(m_host.Options())) {
    PlainBox("Flash synchronized: " + BaudRateText(m_port.BaudRate()), "OK");
  } else {
    PlainBox("Flash not synchronized", "Com Port Error");
  }
}

void TIspOperations::BSendHexFileClick(bool sender) {
  const TIspOptions options = m_host.Options();
  OperationFailed = 1;
  if (options.reuseImageFile || !sender) {
    m_host.ShowImageFile(m_imageFileName);
  } else {
    std::optional<std::string> chosen = m_host.ChooseImageFile(m_imageFileName);
    if (!chosen) return;  // cancelled: nothing happens
    m_imageFileName = std::move(*chosen);
  }
  m_host.ProcessEvents();
  if (!m_port.Connected()) m_port.OpenPort();

  THexBinList list;
  TOnExit ending([this] { m_host.SetProgress(""); });
  LoadImageFile(list, m_imageFileName);
  m_host.ShowImageFile(m_imageFileName);
  const std::size_t count = list.Count();
  for (std::size_t i = 0; i < count; ++i) {
    const std::string& record = list[i];
    // The chip needs a moment before it switches its clock.
    if (record == kSixClockRecord) m_clock.SleepMs(kSixClockPauseMs);
    m_port.SendText(record);
    m_host.SetProgress("Programming line: " + std::to_string(i) + " / " + std::to_string(count));
    if (!options.waitForConfirmation) {
      m_clock.SleepMs(options.delay);
      continue;
    }
    const TReplyClass cls = ClassifyReply(m_engine.WaitForDot(options.delay));
    if (cls != rcOk) {
      // "block" is the record's index here, as the operator has always read it.
      PlainBox(ReplyClassWords(cls) + " for block: " + std::to_string(i), "Send Error");
      return;
    }
  }
  OperationFailed = 0;
}

}  // namespace kavel
