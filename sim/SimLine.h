// The simulated serial line: a pseudo-terminal whose slave side the program opens like any
// serial device (registered under a COM name in the port directory), and whose master side
// carries the bytes to and from the simulated devices. The line speed that the program sets
// on the slave is read off the master for every batch of bytes, so devices hear each byte
// at the speed it was sent with. Holds a slave descriptor of its own so that the program
// may close and reopen the port without the master seeing a hang-up.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimDevice.h"

namespace kavel::sim {

class TSimLine {
 public:
  static constexpr int kHangUpLingerMs = 300;

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

  // Makes comName in portDir a symlink to the slave (creating portDir). An entry that leads
  // to a live device is only replaced when force is set. False with a message on failure.
  bool Register(const std::string& portDir, const std::string& comName, bool force,
                std::string& error);
  // Removes the entry again if it still leads to this line's slave.
  void Unregister();

  // Wire log: one line per batch, "   12.345 > 9600 ':0100...'" (">" program to devices,
  // "<" devices to program). Null: no log. Not owned.
  void SetLog(std::FILE* log) { m_log = log; }

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
  bool HungUp() const { return m_hungUp.load(); }

  // Milliseconds since the line was opened.
  std::int64_t NowMs() const;

 private:
  void Deliver(std::int64_t now);
  void Log(char direction, std::uint32_t speed, const std::string& bytes);
  void HangUp();

  int m_master = -1;
  int m_slave = -1;
  int m_stopPipe[2] = {-1, -1};
  std::string m_slavePath;
  std::string m_entryPath;
  std::vector<TSimDevice*> m_devices;
  std::vector<TSimOutput> m_pending;
  std::FILE* m_log = nullptr;
  std::int64_t m_origin = 0;
  std::int64_t m_hangUpAt = -1;
  std::atomic<bool> m_hungUp{false};
  std::thread m_thread;
};

// "a\r\n" style escapes for wire texts: \r \n \t \\ \xHH; other characters as they are.
std::string Unescape(const std::string& text);
// The reverse, for logs: printable ASCII as it is, the rest escaped.
std::string Escape(const std::string& bytes);

}  // namespace kavel::sim
