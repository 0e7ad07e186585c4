// Reading the chip: one value, the device check, the flash through the display record, and
// the verification of an image.
#include <algorithm>

#include "image/HexText.h"
#include "isp/Display.h"
#include "isp/Records.h"
#include "isp/Session.h"

namespace kavel {
namespace {

constexpr int kReadWaitFactor = 3, kReadWaitBase = 300;
constexpr std::string_view kDeviceIdBody = "020000050001";

// An answer in quotes as it came, each byte that is no printable character as \xNN.
std::string Quoted(const std::string& came) {
  std::string quoted = "\"";
  for (const char c : came) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      quoted += c;
    } else {
      quoted += "\\x" + HexText(byte, 2);
    }
  }
  return quoted + "\"";
}

}  // namespace

TIspStatus TIspSession::ReadByte(std::string_view body, std::int32_t delay, TByteRead& read) {
  read = {};
  return Edge([&] {
    const std::string record = CommandRecord(body);
    const auto outcome = m_engine.GiveCommand(record, ScaledMs(delay, kReadWaitFactor, kReadWaitBase), 0, true);
    read.reply = m_engine.ReplyText();
    if (outcome.cls != rcOk) return outcome.reply.Status(ReplyClassWords(outcome.cls));
    // Exactly the record's echo, two hex digits and the ".".
    const TReadAnswer answer = ParseReadAnswer(read.reply, body);
    read.came = answer.came;
    read.digits = answer.digits;
    const std::string& c = read.came;
    if (!answer.echoed || c.size() != 2 || HexDigitValue(c[0]) < 0 || HexDigitValue(c[1]) < 0) {
      return TIspStatus::Make(skBadReply, "the chip answered " + Quoted(c) + ", not two hex digits");
    }
    read.value = static_cast<std::uint8_t>(HexDigitValue(c[0]) * 16 + HexDigitValue(c[1]));
    return TIspStatus::Done();
  });
}

TIspStatus TIspSession::CheckDevice(std::optional<std::uint8_t> expected, std::int32_t delay,
                                    std::optional<std::uint8_t>* id) {
  TByteRead read;
  TIspStatus status = ReadByte(kDeviceIdBody, delay, read);
  if (!status.Ok()) {
    status.detail = "Device id: " + status.detail + ": nothing was written";
    return status;
  }
  if (id) *id = read.value;
  if (!expected) return TIspStatus::Done();
  std::string want;
  AppendHexByte(want, *expected);
  if (*read.value != *expected) {
    return TIspStatus::Make(skRefused, "the chip's device id is " + read.came + ", not " + want +
                                           " as expected: nothing was written");
  }
  return TIspStatus::Done();
}

TIspStatus TIspSession::ReadRanges(const std::vector<std::pair<std::uint16_t, std::uint16_t>>& ranges,
                                   std::int32_t delay, std::vector<std::uint8_t>& bytes, bool stopAtFirst,
                                   const std::function<bool(std::size_t, const std::vector<std::uint8_t>&)>& differs) {
  const int idleMs = ScaledMs(delay, kReadWaitFactor, kReadWaitBase);
  std::size_t total = 0, done = 0;
  for (const auto& [start, end] : ranges) total += static_cast<std::size_t>(end - start) + 1;
  bytes.clear();
  for (const auto& [start, end] : ranges) {
    for (unsigned from = start; from <= end; from += kDisplayMaxBytes) {
      StopPoint("stopped after reading " + std::to_string(done) + " of " + std::to_string(total) + " bytes");
      const auto to = static_cast<std::uint16_t>(std::min<unsigned>(end, from + kDisplayMaxBytes - 1));
      const std::string record = DisplayRecord(static_cast<std::uint16_t>(from), to);
      const std::size_t lines = DisplayLineCount(static_cast<std::uint16_t>(from), to);
      m_engine.Send(record);
      // A line of 16 bytes takes 39 characters, 81 ms at 4800 bit/s: 200 ms a line is ample.
      const TIspStatus received =
          m_engine.ReceiveLines(record, lines, idleMs, idleMs + static_cast<int>(lines) * 200 + 1000);
      const std::string& text = m_engine.ReplyText();
      const std::size_t echo = text.find(record);
      const TDisplayAnswer answer = ParseDisplayAnswer(
          echo == std::string::npos ? std::string_view(text) : std::string_view(text).substr(echo + record.size()),
          static_cast<std::uint16_t>(from), to);
      if (!answer.status.Ok()) {
        if (answer.status.kind == skNoAnswer && received.kind == skPortFailed)
          return TReply{kNoReply, received}.Status(answer.status.detail);
        return answer.status;
      }
      const std::size_t at = bytes.size();
      bytes.insert(bytes.end(), answer.bytes.begin(), answer.bytes.end());
      done += answer.bytes.size();
      m_observer.Progress(done, total);
      if (differs && differs(at, answer.bytes) && stopAtFirst) return TIspStatus::Done();
    }
  }
  return TIspStatus::Done();
}

TIspStatus TIspSession::ReadFlash(std::uint16_t start, std::uint16_t end, std::int32_t delay,
                                  std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  if (end < start) return TIspStatus::Make(skRefused, "nothing to read: the range ends before it starts");
  return Edge([&] {
    m_observer.Activity(TActivity::acRead);
    return ReadRanges({{start, end}}, delay, bytes, false, nullptr);
  });
}

TIspStatus TIspSession::Verify(const THexBinList& image, std::int32_t delay, bool stopAtFirst, TVerifyReport& report) {
  report = {};
  return Edge([&] {
    // What the image puts where (two records for one address put the same byte there: the
    // loader refuses anything else), and the runs of addresses that are read back.
    std::vector<int> wanted(0x10000, -1);
    for (const TImageRecord& r : image.Records()) {
      if (!r.IsData()) continue;
      for (std::size_t i = 0; i < r.data.size() && r.address + i < wanted.size(); ++i) wanted[r.address + i] = r.data[i];
    }
    std::vector<std::pair<std::uint16_t, std::uint16_t>> ranges;
    std::vector<unsigned> addresses;  // of each byte read, in order
    for (unsigned a = 0; a < wanted.size(); ++a) {
      if (wanted[a] < 0) continue;
      addresses.push_back(a);
      if (!ranges.empty() && ranges.back().second + 1u == a) {
        ranges.back().second = static_cast<std::uint16_t>(a);
      } else {
        ranges.emplace_back(static_cast<std::uint16_t>(a), static_cast<std::uint16_t>(a));
      }
    }
    m_observer.Activity(TActivity::acVerify);
    std::vector<std::uint8_t> read;
    const auto differs = [&](std::size_t at, const std::vector<std::uint8_t>& chunk) {
      const std::size_t before = report.differing;
      for (std::size_t i = 0; i < chunk.size(); ++i) {
        const unsigned a = addresses[at + i];
        const auto want = static_cast<std::uint8_t>(wanted[a]);
        ++report.checked;
        if (chunk[i] == want) continue;
        if (report.differing++ == 0) {
          report.firstAddress = a;
          report.written = want;
          report.read = chunk[i];
        }
        // Programming only clears bits: a byte with more of them clear than written held data.
        if ((chunk[i] & ~want & 0xFF) == 0) report.notErased = true;
      }
      return report.differing > before;
    };
    const TIspStatus status = ReadRanges(ranges, delay, read, stopAtFirst, differs);
    if (!status.Ok()) return status;
    report.complete = report.checked == addresses.size();
    if (report.differing == 0) return TIspStatus::Done();
    return TIspStatus::Make(skMismatch, "verify failed at " + HexText(report.firstAddress, 4) + ": written " +
                                            HexText(report.written, 2) + ", read " + HexText(report.read, 2) + "; " +
                                            std::to_string(report.differing) + " of " + std::to_string(report.checked) +
                                            " bytes differ" + (report.complete ? "" : " (the rest was not read)"));
  });
}

}  // namespace kavel
