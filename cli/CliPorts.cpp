#include "cli/CliPorts.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <limits>

#include "link/NetComDevice.h"
#include "link/NumberText.h"
#include "link/WireText.h"

namespace kavel::cli {
namespace {

TRunStatus Usage(std::string message) { return TRunStatus::Make(rkUsage, std::move(message)); }

// A COM name whose number fits the port numbers of the program; nothing else starting with
// "COM" and digits is a port.
bool ComNumberFits(const std::string& name) {
  return ParseWhole(name.substr(3), 0, std::numeric_limits<int>::max()).has_value();
}

}  // namespace

TRunStatus ParsePortArg(std::string_view text, const TPortMap& map, TPortArg& port) {
  const std::string name(text);
  if (name.empty()) return Usage(std::string(kPortNeeds));
  // The name is shown and logged as it stands: a NUL (from a job's TOML string) would cut it
  // short there, another control move a terminal's cursor.
  if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
    return Usage("--port " + Printable(name) + ": a port's name holds no control characters");
  // An option taken for the value (--port --erase).
  if (name.starts_with('-'))
    return Usage(std::string(kPortNeeds) + ", not an option: " + name + " (./" + name + " names a device of that name)");
  if (LooksLikeNetAddress(name)) {
    if (!ParseNetAddress(name))
      return Usage("--port " + name + ": a network port is rfc2217://HOST:PORT or socket://HOST:PORT");
    port = {TPortArg::pkNetwork, name, {}, name, true};
  } else if (IsComName(name)) {
    if (!ComNumberFits(name)) return Usage("--port " + name + ": no port has a number that large");
    port = ComPort(map, name);
  } else {
    port = {TPortArg::pkDevice, name, name, {}, true};
  }
  return TRunStatus::Done();
}

TPortArg ComPort(const TPortMap& map, const std::string& name) {
  const auto target = map.Resolve(name);
  return {TPortArg::pkComName, name, target ? target->path : std::string(), map.NetAddress(name).value_or(""),
          !target || target->entry};
}

std::string RealDevice(const TPortArg& port) {
  char resolved[PATH_MAX];
  return !port.device.empty() && realpath(port.device.c_str(), resolved) ? std::string(resolved) : std::string();
}

TRunStatus PortsTwice(const std::vector<TPortArg>& ports) {
  for (std::size_t i = 0; i < ports.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (ports[i].name == ports[j].name) return Usage("the port " + ports[i].name + " is given twice");
      const std::string a = RealDevice(ports[i]), b = RealDevice(ports[j]);
      if (!a.empty() && a == b) return Usage(ports[j].name + " and " + ports[i].name + " are the same device, " + a);
    }
  }
  return TRunStatus::Done();
}

}  // namespace kavel::cli
