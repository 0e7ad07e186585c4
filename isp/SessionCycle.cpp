// The communication controller's suspension and the full cycle.
#include "isp/Session.h"
#include "link/EComPort.h"

namespace kavel {
namespace {

constexpr std::uint8_t kDeclinedStates[] = {2, 3, 4};

}  // namespace

TIspStatus TIspSession::Controller(TSuspension& result) {
  TKTNPort& ktn = m_port.KTNPort();
  // The protocol ends at a port that fails; that is said as such, not as silence.
  const auto unanswered = [](const TKtnOutcome& outcome, const std::string& detail) {
    if (outcome.PortFailed())
      return TIspStatus::Make(skPortFailed, detail + " (the port failed: " + outcome.portFailure + ")");
    return TIspStatus::Make(skNoAnswer, detail);
  };
  const auto stopped = [&](const TKtnOutcome& outcome) {
    result.stoppedAnswering = true;
    return unanswered(outcome, "the controller stopped answering");
  };
  if (const TKtnOutcome found = ktn.FindController(); !found.Ok())
    return unanswered(found, "no controller answered on the line");
  if (const TKtnOutcome state = ktn.ReadState(m_controllerState); !state.Ok()) return stopped(state);
  for (std::uint8_t declined : kDeclinedStates) {
    if (m_controllerState[0] == declined) {
      return TIspStatus::Make(skRefused, "the controller declined: its state is " + std::to_string(declined));
    }
  }
  if (const TKtnOutcome read = ktn.ReadConfig(m_controllerConfig); !read.Ok()) return stopped(read);
  if (IsSuspended(m_controllerConfig)) {
    result.already = true;
    return TIspStatus::Make(skOk, "the controller was suspended already");
  }
  m_controllerConfig = SuspendedConfig(m_controllerConfig);
  if (const TKtnOutcome written = ktn.WriteConfig(m_controllerConfig); !written.Ok()) return stopped(written);
  result.suspended = true;
  return TIspStatus::Make(skOk, "the controller is suspended");
}

TIspStatus TIspSession::SuspendController(TSuspension& result) {
  result = {};
  return Edge([&] {
    m_observer.Activity(TActivity::acSuspend);
    const TBaudRate previous = m_port.BaudRate();
    TIspStatus status;
    try {
      // A closed port is opened for the exchange; one that cannot be is said, and the
      // exchange left out.
      if (!m_port.Connected()) {
        try {
          m_port.OpenPort();
        } catch (const EComPort& e) {
          status = TIspStatus::Make(skPortFailed, "cannot open " + m_port.Port() + ": " + e.what());
        }
      }
      if (m_port.Connected()) {
        m_port.SetBaudRate(br9600);
        status = Controller(result);
      }
    } catch (...) {
      try {
        m_port.SetBaudRate(previous);
      } catch (...) {
      }
      m_clock.SleepMs(kSuspendPauseMs);
      throw;
    }
    m_port.SetBaudRate(previous);
    m_clock.SleepMs(kSuspendPauseMs);
    return status;
  });
}

TIspStatus TIspSession::CycleStep(TCycleStep step, TCycleResult& result, const std::function<TIspStatus()>& body) {
  result.step = step;
  m_observer.StepBegins(step);
  const TIspStatus status = body();
  m_observer.StepEnded(step, status);
  return status;
}

TIspStatus TIspSession::WakeAndSynchronize(const TCycleSteps& steps, TCycleResult& result) {
  const TIspStatus woken = Edge([&] {
    for (int i = 0; i < steps.wakeUps; ++i) {
      if (!m_port.Connected()) m_port.OpenPort();
      m_engine.Send("U");
      m_clock.SleepMs(steps.pacing.delay);
    }
    return TIspStatus::Done();
  });
  return woken.Ok() ? Synchronize(steps.sync, result.sync) : woken;
}

TIspStatus TIspSession::Cycle(const THexBinList& image, const TCycleSteps& steps, TCycleResult& result) {
  result = {};
  if (steps.suspend) {
    result.step = TCycleStep::csSuspend;
    // A controller that is not there or declines is no reason not to go on; a port that
    // fails or a stop is.
    result.suspensionStatus = SuspendController(result.suspension);
    if (result.suspensionStatus.kind == skPortFailed || result.suspensionStatus.kind == skStopped)
      return result.suspensionStatus;
  }
  return Edge([&] {
    result.step = TCycleStep::csReady;
    StopPoint("stopped before the chip was made ready: nothing was sent to the chip");
    if (!m_observer.ChipReady()) throw EOperationStopped("stopped before the chip was made ready: nothing was sent to the chip");
    StopPoint("stopped once the chip was made ready: nothing was sent to the chip");
    m_clock.SleepMs(steps.resetPauseMs);
    // Each step from here on, heard begin and end by the observer.
    const auto step = [&](TCycleStep s, const std::function<TIspStatus()>& body) { return CycleStep(s, result, body); };
    TIspStatus status = step(TCycleStep::csSync, [&] { return WakeAndSynchronize(steps, result); });
    if (!status.Ok()) return status;
    if ((steps.expectDevice || steps.readDevice) &&
        !(status = step(TCycleStep::csDevice,
                        [&] { return CheckDevice(steps.expectDevice, steps.pacing.delay, &result.deviceId); }))
             .Ok())
      return status;
    const THexBinList* programmed = &image;
    if (steps.beforeErase && !(status = step(TCycleStep::csDevice, [&] { return Edge([&] { return steps.beforeErase(programmed); }); })).Ok())
      return status;
    if (!(status = step(TCycleStep::csErase, [&] { return EraseChip(steps.pacing); })).Ok()) return status;
    result.erased = true;
    TIspStatus cycle = status;
    StopPoint("stopped after the erase, before programming: the chip is erased");
    if (!(status = step(TCycleStep::csProgram, [&] { return Program(*programmed, steps.pacing, result.resent); })).Ok())
      return status;
    result.programmed = true;
    return AfterProgramming(*programmed, steps, result, Worse(cycle, status));
  });
}

TIspStatus TIspSession::AfterProgramming(const THexBinList& programmed, const TCycleSteps& steps, TCycleResult& result,
                                         TIspStatus cycle) {
  const auto step = [&](TCycleStep s, const std::function<TIspStatus()>& body) { return CycleStep(s, result, body); };
  // The chip is not locked as it was not asked to be: a refused clock command ends the
  // cycle, unless the steps say it goes on.
  if (steps.sixClock) {
    StopPoint("stopped after programming, before 6-clock mode: the chip is not locked");
    const TIspStatus status = step(TCycleStep::csSixClock, [&] { return SetSixClock(steps.pacing); });
    const bool chipsAnswer = status.kind == skRefused || status.kind == skNoAnswer || status.kind == skBadReply;
    if (!status.Ok() && (steps.sixClockRefusalEnds || !chipsAnswer)) return status;
    result.sixClock = status.Ok();
    cycle = Worse(cycle, status);
  }
  if (steps.verify) {
    // Only a chip that holds the image is locked: on a mismatch it stays open to try again.
    StopPoint("stopped after programming, before the verification: the chip is not locked");
    const TIspStatus status = step(TCycleStep::csVerify, [&] {
      TIspStatus read = Verify(programmed, steps.pacing.delay, true, result.verify);
      if (read.kind == skStopped) read.detail += " of the read-back: the chip is programmed and not locked";
      return read;
    });
    if (!status.Ok()) return status;
    result.verified = true;
    cycle = Worse(cycle, status);
  }
  // Locking cannot be undone short of a whole-chip erase: a stop is honoured before each step
  // of it, and says exactly how far it went.
  const TIspStatus status = step(TCycleStep::csLock, [&] { return Lock(steps.pacing, result.locked); });
  if (!status.Ok()) return status;
  result.step = TCycleStep::csDone;
  return Worse(cycle, status);
}

TIspStatus TIspSession::Lock(const TPacing& pacing, int& locked) {
  StopPoint("stopped before the status byte: the chip is programmed and not locked (no status byte, no "
            "security bit set)");
  m_observer.Activity(TActivity::acLock);
  TIspStatus status = StatusByte0(pacing);
  if (!status.Ok()) return status;
  locked = 1;
  TIspStatus all = status;
  static constexpr std::string_view kLockedSoFar[] = {
      "the status byte was set to 0, no security bit",
      "the status byte and security bit 1 were set, security bits 2 and 3 not",
      "the status byte and security bits 1 and 2 were set, security bit 3 not"};
  for (int bit = 1; bit <= 3; ++bit) {
    StopPoint("stopped before security bit " + std::to_string(bit) + ": " + std::string(kLockedSoFar[bit - 1]));
    if (!(status = SecurityBit(bit, pacing)).Ok()) return status;
    locked = bit + 1;
    all = Worse(all, status);
  }
  return all;
}

}  // namespace kavel
