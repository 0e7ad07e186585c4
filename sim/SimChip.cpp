#include "sim/SimChip.h"

#include <algorithm>
#include <span>

#include "image/HexText.h"

namespace kavel::sim {
namespace {

// Record types of the boot loader.
constexpr std::uint8_t kProgramData = 0x00;
constexpr std::uint8_t kEndOfFile = 0x01;
constexpr std::uint8_t kSetClock = 0x02;
constexpr std::uint8_t kWriteFunction = 0x03;
constexpr std::uint8_t kDisplayOrBlank = 0x04;
constexpr std::uint8_t kReadFunction = 0x05;

const std::string kOk = ".";
const std::string kCrc = "R";
const std::string kRefused = "X";
const std::string kLocked = "L\r\n";  // a display that the security bits forbid
constexpr std::uint8_t kDisplay = 0x00;     // subfunctions of the display or blank-check record
constexpr std::uint8_t kBlankCheck = 0x01;

}  // namespace

TSimChip::TSimChip(TSimChipOptions options)
    : m_options(std::move(options)),
      m_security(m_options.securityBits & 7u),
      m_status(m_options.statusByte),
      m_sixClock(m_options.sixClock),
      m_running(m_options.needEntry ? TRunning::rnApplication : TRunning::rnBootLoader) {
  m_flash.fill(0xFF);
}

void TSimChip::ModemLines(bool dtr, bool rts, std::int64_t) {
  const bool rst = dtr != m_options.invertDtr, psenLow = rts != m_options.invertRts;
  if (rst) {
    m_running = TRunning::rnReset;
    return;
  }
  if (m_running != TRunning::rnReset) return;  // no edge
  ++m_resets;
  m_running = psenLow || m_status != 0 ? TRunning::rnBootLoader : TRunning::rnApplication;
  StartAfresh();
}

void TSimChip::StartAfresh() {
  // A boot loader starts afresh: the speed to take up, no record begun.
  m_speed = 0;
  m_inRecord = false;
  m_awaitBlankStart = false;
  m_deferredReply.clear();
}

void TSimChip::Restart(std::int64_t nowMs) {
  m_running = m_options.needEntry ? TRunning::rnApplication : TRunning::rnBootLoader;
  StartAfresh();
  m_echoCount = 0;
  m_controllerFrames = {};
  m_busyUntil = nowMs;  // what the last board was busy with went with it
}

void TSimChip::Schedule(std::vector<TSimOutput>& out, std::int64_t atMs, std::string bytes,
                        std::uint32_t speed) {
  if (bytes.empty()) return;
  atMs = std::max(atMs, m_busyUntil);
  m_busyUntil = atMs;
  out.push_back(TSimOutput{atMs, std::move(bytes), speed});
}

std::string TSimChip::Dressed(const std::string& reply) const {
  if (reply.empty()) return reply;
  return m_options.noise + reply + m_options.extra;
}

bool TSimChip::WantsHangUp() const {
  return m_options.hangUpAfter > 0 && m_records >= m_options.hangUpAfter && !m_awaitBlankStart;
}

void TSimChip::Receive(std::uint8_t byte, std::uint32_t bitsPerSecond, std::int64_t nowMs,
                       std::vector<TSimOutput>& out) {
  if (m_options.loopBack) {
    Schedule(out, nowMs, std::string(1, static_cast<char>(byte)), 0);
    return;
  }
  if (m_running != TRunning::rnBootLoader) return;  // the application, or held in reset
  if (SkipControllerFrame(byte)) return;
  if (m_speed == 0) {
    // Autobaud: only a "U" at a speed the chip can take starts the conversation.
    bool accepted = m_options.acceptedSpeeds.empty() ||
                    m_options.acceptedSpeeds.count(bitsPerSecond) != 0;
    if (byte == 'U' && accepted && bitsPerSecond != 0) {
      m_speed = bitsPerSecond;
      Schedule(out, nowMs + m_options.replyDelayMs, Dressed("U"), m_speed);
    }
    return;
  }
  if (bitsPerSecond != m_speed) byte = Garble(byte);
  const char c = static_cast<char>(byte);

  if (m_awaitBlankStart) {
    // The character after a blank-check record starts the answer; it is not echoed.
    m_awaitBlankStart = false;
    Schedule(out, nowMs + m_options.replyDelayMs, Dressed(m_deferredReply), m_speed);
    m_deferredReply.clear();
    return;
  }

  if (c == ':') m_echoCount = 0;
  if (m_options.echoLimit < 0 || m_echoCount < m_options.echoLimit) {
    Schedule(out, nowMs, std::string(1, c), m_speed);  // echo
  }
  ++m_echoCount;
  if (!m_inRecord) {
    if (c == ':') {
      m_inRecord = true;
      m_digits.clear();
    }
    return;
  }
  if (c == ':') {  // a new record starts over the unfinished one
    m_digits.clear();
    return;
  }
  if (HexDigitValue(c) < 0) {
    // Not a record character: the record is broken, which the chip reports as a checksum error.
    m_inRecord = false;
    ++m_records;
    Schedule(out, nowMs + m_options.replyDelayMs, Dressed(kCrc), m_speed);
    return;
  }
  m_digits += c;
  if (m_digits.size() >= 2) {
    std::size_t count = static_cast<std::size_t>(HexDigitValue(m_digits[0]) * 16 + HexDigitValue(m_digits[1]));
    if (m_digits.size() == 2 + 4 + 2 + 2 * count + 2) CompleteRecord(nowMs, out);
  }
}

void TSimChip::CompleteRecord(std::int64_t nowMs, std::vector<TSimOutput>& out) {
  m_inRecord = false;
  ++m_records;
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < m_digits.size(); i += 2)
    bytes.push_back(static_cast<std::uint8_t>(HexDigitValue(m_digits[i]) * 16 + HexDigitValue(m_digits[i + 1])));

  std::string reply;
  int busyMs = 0;
  bool deferred = false;
  if (auto it = m_options.overrides.find(m_records); it != m_options.overrides.end()) {
    switch (it->second) {
      case TReplyOverride::CrcError: reply = kCrc; break;
      case TReplyOverride::NotAllowed: reply = kRefused; break;
      case TReplyOverride::CarriageReturn: reply = "\r"; break;
      case TReplyOverride::Silent: reply.clear(); break;
    }
    // The blank check still takes its start character before answering.
    deferred = bytes.size() >= 9 && bytes[3] == kDisplayOrBlank && bytes[8] == kBlankCheck;
  } else {
    reply = Execute(bytes, busyMs, deferred);
  }
  if (deferred) {
    m_awaitBlankStart = true;
    m_deferredReply = reply;
    return;
  }
  Schedule(out, nowMs + busyMs + m_options.replyDelayMs, Dressed(reply), m_speed);
}

std::string TSimChip::Execute(const std::vector<std::uint8_t>& bytes, int& busyMs, bool& deferred) {
  unsigned sum = 0;
  for (auto b : bytes) sum += b;
  if ((sum & 0xFFu) != 0) return kCrc;
  const std::size_t count = bytes[0];
  const unsigned address = static_cast<unsigned>(bytes[1]) << 8 | bytes[2];
  const std::span<const std::uint8_t> data(bytes.data() + 4, count);
  switch (bytes[3]) {
    case kProgramData: return ProgramData(address, data);
    case kEndOfFile: return kOk;
    case kSetClock:
      if (count != 1) return kRefused;
      m_clock = data[0];
      return kOk;
    case kWriteFunction: return WriteFunction(data, busyMs);
    case kDisplayOrBlank: return DisplayOrBlank(data, deferred);
    case kReadFunction: return ReadFunction(data);
    default: return kRefused;
  }
}

std::string TSimChip::ProgramData(unsigned address, std::span<const std::uint8_t> data) {
  if ((m_security & 1u) != 0) return kRefused;  // security bit 1 inhibits programming
  if (address + data.size() > kFlashSize) return kRefused;
  for (std::size_t i = 0; i < data.size(); ++i) m_flash[address + i] &= data[i];  // bits only clear
  if (m_options.weakCell >= 0 && static_cast<unsigned>(m_options.weakCell) - address < data.size()) {
    // The weak cell keeps its lowest bit that should have cleared.
    std::uint8_t& cell = m_flash[static_cast<std::size_t>(m_options.weakCell)];
    const auto cleared = static_cast<std::uint8_t>(~cell);
    cell = static_cast<std::uint8_t>(cell | (cleared & -cleared));
  }
  return kOk;
}

std::string TSimChip::WriteFunction(std::span<const std::uint8_t> data, int& busyMs) {
  const std::size_t count = data.size();
  if (count == 1 && data[0] == 0x07) {
    // Whole chip: flash, security bits, status byte and clock mode back to their defaults.
    m_flash.fill(0xFF);
    m_security = 0;
    m_status = 0xFF;
    m_bootVector = 0xFC;
    m_sixClock = false;
    busyMs = m_options.fullEraseMs;
    return kOk;
  }
  if (count == 2 && data[0] == 0x0C) {
    if ((data[1] & 0x0F) != 0 || (m_security & 1u) != 0) return kRefused;
    const std::size_t start = static_cast<std::size_t>(data[1] >> 4) * kBlockSize;
    std::fill_n(m_flash.begin() + static_cast<std::ptrdiff_t>(start), kBlockSize, 0xFF);
    busyMs = m_options.blockEraseMs;
    return kOk;
  }
  if (count == 2 && data[0] == 0x04 && data[1] == 0x00) {
    m_status = 0;
  } else if (count == 2 && data[0] == 0x05 && data[1] <= 2) {
    m_security = static_cast<std::uint8_t>(m_security | (1u << data[1]));
  } else if (count == 3 && data[0] == 0x06 && data[1] == 0x02 && data[2] == 0x80) {
    m_sixClock = true;
  } else if (count == 3 && data[0] == 0x06 && data[1] == 0x00) {
    m_status = data[2];
  } else if (count == 3 && data[0] == 0x06 && data[1] == 0x01) {
    m_bootVector = data[2];
  } else {
    return kRefused;
  }
  return kOk;
}

std::string TSimChip::DisplayOrBlank(std::span<const std::uint8_t> data, bool& deferred) {
  if (data.size() != 5) return kRefused;
  const unsigned start = static_cast<unsigned>(data[0]) << 8 | data[1];
  const unsigned end = static_cast<unsigned>(data[2]) << 8 | data[3];
  if (end < start || (data[4] != kBlankCheck && data[4] != kDisplay)) return kRefused;
  const bool sb2 = (m_security & 2u) != 0;  // security bit 2 inhibits reading
  if (data[4] == kDisplay) return sb2 ? kLocked : Display(start, end);
  if (sb2) return kRefused;
  deferred = true;
  return BlankCheck(static_cast<std::uint16_t>(start), static_cast<std::uint16_t>(end));
}

std::string TSimChip::ReadFunction(std::span<const std::uint8_t> data) const {
  if (data.size() == 2 && data[0] == 0x00) {  // identification
    switch (data[1]) {
      case 0x00: return HexText(m_options.manufacturerId, 2) + kOk;
      case 0x01: return HexText(m_options.deviceId, 2) + kOk;
      case 0x02: return HexText(m_options.bootVersion, 2) + kOk;
      default: return kRefused;
    }
  }
  if (data.size() != 2 || data[0] != 0x07) return kRefused;
  if (!m_options.readAnswer.empty() && data[1] <= 0x01) return m_options.readAnswer + kOk;
  switch (data[1]) {
    case 0x00: {
      // Security bit n reads as bit n of the answer.
      const unsigned value = (m_security & 1u ? 2u : 0u) | (m_security & 2u ? 4u : 0u) | (m_security & 4u ? 8u : 0u);
      return HexText(value, 2) + kOk;
    }
    case 0x01: return HexText(m_status, 2) + kOk;
    case 0x02: return HexText(m_bootVector, 2) + kOk;
    default: return kRefused;
  }
}

bool TSimChip::SkipControllerFrame(std::uint8_t byte) {
  // A broken lead-in is dropped with the byte that broke it.
  return m_controllerFrames.Feed(byte) != TRequestScanner::TStep::stOutside;
}

std::string TSimChip::BlankCheck(std::uint16_t start, std::uint16_t end) const {
  for (unsigned a = start; a <= end; ++a)
    if (m_flash[a] != 0xFF) return HexText(a, 4) + "\r\n";
  return kOk;
}

std::string TSimChip::Display(unsigned start, unsigned end) const {
  // One line per 16 bytes from start: "AAAA=" and the bytes, each line ended by CR LF.
  std::string lines;
  for (unsigned line = start; line <= end; line += 16) {
    lines += HexText(line, 4) + "=";
    for (unsigned a = line; a <= end && a < line + 16; ++a) lines += HexText(m_flash[a], 2);
    lines += "\r\n";
  }
  return lines;
}

std::string TSimChip::Report() const {
  std::string r;
  r += "security1=" + std::to_string(m_security & 1u) + "\n";
  r += "security2=" + std::to_string((m_security >> 1) & 1u) + "\n";
  r += "security3=" + std::to_string((m_security >> 2) & 1u) + "\n";
  r += "status=" + HexText(m_status, 2) + "\n";
  r += "sixclock=" + std::to_string(m_sixClock ? 1 : 0) + "\n";
  r += "clock=" + HexText(static_cast<unsigned>(m_clock), 2) + "\n";
  r += "records=" + std::to_string(m_records) + "\n";
  r += "speed=" + std::to_string(m_speed) + "\n";
  r += std::string("running=") +
       (m_running == TRunning::rnBootLoader ? "bootloader" : m_running == TRunning::rnApplication ? "application" : "reset") +
       "\n";
  r += "resets=" + std::to_string(m_resets) + "\n";
  return r;
}

}  // namespace kavel::sim
