// Reading the chip: the status byte and security bits, the identification, the flash
// through the display record, verification and the device check.
#include "isp/IspOperations.h"

#include <algorithm>
#include <cstdio>

#include "image/HexText.h"
#include "isp/Display.h"
#include "isp/Records.h"

namespace kavel {
namespace {

constexpr int kReadWaitFactor = 3, kReadWaitBase = 300;
// A read's reply: the 15 characters of the echo, two hex digits, ".".
constexpr std::size_t kReadReplyMin = 18;

// An answer in quotes as it came, each byte that is no printable character as \xNN.
std::string Quoted(const std::string& came) {
  std::string quoted = "\"";
  for (const char c : came) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      quoted += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      quoted += hex;
    }
  }
  return quoted + "\"";
}

}  // namespace

std::optional<std::string> TIspOperations::ReadValue(std::string_view body, int waitMs,
                                                     std::string_view what, TIspStatus& status) {
  const auto outcome = m_engine.GiveCommand(CommandRecord(body), waitMs, 0, true);
  if (outcome.cls == rcOk) return m_engine.ReplyText();
  std::string text(what);
  text += ": ";
  text += ReplyClassWords(outcome.cls);
  PlainBox(text, "Send Error");
  status = Worse(status, m_engine.ReplyStatus(outcome.cls, text));
  return std::nullopt;
}

bool TIspOperations::ReadAnswerDigits(const std::string& reply, std::string_view body,
                                      std::string_view what, std::string& out) {
  // Whatever came before the echo (a blind synchronization's "U" answers, a controller's
  // poll) is not part of the answer: the digits follow the echo, or stand before the ".".
  const std::string record = CommandRecord(body);
  const std::size_t echo = reply.rfind(record);
  std::size_t at = 0;
  bool enough = false;
  if (echo != std::string::npos) {
    at = echo + record.size();
    enough = reply.size() >= at + 3;
  } else {
    enough = reply.size() >= kReadReplyMin;
    at = reply.size() - 3;
  }
  out = what;
  if (!enough) {
    out += " ERROR (2)";
    return false;
  }
  if (HexDigitValue(reply[at + 1]) < 0) {
    out += " ERROR (1)";
    return false;
  }
  out = reply.substr(at, 2);  // both digits as they came
  return true;
}

std::optional<std::string> TIspOperations::ExactAnswer(const std::string& reply, std::string_view body,
                                                       std::string& came) {
  const std::string record = CommandRecord(body);
  const std::size_t echo = reply.rfind(record);
  came = echo == std::string::npos ? reply : reply.substr(echo + record.size());
  if (!came.empty() && came.back() == kReplyOk) came.pop_back();
  if (echo == std::string::npos || came.size() != 2 || HexDigitValue(came[0]) < 0 || HexDigitValue(came[1]) < 0)
    return std::nullopt;
  return came;
}

TIspOperations::TAnswer TIspOperations::TakeAnswer(const std::string& reply, std::string_view body,
                                                   std::string_view what, std::string& out, TIspStatus& status) {
  std::string came;
  const bool read = ReadAnswerDigits(reply, body, what, out);
  if (ExactAnswer(reply, body, came)) return read ? TAnswer::anValue : TAnswer::anErrorLine;
  const std::string text = std::string(what) + ": the chip answered " + Quoted(came) + ", not two hex digits";
  status = Worse(status, TIspStatus::Make(skBadReply, text));
  if (!Options().strictAnswers) return read ? TAnswer::anValue : TAnswer::anErrorLine;
  PlainBox(text, "Send Error");
  return TAnswer::anNone;
}

TIspStatus TIspOperations::ReadStatusLines(int waitMs) {
  TIspStatus status = TIspStatus::Done();
  std::string text;
  if (auto reply = ReadValue(kReadSecurityBody, waitMs, "Security bits", status)) {
    const TAnswer answer = TakeAnswer(*reply, kReadSecurityBody, "Security bits", text, status);
    if (answer == TAnswer::anErrorLine) {
      m_host.AddStatusLine(text);
      status = Worse(status, TIspStatus::Make(skBadReply, text));
    } else if (answer == TAnswer::anValue) {
      // Bits 1, 2 and 3 are the values 2, 4 and 8 of the second digit.
      const int value = HexDigitValue(text[1]);
      for (int bit = 1; bit <= 3; ++bit) {
        m_host.AddStatusLine("Security " + std::to_string(bit) + ": " + OnOffText(value & (1 << bit)));
      }
    }
  }
  // The status byte is read whatever became of the bits.
  if (auto reply = ReadValue(kReadStatusBody, waitMs, "Read status", status)) {
    const TAnswer answer = TakeAnswer(*reply, kReadStatusBody, "Read status", text, status);
    if (answer != TAnswer::anNone) m_host.AddStatusLine(answer == TAnswer::anValue ? "Status: " + text : text);
    if (answer == TAnswer::anErrorLine) status = Worse(status, TIspStatus::Make(skBadReply, text));
  }
  return status;
}

void TIspOperations::BReadStatusClick() {
  const TIspOptions options = Options();
  if (!SynchronizeOrSay(options)) return;
  m_host.ClearStatus();
  m_status = ReadStatusLines(ScaledMs(options.delay, kReadWaitFactor, kReadWaitBase));
}

void TIspOperations::ReadIdentification() {
  const TIspOptions options = Options();
  if (!SynchronizeOrSay(options)) return;
  m_host.ClearStatus();
  const int waitMs = ScaledMs(options.delay, kReadWaitFactor, kReadWaitBase);
  const std::pair<std::string_view, std::string_view> reads[] = {
      {"020000050000", "Manufacturer id"}, {"020000050001", "Device id"}, {"020000050002", "Boot code version"}};
  TIspStatus status = TIspStatus::Done();
  for (const auto& [body, what] : reads) {
    std::string text;
    const auto reply = ReadValue(body, waitMs, what, status);
    const TAnswer answer = reply ? TakeAnswer(*reply, body, what, text, status) : TAnswer::anNone;
    if (answer == TAnswer::anValue) {
      m_host.AddStatusLine(std::string(what) + ": " + text);
    } else if (answer == TAnswer::anErrorLine) {
      m_host.AddStatusLine(text);
      status = Worse(status, TIspStatus::Make(skBadReply, text));
    }
  }
  m_status = Worse(status, ReadStatusLines(waitMs));
}

bool TIspOperations::ReadRanges(const std::vector<std::pair<std::uint16_t, std::uint16_t>>& ranges,
                                std::vector<std::uint8_t>& bytes) {
  const TIspOptions options = Options();
  const int idleMs = ScaledMs(options.delay, kReadWaitFactor, kReadWaitBase);
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
      m_engine.ReceiveLines(record, lines, idleMs, idleMs + static_cast<int>(lines) * 200 + 1000);
      const std::string& text = m_engine.ReplyText();
      const std::size_t echo = text.find(record);
      const TDisplayAnswer answer = ParseDisplayAnswer(
          echo == std::string::npos ? std::string_view(text) : std::string_view(text).substr(echo + record.size()),
          static_cast<std::uint16_t>(from), to);
      if (!answer.status.Ok()) {
        m_status = answer.status;
        if (answer.status.kind == skNoAnswer && !m_engine.PortFailure().empty())
          m_status = m_engine.ReplyStatus(rcNoAnswer, answer.status.detail);
        PlainBox(answer.status.detail, "Send Error");
        return false;
      }
      bytes.insert(bytes.end(), answer.bytes.begin(), answer.bytes.end());
      done += answer.bytes.size();
      m_host.RecordProgress(done, total);
    }
  }
  m_status = TIspStatus::Done();
  return true;
}

bool TIspOperations::ReadFlash(std::uint16_t start, std::uint16_t end, std::vector<std::uint8_t>& bytes) {
  if (end < start) {
    m_status = TIspStatus::Make(skRefused, "nothing to read: the range ends before it starts");
    return false;
  }
  return ReadRanges({{start, end}}, bytes);
}

TIspOperations::TVerifyReport TIspOperations::VerifyImage(const THexBinList& image) {
  // What the image puts where (two records for one address put the same byte there: the
  // loader refuses anything else).
  std::vector<int> wanted(0x10000, -1);
  for (const TImageRecord& r : image.Records()) {
    if (!r.IsData()) continue;
    for (std::size_t i = 0; i < r.data.size() && r.address + i < wanted.size(); ++i) wanted[r.address + i] = r.data[i];
  }
  std::vector<std::pair<std::uint16_t, std::uint16_t>> ranges;
  for (unsigned a = 0; a < wanted.size(); ++a) {
    if (wanted[a] < 0) continue;
    if (!ranges.empty() && ranges.back().second + 1u == a) {
      ranges.back().second = static_cast<std::uint16_t>(a);
    } else {
      ranges.emplace_back(static_cast<std::uint16_t>(a), static_cast<std::uint16_t>(a));
    }
  }
  TVerifyReport& report = m_lastVerify;
  report = {};
  std::vector<std::uint8_t> read;
  m_host.SetActivity("verifying");
  if (!ReadRanges(ranges, read)) return report;
  std::size_t at = 0;
  for (const auto& [start, end] : ranges) {
    for (unsigned a = start; a <= end; ++a, ++at) {
      const auto want = static_cast<std::uint8_t>(wanted[a]);
      ++report.checked;
      if (read[at] == want) continue;
      if (report.differing++ == 0) {
        report.firstAddress = a;
        report.written = want;
        report.read = read[at];
      }
      // Programming only clears bits: a byte with more of them clear than written held data.
      if ((read[at] & ~want & 0xFF) == 0) report.notErased = true;
    }
  }
  if (report.differing == 0) return report;  // ReadRanges recorded done
  char text[160];
  std::snprintf(text, sizeof text, "verify failed at %04X: written %02X, read %02X; %zu of %zu bytes differ",
                report.firstAddress, report.written, report.read, report.differing, report.checked);
  m_status = TIspStatus::Make(skMismatch, text);
  PlainBox(text, "Verify Error");
  return report;
}

bool TIspOperations::CheckDevice(std::uint8_t expected) {
  const TIspOptions options = Options();
  if (!SynchronizeOrSay(options)) return false;
  static constexpr std::string_view kDeviceIdBody = "020000050001";
  TIspStatus status = TIspStatus::Done();
  std::string digits;
  const auto reply = ReadValue(kDeviceIdBody, ScaledMs(options.delay, kReadWaitFactor, kReadWaitBase), "Device id", status);
  if (!reply) {
    m_status = status;
    return false;
  }
  // The id decides what is written: only an exact answer counts, whatever the host shows.
  std::string came;
  if (!ExactAnswer(*reply, kDeviceIdBody, came)) {
    m_status = TIspStatus::Make(skBadReply, "Device id: the chip answered " + Quoted(came) + ", not two hex digits: "
                                            "nothing was written");
    PlainBox(m_status.detail, "Device Error");
    return false;
  }
  digits = came;
  std::string want;
  AppendHexByte(want, expected);
  if (HexDigitValue(digits[0]) * 16 + HexDigitValue(digits[1]) != expected) {
    m_status = TIspStatus::Make(skRefused, "the chip's device id is " + digits + ", not " + want +
                                               " as expected: nothing was written");
    PlainBox(m_status.detail, "Device Error");
    return false;
  }
  m_status = TIspStatus::Done();
  return true;
}

}  // namespace kavel
