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
  m_session.RethrowFailure();
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
  StopPoint("stopped before the jumper prompt: nothing was sent to the chip");
  PlainBox(kJumperOnText, "Info", TBoxRole::brPrompt);
  StopPoint("stopped at the jumper prompt: nothing was sent to the chip");
  m_clock.SleepMs(kJumperPauseMs);
  MakeFullProgramming();
  m_clock.SleepMs(kCycleEndPauseMs);
}

void TIspOperations::MakeFullProgramming() {
  if (!m_port.Connected()) TogglePort();
  if (!m_port.Connected()) return;
  const TCycleOptions fixed(m_cycleOptions, Options());
  const TIspOptions options = Options();
  for (int i = 0; i < kCycleSyncCount; ++i) {
    Engine().Send("U");
    m_clock.SleepMs(options.delay);
  }
  OperationFailed = 0;
  // Each step is started by the cycle, not by its button: its success box is left out, its
  // error box not.
  BFullEraseClick(sbOperation);
  if (OperationFailed != 0) return;
  TIspStatus cycle = m_status;
  StopPoint("stopped after the erase, before programming: the chip is erased");
  BSendHexFileClick(sbOperation);
  if (OperationFailed != 0) return;
  cycle = Worse(cycle, m_status);
  StopPoint("stopped after programming, before the read-back, the status byte and the security bits");
  // Waiting for replies, a refused clock command is shown but leaves OperationFailed as it
  // was, so the cycle goes on; its status still says the chip is not in 6-clock mode.
  if (options.sixClock) {
    B6ClockClick(sbOperation);
    cycle = Worse(cycle, m_status);
  }
  if (OperationFailed != 0) return;
  // Only a chip that holds the image is locked: it is read back first, its answers always
  // awaited, whether or not the options wait for the commands' replies. A chip that does not
  // hold it, or does not answer, stays open to be programmed again.
  TVerifyReport report;
  const TIspStatus verified = Took(m_session.Verify(ImageToProgram(), options.delay, true, report));
  if (!verified.Ok()) {
    OperationFailed = 1;
    std::string text = m_imageFileName;
    text += "\r\rOperation failed - the chip was not programmed: ";
    text += verified.detail;
    text += "\r\rSecurity bits not set, the chip is left unlocked.\r\n";
    text += kJumperOffText;
    m_host.Box({text, "Full programming", MessageBoxStyle(mkError, {mbtOK}), TBoxRole::brNote});
    return;
  }
  cycle = Worse(cycle, verified);
  StopPoint("stopped after the read-back, before the status byte: the chip is programmed and not locked");
  BSetStatusClick(sbOperation);
  if (OperationFailed != 0) return;
  cycle = Worse(cycle, m_status);
  for (int bit = 1; bit <= 3; ++bit) {
    BSecurityClick(bit, sbOperation);
    if (OperationFailed != 0) return;
    cycle = Worse(cycle, m_status);
  }
  std::string text = m_imageFileName;
  text += "\r\rOperation finished - security bits set\r\n";
  text += kJumperOffText;
  PlainBox(text, "Full programming", TBoxRole::brSuccess);
  m_status = cycle;
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
