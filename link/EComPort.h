// The error raised by every failing serial-port operation: a numeric code, the system's
// error number (errno, or none) and the message made from both.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace kavel {

enum TComErrorCode : int {
  CE_OpenFailed = 1,
  CE_WriteFailed = 2,
  CE_ReadFailed = 3,
  CE_PurgeFailed = 5,
  CE_SetStateFailed = 7,
  CE_SetupComFailed = 9,
  CE_ClearComFailed = 10,
  CE_WaitFailed = 21,
  CE_RegError = 23,
  CE_ModemLinesFailed = 30,  // DTR and RTS set alone (a boot entry) could not be
};

// The fixed text of a code ("Unable to open com port" ...); empty for unknown codes.
std::string ComErrorText(int code);

class EComPort : public std::runtime_error {
 public:
  // Message: the code's text, then ": " and the reason and the detail when they are given
  // (why the device says it failed, where the error number alone would mislead; what failed,
  // such as a directory), then " (win error code: %d)" when a system error number is given.
  EComPort(int code, std::optional<int> errnoValue, const std::string& detail = {},
           const std::string& reason = {});

  int Code() const noexcept { return m_code; }
  // What failed and why in plain words, for people who never met the codes: "writing to the
  // line failed: Input/output error", with the detail ("only 3 of 15 bytes were sent"); the
  // reason, when there is one, in place of the error number's text.
  const std::string& Words() const noexcept { return m_words; }
  // Why the device says it failed (TComDevice::LastFailureWords), "the server runs its port
  // at 19200 bit/s, not 115200"; "" when the error number says it.
  const std::string& Reason() const noexcept { return m_reason; }
  // The errno value behind the failure, when there is one.
  std::optional<int> Errno() const noexcept { return m_errno; }

 private:
  static std::string Compose(int code, std::optional<int> errnoValue, const std::string& detail,
                             const std::string& reason);
  int m_code;
  std::optional<int> m_errno;
  std::string m_reason;
  std::string m_words;
};

}  // namespace kavel
