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

constexpr std::string_view kJumperOnText =
    "Pleace jumper on \"Download Mode\" contacts then press \"uP Reset\" button. When finished "
    "click OK.";
constexpr std::string_view kJumperOffText =
    "Remove jumper from \"Download Mode\" contacts, then press OK.";

}  // namespace

bool TIspOperations::SuspendKTN() {
  m_host.SetProgress("Looking for KTN ...");
  const bool wasOpen = m_port.Connected();
  TSuspension result;
  m_status = m_session.SuspendController(result);
  if (!wasOpen) m_host.ShowPortState();  // it opened a closed port, or could not
  if (result.stoppedAnswering) {
    m_host.Box(MessageBoxRequest("Error 301\rKTN do not answer!", mkError, {mbtOK}));
  }
  RaiseCause(m_status);
  return result.suspended;
}

void TIspOperations::BFullClick() {
  std::optional<std::string> chosen = m_host.ChooseImageFile(m_imageFileName);
  if (!chosen) {
    m_status = TIspStatus::Make(skCancelled, "no image file was chosen");
    return;  // cancelled: nothing happens
  }
  m_imageFileName = std::move(*chosen);
  m_host.ShowImageFile(m_imageFileName);
  // The image is checked whole before anything reaches the line, and exactly what was checked
  // is programmed: a file the chip must not get ends the cycle here, before the controller is
  // suspended and the chip erased.
  m_cycleImage.reset();
  m_cycleImage = ImageToProgram();
  TOnExit forget([this] { m_cycleImage.reset(); });
  if (!m_cycleImage->HoldsData()) {
    const std::string text = "No data to program in " + m_imageFileName;
    PlainBox(text, "Send Error");
    m_status = TIspStatus::Make(skBadImage, text);
    return;
  }
  if (!KTNSuspended) KTNSuspended = SuspendKTN();
  MakeFullProgramming();  // the jumper prompt first (CycleChipReady), then the chip's 2 s
  m_clock.SleepMs(kCycleEndPauseMs);
}

bool TIspOperations::CycleChipReady() {
  PlainBox(kJumperOnText, "Info", TBoxRole::brPrompt);
  return true;
}

void TIspOperations::MakeFullProgramming() {
  if (!m_port.Connected()) TogglePort();
  if (!m_port.Connected()) return;
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
  const TIspStatus status = Adopt(m_session.Cycle(ImageToProgram(), steps, result));
  OperationFailed = result.step == TCycleStep::csDone ? 0 : 1;
  if (result.step != TCycleStep::csDone) return;
  std::string text = m_imageFileName;
  text += "\r\rOperation finished - security bits set\r\n";
  text += kJumperOffText;
  PlainBox(text, "Full programming", TBoxRole::brSuccess);
  m_status = status;
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
  // A failure raised from its cause (a port's exception, a stop) goes to the window's general
  // error report instead; any other, a port failure while a reply was awaited included, gets
  // the step's box.
  const bool said = status.Ok() || status.cause != nullptr;
  switch (step) {
    case TCycleStep::csSync:
      m_host.SetProgress(m_progressKept);
      if (options.waitForConfirmation) m_host.SelectTargetBaud(m_port.BaudRate());
      if (!said) {
        EndBusy();
        PlainBox("Flash not synchronized", "Com Port Error");
      }
      break;
    case TCycleStep::csErase:
      EndBusy();
      if (!options.waitForConfirmation) break;
      if (!said) PlainBox(ReplyClassWords(status.reply), "Send Error");
      m_host.AppendDebug(m_session.ReplyText());
      break;
    case TCycleStep::csProgram:
      m_host.SetProgress("");
      // The text says "block" but counts records: the index of the record that failed.
      if (!said) PlainBox(ReplyClassWords(status.reply) + " for block: " + std::to_string(status.index), "Send Error");
      break;
    case TCycleStep::csSixClock:
      // Shown inside the cycle too, replies awaited: a refusal is reported but ends nothing.
      if (!options.waitForConfirmation || status.cause) break;
      if (status.Ok()) {
        PlainBox("Clock set", "OK", TBoxRole::brSuccess);
      } else {
        PlainBox(ReplyClassWords(status.reply), "Send Error");
      }
      m_host.AppendDebug(m_session.ReplyText());
      break;
    case TCycleStep::csVerify:
      // Only a chip that holds the image is locked; one that does not, or does not answer its
      // read-back, stays open to be programmed again.
      if (!said) {
        std::string text = m_imageFileName;
        text += "\r\rOperation failed - the chip was not programmed: ";
        text += status.detail;
        text += "\r\rSecurity bits not set, the chip is left unlocked.\r\n";
        text += kJumperOffText;
        m_host.Box({text, "Full programming", MessageBoxStyle(mkError, {mbtOK}), TBoxRole::brNote});
      }
      break;
    case TCycleStep::csLock:
      if (!said) PlainBox(ReplyClassWords(status.reply), "Send Error");
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

void TIspOperations::FullErase() {
  if (!KTNSuspended) KTNSuspended = SuspendKTN();
  StopPoint("stopped before the jumper prompt: nothing was erased");
  PlainBox(kJumperOnText, "Info", TBoxRole::brPrompt);
  StopPoint("stopped at the jumper prompt: nothing was erased");
  BFullEraseClick(sbOperation);
  const TIspStatus erased = m_status;
  // The jumper must come off whatever happened, but a failed erase is not called erased.
  std::string text(OperationFailed == 0 ? "Flash erased." : "Flash not erased.");
  text += "\r\n";
  text += kJumperOffText;
  PlainBox(text, "Erase");
  m_status = erased;
}

THexBinList TIspOperations::ImageToProgram() const {
  if (m_cycleImage) return *m_cycleImage;
  return LoadCheckedImage(m_imageFileName, std::nullopt, kWindowImageRules);
}

}  // namespace kavel
