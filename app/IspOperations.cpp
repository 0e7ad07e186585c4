// The operations object: its construction, the outcomes and their boxes, stop points.
#include "app/IspOperations.h"

#include <exception>

#include "app/Shell.h"
#include "image/HexBinList.h"
#include "isp/ScopeGuards.h"
#include "link/EComPort.h"

namespace kavel {
namespace {

// The message of the exception that ended an operation, as the general error report shows
// it: for a port error its whole message (code text, reason, error number), which the
// status's words leave out. Reading it is the only use of the exception here.
std::string CauseMessage(const TIspStatus& status) {
  try {
    std::rethrow_exception(status.cause);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return status.detail;
  }
}

}  // namespace

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

TIspStatus TIspOperations::Run(const std::function<TIspStatus()>& body) {
  TIspStatus status;
  {
    ++m_running;
    const TOnExit leave([this] { --m_running; });
    try {
      status = body();
    } catch (...) {
      std::optional<TIspStatus> ended = StatusOfCurrentException();
      if (!ended) throw;
      status = std::move(*ended);
    }
  }
  if (m_running == 0 && InErrorReport(status)) Say(status, {});
  return status;
}

const TIspStatus& TIspOperations::Say(const TIspStatus& status, const TSaying& saying) {
  if (InErrorReport(status)) {
    // Said once the outermost operation has returned and given the window back.
    if (m_running == 0) m_host.Box(ErrorReportRequest(CauseMessage(status)));
    return status;
  }
  if (saying.flag) OperationFailed = status.Ok() ? 0 : 1;
  if (!status.Ok()) {
    if (saying.failure != TFailureWords::fwNone) m_host.Box(FailureBox(status, saying.failure));
  } else if (!saying.done.empty()) {
    PlainBox(saying.done, saying.doneCaption, TBoxRole::brSuccess);
  }
  return status;
}

TMessageBoxRequest TIspOperations::FailureBox(const TIspStatus& status, TFailureWords words) const {
  switch (words) {
    case TFailureWords::fwReplyForBlock:
      // The text says "block" but counts records when an image is programmed: the index of
      // the record that failed.
      return PlainBoxRequest(ReplyClassWords(status.reply) + " for block: " + std::to_string(status.index),
                             "Send Error");
    case TFailureWords::fwDetail: return PlainBoxRequest(status.detail, "Send Error");
    case TFailureWords::fwNotSynchronized: return PlainBoxRequest("Flash not synchronized", "Com Port Error");
    case TFailureWords::fwOpenPort: return PlainBoxRequest("Open port error", "Open " + m_port.Port() + " port");
    case TFailureWords::fwControllerSilent:
      return MessageBoxRequest("Error 301\rKTN do not answer!", mkError, {mbtOK});
    case TFailureWords::fwNotProgrammed: {
      std::string text = m_imageFileName;
      text += "\r\rOperation failed - the chip was not programmed: ";
      text += status.detail;
      text += "\r\rSecurity bits not set, the chip is left unlocked.\r\n";
      text += kJumperOffText;
      return {text, "Full programming", MessageBoxStyle(mkError, {mbtOK}), TBoxRole::brNote};
    }
    case TFailureWords::fwNone:
    case TFailureWords::fwReply: break;
  }
  return PlainBoxRequest(ReplyClassWords(status.reply), "Send Error");
}

std::string TIspOperations::OnOffText(int value) { return value != 0 ? "ON" : "OFF"; }

void TIspOperations::StopPoint(std::string_view done) {
  if (m_host.StopRequested()) throw EOperationStopped(std::string(done));
}

}  // namespace kavel
