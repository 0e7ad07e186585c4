// Bringing the boot loader to the line speed.
#include <algorithm>

#include "isp/Records.h"
#include "isp/Session.h"

namespace kavel {
namespace {

// The speeds tried after the first one has failed, in this order.
constexpr TBaudRate kScanList[] = {br38400, br19200, br14400, br9600, br4800};

std::string SpeedList(const std::vector<TBaudRate>& speeds) {
  std::string out;
  for (TBaudRate s : speeds) out += (out.empty() ? "" : ", ") + BaudRateText(s);
  return out;
}

}  // namespace

TIspStatus TIspSession::Synchronize(const TSyncPlan& plan, TSyncResult& result) {
  result = {};
  return Edge([&] {
    m_observer.Activity(TActivity::acSync);
    if (!m_port.Connected()) m_port.OpenPort();
    m_port.SetBaudRate(plan.first);
    m_port.PurgeBuffers(true, true);
    result.speed = plan.first;
    result.tried = {plan.first};
    if (plan.blind) {
      // The boot loader is trusted to have caught one of the two.
      for (int i = 0; i < 2; ++i) {
        m_engine.Send("U");
        m_clock.SleepMs(plan.delay);
      }
      return TIspStatus::Done(false);
    }
    result.tried.clear();
    std::string portFailure;
    int answered = 0, echoed = 0;  // attempts whose "U" came back; of them, whose record came back alone
    auto attempt = [&] {
      StopPoint("stopped during the speed search, before any command reached the chip");
      if (std::find(result.tried.begin(), result.tried.end(), m_port.BaudRate()) == result.tried.end())
        result.tried.push_back(m_port.BaudRate());
      m_engine.Send("U");
      const TSyncAnswer answer = SyncReply();
      answered += answer.uBack;
      echoed += answer.echoed;
      result.heard = result.heard || answer.heard;
      if (!answer.line.Ok()) portFailure = answer.line.detail;
      return answer.ok;
    };
    auto found = [&] {
      result.speed = m_port.BaudRate();
      result.confirmed = true;
      return TIspStatus::Done();
    };
    // The speeds a front end would rather have first, two attempts each as for the scan's
    // (a chip still at one of them from an earlier run answers only there); a chip whose
    // crystal cannot make one fails its set-clock check there.
    for (TBaudRate rate : plan.fast) {
      m_port.SetBaudRate(rate);
      for (int i = 0; i < 2; ++i) {
        m_clock.SleepMs(kSyncPauseMs);
        if (attempt()) return found();
      }
    }
    m_port.SetBaudRate(plan.first);
    if (attempt()) return found();
    m_clock.SleepMs(kSyncPauseMs);
    if (attempt()) return found();
    for (TBaudRate rate : kScanList) {
      if (!plan.scan) break;
      m_port.SetBaudRate(rate);
      for (int i = 0; i < 2; ++i) {
        m_clock.SleepMs(kSyncPauseMs);
        if (attempt()) return found();
      }
    }
    result.speed = m_port.BaudRate();
    result.echoes = echoed > 0 && echoed == answered;
    const std::string tried = "tried " + SpeedList(result.tried) + " bit/s";
    if (!portFailure.empty()) return TIspStatus::Make(skPortFailed, "not synchronized (" + tried + "): " + portFailure);
    if (result.echoes) {
      return TIspStatus::Make(skNoAnswer, "not synchronized (" + tried +
                                              "): the line echoes what is sent: a loop-back plug, or the adapter's TX "
                                              "and RX joined");
    }
    return TIspStatus::Make(skNoAnswer, "not synchronized: no speed answered (" + tried + ")");
  });
}

TIspSession::TSyncAnswer TIspSession::SyncReply() {
  TSyncAnswer answer;
  const TReply u = m_engine.WaitForChar(kSyncReplyMs, "U");
  answer.line = u.line;
  answer.heard = !m_engine.ReplyText().empty();
  if (u.ch != 'U') return answer;
  m_clock.SleepMs(kSyncQuietMs);
  if (m_engine.ReplyText() != "U") return answer;  // something came before it
  if (m_port.BytesWaiting() != 0) return answer;   // something came after it
  answer.uBack = true;
  // The set-clock record, answered "." within 150 ms; 100 ms pass whatever came.
  m_port.PurgeBuffers(true, true);
  const std::string record = SetClockRecord();
  m_engine.SendRecord(record);
  const TReply dot = m_engine.WaitForChar(kSyncReplyMs, ".");
  answer.line = dot.line;
  answer.echoed = dot.ch != kReplyOk && m_engine.ReplyText() == record;
  m_clock.SleepMs(kSyncPauseMs);
  answer.ok = dot.ch == kReplyOk;
  return answer;
}

}  // namespace kavel
