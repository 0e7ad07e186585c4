// One run of a command on one port, and what is decided before any port is touched: the
// trace files' names and whether they may be written.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/CliArgs.h"
#include "image/HexBinList.h"
#include "link/Clock.h"
#include "link/ComDevice.h"

namespace kavel::cli {

// A line on standard error from the program itself: "kavel-isp-cli: " + text.
void Complain(const std::string& text);

// The trace file of each port: the name given, or with several ports that name + "." + the
// port's last path element, with the port's place in the list in front of it where two
// ports would share a name.
std::vector<std::string> TracePaths(const std::string& trace, const std::vector<std::string>& ports);

// Why an output file (a trace file, the file read writes) must not be written: it is the
// image, a port's device, or another of them (the same name, or the same file by device and
// inode); nothing when it may. Opens nothing.
std::optional<std::string> OutputConflict(const std::vector<std::string>& outputs, const std::string& image,
                                          const std::vector<std::string>& ports);

struct TPortRun {
  std::string port;   // a COM name (exactly as the port list shows it) or a device path
  std::string trace;  // "" for none
  bool several = false;
  const THexBinList* image = nullptr;  // the checked image, for program, cycle
  // The line and the time, in place of the device the port names and the real clock: for a
  // run on a simulated line.
  std::function<std::unique_ptr<TComDevice>()> device;
  TClock* clock = nullptr;
};

// The flash bytes of start.. as the file format wants them: Intel HEX (16-byte data records
// on 16-byte boundaries, none where every byte is FF, then the end record) or raw bytes.
std::string FlashFileText(const std::vector<std::uint8_t>& bytes, std::uint16_t start, TImageFormat format);
// Writes text as a whole to the file path leads to (through symbolic links): into a new file
// beside that one, on disk before it takes the name, so that a failure leaves whatever was
// there before and a crash leaves the old file or the new. A file replaced keeps its mode
// (and its owner and group, where the process may give them); a new one is made with 0666
// less the umask. Nothing, or what went wrong.
std::optional<std::string> WriteWholeFile(const std::string& path, const std::string& text);

// Runs the command on the port and returns the exit status: the port is opened, the command
// run, the line put back at the speed it had and the port released, on every path.
int RunOnPort(TCliArgs args, const TPortRun& run);

}  // namespace kavel::cli
