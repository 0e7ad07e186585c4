#include "cli/CliLine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/CliProcess.h"
#include "cli/CliReport.h"
#include "isp/Session.h"
#include "link/BaudRate.h"
#include "link/EComPort.h"
#include "link/NetComDevice.h"
#include "link/PosixComDevice.h"

namespace kavel::cli {
// The serial device of a COM name looks the name up again as it opens it, because only
// there is a stale claim on the port directory's entry refused.
std::unique_ptr<TComDevice> DeviceFor(const TPortArg& port) {
  const TComDeviceContext context = ProgramDeviceContext();
  if (!port.address.empty()) return std::make_unique<TNetComDevice>(port.address, context.clock);
  if (port.kind == TPortArg::pkDevice) return std::make_unique<TPosixComDevice>(context, port.device);
  return std::make_unique<TPosixComDevice>(context);
}

namespace {

// The line behind a gate that shuts once a second stop signal has ended the run at once:
// from then on nothing more reaches the line (ECANCELED), whatever the run was doing.
class TStopGate final : public TComDevice {
 public:
  explicit TStopGate(std::unique_ptr<TComDevice> inner) : m_inner(std::move(inner)) {}
  int Open(const std::string& name) override {
    return Gate([&] { return m_inner->Open(name); });
  }
  void Close() override { m_inner->Close(); }
  int SetQueueSizes(std::size_t in, std::size_t out) override {
    return Gate([&] { return m_inner->SetQueueSizes(in, out); });
  }
  int SetLine(const TLineTermios& line, bool dtr, bool rts) override {
    return Gate([&] { return m_inner->SetLine(line, dtr, rts); });
  }
  int SetModemLines(bool dtr, bool rts) override {
    return Gate([&] { return m_inner->SetModemLines(dtr, rts); });
  }
  int BytesWaiting(std::size_t& count) override {
    count = 0;
    return Gate([&] { return m_inner->BytesWaiting(count); });
  }
  int Read(std::uint8_t* buffer, std::size_t n, int timeoutMs, std::size_t& got) override {
    got = 0;
    return Gate([&] { return m_inner->Read(buffer, n, timeoutMs, got); });
  }
  int Write(const std::uint8_t* buffer, std::size_t n, int timeoutMs, std::size_t& written) override {
    written = 0;
    return Gate([&] { return m_inner->Write(buffer, n, timeoutMs, written); });
  }
  int Purge(bool input, bool output) override {
    return Gate([&] { return m_inner->Purge(input, output); });
  }
  int WaitForInput(int timeoutMs, bool& arrived) override {
    arrived = false;
    return Gate([&] { return m_inner->WaitForInput(timeoutMs, arrived); });
  }
  int PollHandle() const override { return m_inner->PollHandle(); }
  std::string TakeRemarks() override { return m_inner->TakeRemarks(); }
  // The device's words, unless the gate itself refused the last call.
  std::string LastFailureWords() const override { return m_shut ? std::string() : m_inner->LastFailureWords(); }

 private:
  template <typename Call>
  int Gate(Call&& call) {
    m_shut = StopNow();
    return m_shut ? ECANCELED : call();
  }
  std::unique_ptr<TComDevice> m_inner;
  bool m_shut = false;  // the last call was refused here
};

}  // namespace

TRunStatus OpenTrace(const std::string& path, TTraceFile& file) {
  if (path.empty()) return TRunStatus::Done();
  const auto failed = [&path](const std::string& why) {
    return TRunStatus::Make(rkOutputFailed, "cannot write the trace file " + path + ": " + why);
  };
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) return failed(std::strerror(errno));
  struct stat st {};
  const bool stated = fstat(fd, &st) == 0;
  if (!stated || !S_ISREG(st.st_mode) || ftruncate(fd, 0) != 0 ||
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    const std::string why = stated && !S_ISREG(st.st_mode) ? "it is not a regular file" : std::strerror(errno);
    close(fd);
    return failed(why);
  }
  file.reset(fdopen(fd, "w"));
  if (file) return TRunStatus::Done();
  const std::string why = std::strerror(errno);
  close(fd);
  return failed(why);
}

TRunStatus CloseTrace(TTraceFile& file, const TTraceComDevice* tracer, const std::string& path) {
  int err = tracer ? tracer->TraceError() : 0;
  if (std::fclose(file.release()) != 0 && err == 0) err = errno;
  if (err == 0) return TRunStatus::Done();
  return TRunStatus::Make(rkOutputFailed, "cannot write the trace file " + path + ": " + std::strerror(err));
}

std::unique_ptr<TComDevice> RecordedDevice(std::unique_ptr<TComDevice> device, std::FILE* traceFile, bool verbose,
                                           const TTraceComDevice*& tracer) {
  if (traceFile) {
    auto wrapped = std::make_unique<TTraceComDevice>(std::move(device), traceFile);
    tracer = wrapped.get();
    device = std::move(wrapped);
  }
  if (verbose) device = std::make_unique<TTraceComDevice>(std::move(device), stderr);
  return std::make_unique<TStopGate>(std::move(device));
}

TRunStatus StatusOfUnexpected() {
  if (std::optional<TRunStatus> known = StatusOfCurrentException()) return *known;
  try {
    throw;
  } catch (const std::exception& e) {
    return TRunStatus::Make(rkInternal, std::string("internal error: ") + e.what());
  } catch (...) {
    return TRunStatus::Make(rkInternal, "internal error: an exception of no known kind");
  }
}

TRunStatus OpenPort(TNAVOPort& port, const TPortArg& arg, const std::string& baud) {
  port.SetPort(arg.name);
  port.SetBaudRate(BaudRateFromText(baud));
  try {
    port.OpenPort();
    return TRunStatus::Done();
  } catch (const EComPort& e) {
    const std::string where = arg.device.empty() || arg.device == arg.name ? arg.name : arg.name + " (" + arg.device + ")";
    const bool comName = arg.kind == TPortArg::pkComName;
    std::string why = "cannot open ";
    why += where;
    why += ": ";
    why += !e.Reason().empty() ? e.Reason() : e.Errno() ? PortErrorReason(*e.Errno(), comName) : e.Words();
    return TRunStatus::Make(rkPortFailed, why);
  } catch (...) {
    return StatusOfUnexpected();
  }
}

}  // namespace kavel::cli
