// kavel-isp-cli: the device operations from a shell or a production script, without a
// window. The same operations object as the window drives the line; this file only reads
// the command line, opens the port, runs one command and turns what happened into an exit
// status. Several --port options run the command on every port at once, one process each.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>

#include "cli/CliArgs.h"
#include "cli/CliHost.h"
#include "image/HexBinList.h"
#include "image/HexText.h"
#include "isp/IspOperations.h"
#include "link/ComNames.h"
#include "link/EComPort.h"
#include "link/PosixComDevice.h"
#include "link/TraceComDevice.h"

using namespace kavel;
using namespace kavel::cli;

namespace {

constexpr const char* kVersion = KAVEL_VERSION;

int Usage(const std::string& message) {
  std::cerr << "kavel-isp-cli: " << message << "\nTry kavel-isp-cli --help.\n";
  return kExitUsage;
}

int ListPorts() {
  const TPortMap map = TPortMap::FromEnvironment();
  const TPortMap::TListing listing = map.List();
  for (const std::string& name : listing.names) std::cout << name << "\t" << map.DevicePath(name) << "\n";
  if (listing.names.empty()) std::cout << "no serial ports found\n";
  if (listing.error != 0) {
    std::cerr << "kavel-isp-cli: cannot read " << listing.unreadable << ": "
              << std::strerror(listing.error) << "\n";
    return kExitPort;
  }
  return kExitOk;
}

// The image's records, checked before anything is sent: readable, at most 64 KB, and for a
// HEX file every non-empty line a well-formed record. Nothing and a message on failure.
bool LoadChecked(const std::string& file, THexBinList& list, TCliHost& host) {
  try {
    LoadImageFile(list, file);
  } catch (const std::exception& e) {
    host.Say(e.what());
    return false;
  }
  for (std::size_t i = 0; i < list.Count(); ++i) {
    if (list[i].empty()) continue;
    const THexRecord record = ParseHexRecord(list[i]);
    if (!record.problem.empty()) {
      host.Say(file + ", line " + std::to_string(i + 1) + ": not a HEX record (" + record.problem + ")");
      return false;
    }
  }
  if (list.Count() == 0) {
    host.Say(file + " holds no records");
    return false;
  }
  return true;
}

// The 4 KB blocks that the image's data records touch.
std::bitset<16> BlocksOf(const THexBinList& list) {
  std::bitset<16> blocks;
  for (const std::string& line : list.Lines()) {
    const THexRecord r = ParseHexRecord(line);
    if (!r.problem.empty() || r.bytes[3] != 0x00 || r.bytes[0] == 0) continue;
    const unsigned first = static_cast<unsigned>(r.bytes[1]) << 8 | r.bytes[2];
    const unsigned last = std::min(first + r.bytes[0] - 1u, 0xFFFFu);
    for (unsigned b = first / 4096; b <= last / 4096; ++b) blocks.set(b);
  }
  return blocks;
}

// The device behind the port argument: a COM name through the port directory, anything else
// as a device path.
std::unique_ptr<TComDevice> DeviceFor(const std::string& port) {
  if (IsComName(port)) return MakePosixComDevice();
  return std::make_unique<TPosixComDevice>(port);
}

int PortNumber(const std::string& port) {
  return IsComName(port) ? std::atoi(port.c_str() + 3) : 0;
}

// Runs the command on one port. label: how the port is named in messages.
int RunOnPort(TCliArgs args, const std::string& portArg, bool several) {
  TCliHost host(args, portArg, several);
  // Closed after the port (declared before it), whatever path the run takes.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> trace(nullptr, &std::fclose);
  if (!args.trace.empty()) {
    const std::string path = several ? args.trace + "." + portArg.substr(portArg.rfind('/') + 1) : args.trace;
    trace.reset(std::fopen(path.c_str(), "w"));
    if (!trace) {
      host.Say("cannot write " + path + ": " + std::strerror(errno));
      return kExitFile;
    }
  }
  std::unique_ptr<TComDevice> device = DeviceFor(portArg);
  if (trace) device = std::make_unique<TTraceComDevice>(std::move(device), trace.get());

  // What the command needs from a file comes first: a bad file sends nothing.
  THexBinList image;
  if (!args.file.empty() && !LoadChecked(args.file, image, host)) return kExitFile;
  if (args.command == "erase" && !args.file.empty()) {
    args.eraseBlocks = BlocksOf(image);
    if (args.eraseBlocks.none()) {
      host.Say(args.file + " holds no data: nothing to erase");
      return kExitOk;
    }
    std::string list;
    for (int b = 0; b < 16; ++b)
      if (args.eraseBlocks.test(static_cast<std::size_t>(b))) list += " " + std::to_string(b);
    host.Say("blocks to erase:" + list);
  }

  TNAVOPort port(PortNumber(portArg), 0, std::move(device));
  port.SetBaudRate(BaudRateFromText(args.baud));
  try {
    port.OpenPort();
  } catch (const EComPort& e) {
    host.Say("cannot open " + portArg + ": " + e.what());
    if (e.WinCode() == EACCES) {
      host.Say("  You may not use this port: add yourself to its group (usually dialout) with\n"
               "  sudo usermod -aG dialout $USER, then log in again.");
    }
    return kExitPort;
  }
  const TBaudRate found = port.BaudRate();
  TIspOperations ops(port, TSystemClock::Instance(), host);
  ops.SetImageFileName(args.file);
  int status = kExitOk;
  try {
    const std::string& c = args.command;
    // The setting commands rely on a synchronized chip; a script's run starts from nothing.
    auto synchronized = [&] {
      if (ops.Synchronize()) return true;
      host.Say("Com Port Error: Flash not synchronized");
      host.Fail(TOutcome::ChipFailed);
      return false;
    };
    if (c == "sync") {
      if (synchronized()) host.Print("synchronized at " + BaudRateText(port.BaudRate()) + " bit/s");
    } else if (c == "info") {
      ops.ReadIdentification();
      if (!ops.LastStatus().Ok()) host.Fail(TOutcome::ChipFailed);
    } else if (c == "status") {
      ops.BReadStatusClick();
    } else if (c == "program") {
      if (synchronized()) {
        ops.BSendHexFileClick(false);
        if (ops.OperationFailed != 0) host.Fail(TOutcome::ChipFailed);
      }
    } else if (c == "erase" && args.eraseAll) {
      ops.BFullEraseClick(false);
      if (ops.OperationFailed != 0) host.Fail(TOutcome::ChipFailed);
    } else if (c == "erase") {
      ops.BEraseBlocksClick();
    } else if (c == "blank-check") {
      ops.BBlankClick();
    } else if (c == "set-status0" || c == "security" || c == "six-clock") {
      if (synchronized()) {
        ops.OperationFailed = 0;
        if (c == "set-status0") ops.BSetStatusClick(false);
        if (c == "security") ops.BSecurityClick(args.securityBit, false);
        if (c == "six-clock") ops.B6ClockClick(false);
        if (ops.OperationFailed != 0) host.Fail(TOutcome::ChipFailed);
      }
    } else if (c == "suspend") {
      ops.KTNSuspended = ops.SuspendKTN();
      if (!ops.KTNSuspended && host.Outcome() == TOutcome::Ok) {
        host.Say("no controller was suspended: none answered, it declined, or it was suspended already");
        host.Fail(TOutcome::ChipFailed);
      }
    } else if (c == "cycle") {
      ops.BFullClick();
      if (ops.OperationFailed != 0) host.Fail(TOutcome::ChipFailed);
    }
    status = host.Outcome() == TOutcome::PortFailed ? kExitPort
             : host.Outcome() == TOutcome::ChipFailed ? kExitChip
                                                      : kExitOk;
  } catch (const EOperationStopped& e) {
    host.Say(std::string("stopped by Ctrl-C: ") + e.what() + "; the chip is not fully programmed");
    status = kExitStopped;
  } catch (const EComPort& e) {
    host.Say(std::string("port failure: ") + e.what());
    status = kExitPort;
  } catch (const std::exception& e) {
    host.Say(e.what());
    status = dynamic_cast<const EFOpenError*>(&e) || dynamic_cast<const EReadError*>(&e) ||
                     dynamic_cast<const EImageTooLarge*>(&e)
                 ? kExitFile
                 : kExitChip;
  }
  if (status == kExitChip) {
    // A line that hung up looks like a chip that stopped answering: tell them apart.
    try {
      port.BytesWaiting();
    } catch (const EComPort& e) {
      host.Say(std::string("the port is gone: ") + e.what());
      status = kExitPort;
    }
  }
  if (status == kExitOk && StopSignalled()) status = kExitStopped;
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
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  TCliArgs args;
  if (auto problem = ParseCliArgs(std::vector<std::string>(argv + 1, argv + argc), args)) {
    return Usage(*problem);
  }
  if (args.help) {
    std::cout << kUsage;
    return kExitOk;
  }
  if (args.version) {
    std::cout << "kavel-isp-cli " << kVersion << "\n";
    return kExitOk;
  }
  if (args.command == "ports") return ListPorts();
  if (args.ports.empty()) args.ports.push_back("COM1");
  const bool several = args.ports.size() > 1;
  if (CommandAsks(args) && !args.yes && (several || !isatty(STDIN_FILENO))) {
    return Usage(args.command + " asks the operator to set the jumper: run it on a terminal, or "
                 "give --yes" + std::string(several ? " (several ports cannot share one terminal)" : ""));
  }
  InstallStopHandler();
  if (!several) return RunOnPort(args, args.ports[0], false);

  // One process a port: nothing is shared between them.
  std::vector<pid_t> children;
  for (const std::string& p : args.ports) {
    const pid_t child = fork();
    if (child == 0) _exit(RunOnPort(args, p, true));
    if (child < 0) {
      std::perror("kavel-isp-cli: fork");
      break;
    }
    children.push_back(child);
  }
  int worst = children.size() == args.ports.size() ? kExitOk : kExitPort;
  for (pid_t child : children) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : kExitStopped;
    worst = std::max(worst, code);
  }
  return worst;
}
