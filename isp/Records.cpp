#include "isp/Records.h"

#include <algorithm>

#include "image/HexText.h"

namespace kavel {

std::string AddChecksum(std::string_view body) {
  unsigned sum = 0;
  for (std::size_t i = 0; i + 1 < body.size(); i += 2) {
    // The body is always well formed here; a stray character counts as 0.
    const int high = HexDigitValue(body[i]), low = HexDigitValue(body[i + 1]);
    sum += static_cast<unsigned>((high < 0 ? 0 : high) * 16 + (low < 0 ? 0 : low));
  }
  std::string out(body);
  AppendHexByte(out, IntelHexChecksum(sum));
  return out;
}

std::string CommandRecord(std::string_view body) {
  std::string record(1, ':');
  record += AddChecksum(body);
  return record;
}

std::string BlockEraseRecord(int block) {
  std::string body = "020000030C";
  AppendHexByte(body, static_cast<std::uint8_t>(block * 16));
  return CommandRecord(body);
}

std::string BlockList(const std::bitset<16>& blocks) {
  std::string out;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    if (!blocks.test(b)) continue;
    if (!out.empty()) out += ' ';
    out += std::to_string(b);
  }
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

TReadAnswer ParseReadAnswer(const std::string& reply, std::string_view body) {
  // A reply without the echo must hold at least as much as one with it: the 15 characters of
  // the echo, two digits and the ".".
  const std::string record = CommandRecord(body);
  const std::size_t echo = reply.rfind(record);
  TReadAnswer answer;
  answer.echoed = echo != std::string::npos;
  answer.came = answer.echoed ? reply.substr(echo + record.size()) : reply;
  if (!answer.came.empty() && answer.came.back() == kReplyOk) answer.came.pop_back();
  const std::size_t at = answer.echoed ? echo + record.size() : reply.size() - std::min<std::size_t>(3, reply.size());
  const bool enough = answer.echoed ? reply.size() >= at + 3 : reply.size() >= record.size() + 3;
  if (enough) answer.digits = reply.substr(at, 2);
  return answer;
}

}  // namespace kavel
