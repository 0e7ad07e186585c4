// Reading the status byte and the security bits into the window's status box.
#include "app/IspOperations.h"

#include "image/HexText.h"
#include "isp/Records.h"

namespace kavel {
namespace {

// A read's reply: the 15 characters of the echo, two hex digits, ".".
constexpr std::size_t kReadReplyMin = 18;

}  // namespace

std::optional<TByteRead> TIspOperations::ReadValue(std::string_view body, std::string_view what,
                                                   TIspStatus& status) {
  TByteRead read;
  const TIspStatus outcome = m_session.ReadByte(body, Options().delay, read);
  m_session.RethrowFailure();
  if (outcome.Ok() || outcome.kind == skBadReply) {
    // Read as the window reads it, whatever it was; an answer that is not exactly two hex
    // digits is still no success.
    if (!outcome.Ok()) status = Worse(status, TIspStatus::Make(skBadReply, std::string(what) + ": " + outcome.detail));
    return read;
  }
  const std::string text = std::string(what) + ": " + ReplyClassWords(outcome.reply);
  PlainBox(text, "Send Error");
  TIspStatus failed = outcome;
  failed.detail = text;
  status = Worse(status, failed);
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

void TIspOperations::BReadStatusClick() {
  const TIspOptions options = Options();
  if (!SynchronizeOrSay(options)) return;
  m_host.ClearStatus();
  TIspStatus status = TIspStatus::Done();
  std::string text;
  if (const auto read = ReadValue(kReadSecurityBody, "Security bits", status)) {
    if (!ReadAnswerDigits(read->reply, kReadSecurityBody, "Security bits", text)) {
      m_host.AddStatusLine(text);
      status = Worse(status, TIspStatus::Make(skBadReply, text));
    } else {
      // Bits 1, 2 and 3 are the values 2, 4 and 8 of the second digit.
      const int value = HexDigitValue(text[1]);
      for (int bit = 1; bit <= 3; ++bit) {
        m_host.AddStatusLine("Security " + std::to_string(bit) + ": " + OnOffText(value & (1 << bit)));
      }
    }
  }
  // The status byte is read whatever became of the bits.
  if (const auto read = ReadValue(kReadStatusBody, "Read status", status)) {
    const bool wellFormed = ReadAnswerDigits(read->reply, kReadStatusBody, "Read status", text);
    m_host.AddStatusLine(wellFormed ? "Status: " + text : text);
    if (!wellFormed) status = Worse(status, TIspStatus::Make(skBadReply, text));
  }
  m_status = status;
}

}  // namespace kavel
