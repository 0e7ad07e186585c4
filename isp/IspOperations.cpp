#include "isp/IspOperations.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <limits>
#include <utility>

#include "image/HexBinList.h"
#include "image/HexText.h"
#include "isp/Display.h"
#include "isp/Records.h"
#include "link/EComPort.h"

namespace kavel {
namespace {

// Runs its action when the scope ends, on every path; a failure of the action itself is
// dropped, as the first failure is the one to report.
class TOnExit {
 public:
  explicit TOnExit(std::function<void()> action) : m_action(std::move(action)) {}
  ~TOnExit() {
    try {
      m_action();
    } catch (...) {
    }
  }
  TOnExit(const TOnExit&) = delete;
  TOnExit& operator=(const TOnExit&) = delete;

 private:
  std::function<void()> m_action;
};

// Disables the window and shows text in panel 0 for its lifetime; afterwards the panel is
// empty and the window enabled again, on every path.
class TBusyWindow {
 public:
  TBusyWindow(TIspHost& host, std::string_view text) : m_host(host) {
    m_host.EnableWindow(false);
    m_host.SetProgress(text);
  }
  ~TBusyWindow() {
    try {
      m_host.SetProgress("");
    } catch (...) {
    }
    try {
      m_host.EnableWindow(true);
    } catch (...) {
    }
  }
  TBusyWindow(const TBusyWindow&) = delete;
  TBusyWindow& operator=(const TBusyWindow&) = delete;

 private:
  TIspHost& m_host;
};

constexpr int kFullEraseWaitFactor = 90, kFullEraseWaitBase = 9000, kFullErasePauseMs = 9000;
constexpr int kBlockEraseWaitFactor = 20, kBlockEraseWaitBase = 2000, kBlockErasePauseMs = 2000;
constexpr int kBlankWaitFactor = 22, kBlankWaitBase = 2200;
constexpr std::size_t kBlankDiscardBytes = 100;
constexpr int kBlankEchoPauseMs = 100;  // the echo is complete by then
constexpr int kStatusWaitFactor = 10, kStatusWaitBase = 1000, kStatusPauseMs = 1000;
constexpr int kReadWaitFactor = 3, kReadWaitBase = 300;
// A read's reply: the 15 characters of the echo, two hex digits, ".".
constexpr std::size_t kReadReplyMin = 18;

// Sets the options of a cycle for its lifetime: its steps work with them, not with the
// host's as they stand when each step begins.
class TCycleOptions {
 public:
  TCycleOptions(std::optional<TIspOptions>& slot, TIspOptions options) : m_slot(slot), m_outer(slot.has_value()) {
    if (!m_outer) m_slot = std::move(options);
  }
  ~TCycleOptions() {
    if (!m_outer) m_slot.reset();
  }
  TCycleOptions(const TCycleOptions&) = delete;
  TCycleOptions& operator=(const TCycleOptions&) = delete;

 private:
  std::optional<TIspOptions>& m_slot;
  bool m_outer;  // set by an enclosing cycle, which keeps it
};

// "0 3 12": the blocks set in blocks, in order.
std::string BlockList(const std::bitset<16>& blocks) {
  std::string out;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    if (!blocks.test(b)) continue;
    if (!out.empty()) out += ' ';
    out += std::to_string(b);
  }
  return out;
}

constexpr std::string_view kJumperOnText =
    "Pleace jumper on \"Download Mode\" contacts then press \"uP Reset\" button. When finished "
    "click OK.";
constexpr std::string_view kJumperOffText =
    "Remove jumper from \"Download Mode\" contacts, then press OK.";
constexpr std::uint8_t kDeclinedStates[] = {2, 3, 4};

// The speeds tried after the first one has failed, in this order.
constexpr TBaudRate kScanList[] = {br38400, br19200, br14400, br9600, br4800};

}  // namespace

TIspOperations::TIspOperations(TNAVOPort& port, TClock& clock, TIspHost& host)
    : m_port(port), m_clock(clock), m_host(host), m_engine(port, clock, host) {
  m_port.KTNPort().UseClock(clock);
}

void TIspOperations::PlainBox(std::string_view text, std::string_view caption, TBoxRole role) {
  m_host.Box(PlainBoxRequest(text, caption, role));
}

void TIspOperations::TogglePort() {
  if (m_port.Connected()) {
    m_port.ClosePort();
    m_status = TIspStatus::Done();
  } else {
    try {
      m_port.OpenPort();
      m_status = TIspStatus::Done();
    } catch (const EComPort& e) {
      m_status = TIspStatus::Make(skPortFailed, "cannot open " + m_port.Port() + ": " + e.what());
      PlainBox("Open port error", "Open " + m_port.Port() + " port");
    }
  }
  m_host.ShowPortState();
}

std::string TIspOperations::SetClockRecord() {
  std::string body = "01000002";
  AppendHexByte(body, kSetClockValue);
  return CommandRecord(body);
}

std::string TIspOperations::OnOffText(int value) { return value != 0 ? "ON" : "OFF"; }

int TIspOperations::ScaledMs(std::int32_t delay, int factor, int base) {
  const std::int64_t ms = std::int64_t{delay} * factor + base;
  return static_cast<int>(std::clamp<std::int64_t>(ms, std::numeric_limits<int>::min(),
                                                    std::numeric_limits<int>::max()));
}

bool TIspOperations::Synchronize() { return Synchronize(Options()); }

bool TIspOperations::Synchronize(const TIspOptions& options) {
  if (!m_port.Connected()) TogglePort();
  if (!m_port.Connected()) return false;  // TogglePort recorded why
  const std::string kept = m_host.ProgressText();
  m_host.SetProgress("Synchronizing ...");
  TOnExit restoreProgress([&] { m_host.SetProgress(kept); });

  m_port.SetBaudRate(BaudRateFromText(options.targetBaud));
  m_port.PurgeBuffers(true, true);
  if (!options.waitForConfirmation) {
    // Blind: the boot loader is trusted to have caught one of the two.
    for (int i = 0; i < 2; ++i) {
      m_engine.Send("U");
      m_clock.SleepMs(options.delay);
    }
    m_status = TIspStatus::Done(false);
    return true;
  }

  // Confirmed: the speed list shows the speed the port ends at, whatever happens.
  TOnExit showSpeed([&] { m_host.SelectTargetBaud(BaudRateText(m_port.BaudRate())); });
  std::string portFailure;
  auto attempt = [&] {
    StopPoint("stopped during the speed search, before any command reached the chip");
    m_engine.Send("U");
    const bool ok = SyncReply();
    if (!m_engine.PortFailure().empty()) portFailure = m_engine.PortFailure();
    return ok;
  };
  auto found = [&] {
    m_status = TIspStatus::Done();
    return true;
  };
  // The speeds a host would rather have first, two attempts each as for the scan's speeds
  // (a chip still at one of them from an earlier run answers only there); a chip whose
  // crystal cannot make one fails its set-clock check there.
  for (TBaudRate rate : options.fastSpeeds) {
    m_port.SetBaudRate(rate);
    for (int i = 0; i < 2; ++i) {
      m_clock.SleepMs(kSyncPauseMs);
      if (attempt()) return found();
    }
  }
  m_port.SetBaudRate(BaudRateFromText(options.targetBaud));
  if (attempt()) return found();
  m_clock.SleepMs(kSyncPauseMs);
  if (attempt()) return found();
  for (TBaudRate rate : kScanList) {
    m_port.SetBaudRate(rate);
    for (int i = 0; i < 2; ++i) {
      m_clock.SleepMs(kSyncPauseMs);
      if (attempt()) return found();
    }
  }
  m_status = portFailure.empty()
                 ? TIspStatus::Make(skNoAnswer, "Flash not synchronized: no speed answered")
                 : TIspStatus::Make(skPortFailed, "Flash not synchronized: the port failed: " + portFailure);
  return false;
}

bool TIspOperations::SyncReply() {
  if (m_engine.WaitForChar(kSyncReplyMs, "U") != 'U') return false;
  m_clock.SleepMs(kSyncQuietMs);
  if (m_engine.ReplyText() != "U") return false;  // something came before it
  if (m_port.BytesWaiting() != 0) return false;   // something came after it
  return SetClock();
}

bool TIspOperations::SetClock() {
  m_port.PurgeBuffers(true, true);
  m_engine.SendRecord(SetClockRecord());
  const char reply = m_engine.WaitForChar(kSyncReplyMs, ".");
  m_clock.SleepMs(kSyncPauseMs);
  return reply == kReplyOk;
}

void TIspOperations::NotSynchronized() { PlainBox("Flash not synchronized", "Com Port Error"); }

void TIspOperations::BSynchroClick() {
  if (Synchronize(Options())) {
    PlainBox("Flash synchronized: " + BaudRateText(m_port.BaudRate()), "OK", TBoxRole::brSuccess);
  } else {
    NotSynchronized();
  }
}

void TIspOperations::BSendHexFileClick(bool sender) {
  const TIspOptions options = Options();
  OperationFailed = 1;
  m_status = TIspStatus::Make(skCancelled, "no image file was chosen");
  if (options.reuseImageFile || !sender) {
    m_host.ShowImageFile(m_imageFileName);
  } else {
    std::optional<std::string> chosen = m_host.ChooseImageFile(m_imageFileName);
    if (!chosen) return;  // cancelled: nothing happens
    m_imageFileName = std::move(*chosen);
  }
  m_host.SetActivity("programming");
  m_host.ProcessEvents();
  if (!m_port.Connected()) m_port.OpenPort();

  THexBinList list;
  TOnExit ending([this] { m_host.SetProgress(""); });
  if (m_image) {
    list = *m_image;
  } else {
    LoadImageFile(list, m_imageFileName);
  }
  m_host.ShowImageFile(m_imageFileName);
  if (!sender && !HoldsData(list)) {
    // A step of the full cycle: the status byte and the security bits must not follow.
    const std::string text = "No data to program in " + m_imageFileName;
    PlainBox(text, "Send Error");
    m_status = TIspStatus::Make(skBadImage, text);
    return;
  }
  const std::size_t count = list.Count();
  for (std::size_t i = 0; i < count; ++i) {
    StopPoint("stopped after " + std::to_string(i) + " of " + std::to_string(count) +
              " records of " + m_imageFileName + ": the chip is not fully programmed");
    const std::string& record = list[i];
    // The chip needs a moment before it switches its clock.
    if (record == kSixClockRecord) m_clock.SleepMs(kSixClockPauseMs);
    m_engine.SendRecord(record);
    m_host.SetProgress("Programming line: " + std::to_string(i) + " / " + std::to_string(count));
    m_host.RecordProgress(i + 1, count);
    if (!options.waitForConfirmation) {
      m_clock.SleepMs(options.delay);
      continue;
    }
    const TReplyClass cls = ClassifyReply(m_engine.WaitForDot(options.delay));
    if (cls != rcOk) {
      // "block" is the record's index here, as the operator has always read it.
      const std::string text = ReplyClassWords(cls) + " for block: " + std::to_string(i);
      PlainBox(text, "Send Error");
      m_status = m_engine.ReplyStatus(cls, text);
      m_status.index = static_cast<long>(i);
      return;
    }
  }
  OperationFailed = 0;
  m_status = TIspStatus::Done(options.waitForConfirmation);
}

void TIspOperations::BFullEraseClick(bool sender) {
  const TIspOptions options = Options();
  OperationFailed = 1;
  TBusyWindow busy(m_host, "Erasing entire chip memory ... wait");
  if (!Synchronize(options)) {
    NotSynchronized();
    return;
  }
  StopPoint("stopped before the erase: nothing was erased");
  m_engine.SendRecord(kFullEraseRecord);
  if (!options.waitForConfirmation) {
    m_clock.SleepMs(kFullErasePauseMs);
    OperationFailed = 0;
    m_status = TIspStatus::Done(false);
    return;
  }
  const TReplyClass cls = ClassifyReply(
      m_engine.WaitForDot(ScaledMs(options.delay, kFullEraseWaitFactor, kFullEraseWaitBase)));
  if (cls == rcOk) {
    OperationFailed = 0;
    if (sender) PlainBox("Flash erased", "OK", TBoxRole::brSuccess);
  } else {
    PlainBox(ReplyClassWords(cls), "Send Error");
  }
  m_status = m_engine.ReplyStatus(cls, ReplyClassWords(cls));
  m_host.AppendDebug(m_engine.ReplyText());
}

void TIspOperations::BEraseBlocksClick() {
  const TIspOptions options = Options();
  if (options.eraseBlocks.none()) {
    PlainBox("Nothing to erase", "");
    m_status = TIspStatus::Make(skOk, "Nothing to erase");
    return;
  }
  TBusyWindow busy(m_host, "Erasing blocks ... wait");
  if (!Synchronize(options)) {
    NotSynchronized();
    return;
  }
  const int waitMs = ScaledMs(options.delay, kBlockEraseWaitFactor, kBlockEraseWaitBase);
  std::bitset<16> erased;
  for (int block = 0; block < kEraseBlockCount; ++block) {
    const auto bit = static_cast<std::size_t>(block);
    if (!options.eraseBlocks.test(bit)) continue;
    StopPoint((erased.none() ? "stopped before the erase: nothing was erased"
                             : "stopped after erasing blocks " + BlockList(erased)) +
              "; not erased: blocks " + BlockList(options.eraseBlocks & ~erased));
    const auto outcome = m_engine.GiveCommand(BlockEraseRecord(block), waitMs, kBlockErasePauseMs,
                                              options.waitForConfirmation);
    if (outcome.cls != rcOk) {
      const std::string text = ReplyClassWords(outcome.cls) + " for block: " + std::to_string(block);
      PlainBox(text, "Send Error");
      m_status = m_engine.ReplyStatus(outcome.cls, text);
      m_status.index = block;
      return;  // later blocks stay as they are
    }
    erased.set(bit);
  }
  PlainBox("Selected blocks erased", "Erase OK", TBoxRole::brSuccess);
  m_status = TIspStatus::Done(options.waitForConfirmation);
}

void TIspOperations::BBlankClick() {
  const TIspOptions options = Options();
  TBusyWindow busy(m_host, "Blank check ... wait");
  if (!Synchronize(options)) {
    NotSynchronized();
    return;
  }
  // Empties the input before the check. On an idle line this read waits the port's whole
  // read time-out for 100 bytes (2,040 ms) before it returns with nothing.
  char buffer[kBlankDiscardBytes];
  m_port.ReceiveBytes(buffer, kBlankDiscardBytes);
  m_engine.ClearReplyText();
  // The character after the record starts the check.
  const std::string record = BlankCheckRecord(options.blankStart, options.blankEnd);
  m_engine.Send(record + '.');
  m_clock.SleepMs(kBlankEchoPauseMs);
  // The whole echo of the record, so that its last digit is not taken for the answer.
  const std::size_t echoLength = record.size();
  if (m_port.ReceiveBytes(buffer, echoLength) < echoLength) {
    PlainBox(ReplyClassWords(rcNoAnswer), "Send Error");
    m_status = TIspStatus::FromReply(rcNoAnswer, ReplyClassWords(rcNoAnswer));
    return;
  }
  std::string echo;
  for (std::size_t i = 0; i < echoLength; ++i) {
    if (static_cast<unsigned char>(buffer[i]) >= 32) echo += buffer[i];
  }
  const char reply = m_engine.WaitForDot(ScaledMs(options.delay, kBlankWaitFactor, kBlankWaitBase));
  const std::string& text = m_engine.ReplyText();
  if (reply == kReplyOk && text.size() == 1) {
    PlainBox("Flash is blank", "OK", TBoxRole::brSuccess);
    m_status = TIspStatus::Done();
  } else if (reply == kReplyOk || reply == kReplyEnd) {
    // What came before the terminator is the first address that is not blank.
    PlainBox("Flash not blank at address: " + text, "Send Error");
    m_status = TIspStatus::Make(skRefused, "Flash not blank at address: " + text);
    m_host.AppendDebug(echo + text);
  } else {
    const TReplyClass cls = ClassifyReply(reply);
    PlainBox(ReplyClassWords(cls), "Send Error");
    m_status = m_engine.ReplyStatus(cls, ReplyClassWords(cls));
  }
}

void TIspOperations::FinishSetting(const TIspOptions& options, int waitMs, int pauseMs,
                                   std::string_view done, bool sender) {
  if (!options.waitForConfirmation) {
    m_clock.SleepMs(pauseMs);
    OperationFailed = 0;
    m_status = TIspStatus::Done(false);
    if (sender) PlainBox(done, "Done", TBoxRole::brSuccess);
    return;
  }
  const TReplyClass cls = ClassifyReply(m_engine.WaitForDot(waitMs));
  m_status = m_engine.ReplyStatus(cls, ReplyClassWords(cls));
  if (cls != rcOk) {
    PlainBox(ReplyClassWords(cls), "Send Error");
    return;
  }
  OperationFailed = 0;
  if (sender) PlainBox(done, "OK", TBoxRole::brSuccess);
}

void TIspOperations::BSecurityClick(int bit, bool sender) {
  if (bit < 1 || bit > 3) return;
  const TIspOptions options = Options();
  m_engine.SendRecord(kSecurityBitRecords[bit - 1]);
  OperationFailed = 1;
  FinishSetting(options, options.delay, options.delay,
                "Security bit " + std::to_string(bit) + " set", sender);
}

void TIspOperations::BSetStatusClick(bool sender) {
  const TIspOptions options = Options();
  m_engine.SendRecord(CommandRecord(kSetStatusBody));
  OperationFailed = 1;
  FinishSetting(options, ScaledMs(options.delay, kStatusWaitFactor, kStatusWaitBase),
                kStatusPauseMs, "Status byte set to 0 (application)", sender);
}

void TIspOperations::B6ClockClick(bool sender) {
  const TIspOptions options = Options();
  m_engine.SendRecord(kSixClockRecord);
  if (!options.waitForConfirmation) {
    m_clock.SleepMs(options.delay);
    OperationFailed = 0;
    m_status = TIspStatus::Done(false);
    if (sender) PlainBox("Clock set", "Done", TBoxRole::brSuccess);
    return;
  }
  // Shown whoever started it: inside a full cycle a refusal is reported but ends nothing.
  const TReplyClass cls = ClassifyReply(m_engine.WaitForDot(options.delay));
  if (cls == rcOk) {
    PlainBox("Clock set", "OK", TBoxRole::brSuccess);
  } else {
    PlainBox(ReplyClassWords(cls), "Send Error");
  }
  m_status = m_engine.ReplyStatus(cls, ReplyClassWords(cls));
  m_host.AppendDebug(m_engine.ReplyText());
}

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

TIspStatus TIspOperations::ReadStatusLines(int waitMs) {
  TIspStatus status = TIspStatus::Done();
  std::string text;
  if (auto reply = ReadValue(kReadSecurityBody, waitMs, "Security bits", status)) {
    if (!ReadAnswerDigits(*reply, kReadSecurityBody, "Security bits", text)) {
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
  if (auto reply = ReadValue(kReadStatusBody, waitMs, "Read status", status)) {
    const bool wellFormed = ReadAnswerDigits(*reply, kReadStatusBody, "Read status", text);
    m_host.AddStatusLine(wellFormed ? "Status: " + text : text);
    if (!wellFormed) status = Worse(status, TIspStatus::Make(skBadReply, text));
  }
  return status;
}

void TIspOperations::BReadStatusClick() {
  const TIspOptions options = Options();
  if (!Synchronize(options)) {
    NotSynchronized();
    return;
  }
  m_host.ClearStatus();
  m_status = ReadStatusLines(ScaledMs(options.delay, kReadWaitFactor, kReadWaitBase));
}

void TIspOperations::ReadIdentification() {
  const TIspOptions options = Options();
  if (!Synchronize(options)) {
    NotSynchronized();
    return;
  }
  m_host.ClearStatus();
  const int waitMs = ScaledMs(options.delay, kReadWaitFactor, kReadWaitBase);
  const std::pair<std::string_view, std::string_view> reads[] = {
      {"020000050000", "Manufacturer id"}, {"020000050001", "Device id"}, {"020000050002", "Boot code version"}};
  TIspStatus status = TIspStatus::Done();
  for (const auto& [body, what] : reads) {
    std::string text;
    auto reply = ReadValue(body, waitMs, what, status);
    if (reply && ReadAnswerDigits(*reply, body, what, text)) {
      m_host.AddStatusLine(std::string(what) + ": " + text);
    } else if (reply) {
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
  // What the image puts where; of two records for one address, the later one is meant.
  std::vector<int> wanted(0x10000, -1);
  for (const std::string& line : image.Lines()) {
    const THexRecord r = ParseHexRecord(line);
    if (!r.problem.empty() || r.bytes[3] != 0x00) continue;
    const unsigned address = static_cast<unsigned>(r.bytes[1]) << 8 | r.bytes[2];
    for (std::size_t i = 0; i < r.bytes[0] && address + i < wanted.size(); ++i) wanted[address + i] = r.bytes[4 + i];
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
  if (!Synchronize(options)) {
    NotSynchronized();
    return false;
  }
  static constexpr std::string_view kDeviceIdBody = "020000050001";
  TIspStatus status = TIspStatus::Done();
  std::string digits;
  const auto reply = ReadValue(kDeviceIdBody, ScaledMs(options.delay, kReadWaitFactor, kReadWaitBase), "Device id", status);
  if (!reply) {
    m_status = status;
    return false;
  }
  if (!ReadAnswerDigits(*reply, kDeviceIdBody, "Device id", digits)) {
    m_status = TIspStatus::Make(skBadReply, digits);
    return false;
  }
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

THexBinList TIspOperations::CycleImage() const {
  if (m_image) return *m_image;
  THexBinList list;
  LoadImageFile(list, m_imageFileName);
  return list;
}

void TIspOperations::StopPoint(std::string_view done) {
  if (m_host.StopRequested()) throw EOperationStopped(std::string(done));
}

TIspStatus TIspOperations::Perform(const std::function<void()>& operation) {
  try {
    operation();
  } catch (...) {
    if (!StatusOfCurrentException(m_status)) throw;
  }
  return m_status;
}

TIspStatus TIspOperations::ControllerNotAnswering() {
  const std::string text = LangText("Error 301\rKTN do not answer!", "StrNoAnswer");
  m_host.Box(MessageBoxRequest(text, mkError, {mbtOK}));
  return TIspStatus::Make(skNoAnswer, "the controller stopped answering (KTN do not answer!)");
}

TIspStatus TIspOperations::SuspendController(bool& suspended) {
  suspended = false;
  TKTNPort& ktn = m_port.KTNPort();
  if (!ktn.FindController()) return TIspStatus::Make(skNoAnswer, "no controller answered on the line");
  if (!ktn.ReadState(m_controllerState)) return ControllerNotAnswering();
  for (std::uint8_t declined : kDeclinedStates) {
    if (m_controllerState[0] == declined) {
      return TIspStatus::Make(skRefused, "the controller declined: its state is " + std::to_string(declined));
    }
  }
  if (!ktn.ReadConfig(m_controllerConfig)) return ControllerNotAnswering();
  if (IsSuspended(m_controllerConfig)) return TIspStatus::Make(skOk, "the controller was suspended already");
  m_controllerConfig = SuspendedConfig(m_controllerConfig);
  if (!ktn.WriteConfig(m_controllerConfig)) return ControllerNotAnswering();
  suspended = true;
  return TIspStatus::Make(skOk, "the controller is suspended");
}

bool TIspOperations::SuspendKTN() {
  m_host.SetProgress("Looking for KTN ...");
  const TBaudRate previous = m_port.BaudRate();
  bool suspended = false;
  try {
    // A closed port is opened for the exchange (quietly: the cycle reports a port that
    // cannot be opened when it needs it for the chip).
    if (!m_port.Connected()) {
      try {
        m_port.OpenPort();
      } catch (const EComPort& e) {
        m_status = TIspStatus::Make(skPortFailed, "cannot open " + m_port.Port() + ": " + e.what());
      }
      m_host.ShowPortState();
    }
    if (m_port.Connected()) {
      m_port.SetBaudRate(br9600);
      m_port.TakeSwallowedFailure();
      m_status = SuspendController(suspended);
      // The protocol reads a failing port as silence; say what it was.
      if (const std::string failure = m_port.TakeSwallowedFailure(); !failure.empty() && !suspended)
        m_status = TIspStatus::Make(skPortFailed, m_status.detail + " (the port failed: " + failure + ")");
    }
  } catch (...) {
    m_suspension = TIspStatus::Make(skPortFailed, "the port failed during the controller exchange");
    try {
      m_port.SetBaudRate(previous);
    } catch (...) {
    }
    m_clock.SleepMs(kSuspendPauseMs);
    throw;
  }
  m_suspension = m_status;
  m_port.SetBaudRate(previous);
  m_clock.SleepMs(kSuspendPauseMs);
  return suspended;
}

void TIspOperations::BFullClick() {
  std::optional<std::string> chosen = m_host.ChooseImageFile(m_imageFileName);
  if (!chosen) {
    m_status = TIspStatus::Make(skCancelled, "no image file was chosen");
    return;  // cancelled: nothing happens
  }
  m_imageFileName = std::move(*chosen);
  m_host.ShowImageFile(m_imageFileName);
  if (!KTNSuspended) KTNSuspended = SuspendKTN();
  StopPoint("stopped before the jumper prompt: nothing was sent to the chip");
  PlainBox(kJumperOnText, "Info", TBoxRole::brPrompt);
  StopPoint("stopped at the jumper prompt: nothing was sent to the chip");
  m_clock.SleepMs(kJumperPauseMs);
  MakeFullProgramming();
  m_clock.SleepMs(kCycleEndPauseMs);
}

void TIspOperations::MakeFullProgramming() {
  if (!m_port.Connected()) TogglePort();
  if (!m_port.Connected()) return;
  const TCycleOptions fixed(m_cycleOptions, Options());
  const TIspOptions options = Options();
  for (int i = 0; i < kCycleSyncCount; ++i) {
    m_engine.Send("U");
    m_clock.SleepMs(options.delay);
  }
  OperationFailed = 0;
  if (options.expectDevice && !CheckDevice(*options.expectDevice)) {
    OperationFailed = 1;  // another chip: nothing is erased
    return;
  }
  // Each step is called without a sender: its success box is left out, its error box not.
  BFullEraseClick(false);
  if (OperationFailed != 0) return;
  TIspStatus cycle = m_status;
  StopPoint("stopped after the erase, before programming: the chip is erased");
  BSendHexFileClick(false);
  if (OperationFailed != 0) return;
  cycle = Worse(cycle, m_status);
  StopPoint("stopped after programming, before the status byte and the security bits");
  // Waiting for replies, a refused clock command is shown but leaves OperationFailed as it
  // was, so the cycle goes on; its status still says the chip is not in 6-clock mode.
  if (options.sixClock) {
    B6ClockClick(false);
    cycle = Worse(cycle, m_status);
  }
  if (OperationFailed != 0) return;
  if (options.verify) {
    // Only a chip that holds the image is locked: on a mismatch it stays open to try again.
    StopPoint("stopped after programming, before the verification: the chip is not locked");
    VerifyImage(CycleImage());
    if (!m_status.Ok()) {
      OperationFailed = 1;
      return;
    }
    cycle = Worse(cycle, m_status);
  }
  BSetStatusClick(false);
  if (OperationFailed != 0) return;
  cycle = Worse(cycle, m_status);
  for (int bit = 1; bit <= 3; ++bit) {
    BSecurityClick(bit, false);
    if (OperationFailed != 0) return;
    cycle = Worse(cycle, m_status);
  }
  std::string text = m_imageFileName;
  text += "\r\rOperation finished - security bits set\r\n";
  text += kJumperOffText;
  PlainBox(text, "Full programming", TBoxRole::brSuccess);
  m_status = cycle;
}

void TIspOperations::FullErase() {
  if (!KTNSuspended) KTNSuspended = SuspendKTN();
  StopPoint("stopped before the jumper prompt: nothing was erased");
  PlainBox(kJumperOnText, "Info", TBoxRole::brPrompt);
  StopPoint("stopped at the jumper prompt: nothing was erased");
  BFullEraseClick(false);
  const TIspStatus erased = m_status;
  // The jumper must come off whatever happened, but a failed erase is not called erased.
  std::string text(OperationFailed == 0 ? "Flash erased." : "Flash not erased.");
  text += "\r\n";
  text += kJumperOffText;
  PlainBox(text, "Erase");
  m_status = erased;
}

}  // namespace kavel
