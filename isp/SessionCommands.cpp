// The commands: programming an image, the erases, the blank check, the settings.
#include "isp/Display.h"
#include "isp/Records.h"
#include "isp/Session.h"

namespace kavel {
namespace {

constexpr int kFullEraseWaitFactor = 90, kFullEraseWaitBase = 9000, kFullErasePauseMs = 9000;
constexpr int kBlockEraseWaitFactor = 20, kBlockEraseWaitBase = 2000, kBlockErasePauseMs = 2000;
constexpr int kBlankWaitFactor = 22, kBlankWaitBase = 2200;
constexpr std::size_t kBlankDiscardBytes = 100;
constexpr int kBlankEchoPauseMs = 100;  // the echo is complete by then
constexpr int kStatusWaitFactor = 10, kStatusWaitBase = 1000, kStatusPauseMs = 1000;

}  // namespace

TIspStatus TIspSession::Command(std::string_view record, const TPacing& pacing, int waitMs, int pauseMs,
                                std::string_view what) {
  m_engine.SendRecord(record);
  if (!pacing.awaitReplies) {
    m_clock.SleepMs(pauseMs);
    return TIspStatus::Done(false);
  }
  const TReply reply = m_engine.WaitForDot(waitMs);
  const TReplyClass cls = reply.Class();
  return reply.Status(cls == rcOk ? std::string() : std::string(what) + ": " + ReplyClassWords(cls));
}

TIspStatus TIspSession::Program(const THexBinList& image, const TPacing& pacing, std::size_t& resent) {
  resent = 0;
  return Edge([&] {
    m_observer.Activity(TActivity::acProgram);
    const std::size_t count = image.Count();
    for (std::size_t i = 0; i < count; ++i) {
      StopPoint("stopped after " + std::to_string(i) + " of " + std::to_string(count) +
                " records: the chip is not fully programmed");
      const std::string& record = image[i];
      // The chip needs a moment before it switches its clock.
      if (record == kSixClockRecord) m_clock.SleepMs(kSixClockPauseMs);
      m_engine.SendRecord(record);
      // D counts from the record handed to the line: showing the progress falls inside it.
      const std::int64_t sent = m_clock.NowUs();
      m_observer.Progress(i + 1, count);
      if (!pacing.awaitReplies) {
        m_clock.SleepUntilUs(sent + std::int64_t{pacing.delay} * 1000);
        continue;
      }
      TReply reply = m_engine.WaitForDot(pacing.delay);
      // Line noise spoils a record ("R") or its reply (none): a data record goes again.
      for (int tries = 0; (reply.Class() == rcCrcError || reply.Class() == rcNoAnswer) && image.Record(i).IsData() &&
                          reply.line.Ok() && tries < pacing.retries;
           ++tries) {
        ++resent;
        m_engine.SendRecord(record);
        reply = m_engine.WaitForDot(pacing.delay);
      }
      if (const TReplyClass cls = reply.Class(); cls != rcOk) {
        TIspStatus status = reply.Status("record " + std::to_string(i) + ": " + ReplyClassWords(cls));
        status.index = static_cast<long>(i);
        return status;
      }
    }
    return TIspStatus::Done(pacing.awaitReplies);
  });
}

TIspStatus TIspSession::EraseChip(const TPacing& pacing) {
  return Edge([&] {
    m_observer.Activity(TActivity::acErase);
    StopPoint("stopped before the erase: nothing was erased");
    return Command(kFullEraseRecord, pacing, ScaledMs(pacing.delay, kFullEraseWaitFactor, kFullEraseWaitBase),
                   kFullErasePauseMs, "the whole-chip erase");
  });
}

TIspStatus TIspSession::EraseBlocks(std::bitset<16> blocks, const TPacing& pacing, std::bitset<16>& erased) {
  erased.reset();
  return Edge([&] {
    m_observer.Activity(TActivity::acErase);
    const int waitMs = ScaledMs(pacing.delay, kBlockEraseWaitFactor, kBlockEraseWaitBase);
    for (int block = 0; block < kEraseBlockCount; ++block) {
      const auto bit = static_cast<std::size_t>(block);
      if (!blocks.test(bit)) continue;
      StopPoint((erased.none() ? "stopped before the erase: nothing was erased"
                               : "stopped after erasing blocks " + BlockList(erased)) +
                "; not erased: blocks " + BlockList(blocks & ~erased));
      TIspStatus status = Command(BlockEraseRecord(block), pacing, waitMs, kBlockErasePauseMs,
                                  "the erase of block " + std::to_string(block));
      if (!status.Ok()) {
        status.index = block;
        return status;  // later blocks stay as they are
      }
      erased.set(bit);
    }
    return TIspStatus::Done(pacing.awaitReplies);
  });
}

TIspStatus TIspSession::BlankCheck(std::uint16_t start, std::uint16_t end, std::int32_t delay, TBlankResult& result) {
  result = {};
  return Edge([&] {
    m_observer.Activity(TActivity::acBlank);
    // Empties the input before the check. On an idle line this read waits the port's whole
    // read time-out for 100 bytes (2,040 ms) before it returns with nothing.
    char buffer[kBlankDiscardBytes];
    m_port.ReceiveBytes(buffer, kBlankDiscardBytes);
    m_engine.ClearReplyText();
    // The character after the record starts the check.
    const std::string record = BlankCheckRecord(start, end);
    m_engine.Send(record + '.');
    m_clock.SleepMs(kBlankEchoPauseMs);
    // The whole echo of the record, so that its last digit is not taken for the answer.
    const std::size_t echoLength = record.size();
    if (m_port.ReceiveBytes(buffer, echoLength) < echoLength) {
      return TIspStatus::FromReply(rcNoAnswer, ReplyClassWords(rcNoAnswer));
    }
    for (std::size_t i = 0; i < echoLength; ++i) {
      if (static_cast<unsigned char>(buffer[i]) >= 32) result.echo += buffer[i];
    }
    const TReply reply = m_engine.WaitForDot(ScaledMs(delay, kBlankWaitFactor, kBlankWaitBase));
    const std::string& text = m_engine.ReplyText();
    if (reply.ch == kReplyOk && text.size() == 1) {
      result.blank = true;
      return TIspStatus::Done();
    }
    if (reply.ch == kReplyOk || reply.ch == kReplyEnd) {
      // What came before the terminator is the first address that is not blank.
      result.answer = text.substr(0, text.size() - 1);
      return TIspStatus::Make(skRefused, "Flash not blank at address: " + text);
    }
    return reply.Status(ReplyClassWords(reply.Class()));
  });
}

TIspStatus TIspSession::StatusByte0(const TPacing& pacing) {
  return Edge([&] {
    return Command(CommandRecord(kSetStatusBody), pacing,
                   ScaledMs(pacing.delay, kStatusWaitFactor, kStatusWaitBase), kStatusPauseMs, "the status byte");
  });
}

TIspStatus TIspSession::SecurityBit(int bit, const TPacing& pacing) {
  if (bit < 1 || bit > 3) return TIspStatus::Make(skRefused, "no security bit " + std::to_string(bit));
  return Edge([&] {
    return Command(kSecurityBitRecords[bit - 1], pacing, pacing.delay, pacing.delay,
                   "security bit " + std::to_string(bit));
  });
}

TIspStatus TIspSession::SetStatusByte0(const TPacing& pacing) {
  return Edge([&] {
    m_observer.Activity(TActivity::acStatusByte);
    return StatusByte0(pacing);
  });
}

TIspStatus TIspSession::SetSecurityBit(int bit, const TPacing& pacing) {
  return Edge([&] {
    m_observer.Activity(TActivity::acSecurity);
    return SecurityBit(bit, pacing);
  });
}

TIspStatus TIspSession::SetSixClock(const TPacing& pacing) {
  return Edge([&] {
    m_observer.Activity(TActivity::acSixClock);
    return Command(kSixClockRecord, pacing, pacing.delay, pacing.delay, "6-clock mode");
  });
}

}  // namespace kavel
