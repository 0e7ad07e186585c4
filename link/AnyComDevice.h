// The device a port name leads to, chosen when it is opened: a network port for an address
// (rfc2217://, socket://) or for a COM name whose port-directory entry holds one, otherwise a
// serial device through POSIX termios. The port objects' default device, so that a COM name
// can lead across the network in the window and on the command line alike. Its clock and port
// directory come from its maker and go on to the device it opens.
#pragma once

#include <memory>
#include <string>

#include "link/ComDevice.h"

namespace kavel {

class TAnyComDevice final : public TComDevice {
 public:
  explicit TAnyComDevice(const TComDeviceContext& context) : m_context(context) {}

  int Open(const std::string& portName) override;
  void Close() override {
    if (m_inner) m_inner->Close();
  }
  int SetQueueSizes(std::size_t input, std::size_t output) override {
    return m_inner ? m_inner->SetQueueSizes(input, output) : EBADF;
  }
  int SetLine(const TLineTermios& line, bool dtr, bool rts) override {
    return m_inner ? m_inner->SetLine(line, dtr, rts) : EBADF;
  }
  int SetModemLines(bool dtr, bool rts) override { return m_inner ? m_inner->SetModemLines(dtr, rts) : EBADF; }
  int BytesWaiting(std::size_t& count) override { return m_inner ? m_inner->BytesWaiting(count) : EBADF; }
  int Read(std::uint8_t* buffer, std::size_t n, int timeoutMs, std::size_t& got) override {
    got = 0;
    return m_inner ? m_inner->Read(buffer, n, timeoutMs, got) : EBADF;
  }
  int Write(const std::uint8_t* buffer, std::size_t n, int timeoutMs, std::size_t& written) override {
    written = 0;
    return m_inner ? m_inner->Write(buffer, n, timeoutMs, written) : EBADF;
  }
  int Purge(bool input, bool output) override { return m_inner ? m_inner->Purge(input, output) : EBADF; }
  int WaitForInput(int timeoutMs, bool& arrived) override {
    arrived = false;
    return m_inner ? m_inner->WaitForInput(timeoutMs, arrived) : EBADF;
  }
  int PollHandle() const override { return m_inner ? m_inner->PollHandle() : -1; }
  std::string TakeRemarks() override { return m_inner ? m_inner->TakeRemarks() : std::string(); }
  std::string LastFailureWords() const override { return m_inner ? m_inner->LastFailureWords() : std::string(); }

 private:
  TComDeviceContext m_context;
  std::unique_ptr<TComDevice> m_inner;
};

}  // namespace kavel
