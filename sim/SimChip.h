// A simulated 89C61-family boot loader: autobaud on "U", echo, Intel HEX command records with
// one-character replies (the display record: lines of the flash; refused with "L" under
// security bit 2), a 64 KB flash of sixteen 4 KB blocks, three security bits, the
// status byte and the 6-clock bit. Fault options make it misbehave on purpose.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "sim/SimDevice.h"
#include "sim/SimFrames.h"

namespace kavel::sim {

enum class TReplyOverride : std::uint8_t { CrcError, NotAllowed, CarriageReturn, Silent };

struct TSimChipOptions {
  std::set<std::uint32_t> acceptedSpeeds;   // speeds the autobaud takes; empty = any
  int fullEraseMs = 3000;                   // time the whole-chip erase takes
  int blockEraseMs = 1000;                  // time one 4 KB block erase takes
  int replyDelayMs = 0;                     // extra time before every reply (and the sync "U")
  std::map<int, TReplyOverride> overrides;  // record number (from 1) -> forced reply
  bool loopBack = false;                    // echo every byte at any speed, never reply
  std::string noise;                        // sent before every reply
  std::string extra;                        // sent after every reply
  int hangUpAfter = 0;                      // hang up after this many records (0 = never)
  int echoLimit = -1;                       // echo only this many characters from each ":" (-1: all)
  std::string readAnswer;                   // when set: what the security and status reads
                                            // answer before their "." instead of the value
  std::uint8_t securityBits = 0;            // initial: bit 0 = security bit 1 ... bit 2 = 3
  std::uint8_t statusByte = 0xFF;           // initial status byte
  bool sixClock = false;                    // initial clock mode
  std::uint8_t manufacturerId = 0x15;       // identification reads (05 00 00/01/02)
  std::uint8_t deviceId = 0xC2;
  std::uint8_t bootVersion = 0x1F;
  int weakCell = -1;                        // an address whose cell keeps one bit that
                                            // programming should clear (-1: none)
  // The fixture's wiring of the modem lines: DTR on holds RST high, RTS on pulls /PSEN low;
  // a board whose transistors invert a line turns that around.
  bool invertDtr = false, invertRts = false;
  bool needEntry = false;                   // it runs its application (deaf to the line) until
                                            // reset with /PSEN low
};

class TSimChip final : public TSimDevice {
 public:
  static constexpr std::size_t kFlashSize = 65536;
  static constexpr std::size_t kBlockSize = 4096;

  explicit TSimChip(TSimChipOptions options = {});

  void Receive(std::uint8_t byte, std::uint32_t bitsPerSecond, std::int64_t nowMs,
               std::vector<TSimOutput>& out) override;
  // At the falling edge of RST the chip starts its boot loader when /PSEN is low or its
  // status byte is not 0, else its application; while RST is high it is held in reset.
  void ModemLines(bool dtr, bool rts, std::int64_t nowMs) override;
  bool WantsHangUp() const override;
  // Power-on: the boot loader (or, with needEntry, the application), the speed to take up
  // afresh, no record begun. The flash, the security bits, the status byte and the clock
  // mode are the chip's non-volatile memory and stay, as do the counts of the report.
  void Restart(std::int64_t nowMs) override;

  std::array<std::uint8_t, kFlashSize>& Flash() { return m_flash; }
  const std::array<std::uint8_t, kFlashSize>& Flash() const { return m_flash; }
  std::uint8_t SecurityBits() const { return m_security; }
  std::uint8_t StatusByte() const { return m_status; }
  bool SixClock() const { return m_sixClock; }
  int ClockValue() const { return m_clock; }
  std::uint32_t SyncedSpeed() const { return m_speed; }  // 0 until a "U" was taken
  int RecordCount() const { return m_records; }
  enum class TRunning : std::uint8_t { rnBootLoader, rnApplication, rnReset };
  TRunning Running() const { return m_running; }

  // The text report written at exit: one "name=value" per line.
  std::string Report() const;

 private:
  // Runs a complete record (hex digits after ":"); returns the reply text, or nothing when
  // the answer waits for the blank check's start character. busyMs: time the command takes.
  std::string Execute(const std::vector<std::uint8_t>& bytes, int& busyMs, bool& deferred);
  // Execute by record type: the reply (the value read, with its "."), or the refusal.
  std::string ProgramData(unsigned address, std::span<const std::uint8_t> data);
  std::string WriteFunction(std::span<const std::uint8_t> data, int& busyMs);
  std::string DisplayOrBlank(std::span<const std::uint8_t> data, bool& deferred);
  std::string ReadFunction(std::span<const std::uint8_t> data) const;
  std::string BlankCheck(std::uint16_t start, std::uint16_t end) const;
  // The display record's answer for start..end.
  std::string Display(unsigned start, unsigned end) const;
  // True for a byte of the communication controller's request frames (FF FF 62 42 13, code,
  // data, sum): they are not for the chip, which in the field runs its application while the
  // controller is being suspended.
  bool SkipControllerFrame(std::uint8_t byte);
  std::string Dressed(const std::string& reply) const;  // noise + reply + extra
  void StartAfresh();  // the boot loader's own state, as after a reset
  void Schedule(std::vector<TSimOutput>& out, std::int64_t atMs, std::string bytes,
                std::uint32_t speed);
  void CompleteRecord(std::int64_t nowMs, std::vector<TSimOutput>& out);

  TSimChipOptions m_options;
  std::array<std::uint8_t, kFlashSize> m_flash{};
  std::uint8_t m_security = 0;
  std::uint8_t m_status = 0xFF;
  std::uint8_t m_bootVector = 0xFC;
  bool m_sixClock = false;
  int m_clock = 0;
  std::uint32_t m_speed = 0;
  bool m_inRecord = false;
  std::string m_digits;           // hex digits of the record being received
  bool m_awaitBlankStart = false;  // the blank check answers after one more character
  std::string m_deferredReply;
  int m_records = 0;
  int m_echoCount = 0;            // characters echoed since the last ":"
  TRequestScanner m_controllerFrames;  // the controller's requests, which the chip steps over
  std::int64_t m_busyUntil = 0;   // outputs keep their order behind long commands
  TRunning m_running = TRunning::rnBootLoader;
  int m_resets = 0;
};

}  // namespace kavel::sim
