// The simulated serial line: a pseudo-terminal whose slave side the program opens like any
// serial device (registered under a COM name in the port directory), and whose master side
// carries the bytes to and from the simulated devices. The line speed that the program sets
// on the slave is read off the master for every batch of bytes, so devices hear each byte
// at the speed it was sent with. Holds a slave descriptor of its own so that the program
// may close and reopen the port without the master seeing a hang-up.
//
// The port directory is the user's: the line's entry there is claimed (link/PortClaim.h),
// so that one left behind by a killed simulator is known as stale, and entries the line did
// not make are left alone. Nothing here blocks: a program that stops reading makes the line
// keep at most kOutboxLimit bytes for it and drop (and count) the rest, and a stop request
// is noticed at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "link/PortClaim.h"
#include "link/WireText.h"
#include "sim/SimDevice.h"
#include "sim/SimWake.h"

namespace kavel::sim {

class TSimLine {
 public:
  static constexpr int kHangUpLingerMs = 300;
  static constexpr std::size_t kOutboxLimit = 16384;  // bytes kept for a program not reading

  TSimLine();
  ~TSimLine();
  TSimLine(const TSimLine&) = delete;
  TSimLine& operator=(const TSimLine&) = delete;

  // Creates the pty (raw, 9600 bit/s). Returns false with a message in error on failure.
  bool Open(std::string& error);
  // /dev/pts/N of the slave side.
  const std::string& SlavePath() const { return m_slavePath; }

  // Adds a device that hears the line (not owned; must outlive the line).
  void AddDevice(TSimDevice* device) { m_devices.push_back(device); }

  // Makes comName in portDir a symlink to the slave (creating portDir), claimed for the life
  // of this line. An existing entry is replaced only when it is a stale simulator's, or with
  // force when it is a symlink of the user's (put back by Unregister) or a live simulator's;
  // anything else is refused. False with a message on refusal or failure; Note() then tells
  // what was replaced, if anything.
  bool Register(const std::string& portDir, const std::string& comName, bool force,
                std::string& error);
  const std::string& Note() const { return m_note; }
  // Removes the entry, or puts back the user's link it replaced, if it is still this line's.
  void Unregister();

  // Wire log: one line per batch, "   12.345 > 9600 ':0100...'" (">" program to devices,
  // "<" devices to program). Null: no log. Not owned.
  void SetLog(std::FILE* log) { m_log = log; }
  // Bytes to the program leave at the line speed (10 bits a byte), as on a real line, instead
  // of as fast as the pty takes them: for measuring against the line's own limit.
  void SetPaced(bool paced) { m_paced = paced; }
  // What the devices send reaches the program latencyMs late (a USB adapter's latency timer).
  void SetLatencyMs(int latencyMs) { m_latencyMs = latencyMs; }

  // Serves the line until Stop() or until a device asks for a hang-up: kHangUpLingerMs after
  // the last reply went out (so that the program can read it) the master is closed and the
  // program's port sees the line drop. Blocks.
  void Run();
  // Serves the line on a thread of its own.
  void Start();
  // Ends Run() (from any thread or a signal handler) and joins the thread of Start().
  void Stop();
  // Async-signal-safe part of Stop(): only wakes Run() to end.
  void RequestStop() noexcept;
  // What Run() does, on its own thread, when a toggle is asked: toggle(nowMs) takes the board
  // out or puts it back (TSimBoard::Toggle) and returns a note for the wire log. What the
  // devices had scheduled and not yet sent is dropped first.
  void SetToggle(std::function<std::string(std::int64_t nowMs)> toggle) { m_toggle = std::move(toggle); }
  // Async-signal-safe: asks Run() to call the toggle.
  void RequestToggle() noexcept { m_wake.RequestToggle(); }
  bool HungUp() const { return m_hungUp.load(); }
  // Bytes the devices sent that the program never took (the line was full).
  std::size_t Dropped() const { return m_dropped.load(); }

  // Milliseconds since the line was opened.
  std::int64_t NowMs() const;

 private:
  // Paced: how many bytes of the outbox may go now, and how long until the next may.
  std::size_t SendableNow();
  int PacedWaitMs() const;

  // Moves the outputs that are due into the outbox (garbled when sent at another speed than
  // the line's), dropping what would overfill it.
  void QueueDue(std::int64_t now);
  // Writes as much of the outbox as the line takes now; never waits.
  void Flush();
  void Log(char direction, std::uint32_t speed, const std::string& bytes);
  void HangUp();
  // Takes what was asked through m_wake; true when the line is to stop.
  bool TakeAsked();

  int m_master = -1;
  int m_slave = -1;
  TSimWake m_wake;
  std::function<std::string(std::int64_t)> m_toggle;
  std::string m_slavePath;
  std::string m_entryPath;
  std::optional<TEntryClaim> m_claim;
  std::string m_note;
  std::string m_outbox;
  bool m_paced = false;
  int m_latencyMs = 0;
  std::int64_t m_lineFreeUs = 0;  // paced: when the line can carry the next byte
  std::size_t m_droppedUnlogged = 0;
  std::atomic<std::size_t> m_dropped{0};
  std::vector<TSimDevice*> m_devices;
  std::vector<TSimOutput> m_pending;
  std::FILE* m_log = nullptr;
  std::int64_t m_origin = 0;
  std::int64_t m_hangUpAt = -1;
  std::atomic<bool> m_hungUp{false};
  std::thread m_thread;
};

// Wire texts (link/WireText.h), as the simulator has always spelled them.
using kavel::Escape;
using kavel::Unescape;

}  // namespace kavel::sim
