// The line a run works on: the device a port argument leads to, behind the recorders of the
// trace file and of -v and behind the gate that a second stop signal shuts, and the port
// opened at the speed asked for.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "cli/CliPorts.h"
#include "cli/CliStatus.h"
#include "link/ComDevice.h"
#include "link/NAVOPort.h"
#include "link/TraceComDevice.h"

namespace kavel::cli {

// The device the port argument leads to: the network port it is, the device path given, or
// the serial device of the COM name.
std::unique_ptr<TComDevice> DeviceFor(const TPortArg& port);
// Opens the port, by the name given, at the speed asked for. Done, or rkPortFailed saying
// why it cannot be opened: the device's own words when its error number would mislead (a
// network server that runs its port at another speed), else the error number's advice.
TRunStatus OpenPort(TNAVOPort& port, const TPortArg& arg, const std::string& baud);

using TTraceFile = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// The trace file, open for writing; none when none was asked for. Never blocks: what stands
// under the name now (it was checked to be a regular file or none) is checked again as it is
// opened. Done, or rkOutputFailed.
TRunStatus OpenTrace(const std::string& path, TTraceFile& file);
// Closes the trace file. Done, or rkOutputFailed when any of it was not written.
TRunStatus CloseTrace(TTraceFile& file, const TTraceComDevice* tracer, const std::string& path);
// The line's device, behind the recorders of the trace file (tracer: its recorder) and of -v,
// and behind the gate that shuts once a second stop signal has ended the run at once.
std::unique_ptr<TComDevice> RecordedDevice(std::unique_ptr<TComDevice> device, std::FILE* traceFile, bool verbose,
                                           const TTraceComDevice*& tracer);
// Inside a catch block: the status of an exception that ends an operation (an image that
// cannot be used ...), else rkInternal: a fault of this program, said as such, never as the
// chip's.
TRunStatus StatusOfUnexpected();

}  // namespace kavel::cli
