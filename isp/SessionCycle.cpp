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
  if (IsSuspended(m_controllerConfig)) return TIspStatus::Make(skOk, "the controller was suspended already");
  m_controllerConfig = SuspendedConfig(m_controllerConfig);
  if (const TKtnOutcome written = ktn.WriteConfig(m_controllerConfig); !written.Ok()) return stopped(written);
  result.suspended = true;
  return TIspStatus::Make(skOk, "the controller is suspended");
}

TIspStatus TIspSession::SuspendController(TSuspension& result) {
  result = {};
  return Edge([&] {
    m_observer.Activity("suspending");
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
    m_clock.SleepMs(kResetPauseMs);
    result.step = TCycleStep::csSync;
    TIspStatus status = Synchronize(steps.sync, result.sync);
    if (!status.Ok()) return status;
    result.step = TCycleStep::csDevice;
    if ((steps.expectDevice || steps.readDevice) &&
        !(status = CheckDevice(steps.expectDevice, steps.pacing.delay, &result.deviceId)).Ok())
      return status;
    result.step = TCycleStep::csErase;
    if (!(status = EraseChip(steps.pacing)).Ok()) return status;
    result.erased = true;
    TIspStatus cycle = status;
    StopPoint("stopped after the erase, before programming: the chip is erased");
    result.step = TCycleStep::csProgram;
    if (!(status = Program(image, steps.pacing, result.resent)).Ok()) return status;
    result.programmed = true;
    cycle = Worse(cycle, status);
    // The chip is not locked as it was not asked to be: a refused clock command ends the cycle.
    if (steps.sixClock) {
      result.step = TCycleStep::csSixClock;
      StopPoint("stopped after programming, before 6-clock mode: the chip is not locked");
      if (!(status = SetSixClock(steps.pacing)).Ok()) return status;
      result.sixClock = true;
      cycle = Worse(cycle, status);
    }
    if (steps.verify) {
      // Only a chip that holds the image is locked: on a mismatch it stays open to try again.
      result.step = TCycleStep::csVerify;
      StopPoint("stopped after programming, before the verification: the chip is not locked");
      status = Verify(image, steps.pacing.delay, true, result.verify);
      if (status.kind == skStopped) status.detail += " of the read-back: the chip is programmed and not locked";
      if (!status.Ok()) return status;
      result.verified = true;
      cycle = Worse(cycle, status);
    }
    // Locking cannot be undone short of a whole-chip erase: a stop is honoured before each step
    // of it, and says exactly how far it went.
    result.step = TCycleStep::csLock;
    StopPoint("stopped before the status byte: the chip is programmed and not locked (no status byte, no "
              "security bit set)");
    m_observer.Activity("locking");
    if (!(status = SetStatusByte0(steps.pacing)).Ok()) return status;
    result.locked = 1;
    cycle = Worse(cycle, status);
    static constexpr std::string_view kLockedSoFar[] = {
        "the status byte was set to 0, no security bit",
        "the status byte and security bit 1 were set, security bits 2 and 3 not",
        "the status byte and security bits 1 and 2 were set, security bit 3 not"};
    for (int bit = 1; bit <= 3; ++bit) {
      StopPoint("stopped before security bit " + std::to_string(bit) + ": " + std::string(kLockedSoFar[bit - 1]));
      if (!(status = SetSecurityBit(bit, steps.pacing)).Ok()) return status;
      result.locked = bit + 1;
      cycle = Worse(cycle, status);
    }
    result.step = TCycleStep::csDone;
    return cycle;
  });
}

}  // namespace kavel
