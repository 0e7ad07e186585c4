// A serial device that writes every byte going each way to a trace file, with the time and
// the line speed, and otherwise does what the device it wraps does: for a service
// technician's bug report. One line per write, and one per read that brought bytes:
//      12.345 > 9600 ':0100000210ED'      (to the device)
//      12.360 < 9600 ':0100000210ED.'     (from the device)
// Times are seconds since the trace began.
#pragma once

#include <cstdio>
#include <memory>

#include "link/Clock.h"
#include "link/ComDevice.h"

namespace kavel {

class TTraceComDevice final : public TComDevice {
 public:
  // trace: not owned, kept open by the caller; written and flushed line by line.
  TTraceComDevice(std::unique_ptr<TComDevice> inner, std::FILE* trace,
                  TClock& clock = TSystemClock::Instance());

  int Open(const std::string& portName) override;
  void Close() override;
  int SetQueueSizes(std::size_t input, std::size_t output) override;
  int SetLine(const TLineTermios& line, bool dtr, bool rts) override;
  int BytesWaiting(std::size_t& count) override;
  int Read(std::uint8_t* buffer, std::size_t n, int timeoutMs, std::size_t& got) override;
  int Write(const std::uint8_t* buffer, std::size_t n, int timeoutMs, std::size_t& written) override;
  int Purge(bool input, bool output) override;
  int WaitForInput(int timeoutMs, bool& arrived) override;
  int PollHandle() const override { return m_inner->PollHandle(); }
  int SetModemLines(bool dtr, bool rts) override;
  std::string TakeRemarks() override { return m_inner->TakeRemarks(); }
  std::string LastFailureWords() const override { return m_inner->LastFailureWords(); }

  // The errno of the first write to the trace file that failed (a full disk); 0 when none.
  // The line itself goes on regardless: the caller decides what a lost trace means.
  int TraceError() const { return m_traceError; }

 private:
  void Line(char direction, const std::uint8_t* bytes, std::size_t n, int err);
  // Writes what the device remarked, as "# " lines.
  void Remarks();
  // Flushes the trace file, noting the first failure.
  void Flush();

  std::unique_ptr<TComDevice> m_inner;
  std::FILE* m_trace;
  TClock& m_clock;
  std::int64_t m_start;
  unsigned m_speed = 9600;
  int m_traceError = 0;
};

}  // namespace kavel
