// Reading the status byte and the security bits into the window's status box.
#include "app/IspOperations.h"

#include "image/HexText.h"
#include "isp/Records.h"

namespace kavel {
std::optional<TByteRead> TIspOperations::ReadValue(std::string_view body, std::string_view what,
                                                   TIspStatus& status) {
  TByteRead read;
  const TIspStatus outcome = m_session.ReadByte(body, Options().delay, read);
  if (InErrorReport(outcome)) {
    status = outcome;
    return std::nullopt;
  }
  if (outcome.Ok() || outcome.kind == skBadReply) {
    // Read as the window reads it, whatever it was; an answer that is not exactly two hex
    // digits is still no success.
    if (!outcome.Ok()) status = Worse(status, TIspStatus::Make(skBadReply, std::string(what) + ": " + outcome.detail));
    return read;
  }
  TIspStatus failed = outcome;
  failed.detail = std::string(what) + ": " + ReplyClassWords(outcome.reply);
  Say(failed, {TFailureWords::fwDetail});
  status = Worse(status, failed);
  return std::nullopt;
}

bool TIspOperations::ReadAnswerDigits(const std::string& reply, std::string_view body,
                                      std::string_view what, std::string& out) {
  const std::string digits = ParseReadAnswer(reply, body).digits;
  out = what;
  if (digits.empty()) {
    out += " ERROR (2)";
    return false;
  }
  if (HexDigitValue(digits[1]) < 0) {
    out += " ERROR (1)";
    return false;
  }
  out = digits;  // both digits as they came
  return true;
}

TIspStatus TIspOperations::BReadStatusClick() {
  return Run([this] {
    const TIspOptions options = Options();
    const TIspStatus synced = SynchronizeOrSay(options);
    if (!synced.Ok()) return synced;
    m_host.ClearStatus();
    TIspStatus status = TIspStatus::Done();
    std::string text;
    if (const auto read = ReadValue(kReadSecurityBody, "Security bits", status)) {
      if (!ReadAnswerDigits(read->reply, kReadSecurityBody, "Security bits", text)) {
        m_host.AddStatusLine(text);
        status = Worse(status, TIspStatus::Make(skBadReply, text));
      } else {
        const auto value = static_cast<unsigned>(HexDigitValue(text[1]));
        for (int bit = 1; bit <= 3; ++bit) {
          m_host.AddStatusLine("Security " + std::to_string(bit) + ": " + OnOffText(SecurityBitSet(value, bit)));
        }
      }
    }
    if (InErrorReport(status)) return status;
    // The status byte is read whatever became of the bits.
    if (const auto read = ReadValue(kReadStatusBody, "Read status", status)) {
      const bool wellFormed = ReadAnswerDigits(read->reply, kReadStatusBody, "Read status", text);
      m_host.AddStatusLine(wellFormed ? "Status: " + text : text);
      if (!wellFormed) status = Worse(status, TIspStatus::Make(skBadReply, text));
    }
    return status;
  });
}

}  // namespace kavel
