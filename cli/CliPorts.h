// A port argument, decided once where the command line is read: a COM name and what it
// leads to (a device, or the network port its entry holds), a device path, or a network
// port's address. The rest of the command line passes this value along and never reads the
// text again.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli/CliStatus.h"
#include "link/ComNames.h"

namespace kavel::cli {

struct TPortArg {
  enum TKind : std::uint8_t { pkComName, pkDevice, pkNetwork };
  TKind kind = pkComName;
  std::string name;     // as given: what the messages, the trace and the JSON call the port
  std::string device;   // the file it opens: a COM name's entry or default device (one that
                        // need not exist), or the device path given; "" for a network address
  std::string address;  // the network port it is: the address given, or the one a COM name's
                        // entry holds; "" for a serial line
  bool pinned = true;   // false for a COM name that only the default rule gives: it moves to
                        // another device when one is unplugged

  // Raw TCP (socket://), which carries neither the line's speed nor its modem lines.
  bool RawTcp() const { return address.starts_with("socket://"); }
};

// The usage error of a --port without a port.
inline constexpr std::string_view kPortNeeds = "--port needs a COM name, a device path or a network port's address";

// text as a port argument, with what a COM name leads to looked up in map. Done, or rkUsage
// when text is none: empty, holding a control character (a NUL too), beginning with '-' (an
// option), a network address that does not read as one, or a COM name whose number no port
// can have.
TRunStatus ParsePortArg(std::string_view text, const TPortMap& map, TPortArg& port);
// The port the COM name name is, as map leads it.
TPortArg ComPort(const TPortMap& map, const std::string& name);
// The device file the port is, links followed; "" when there is none (a network port, a path
// that leads nowhere).
std::string RealDevice(const TPortArg& port);
// Whether the ports can all be used at once: done, or rkUsage naming one given twice, by its
// name or as another name of the same device.
TRunStatus PortsTwice(const std::vector<TPortArg>& ports);

}  // namespace kavel::cli
