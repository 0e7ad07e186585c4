// A fault injector at the device seam: forwards every call to the device it wraps and breaks
// the N-th one (counting every call from 1) the way real lines break.
//   EIO          that call fails, the later ones go through (a glitch);
//   short write  the first write from then on takes half its bytes and says nothing;
//   EINTR, EAGAIN  that call is cut short (a signal; a busy driver);
//   hang-up      that call and every one after it fail with EIO (an adapter pulled out);
//   logic error  that call throws std::logic_error (a fault of the program, not of the line).
#pragma once

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>

#include "link/ComDevice.h"

namespace kavel::test {

enum class TFault { fEIO, fShortWrite, fEINTR, fEAGAIN, fHangUp, fLogicError };

class TFaultComDevice final : public TComDevice {
 public:
  // n: the call that breaks (0: none); calls counts every call made, and outlives the device.
  TFaultComDevice(std::unique_ptr<TComDevice> inner, TFault fault, long n, long& calls)
      : m_inner(std::move(inner)), m_fault(fault), m_n(n), m_calls(calls) {}

  int Open(const std::string& name) override {
    if (int e = Fails()) return e;
    return m_inner->Open(name);
  }
  void Close() override { m_inner->Close(); }
  int SetQueueSizes(std::size_t in, std::size_t out) override {
    if (int e = Fails()) return e;
    return m_inner->SetQueueSizes(in, out);
  }
  int SetLine(const TLineTermios& line, bool dtr, bool rts) override {
    if (int e = Fails()) return e;
    return m_inner->SetLine(line, dtr, rts);
  }
  int BytesWaiting(std::size_t& count) override {
    count = 0;
    if (int e = Fails()) return e;
    return m_inner->BytesWaiting(count);
  }
  int Read(std::uint8_t* buffer, std::size_t n, int timeoutMs, std::size_t& got) override {
    got = 0;
    if (int e = Fails()) return e;
    return m_inner->Read(buffer, n, timeoutMs, got);
  }
  int Write(const std::uint8_t* buffer, std::size_t n, int timeoutMs, std::size_t& written) override {
    written = 0;
    if (int e = Fails()) return e;
    const bool cut = m_fault == TFault::fShortWrite && m_n > 0 && m_calls >= m_n && !m_cut && n > 1;
    m_cut = m_cut || cut;
    return m_inner->Write(buffer, cut ? n / 2 : n, timeoutMs, written);
  }
  int Purge(bool input, bool output) override {
    if (int e = Fails()) return e;
    return m_inner->Purge(input, output);
  }
  int WaitForInput(int timeoutMs, bool& arrived) override {
    arrived = false;
    if (int e = Fails()) return e;
    return m_inner->WaitForInput(timeoutMs, arrived);
  }

 private:
  // Counts the call; the error it fails with, or 0.
  int Fails() {
    ++m_calls;
    if (m_n <= 0 || m_calls < m_n) return 0;
    switch (m_fault) {
      case TFault::fEIO: return m_calls == m_n ? EIO : 0;
      case TFault::fEINTR: return m_calls == m_n ? EINTR : 0;
      case TFault::fEAGAIN: return m_calls == m_n ? EAGAIN : 0;
      case TFault::fHangUp: return EIO;
      case TFault::fShortWrite: return 0;
      case TFault::fLogicError:
        if (m_calls == m_n) throw std::logic_error("a fault injected at call " + std::to_string(m_n));
        return 0;
    }
    return 0;
  }

  std::unique_ptr<TComDevice> m_inner;
  TFault m_fault;
  long m_n;
  long& m_calls;
  bool m_cut = false;
};

}  // namespace kavel::test
