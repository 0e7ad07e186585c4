// COM names on Linux. A name "COMn" opens the entry of that name in the port directory
// ($KAVEL_ISP_PORT_DIR, else $XDG_CONFIG_HOME/KAVEL/ports, else ~/.config/KAVEL/ports), which
// is a symlink to a device or a device node. Serial devices present without an entry get
// the free COM names by the default rule:
//   the devices ttyUSB*, then ttyACM*, then ttyS* (only UARTs the kernel actually found),
//   each group by number, take COM1, COM2 ... in that order, skipping every name the port
//   directory already holds and every device that an entry already points to.
// So the usual single USB adapter is COM1 (or the first free name), and the same set of
// devices always gets the same names.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kavel {

// The port directory from the environment as described above.
std::string PortDirectory();

// True for "COM" followed by one or more decimal digits (upper case, as the program names them).
bool IsComName(std::string_view name);

// Orders "COM2" before "COM10": by the text before the number, then by the number.
bool ComNameLess(std::string_view a, std::string_view b);

class TPortMap {
 public:
  // sysClassTty and devDir are the kernel's tty class directory and the device directory;
  // tests point them at directories of their own.
  explicit TPortMap(std::string portDir, std::string sysClassTty = "/sys/class/tty",
                    std::string devDir = "/dev");
  static TPortMap FromEnvironment();

  // The path to open for a port name: the port-directory entry when there is one (even a
  // dangling one, so that opening it fails with the system's error), else the device that
  // the default rule gives the name, else the would-be entry (which does not exist, so
  // opening fails with ENOENT). A name beginning with "/" is taken as a path as it stands.
  std::string DevicePath(std::string_view portName) const;

  // Every name present: port-directory entries that lead to a device, and the default
  // names, sorted with ComNameLess. Throws EComPort code 23 when the port directory exists
  // but cannot be read, or the kernel's list of ttys cannot be read.
  std::vector<std::string> Names() const;

  // The default rule's result: (COM name, device path) pairs in name order. Never throws:
  // when the kernel's list cannot be read there are no default names.
  std::vector<std::pair<std::string, std::string>> DefaultAssignments() const;

  const std::string& PortDir() const { return m_portDir; }

 private:
  // Devices present, in the rule's order; errno in err when the list cannot be read.
  std::vector<std::string> PresentDevices(int& err) const;
  // COM-named entries of the port directory; errno in err when it exists but cannot be read.
  std::vector<std::string> DirectoryEntries(int& err) const;
  std::vector<std::pair<std::string, std::string>> Assign(
      const std::vector<std::string>& entries, const std::vector<std::string>& devices) const;

  std::string m_portDir;
  std::string m_sysClassTty;
  std::string m_devDir;
};

// Fills list with the names of the serial ports present (TPortMap::FromEnvironment().Names()),
// replacing its contents. Throws EComPort code 23 when the system's list cannot be read.
void PortList(std::vector<std::string>& list);

}  // namespace kavel
