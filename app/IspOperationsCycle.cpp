// The communication controller's suspension, the full programming cycle and "FULL CHIP
// ERASE".
#include "app/IspOperations.h"

#include "image/CheckedImage.h"
#include "isp/ScopeGuards.h"

namespace kavel {
namespace {

// Sets the options of a cycle for its lifetime: its steps work with them, not with the
// host's as they stand when each step begins.
class TCycleOptions {
 public:
  TCycleOptions(std::optional<TIspOptions>& slot, TIspOptions options) : m_slot(slot), m_outer(slot.has_value()) {
    if (!m_outer) m_slot = std::move(options);
  }
  ~TCycleOptions() {
    if (!m_outer) m_slot.reset();
  }
  TCycleOptions(const TCycleOptions&) = delete;
  TCycleOptions& operator=(const TCycleOptions&) = delete;

 private:
  std::optional<TIspOptions>& m_slot;
  bool m_outer;  // set by an enclosing cycle, which keeps it
};

}  // namespace

TIspStatus TIspOperations::SuspendKTN() {
  return Run([this] {
    m_host.SetProgress("Looking for KTN ...");
    const bool wasOpen = m_port.Connected();
    TSuspension result;
    const TIspStatus status = m_session.SuspendController(result);
    if (!wasOpen) m_host.ShowPortState();  // it opened a closed port, or could not
    // Only a controller that stopped answering is said; one that never answered, declined or
    // was suspended already leaves the cycle to go on silently.
    Say(status, {result.stoppedAnswering ? TFailureWords::fwControllerSilent : TFailureWords::fwNone});
    if (result.suspended) KTNSuspended = true;
    return status;
  });
}

TIspStatus TIspOperations::BFullClick() {
  return Run([this] {
    std::optional<std::string> chosen = m_host.ChooseImageFile(m_imageFileName);
    // Cancelled: nothing happens.
    if (!chosen) return TIspStatus::Make(skCancelled, "no image file was chosen");
    m_imageFileName = std::move(*chosen);
    m_host.ShowImageFile(m_imageFileName);
    // The image is checked whole before anything reaches the line, and exactly what was
    // checked is programmed: a file the chip must not get ends the cycle here, before the
    // controller is suspended and the chip erased.
    m_cycleImage.reset();
    m_cycleImage = ImageToProgram();
    TOnExit forget([this] { m_cycleImage.reset(); });
    if (!m_cycleImage->HoldsData()) {
      return Say(TIspStatus::Make(skBadImage, "No data to program in " + m_imageFileName),
                 {TFailureWords::fwDetail});
    }
    if (!KTNSuspended) {
      if (const TIspStatus suspension = SuspendKTN(); InErrorReport(suspension)) return suspension;
    }
    const TIspStatus status = MakeFullProgramming();  // the jumper prompt first, then the chip's 2 s
    if (InErrorReport(status)) return status;
    m_clock.SleepMs(kCycleEndPauseMs);
    return status;
  });
}

bool TIspOperations::CycleChipReady() {
  PlainBox(kJumperOnText, "Info", TBoxRole::brPrompt);
  return true;
}

TIspStatus TIspOperations::MakeFullProgramming() {
  return Run([this] {
    if (!m_port.Connected()) {
      if (const TIspStatus opened = TogglePort(); !m_port.Connected()) return opened;
    }
    const TCycleOptions fixed(m_cycleOptions, Options());
    const TIspOptions options = Options();
    // The session's cycle with the window's ways: the controller and the jumper were seen to
    // before, three "U" wake the chip before the speed search, and a refused 6-clock command
    // is shown but ends nothing. The boxes of the steps come as the steps end (CycleStepEnded).
    TCycleSteps steps;
    steps.pacing = Pacing(options);
    steps.sync = SyncPlan(options);
    steps.suspend = false;
    steps.sixClock = options.sixClock;
    steps.wakeUps = kCycleSyncCount;
    steps.sixClockRefusalEnds = false;
    TOnExit idle([this] { EndBusy(); });
    TCycleResult result;
    OperationFailed = 1;  // until the cycle has gone through
    const TIspStatus status = m_session.Cycle(ImageToProgram(), steps, result);
    if (result.step != TCycleStep::csDone) return status;
    OperationFailed = 0;
    std::string text = m_imageFileName;
    text += "\r\rOperation finished - security bits set\r\n";
    text += kJumperOffText;
    PlainBox(text, "Full programming", TBoxRole::brSuccess);
    return status;
  });
}

void TIspOperations::CycleStepBegins(TCycleStep step) {
  switch (step) {
    case TCycleStep::csSync:
      // The erase's busy window holds from its speed search on, as its button's does.
      BeginBusy("Erasing entire chip memory ... wait");
      m_progressKept = m_host.ProgressText();
      m_host.SetProgress("Synchronizing ...");
      break;
    case TCycleStep::csProgram:
      m_host.ShowImageFile(m_imageFileName);
      m_host.ProcessEvents();
      break;
    default: break;
  }
}

void TIspOperations::CycleStepEnded(TCycleStep step, const TIspStatus& status) {
  const TIspOptions options = Options();
  // A failure that ended the step by an exception (a port's, a stop) is said in the window's
  // general error report once the cycle has returned; any other, a port failure while a reply
  // was awaited included, gets the step's box here.
  const bool boxed = !status.Ok() && !InErrorReport(status);
  switch (step) {
    case TCycleStep::csSync:
      m_host.SetProgress(m_progressKept);
      if (options.waitForConfirmation) m_host.SelectTargetBaud(m_port.BaudRate());
      if (boxed) EndBusy();
      Say(status, {TFailureWords::fwNotSynchronized});
      break;
    case TCycleStep::csErase:
      EndBusy();
      if (!options.waitForConfirmation) break;
      Say(status, {TFailureWords::fwReply});
      m_host.AppendDebug(m_session.ReplyText());
      break;
    case TCycleStep::csProgram:
      m_host.SetProgress("");
      Say(status, {TFailureWords::fwReplyForBlock});
      break;
    case TCycleStep::csSixClock:
      // Shown inside the cycle too, replies awaited: a refusal is reported but ends nothing.
      if (!options.waitForConfirmation || InErrorReport(status)) break;
      Say(status, {TFailureWords::fwReply, "Clock set"});
      m_host.AppendDebug(m_session.ReplyText());
      break;
    case TCycleStep::csVerify:
      // Only a chip that holds the image is locked; one that does not, or does not answer its
      // read-back, stays open to be programmed again.
      Say(status, {TFailureWords::fwNotProgrammed});
      break;
    case TCycleStep::csLock:
      Say(status, {TFailureWords::fwReply});
      break;
    default: break;
  }
}

void TIspOperations::BeginBusy(std::string_view text) {
  m_busy = true;
  m_host.EnableWindow(false);
  m_host.SetProgress(text);
}

void TIspOperations::EndBusy() {
  if (!std::exchange(m_busy, false)) return;
  m_host.SetProgress("");
  m_host.EnableWindow(true);
}

TIspStatus TIspOperations::FullErase() {
  return Run([this] {
    if (!KTNSuspended) {
      if (const TIspStatus suspension = SuspendKTN(); InErrorReport(suspension)) return suspension;
    }
    StopPoint("stopped before the jumper prompt: nothing was erased");
    PlainBox(kJumperOnText, "Info", TBoxRole::brPrompt);
    StopPoint("stopped at the jumper prompt: nothing was erased");
    const TIspStatus erased = EraseWholeChip(false);
    if (InErrorReport(erased)) return erased;
    // The jumper must come off whatever happened, but a failed erase is not called erased.
    std::string text(erased.Ok() ? "Flash erased." : "Flash not erased.");
    text += "\r\n";
    text += kJumperOffText;
    PlainBox(text, "Erase");
    return erased;
  });
}

THexBinList TIspOperations::ImageToProgram() const {
  if (m_cycleImage) return *m_cycleImage;
  return LoadCheckedImage(m_imageFileName, std::nullopt, kWindowImageRules);
}

}  // namespace kavel
