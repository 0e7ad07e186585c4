// The seam between the port object and the operating system: one serial device, opened by
// COM name. TPosixComDevice is the real one; tests put in scripted fakes and fault injectors.
// Every call returns 0 on success or an errno value; none of them throws. EINTR and EAGAIN
// are no failures of the line: a signal cut the call short, or the non-blocking descriptor
// (or a busy USB adapter's driver) could not answer at once. The POSIX device makes such
// system calls again a few times itself (link/Transient.h), and the port object does the same
// with any device's calls, so a transient answer never ends a run.
#pragma once

#include <cstddef>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>

#include "link/Clock.h"
#include "link/LineTermios.h"

namespace kavel {

// What a device is given by whoever makes it, rather than reading it from the process: the
// clock its deadlines and pauses go by (one that runs with real time, as the device waits on
// the system), and the port directory its COM names are looked up in (link/ComNames.h).
struct TComDeviceContext {
  TClock& clock;
  std::string portDir;
};
// The program's context: the system clock, and the port directory that the environment names
// (PortDirectory()).
TComDeviceContext ProgramDeviceContext();

class TComDevice {
 public:
  virtual ~TComDevice() = default;

  // Opens the device behind portName for reading and writing, exclusively: a second open of
  // the same device, from this process or another, fails (EBUSY). A name that is not a COM
  // name fails with EINVAL, a device that is no terminal with ENOTTY (before it is opened).
  virtual int Open(const std::string& portName) = 0;
  // Releases the device; nothing when it is not open.
  virtual void Close() = 0;
  virtual int SetQueueSizes(std::size_t input, std::size_t output) = 0;
  // Line format and speed, and the DTR and RTS outputs (true = on).
  virtual int SetLine(const TLineTermios& line, bool dtr, bool rts) = 0;
  virtual int BytesWaiting(std::size_t& count) = 0;
  // Returns at once with the bytes already waiting (at most n); when none are waiting, blocks
  // until n bytes have arrived or timeoutMs has passed (timeoutMs < 0: no limit).
  virtual int Read(std::uint8_t* buffer, std::size_t n, int timeoutMs, std::size_t& got) = 0;
  // Hands the n bytes to the line and waits until they have left it, or timeoutMs has passed
  // (timeoutMs < 0: no limit; ETIMEDOUT when it passed first). written says how many the
  // device took.
  virtual int Write(const std::uint8_t* buffer, std::size_t n, int timeoutMs,
                    std::size_t& written) = 0;
  virtual int Purge(bool input, bool output) = 0;
  // Blocks until a byte is waiting or timeoutMs has passed; arrived tells which.
  virtual int WaitForInput(int timeoutMs, bool& arrived) = 0;
  // A descriptor that polls readable when input is waiting, for an event loop to watch;
  // -1 when there is none (closed, or not a real device).
  virtual int PollHandle() const { return -1; }
  // Sets the DTR and RTS outputs (true = on) alone, strictly: a device or driver that cannot
  // set them says so (ENOTTY, ENOTSUP, or ETIMEDOUT from a network server that did not
  // acknowledge them), where SetLine lets such a device go.
  virtual int SetModemLines(bool /*dtr*/, bool /*rts*/) { return ENOTSUP; }
  // What the device did beside its calls since it was last asked, that a person tracing the
  // line may want to know ("low-latency mode on", a setting a server did not acknowledge),
  // a line each; "" for nothing.
  virtual std::string TakeRemarks() { return {}; }
  // Why the last call failed, in words, when its errno alone would mislead (a network server
  // that runs its port at another speed answers EINVAL, one that never acknowledged the speed
  // ETIMEDOUT, though the connection was made); "" when the errno says it, or when the last
  // call succeeded. The errno stays the call's result; the words only say it better.
  virtual std::string LastFailureWords() const { return {}; }
};

// A serial device through POSIX termios (link/PosixComDevice.h), in the given context.
std::unique_ptr<TComDevice> MakePosixComDevice(const TComDeviceContext& context = ProgramDeviceContext());
// The port objects' default device: a network port or a serial device, as the name leads
// (link/AnyComDevice.h), in the given context.
std::unique_ptr<TComDevice> MakeComDevice(const TComDeviceContext& context = ProgramDeviceContext());

}  // namespace kavel
