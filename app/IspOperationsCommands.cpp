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

TIspStatus TIspOperations::BSendHexFileClick() {
  return Run([this] {
    const TIspOptions options = Options();
    OperationFailed = 1;
    if (options.reuseImageFile) {
      m_host.ShowImageFile(m_imageFileName);
    } else {
      std::optional<std::string> chosen = m_host.ChooseImageFile(m_imageFileName);
      // Cancelled: nothing happens.
      if (!chosen) return Say(TIspStatus::Make(skCancelled, "no image file was chosen"), TSaying::Flagged());
      m_imageFileName = std::move(*chosen);
    }
    m_host.ProcessEvents();
    if (!m_port.Connected()) m_port.OpenPort();

    TOnExit ending([this] { m_host.SetProgress(""); });
    const THexBinList list = ImageToProgram();
    m_host.ShowImageFile(m_imageFileName);
    std::size_t resent = 0;  // none: the window sends a record once
    const TIspStatus status = m_session.Program(list, Pacing(options), resent);
    return Say(status, TSaying::Flagged(TFailureWords::fwReplyForBlock));
  });
}

TIspStatus TIspOperations::BFullEraseClick() {
  return Run([this] { return EraseWholeChip(true); });
}

TIspStatus TIspOperations::EraseWholeChip(bool byButton) {
  const TIspOptions options = Options();
  OperationFailed = 1;
  TBusyWindow busy(m_host, "Erasing entire chip memory ... wait");
  const TIspStatus synced = SynchronizeOrSay(options);
  if (!synced.Ok()) return Say(synced, TSaying::Flagged());
  const TIspStatus status = m_session.EraseChip(Pacing(options));
  if (InErrorReport(status) || !options.waitForConfirmation) {
    return Say(status, TSaying::Flagged());  // not waiting: taken as done after its fixed 9 s
  }
  Say(status, {TFailureWords::fwReply, byButton ? "Flash erased" : "", "OK", true});
  m_host.AppendDebug(m_session.ReplyText());
  return status;
}

TIspStatus TIspOperations::BEraseBlocksClick() {
  return Run([this] {
    const TIspOptions options = Options();
    if (options.eraseBlocks.none()) {
      PlainBox("Nothing to erase", "");
      return TIspStatus::Make(skOk, "Nothing to erase");
    }
    TBusyWindow busy(m_host, "Erasing blocks ... wait");
    const TIspStatus synced = SynchronizeOrSay(options);
    if (!synced.Ok()) return synced;
    std::bitset<16> erased;
    // The first failure ends it: later blocks stay as they are.
    return Say(m_session.EraseBlocks(options.eraseBlocks, Pacing(options), erased),
               {TFailureWords::fwReplyForBlock, "Selected blocks erased", "Erase OK"});
  });
}

TIspStatus TIspOperations::BBlankClick() {
  return Run([this] {
    const TIspOptions options = Options();
    TBusyWindow busy(m_host, "Blank check ... wait");
    const TIspStatus synced = SynchronizeOrSay(options);
    if (!synced.Ok()) return synced;
    TBlankResult result;
    const TIspStatus status = m_session.BlankCheck(kBlankCheckStart, kBlankCheckEnd, options.delay, result);
    if (InErrorReport(status)) return status;
    if (result.blank) {
      PlainBox("Flash is blank", "OK", TBoxRole::brSuccess);
      return status;
    }
    // Answered, but not blank: "Flash not blank at address: " and what the chip sent.
    const bool notBlank = status.kind == skRefused && status.reply == rcOk;
    Say(status, {notBlank ? TFailureWords::fwDetail : TFailureWords::fwReply});
    if (notBlank) m_host.AppendDebug(result.echo + m_session.ReplyText());
    return status;
  });
}

TIspStatus TIspOperations::FinishSetting(const TIspOptions& options, const TIspStatus& status, std::string done) {
  // Not waiting for replies, the command is taken as done after its pause.
  return Say(status, {TFailureWords::fwReply, std::move(done), options.waitForConfirmation ? "OK" : "Done", true});
}

TIspStatus TIspOperations::BSecurityClick(int bit) {
  return Run([this, bit] {
    if (bit < 1 || bit > 3) return TIspStatus::Make(skOk, "no such security bit");
    const TIspOptions options = Options();
    return FinishSetting(options, m_session.SetSecurityBit(bit, Pacing(options)),
                         "Security bit " + std::to_string(bit) + " set");
  });
}

TIspStatus TIspOperations::BSetStatusClick() {
  return Run([this] {
    const TIspOptions options = Options();
    return FinishSetting(options, m_session.SetStatusByte0(Pacing(options)), "Status byte set to 0 (application)");
  });
}

TIspStatus TIspOperations::B6ClockClick() {
  return Run([this] {
    const TIspOptions options = Options();
    const TIspStatus status = m_session.SetSixClock(Pacing(options));
    // Not waiting for replies it reports in OperationFailed; waiting, it leaves it alone.
    Say(status, {TFailureWords::fwReply, "Clock set", options.waitForConfirmation ? "OK" : "Done",
                 !options.waitForConfirmation});
    if (options.waitForConfirmation && !InErrorReport(status)) m_host.AppendDebug(m_session.ReplyText());
    return status;
  });
}

}  // namespace kavel
