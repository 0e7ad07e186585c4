// COM names on Linux. A name "COMn" opens the entry of that name in the port directory
// ($KAVEL_ISP_PORT_DIR, else $XDG_CONFIG_HOME/KAVEL/ports, else ~/.config/KAVEL/ports), which
// is a symlink to a device or a device node. Serial devices present without an entry get
// the free COM names by the default rule:
//   the devices ttyUSB*, then ttyACM*, then ttyS* (only UARTs the kernel actually found),
//   each group by number, take COM1, COM2 ... in that order, skipping every name the port
//   directory already holds and every device that an entry already points to.
// So the usual single USB adapter is COM1 (or the first free name), and the same set of
// devices always gets the same names.
//
// Only COM names are looked up, so a name never leads outside the port directory; only
// terminals (serial lines, pseudo-terminals) count as ports, told by their device numbers
// without opening them. An entry whose claim is stale (see PortClaim.h) is not listed and
// cannot be opened, but keeps its name: the default rule never gives that name to a device.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "link/EComPort.h"

namespace kavel {

// The port directory from the environment as described above.
std::string PortDirectory();

// True for "COM" followed by one or more decimal digits (upper case, as the program names them).
bool IsComName(std::string_view name);

// Orders "COM2" before "COM10": by the text before the number, then by the number.
bool ComNameLess(std::string_view a, std::string_view b);

class TPortMap {
 public:
  // sysClassTty, devDir and ttyDrivers are the kernel's tty class directory, the device
  // directory and the kernel's table of tty drivers; tests point them elsewhere.
  explicit TPortMap(std::string portDir, std::string sysClassTty = "/sys/class/tty",
                    std::string devDir = "/dev", std::string ttyDrivers = "/proc/tty/drivers");
  static TPortMap FromEnvironment();

  struct TTarget {
    std::string path;
    bool entry = false;  // the name has a port-directory entry (which may carry a claim); false
                         // for a default name, and for a name with nothing behind it
  };
  // What a COM name opens: its port-directory entry when there is one (even a dangling or
  // stale one, so that opening it fails), else the device that the default rule gives the
  // name, else the would-be entry (which does not exist, so opening fails with ENOENT).
  // Nothing for a name that is not a COM name.
  std::optional<TTarget> Resolve(std::string_view portName) const;
  // Resolve's path; "" for a name that is not a COM name.
  std::string DevicePath(std::string_view portName) const;
  // The network port a COM name leads to: its entry is a regular file (or a link to one)
  // whose one line is an address such as rfc2217://host:7000; nothing otherwise.
  std::optional<std::string> NetAddress(std::string_view portName) const;

  // 0 when path leads to a terminal device (a serial line, a pseudo-terminal's slave, a
  // virtual console; not the opener's own /dev/tty, the console or the pty multiplexer);
  // otherwise the errno of looking it up, or ENOTTY. Opens nothing.
  int CheckTerminal(const std::string& path) const;

  struct TListing {
    std::vector<std::string> names;  // sorted with ComNameLess
    int error = 0;                   // errno of a list that could not be read; 0 if none
    std::string unreadable;          // that list's directory
  };
  // Every name present: port-directory entries that lead to a terminal, and the default
  // names. A list that cannot be read leaves out what it would have given, and says so in
  // error and unreadable. Never throws.
  TListing List() const;
  // List()'s names; throws EComPort code 23 naming the directory when a list could not be read.
  std::vector<std::string> Names() const;

  // The default rule's result: (COM name, device path) pairs in name order. Never throws:
  // when the kernel's list cannot be read there are no default names.
  std::vector<std::pair<std::string, std::string>> DefaultAssignments() const;

  // A name of the device that stays when devices come and go: its link in the device
  // directory's serial/by-path (the socket it is plugged into), else serial/by-id (the
  // adapter itself), else the device path.
  std::string StableName(const std::string& device) const;

  // What Pin did with one default name.
  struct TPinned {
    std::string name, target;  // COMn and what its new entry leads to
    int error = 0;             // errno when the entry could not be written; 0 when it was
  };
  // Writes an entry for every device that only the default rule names, under the name the rule
  // gives it now, leading to its StableName: the names then stay when devices come and go. The
  // port directory is made when it is not there; an entry is never overwritten.
  std::vector<TPinned> Pin() const;

  const std::string& PortDir() const { return m_portDir; }

 private:
  // Devices present, in the rule's order; errno in err when the list cannot be read.
  std::vector<std::string> PresentDevices(int& err) const;
  // COM-named entries of the port directory, stale ones included; errno in err when it
  // exists but cannot be read.
  std::vector<std::string> DirectoryEntries(int& err) const;
  std::vector<std::pair<std::string, std::string>> Assign(
      const std::vector<std::string>& entries, const std::vector<std::string>& devices) const;
  // Whether the character device (major, minor) is driven by the tty layer as a line.
  bool IsTerminalDevice(unsigned major, unsigned minor) const;
  // The device numbers of the kernel's tty lines, read once per map; nothing when the
  // kernel's table cannot be read.
  struct TTtyLines {
    unsigned major;
    unsigned long firstMinor, lastMinor;
  };
  const std::optional<std::vector<TTtyLines>>& TtyDrivers() const;

  std::string m_portDir;
  std::string m_sysClassTty;
  std::string m_devDir;
  std::string m_ttyDrivers;
  mutable bool m_driversRead = false;
  mutable std::optional<std::vector<TTtyLines>> m_drivers;
};

// The message of the error raised when a list of ports cannot be read: code 23, the
// directory named, the system's error number.
EComPort PortListError(int err, const std::string& directory);

// Fills list with the names of the serial ports present (TPortMap::FromEnvironment().List()),
// replacing its contents. When a list could not be read, list holds what the others gave
// and EComPort code 23 naming the unreadable directory is thrown afterwards.
void PortList(std::vector<std::string>& list);

}  // namespace kavel
