#include "isp/Records.h"

namespace kavel {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

}  // namespace

std::string AddChecksum(std::string_view body) {
  unsigned sum = 0;
  for (std::size_t i = 0; i + 1 < body.size(); i += 2)
    sum = (sum + static_cast<unsigned>(HexValue(body[i]) * 16 + HexValue(body[i + 1]))) & 0xFFu;
  const unsigned check = (256u - sum) & 0xFFu;
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out(body);
  out += kDigits[check >> 4];
  out += kDigits[check & 0xF];
  return out;
}

TReplyClass ClassifyReply(char reply) {
  switch (reply) {
    case kReplyOk: return rcOk;
    case kReplyCrcError: return rcCrcError;
    case kReplyNotAllowed: return rcNotAllowed;
    default: return rcNoAnswer;
  }
}

std::string ReplyClassWords(TReplyClass cls) {
  switch (cls) {
    case rcOk: return {};
    case rcCrcError: return "CRC error";
    case rcNotAllowed: return "Not allowed operation";
    case rcNoAnswer: return "Flash not answer";
  }
  return {};
}

}  // namespace kavel
