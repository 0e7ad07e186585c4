#include "isp/Display.h"

#include "image/HexText.h"
#include "isp/Records.h"

namespace kavel {
namespace {

std::string RangeBody(std::uint16_t start, std::uint16_t end, std::uint8_t subfunction) {
  std::string body = "05000004";
  for (std::uint16_t v : {start, end}) {
    AppendHexByte(body, static_cast<std::uint8_t>(v >> 8));
    AppendHexByte(body, static_cast<std::uint8_t>(v & 0xFF));
  }
  AppendHexByte(body, subfunction);
  return body;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && (IsBlank(s.front()) || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// "AAAA=pairs": the address and the bytes; false when the line is not of that form.
bool ParseLine(std::string_view line, unsigned& address, std::vector<std::uint8_t>& bytes) {
  if (line.size() < 4) return false;
  address = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const int d = HexDigitValue(line[i]);
    if (d < 0) return false;
    address = address * 16 + static_cast<unsigned>(d);
  }
  std::size_t p = 4;
  while (p < line.size() && IsBlank(line[p])) ++p;
  if (p >= line.size() || line[p] != '=') return false;
  ++p;
  bytes.clear();
  for (;;) {
    while (p < line.size() && IsBlank(line[p])) ++p;
    if (p == line.size()) return true;
    if (p + 1 >= line.size()) return false;
    const int high = HexDigitValue(line[p]), low = HexDigitValue(line[p + 1]);
    if (high < 0 || low < 0) return false;
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    p += 2;
  }
}

}  // namespace

std::string DisplayRecord(std::uint16_t start, std::uint16_t end) { return CommandRecord(RangeBody(start, end, 0x00)); }

std::string BlankCheckRecord(std::uint16_t start, std::uint16_t end) {
  return CommandRecord(RangeBody(start, end, 0x01));
}

std::size_t DisplayLineCount(std::uint16_t start, std::uint16_t end) {
  return end < start ? 0 : (static_cast<std::size_t>(end) - start) / 16 + 1;
}

TDisplayAnswer ParseDisplayAnswer(std::string_view answer, std::uint16_t start, std::uint16_t end) {
  std::vector<std::string_view> lines;
  for (std::size_t p = 0; p <= answer.size();) {
    std::size_t next = answer.find_first_of("\r\n", p);
    if (next == std::string_view::npos) next = answer.size();
    if (const auto line = Trimmed(answer.substr(p, next - p)); !line.empty()) lines.push_back(line);
    p = next + 1;
  }
  const std::string range = HexWord(start) + "-" + HexWord(end);
  TDisplayAnswer out;
  auto fail = [&](TStatusKind kind, TReplyClass cls, const std::string& text) {
    out.bytes.clear();
    out.status = {kind, cls, "display of " + range + ": " + text};
    return out;
  };
  if (lines.empty()) return fail(skNoAnswer, rcNoAnswer, ReplyClassWords(rcNoAnswer));
  if (lines[0].size() == 1) {
    switch (lines[0][0]) {
      case 'R': case 'r': return fail(skRefused, rcCrcError, ReplyClassWords(rcCrcError));
      case 'X': case 'x': return fail(skRefused, rcNotAllowed, ReplyClassWords(rcNotAllowed));
      case 'L': case 'l':
        return fail(skRefused, rcNotAllowed, "reading is locked (\"L\"): a security bit forbids it");
      default: break;
    }
  }
  const std::size_t count = DisplayLineCount(start, end);
  std::vector<std::uint8_t> bytes;
  for (std::size_t k = 0; k < count; ++k) {
    const unsigned due = start + 16u * static_cast<unsigned>(k);
    if (k >= lines.size()) {
      return fail(skNoAnswer, rcNoAnswer, "the answer stopped after " + std::to_string(k) + " of " +
                                              std::to_string(count) + " lines (the line for " + HexWord(due) +
                                              " is missing)");
    }
    unsigned address = 0;
    if (!ParseLine(lines[k], address, bytes))
      return fail(skBadReply, rcOk, "the line for " + HexWord(due) + " is not understood: \"" + std::string(lines[k]) + "\"");
    if (address != due) return fail(skBadReply, rcOk, "a line for " + HexWord(address) + " where the one for " + HexWord(due) + " was due");
    const std::size_t expected = std::min<std::size_t>(16, end - due + 1u);
    if (bytes.size() != expected) {
      return fail(skBadReply, rcOk, "the line for " + HexWord(due) + " holds " + std::to_string(bytes.size()) +
                                        " bytes, not " + std::to_string(expected));
    }
    out.bytes.insert(out.bytes.end(), bytes.begin(), bytes.end());
  }
  if (lines.size() > count) {
    return fail(skBadReply, rcOk, "more lines than asked for: \"" + std::string(lines[count]) + "\"");
  }
  out.status = TIspStatus::Done();
  return out;
}

}  // namespace kavel
