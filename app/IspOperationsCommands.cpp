// The single commands, the window's way: programming a file, the erases, the blank check,
// the settings.
#include "app/IspOperations.h"

#include "image/CheckedImage.h"
#include "isp/Records.h"
#include "isp/ScopeGuards.h"

namespace kavel {
namespace {

// The window's blank check looks at the first 16 KB (blocks 0 to 3) only, not the whole 64 KB.
constexpr std::uint16_t kBlankCheckStart = 0x0000;
constexpr std::uint16_t kBlankCheckEnd = 0x3FFF;

}  // namespace

void TIspOperations::BSendHexFileClick(TStartedBy startedBy) {
  const TIspOptions options = Options();
  OperationFailed = 1;
  m_status = TIspStatus::Make(skCancelled, "no image file was chosen");
  const bool asStep = startedBy == sbOperation;
  if (options.reuseImageFile || asStep) {
    m_host.ShowImageFile(m_imageFileName);
  } else {
    std::optional<std::string> chosen = m_host.ChooseImageFile(m_imageFileName);
    if (!chosen) return;  // cancelled: nothing happens
    m_imageFileName = std::move(*chosen);
  }
  m_host.ProcessEvents();
  if (!m_port.Connected()) m_port.OpenPort();

  TOnExit ending([this] { m_host.SetProgress(""); });
  const THexBinList list = ImageToProgram();
  m_host.ShowImageFile(m_imageFileName);
  if (asStep && !list.HoldsData()) {
    // A step of the full cycle: the status byte and the security bits must not follow.
    const std::string text = "No data to program in " + m_imageFileName;
    PlainBox(text, "Send Error");
    m_status = TIspStatus::Make(skBadImage, text);
    return;
  }
  std::size_t resent = 0;  // none: the window sends a record once
  if (Adopt(m_session.Program(list, Pacing(options), resent)).Ok()) {
    OperationFailed = 0;
  } else {
    // The text says "block" but counts records: the index of the record that failed.
    PlainBox(ReplyClassWords(m_status.reply) + " for block: " + std::to_string(m_status.index), "Send Error");
  }
}

void TIspOperations::BFullEraseClick(TStartedBy startedBy) {
  const TIspOptions options = Options();
  OperationFailed = 1;
  TBusyWindow busy(m_host, "Erasing entire chip memory ... wait");
  if (!SynchronizeOrSay(options)) return;
  const TIspStatus& status = Adopt(m_session.EraseChip(Pacing(options)));
  if (!options.waitForConfirmation) {
    OperationFailed = 0;  // taken as done after its fixed 9 s
    return;
  }
  if (status.Ok()) {
    OperationFailed = 0;
    if (startedBy == sbButton) PlainBox("Flash erased", "OK", TBoxRole::brSuccess);
  } else {
    PlainBox(ReplyClassWords(status.reply), "Send Error");
  }
  m_host.AppendDebug(m_session.ReplyText());
}

void TIspOperations::BEraseBlocksClick() {
  const TIspOptions options = Options();
  if (options.eraseBlocks.none()) {
    PlainBox("Nothing to erase", "");
    m_status = TIspStatus::Make(skOk, "Nothing to erase");
    return;
  }
  TBusyWindow busy(m_host, "Erasing blocks ... wait");
  if (!SynchronizeOrSay(options)) return;
  std::bitset<16> erased;
  if (!Adopt(m_session.EraseBlocks(options.eraseBlocks, Pacing(options), erased)).Ok()) {
    // Later blocks stay as they are.
    PlainBox(ReplyClassWords(m_status.reply) + " for block: " + std::to_string(m_status.index), "Send Error");
    return;
  }
  PlainBox("Selected blocks erased", "Erase OK", TBoxRole::brSuccess);
}

void TIspOperations::BBlankClick() {
  const TIspOptions options = Options();
  TBusyWindow busy(m_host, "Blank check ... wait");
  if (!SynchronizeOrSay(options)) return;
  TBlankResult result;
  const TIspStatus& status =
      Adopt(m_session.BlankCheck(kBlankCheckStart, kBlankCheckEnd, options.delay, result));
  if (result.blank) {
    PlainBox("Flash is blank", "OK", TBoxRole::brSuccess);
  } else if (status.kind == skRefused && status.reply == rcOk) {
    PlainBox(status.detail, "Send Error");  // "Flash not blank at address: " and what the chip sent
    m_host.AppendDebug(result.echo + m_session.ReplyText());
  } else {
    PlainBox(ReplyClassWords(status.reply), "Send Error");
  }
}

void TIspOperations::FinishSetting(const TIspOptions& options, std::string_view done, TStartedBy startedBy) {
  OperationFailed = 1;
  if (!options.waitForConfirmation) {
    OperationFailed = 0;
    if (startedBy == sbButton) PlainBox(done, "Done", TBoxRole::brSuccess);
    return;
  }
  if (!m_status.Ok()) {
    PlainBox(ReplyClassWords(m_status.reply), "Send Error");
    return;
  }
  OperationFailed = 0;
  if (startedBy == sbButton) PlainBox(done, "OK", TBoxRole::brSuccess);
}

void TIspOperations::BSecurityClick(int bit, TStartedBy startedBy) {
  if (bit < 1 || bit > 3) return;
  const TIspOptions options = Options();
  Adopt(m_session.SetSecurityBit(bit, Pacing(options)));
  FinishSetting(options, "Security bit " + std::to_string(bit) + " set", startedBy);
}

void TIspOperations::BSetStatusClick(TStartedBy startedBy) {
  const TIspOptions options = Options();
  Adopt(m_session.SetStatusByte0(Pacing(options)));
  FinishSetting(options, "Status byte set to 0 (application)", startedBy);
}

void TIspOperations::B6ClockClick(TStartedBy startedBy) {
  const TIspOptions options = Options();
  const TIspStatus& status = Adopt(m_session.SetSixClock(Pacing(options)));
  if (!options.waitForConfirmation) {
    OperationFailed = 0;
    if (startedBy == sbButton) PlainBox("Clock set", "Done", TBoxRole::brSuccess);
    return;
  }
  // Shown whoever started it: inside a full cycle a refusal is reported but ends nothing.
  if (status.Ok()) {
    PlainBox("Clock set", "OK", TBoxRole::brSuccess);
  } else {
    PlainBox(ReplyClassWords(status.reply), "Send Error");
  }
  m_host.AppendDebug(m_session.ReplyText());
}

}  // namespace kavel
