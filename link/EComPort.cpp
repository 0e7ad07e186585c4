#include "link/EComPort.h"

#include <cstring>

namespace kavel {

std::string ComErrorText(int code) {
  switch (code) {
    case CE_OpenFailed: return "Unable to open com port";
    case CE_WriteFailed: return "WriteFile function failed";
    case CE_ReadFailed: return "ReadFile function failed";
    case CE_PurgeFailed: return "PurgeComm function failed";
    case CE_SetStateFailed: return "SetCommState function failed";
    case CE_SetupComFailed: return "SetupComm function failed";
    case CE_ClearComFailed: return "ClearCommError function failed";
    case CE_WaitFailed: return "WaitForEvent method failed";
    case CE_RegError: return "Registry error";
    case CE_ModemLinesFailed: return "Modem lines cannot be set";
    default: return {};
  }
}

std::string EComPort::Compose(int code, std::optional<int> errnoValue, const std::string& detail,
                              const std::string& reason) {
  std::string text = ComErrorText(code);
  if (!reason.empty()) {
    text += ": ";
    text += reason;
  }
  if (!detail.empty()) {
    text += reason.empty() ? ": " : "; ";
    text += detail;
  }
  if (errnoValue) text += " (win error code: " + std::to_string(*errnoValue) + ")";
  return text;
}

namespace {

std::string CodeWords(int code) {
  switch (code) {
    case CE_OpenFailed: return "opening the port";
    case CE_WriteFailed: return "writing to the line";
    case CE_ReadFailed: return "reading from the line";
    case CE_PurgeFailed: return "emptying the line's queues";
    case CE_SetStateFailed: return "setting the line's speed and format";
    case CE_SetupComFailed: return "setting the port up";
    case CE_ClearComFailed: return "asking the port what came";
    case CE_WaitFailed: return "waiting on the line";
    case CE_RegError: return "reading the port directory";
    case CE_ModemLinesFailed: return "setting the modem lines (DTR, RTS)";
    default: return "using the port";
  }
}

}  // namespace

EComPort::EComPort(int code, std::optional<int> errnoValue, const std::string& detail,
                   const std::string& reason)
    : std::runtime_error(Compose(code, errnoValue, detail, reason)),
      m_code(code),
      m_errno(errnoValue),
      m_reason(reason) {
  m_words = CodeWords(code) + " failed";
  if (!reason.empty()) {
    m_words += ": ";
    m_words += reason;
  } else if (errnoValue) {
    m_words += std::string(": ") + std::strerror(*errnoValue);
  }
  if (!detail.empty()) m_words += " (" + detail + ")";
}

}  // namespace kavel
