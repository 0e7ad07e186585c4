// The single commands: programming a file, the erases, the blank check, the settings.
#include "isp/IspOperations.h"

#include <bitset>

#include "image/CheckedImage.h"
#include "isp/Display.h"
#include "isp/Records.h"
#include "isp/ScopeGuards.h"

namespace kavel {

namespace {

constexpr int kFullEraseWaitFactor = 90, kFullEraseWaitBase = 9000, kFullErasePauseMs = 9000;
constexpr int kBlockEraseWaitFactor = 20, kBlockEraseWaitBase = 2000, kBlockErasePauseMs = 2000;
constexpr int kBlankWaitFactor = 22, kBlankWaitBase = 2200;
constexpr std::size_t kBlankDiscardBytes = 100;
constexpr int kBlankEchoPauseMs = 100;  // the echo is complete by then
constexpr int kStatusWaitFactor = 10, kStatusWaitBase = 1000, kStatusPauseMs = 1000;

// "0 3 12": the blocks set in blocks, in order.
std::string BlockList(const std::bitset<16>& blocks) {
  std::string out;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    if (!blocks.test(b)) continue;
    if (!out.empty()) out += ' ';
    out += std::to_string(b);
  }
  return out;
}

}  // namespace

void TIspOperations::BSendHexFileClick(bool sender) {
  const TIspOptions options = Options();
  OperationFailed = 1;
  m_status = TIspStatus::Make(skCancelled, "no image file was chosen");
  if (options.reuseImageFile || !sender) {
    m_host.ShowImageFile(m_imageFileName);
  } else {
    std::optional<std::string> chosen = m_host.ChooseImageFile(m_imageFileName);
    if (!chosen) return;  // cancelled: nothing happens
    m_imageFileName = std::move(*chosen);
  }
  m_host.SetActivity("programming");
  m_host.ProcessEvents();
  if (!m_port.Connected()) m_port.OpenPort();

  TOnExit ending([this] { m_host.SetProgress(""); });
  const THexBinList list = ImageToProgram();
  m_host.ShowImageFile(m_imageFileName);
  if (!sender && !list.HoldsData()) {
    // A step of the full cycle: the status byte and the security bits must not follow.
    const std::string text = "No data to program in " + m_imageFileName;
    PlainBox(text, "Send Error");
    m_status = TIspStatus::Make(skBadImage, text);
    return;
  }
  const std::size_t count = list.Count();
  for (std::size_t i = 0; i < count; ++i) {
    StopPoint("stopped after " + std::to_string(i) + " of " + std::to_string(count) +
              " records of " + m_imageFileName + ": the chip is not fully programmed");
    const std::string& record = list[i];
    // The chip needs a moment before it switches its clock.
    if (record == kSixClockRecord) m_clock.SleepMs(kSixClockPauseMs);
    m_engine.SendRecord(record);
    m_host.SetProgress("Programming line: " + std::to_string(i) + " / " + std::to_string(count));
    m_host.RecordProgress(i + 1, count);
    if (!options.waitForConfirmation) {
      m_clock.SleepMs(options.delay);
      continue;
    }
    const TReplyClass cls = ClassifyReply(m_engine.WaitForDot(options.delay));
    if (cls != rcOk) {
      // "block" is the record's index here, as the operator has always read it.
      const std::string text = ReplyClassWords(cls) + " for block: " + std::to_string(i);
      PlainBox(text, "Send Error");
      m_status = m_engine.ReplyStatus(cls, text);
      m_status.index = static_cast<long>(i);
      return;
    }
  }
  OperationFailed = 0;
  m_status = TIspStatus::Done(options.waitForConfirmation);
}

void TIspOperations::BFullEraseClick(bool sender) {
  const TIspOptions options = Options();
  OperationFailed = 1;
  TBusyWindow busy(m_host, "Erasing entire chip memory ... wait");
  if (!SynchronizeOrSay(options)) return;
  StopPoint("stopped before the erase: nothing was erased");
  m_engine.SendRecord(kFullEraseRecord);
  if (!options.waitForConfirmation) {
    m_clock.SleepMs(kFullErasePauseMs);
    OperationFailed = 0;
    m_status = TIspStatus::Done(false);
    return;
  }
  const TReplyClass cls = ClassifyReply(
      m_engine.WaitForDot(ScaledMs(options.delay, kFullEraseWaitFactor, kFullEraseWaitBase)));
  if (cls == rcOk) {
    OperationFailed = 0;
    if (sender) PlainBox("Flash erased", "OK", TBoxRole::brSuccess);
  } else {
    PlainBox(ReplyClassWords(cls), "Send Error");
  }
  m_status = m_engine.ReplyStatus(cls, ReplyClassWords(cls));
  m_host.AppendDebug(m_engine.ReplyText());
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
  const int waitMs = ScaledMs(options.delay, kBlockEraseWaitFactor, kBlockEraseWaitBase);
  std::bitset<16> erased;
  for (int block = 0; block < kEraseBlockCount; ++block) {
    const auto bit = static_cast<std::size_t>(block);
    if (!options.eraseBlocks.test(bit)) continue;
    StopPoint((erased.none() ? "stopped before the erase: nothing was erased"
                             : "stopped after erasing blocks " + BlockList(erased)) +
              "; not erased: blocks " + BlockList(options.eraseBlocks & ~erased));
    const auto outcome = m_engine.GiveCommand(BlockEraseRecord(block), waitMs, kBlockErasePauseMs,
                                              options.waitForConfirmation);
    if (outcome.cls != rcOk) {
      const std::string text = ReplyClassWords(outcome.cls) + " for block: " + std::to_string(block);
      PlainBox(text, "Send Error");
      m_status = m_engine.ReplyStatus(outcome.cls, text);
      m_status.index = block;
      return;  // later blocks stay as they are
    }
    erased.set(bit);
  }
  PlainBox("Selected blocks erased", "Erase OK", TBoxRole::brSuccess);
  m_status = TIspStatus::Done(options.waitForConfirmation);
}

void TIspOperations::BBlankClick() {
  const TIspOptions options = Options();
  TBusyWindow busy(m_host, "Blank check ... wait");
  if (!SynchronizeOrSay(options)) return;
  // Empties the input before the check. On an idle line this read waits the port's whole
  // read time-out for 100 bytes (2,040 ms) before it returns with nothing.
  char buffer[kBlankDiscardBytes];
  m_port.ReceiveBytes(buffer, kBlankDiscardBytes);
  m_engine.ClearReplyText();
  // The character after the record starts the check.
  const std::string record = BlankCheckRecord(options.blankStart, options.blankEnd);
  m_engine.Send(record + '.');
  m_clock.SleepMs(kBlankEchoPauseMs);
  // The whole echo of the record, so that its last digit is not taken for the answer.
  const std::size_t echoLength = record.size();
  if (m_port.ReceiveBytes(buffer, echoLength) < echoLength) {
    PlainBox(ReplyClassWords(rcNoAnswer), "Send Error");
    m_status = TIspStatus::FromReply(rcNoAnswer, ReplyClassWords(rcNoAnswer));
    return;
  }
  std::string echo;
  for (std::size_t i = 0; i < echoLength; ++i) {
    if (static_cast<unsigned char>(buffer[i]) >= 32) echo += buffer[i];
  }
  const char reply = m_engine.WaitForDot(ScaledMs(options.delay, kBlankWaitFactor, kBlankWaitBase));
  const std::string& text = m_engine.ReplyText();
  if (reply == kReplyOk && text.size() == 1) {
    PlainBox("Flash is blank", "OK", TBoxRole::brSuccess);
    m_status = TIspStatus::Done();
  } else if (reply == kReplyOk || reply == kReplyEnd) {
    // What came before the terminator is the first address that is not blank.
    PlainBox("Flash not blank at address: " + text, "Send Error");
    m_status = TIspStatus::Make(skRefused, "Flash not blank at address: " + text);
    m_host.AppendDebug(echo + text);
  } else {
    const TReplyClass cls = ClassifyReply(reply);
    PlainBox(ReplyClassWords(cls), "Send Error");
    m_status = m_engine.ReplyStatus(cls, ReplyClassWords(cls));
  }
}

void TIspOperations::FinishSetting(const TIspOptions& options, int waitMs, int pauseMs,
                                   std::string_view done, bool sender) {
  if (!options.waitForConfirmation) {
    m_clock.SleepMs(pauseMs);
    OperationFailed = 0;
    m_status = TIspStatus::Done(false);
    if (sender) PlainBox(done, "Done", TBoxRole::brSuccess);
    return;
  }
  const TReplyClass cls = ClassifyReply(m_engine.WaitForDot(waitMs));
  m_status = m_engine.ReplyStatus(cls, ReplyClassWords(cls));
  if (cls != rcOk) {
    PlainBox(ReplyClassWords(cls), "Send Error");
    return;
  }
  OperationFailed = 0;
  if (sender) PlainBox(done, "OK", TBoxRole::brSuccess);
}

void TIspOperations::BSecurityClick(int bit, bool sender) {
  if (bit < 1 || bit > 3) return;
  const TIspOptions options = Options();
  m_engine.SendRecord(kSecurityBitRecords[bit - 1]);
  OperationFailed = 1;
  FinishSetting(options, options.delay, options.delay,
                "Security bit " + std::to_string(bit) + " set", sender);
}

void TIspOperations::BSetStatusClick(bool sender) {
  const TIspOptions options = Options();
  m_engine.SendRecord(CommandRecord(kSetStatusBody));
  OperationFailed = 1;
  FinishSetting(options, ScaledMs(options.delay, kStatusWaitFactor, kStatusWaitBase),
                kStatusPauseMs, "Status byte set to 0 (application)", sender);
}

void TIspOperations::B6ClockClick(bool sender) {
  const TIspOptions options = Options();
  m_engine.SendRecord(kSixClockRecord);
  if (!options.waitForConfirmation) {
    m_clock.SleepMs(options.delay);
    OperationFailed = 0;
    m_status = TIspStatus::Done(false);
    if (sender) PlainBox("Clock set", "Done", TBoxRole::brSuccess);
    return;
  }
  // Shown whoever started it: inside a full cycle a refusal is reported but ends nothing.
  const TReplyClass cls = ClassifyReply(m_engine.WaitForDot(options.delay));
  if (cls == rcOk) {
    PlainBox("Clock set", "OK", TBoxRole::brSuccess);
  } else {
    PlainBox(ReplyClassWords(cls), "Send Error");
  }
  m_status = m_engine.ReplyStatus(cls, ReplyClassWords(cls));
  m_host.AppendDebug(m_engine.ReplyText());
}

}  // namespace kavel
