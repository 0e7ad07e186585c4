#include "cli/CliProbe.h"

#include "cli/CliCommands.h"
#include "cli/CliLine.h"
#include "isp/ReplyWait.h"
#include "isp/Session.h"
#include "link/BootEntry.h"
#include "link/EComPort.h"
#include "link/NAVOPort.h"

namespace kavel::cli {
namespace {

// Asks the probe's stop between the session's steps; shows nothing.
class TProbeObserver final : public TSessionObserver {
 public:
  explicit TProbeObserver(const std::function<bool()>& stop) : m_stop(stop) {}
  bool StopRequested() override { return m_stop && m_stop(); }

 private:
  const std::function<bool()>& m_stop;
};

}  // namespace

TProbe ProbeBoard(const TCliArgs& args, const TPortArg& portArg, const std::function<bool()>& stop) {
  TProbe probe;
  TNAVOPort port(0, 0, DeviceFor(portArg));
  if (const TRunStatus opened = OpenPort(port, portArg, args.baud); !opened.Ok()) {
    probe.words = opened.detail;
    return probe;
  }
  TProbeObserver observer(stop);
  try {
    if (!args.bootEntry.empty() &&
        !RunModemSteps(port, TSystemClock::Instance(), args.bootEntry, args.invertDtr, args.invertRts, stop)) {
      probe.what = TProbe::pwStopped;
      return probe;
    }
  } catch (const EComPort& e) {
    probe.words = "on " + portArg.name + ": " + e.Words();
    return probe;
  }
  TWireSpeedWait wait;
  TIspSession session(port, TSystemClock::Instance(), wait, observer);
  TSyncPlan plan = Plan(args);
  plan.blind = false;  // a probe learns whether a chip answers, whatever the job's pacing
  TSyncResult result;
  const TIspStatus status = session.Synchronize(plan, result);
  try {
    port.ClosePort();
  } catch (...) {  // the probe's answer stands; the port is let go with the object
  }
  if (status.Ok() && result.confirmed) {
    probe.what = TProbe::pwAnswered;
    probe.speed = result.speed;
  } else if (status.kind == skStopped) {
    probe.what = TProbe::pwStopped;
  } else if (status.kind == skPortFailed) {
    probe.words = status.detail;
  } else {
    probe.what = result.heard ? TProbe::pwNoise : TProbe::pwQuiet;
  }
  return probe;
}

}  // namespace kavel::cli
