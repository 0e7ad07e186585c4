#include "cli/CliRun.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "cli/CliHost.h"
#include "cli/CliProcess.h"
#include "image/HexText.h"
#include "isp/IspOperations.h"
#include "link/ComNames.h"
#include "link/EComPort.h"
#include "link/PosixComDevice.h"
#include "link/TraceComDevice.h"

namespace kavel::cli {
namespace {

// The device behind the port argument: a COM name through the port directory, anything else
// as a device path.
std::unique_ptr<TComDevice> DeviceFor(const std::string& port) {
  if (IsComName(port)) return MakePosixComDevice();
  return std::make_unique<TPosixComDevice>(port);
}

std::string LastElement(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The file at path, links followed; nothing when there is none.
std::optional<struct stat> FileAt(const std::string& path) {
  struct stat st {};
  if (path.empty() || stat(path.c_str(), &st) != 0) return std::nullopt;
  return st;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// What the command says when it has been carried out, in its own words.
std::string Describe(const TCliArgs& args) {
  if (args.command == "erase") return args.eraseAll ? "the erase" : "the block erase";
  return args.command;
}

}  // namespace

void Complain(const std::string& text) { WriteErr("kavel-isp-cli: " + text + "\n"); }

std::bitset<16> BlocksOf(const THexBinList& image) {
  std::bitset<16> blocks;
  for (const std::string& line : image.Lines()) {
    const THexRecord r = ParseHexRecord(line);
    if (!r.problem.empty() || r.bytes[3] != 0x00 || r.bytes[0] == 0) continue;
    const unsigned first = static_cast<unsigned>(r.bytes[1]) << 8 | r.bytes[2];
    const unsigned last = std::min(first + r.bytes[0] - 1u, 0xFFFFu);
    for (unsigned b = first / 4096; b <= last / 4096; ++b) blocks.set(b);
  }
  return blocks;
}

std::vector<std::string> TracePaths(const std::string& trace, const std::vector<std::string>& ports) {
  if (trace.empty()) return std::vector<std::string>(ports.size());
  if (ports.size() == 1) return {trace};
  std::vector<std::string> names;
  for (const std::string& p : ports) names.push_back(LastElement(p));
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const bool shared = std::count(names.begin(), names.end(), names[i]) > 1;
    paths.push_back(trace + "." + (shared ? std::to_string(i + 1) + "." : std::string()) + names[i]);
  }
  return paths;
}

std::optional<std::string> TraceConflict(const std::vector<std::string>& traces, const std::string& image,
                                         const std::vector<std::string>& ports) {
  const TPortMap map = TPortMap::FromEnvironment();
  for (std::size_t i = 0; i < traces.size(); ++i) {
    const auto trace = FileAt(traces[i]);
    if (!trace) continue;  // a new file is nothing else
    if (const auto img = FileAt(image); img && SameFile(*trace, *img))
      return "--trace " + traces[i] + " is the image file " + image;
    if (S_ISDIR(trace->st_mode)) return "--trace " + traces[i] + " is a directory";
    for (const std::string& port : ports) {
      const auto device = FileAt(IsComName(port) ? map.DevicePath(port) : port);
      if (device && SameFile(*trace, *device)) return "--trace " + traces[i] + " is the port " + port;
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (const auto other = FileAt(traces[j]); other && SameFile(*trace, *other))
        return "--trace: " + traces[i] + " and " + traces[j] + " are the same file";
    }
  }
  return std::nullopt;
}

int RunOnPort(TCliArgs args, const TPortRun& run) {
  TCliHost host(args, run.port, run.several);
  // Closed after the port (declared before it), whatever path the run takes.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> traceFile(nullptr, &std::fclose);
  if (!run.trace.empty()) {
    traceFile.reset(std::fopen(run.trace.c_str(), "w"));
    if (!traceFile) {
      host.Say("cannot write the trace file " + run.trace + ": " + std::strerror(errno));
      return kExitChip;
    }
  }
  std::unique_ptr<TComDevice> device = DeviceFor(run.port);
  const TTraceComDevice* tracer = nullptr;
  if (traceFile) {
    auto wrapped = std::make_unique<TTraceComDevice>(std::move(device), traceFile.get());
    tracer = wrapped.get();
    device = std::move(wrapped);
  }

  TNAVOPort port(0, 0, std::move(device));
  if (IsComName(run.port)) port.SetPort(run.port);  // the name exactly as given
  port.SetBaudRate(BaudRateFromText(args.baud));
  try {
    port.OpenPort();
  } catch (const EComPort& e) {
    host.Say("cannot open " + run.port + ": " + e.what());
    if (e.WinCode() == EACCES) {
      host.Say("  You may not use this port: add yourself to its group (usually dialout) with\n"
               "  sudo usermod -aG dialout $USER, then log in again.");
    }
    return kExitPort;
  }
  const TBaudRate found = port.BaudRate();
  TIspOperations ops(port, TSystemClock::Instance(), host);
  ops.SetImageFileName(args.file);
  if (run.image) ops.UseImage(*run.image);

  const std::string& c = args.command;
  // The setting commands rely on a synchronized chip; a script's run starts from nothing.
  auto synchronized = [&] {
    if (ops.Synchronize()) return true;
    host.Say("Com Port Error: Flash not synchronized");
    return false;
  };
  TIspStatus status;
  try {
    status = ops.Perform([&] {
      if (c == "sync") {
        if (synchronized()) host.Print("synchronized at " + BaudRateText(port.BaudRate()) + " bit/s");
      } else if (c == "info") {
        ops.ReadIdentification();
      } else if (c == "status") {
        ops.BReadStatusClick();
      } else if (c == "program") {
        if (synchronized()) ops.BSendHexFileClick(false);
      } else if (c == "erase" && args.eraseAll) {
        ops.BFullEraseClick(false);
      } else if (c == "erase") {
        ops.BEraseBlocksClick();
      } else if (c == "blank-check") {
        ops.BBlankClick();
      } else if (c == "set-status0" || c == "security" || c == "six-clock") {
        if (!synchronized()) return;
        if (c == "set-status0") ops.BSetStatusClick(false);
        if (c == "security") ops.BSecurityClick(args.securityBit, false);
        if (c == "six-clock") ops.B6ClockClick(false);
      } else if (c == "suspend") {
        ops.KTNSuspended = ops.SuspendKTN();
      } else if (c == "cycle") {
        ops.BFullClick();
      }
    });
  } catch (const std::exception& e) {
    status = TIspStatus::Make(skRefused, e.what());
    host.Say(e.what());
  }

  const int stop = StopSignal();
  switch (status.kind) {
    case skUnconfirmed:
      if (!host.SuccessShown())
        host.Say(c + ": sent, not confirmed (--no-confirm: the chip's replies were not awaited)");
      break;
    case skStopped:
      host.Say((stop == 0 && host.Declined() ? std::string("stopped: no answer at the jumper prompt")
                                             : "stopped by " + SignalName(stop)) +
               ": " + status.detail);
      break;
    case skPortFailed: host.Say("port failure: " + status.detail); break;
    case skBadImage: host.Say(status.detail); break;
    default:
      if (status.Ok() && stop != 0) {
        host.Say("stopped by " + SignalName(stop) + ", but only after " + Describe(args) +
                 " had been carried out to its end");
      }
      break;
  }
  if (c == "suspend" && status.kind != skPortFailed && status.kind != skStopped) host.Say(status.detail);
  if (c == "cycle" && !ops.KTNSuspended && !ops.SuspensionStatus().detail.empty())
    host.Say("the communication controller was not suspended: " + ops.SuspensionStatus().detail);
  int exit = ExitStatusOf(status, stop);

  // The line as it was found, and the port let go.
  try {
    port.SetBaudRate(found);
  } catch (...) {
  }
  port.ClosePort();
  if (ops.KTNSuspended) {
    host.Say("The communication controller is in suspended mode: resume it from its management "
             "program (ZV Master) when you are done.");
  }
  // Outputs that were asked for and could not be written are failures too.
  if (traceFile) {
    int err = tracer ? tracer->TraceError() : 0;
    if (std::fclose(traceFile.release()) != 0 && err == 0) err = errno;
    if (err != 0) {
      host.Say("cannot write the trace file " + run.trace + ": " + std::strerror(err));
      if (exit == kExitOk) exit = kExitChip;
    }
  }
  if (OutputError() != 0 && exit == kExitOk) {
    host.Say(std::string("cannot write the results to standard output: ") + std::strerror(OutputError()));
    exit = kExitChip;
  }
  return exit;
}

}  // namespace kavel::cli
