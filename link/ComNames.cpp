#include "link/ComNames.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "link/EComPort.h"
#include "link/NetComDevice.h"
#include "link/PortClaim.h"

namespace kavel {
namespace {

// Splits "ttyUSB12" into ("ttyUSB", 12); number is -1 when there are no trailing digits.
std::pair<std::string_view, long> SplitNumber(std::string_view name) {
  std::size_t i = name.size();
  while (i > 0 && name[i - 1] >= '0' && name[i - 1] <= '9') --i;
  if (i == name.size() || name.size() - i > 9) return {name, -1};
  long n = 0;
  for (std::size_t k = i; k < name.size(); ++k) n = n * 10 + (name[k] - '0');
  return {name.substr(0, i), n};
}

std::string RealPath(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (!resolved) return {};
  std::string out(resolved);
  std::free(resolved);
  return out;
}

// The first pseudo-terminal slave major and how many there are (Documentation/admin-guide/
// devices.txt): the fallback when the kernel's driver table cannot be read.
constexpr unsigned kPtySlaveMajor = 136;
constexpr unsigned kPtySlaveMajors = 8;

// Whether the claim beside a port-directory entry says its claimant is gone.
bool IsStale(const std::string& entryPath) {
  return TEntryClaim::Inspect(entryPath).State() == TClaimState::csStale;
}

// Lists the names in dir; err = errno when it cannot be opened.
std::vector<std::string> ListDirectory(const std::string& dir, int& err) {
  std::vector<std::string> names;
  err = 0;
  DIR* d = opendir(dir.c_str());
  if (!d) {
    err = errno;
    return names;
  }
  while (dirent* e = readdir(d)) names.emplace_back(e->d_name);
  closedir(d);
  return names;
}

}  // namespace

std::string PortDirectory() {
  if (const char* dir = std::getenv("KAVEL_ISP_PORT_DIR"); dir && *dir) return dir;
  std::string config;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
    config = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    config = std::string(home) + "/.config";
  } else {
    config = "/tmp";
  }
  return config + "/KAVEL/ports";
}

bool IsComName(std::string_view name) {
  if (name.size() < 4 || name.substr(0, 3) != "COM") return false;
  return std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool ComNameLess(std::string_view a, std::string_view b) {
  auto [pa, na] = SplitNumber(a);
  auto [pb, nb] = SplitNumber(b);
  if (pa != pb) return pa < pb;
  if (na != nb) return na < nb;
  return a < b;  // "COM01" and "COM1": keep a strict order
}

TPortMap::TPortMap(std::string portDir, std::string sysClassTty, std::string devDir,
                   std::string ttyDrivers)
    : m_portDir(std::move(portDir)),
      m_sysClassTty(std::move(sysClassTty)),
      m_devDir(std::move(devDir)),
      m_ttyDrivers(std::move(ttyDrivers)) {}

TPortMap TPortMap::FromEnvironment() { return TPortMap(PortDirectory()); }

const std::optional<std::vector<TPortMap::TTtyLines>>& TPortMap::TtyDrivers() const {
  if (m_driversRead) return m_drivers;
  m_driversRead = true;
  // The kernel's table: "name /dev/path major minor[-last] type", one driver a line.
  std::ifstream table(m_ttyDrivers);
  if (!table) return m_drivers;
  m_drivers.emplace();
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string name, path, minors, type;
    unsigned major = 0;
    if (!(fields >> name >> path >> major >> minors >> type)) continue;
    // /dev/tty, /dev/console, /dev/ptmx and /dev/vc/0 are "system"; pty masters are no line.
    if (type.rfind("system", 0) == 0 || type == "pty:master") continue;
    const std::size_t dash = minors.find('-');
    const unsigned long first = std::strtoul(minors.c_str(), nullptr, 10);
    const unsigned long last =
        dash == std::string::npos ? first : std::strtoul(minors.c_str() + dash + 1, nullptr, 10);
    m_drivers->push_back({major, first, last});
  }
  return m_drivers;
}

bool TPortMap::IsTerminalDevice(unsigned major, unsigned minor) const {
  if (const auto& drivers = TtyDrivers()) {
    return std::any_of(drivers->begin(), drivers->end(), [&](const TTtyLines& d) {
      return d.major == major && minor >= d.firstMinor && minor <= d.lastMinor;
    });
  }
  if (major == 5 || (major == 4 && minor == 0)) return false;  // the system's own, as above
  if (major >= kPtySlaveMajor && major < kPtySlaveMajor + kPtySlaveMajors) return true;
  const std::string subsystem = "/sys/dev/char/" + std::to_string(major) + ":" +
                                std::to_string(minor) + "/subsystem";
  const std::string real = RealPath(subsystem);
  return real.size() >= 4 && real.compare(real.size() - 4, 4, "/tty") == 0;
}

int TPortMap::CheckTerminal(const std::string& path) const {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return errno;
  if (!S_ISCHR(st.st_mode)) return ENOTTY;
  return IsTerminalDevice(major(st.st_rdev), minor(st.st_rdev)) ? 0 : ENOTTY;
}

std::vector<std::string> TPortMap::PresentDevices(int& err) const {
  std::vector<std::string> all = ListDirectory(m_sysClassTty, err);
  std::vector<std::string> found;
  if (err) return found;
  for (const char* group : {"ttyUSB", "ttyACM", "ttyS"}) {
    std::vector<std::pair<long, std::string>> members;
    for (const auto& name : all) {
      auto [prefix, number] = SplitNumber(name);
      if (prefix != group || number < 0) continue;
      if (prefix == "ttyS") {
        // The 8250 driver registers ttyS0..ttySn whether or not a UART is there; "type" 0
        // means none was found.
        std::ifstream type(m_sysClassTty + "/" + name + "/type");
        int t = 0;
        if (!(type >> t) || t == 0) continue;
      }
      if (CheckTerminal(m_devDir + "/" + name) != 0) continue;
      members.emplace_back(number, name);
    }
    std::sort(members.begin(), members.end());
    for (auto& m : members) found.push_back(m_devDir + "/" + m.second);
  }
  return found;
}

std::vector<std::string> TPortMap::DirectoryEntries(int& err) const {
  std::vector<std::string> names = ListDirectory(m_portDir, err);
  if (err == ENOENT) err = 0;  // no directory yet: simply no entries
  std::erase_if(names, [](const std::string& n) { return !IsComName(n); });
  return names;
}

std::vector<std::pair<std::string, std::string>> TPortMap::Assign(
    const std::vector<std::string>& entries, const std::vector<std::string>& devices) const {
  // Every name the directory holds is taken, a stale one too: the default rule must never
  // give a name that a program still remembers for another device.
  std::set<std::string> takenNames(entries.begin(), entries.end());
  std::set<std::string> takenDevices;
  for (const auto& e : entries) {
    if (IsStale(m_portDir + "/" + e)) continue;  // its target may be anybody's now
    std::string target = RealPath(m_portDir + "/" + e);
    if (!target.empty()) takenDevices.insert(target);
  }
  std::vector<std::pair<std::string, std::string>> out;
  int next = 1;
  for (const auto& device : devices) {
    std::string real = RealPath(device);
    if (takenDevices.count(real.empty() ? device : real)) continue;
    std::string name;
    do {
      name = "COM" + std::to_string(next++);
    } while (takenNames.count(name));
    out.emplace_back(name, device);
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> TPortMap::DefaultAssignments() const {
  int errDir = 0, errSys = 0;
  std::vector<std::string> entries = DirectoryEntries(errDir);
  std::vector<std::string> devices = PresentDevices(errSys);
  return Assign(entries, devices);
}

std::string TPortMap::StableName(const std::string& device) const {
  char wanted[PATH_MAX];
  if (!realpath(device.c_str(), wanted)) return device;
  for (const char* folder : {"/serial/by-path", "/serial/by-id"}) {
    const std::string dir = m_devDir + folder;
    DIR* d = opendir(dir.c_str());
    if (!d) continue;
    std::vector<std::string> links;
    while (const dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      char real[PATH_MAX];
      const std::string link = dir + "/" + e->d_name;
      if (realpath(link.c_str(), real) && std::string_view(real) == wanted) links.push_back(link);
    }
    closedir(d);
    if (!links.empty()) return *std::min_element(links.begin(), links.end());  // the same one every time
  }
  return device;
}

std::vector<TPortMap::TPinned> TPortMap::Pin() const {
  std::vector<TPinned> pinned;
  const auto defaults = DefaultAssignments();
  if (defaults.empty()) return pinned;
  std::error_code made;
  std::filesystem::create_directories(m_portDir, made);
  for (const auto& [name, device] : defaults) {
    TPinned p{name, StableName(device), 0};
    // symlink() never replaces what is there: an entry made meanwhile stays.
    if (symlink(p.target.c_str(), (m_portDir + "/" + name).c_str()) != 0) p.error = errno;
    pinned.push_back(std::move(p));
  }
  return pinned;
}

std::optional<TPortMap::TTarget> TPortMap::Resolve(std::string_view portName) const {
  if (!IsComName(portName)) return std::nullopt;
  const std::string name(portName);
  const std::string entry = m_portDir + "/" + name;
  struct stat st {};
  // An entry, stale or not, is what the name means (opening a stale one is refused).
  if (lstat(entry.c_str(), &st) == 0) return TTarget{entry, true};
  for (const auto& [com, device] : DefaultAssignments())
    if (com == name) return TTarget{device, false};
  return TTarget{entry, false};
}

std::string TPortMap::DevicePath(std::string_view portName) const {
  auto target = Resolve(portName);
  return target ? target->path : std::string();
}

std::optional<std::string> TPortMap::NetAddress(std::string_view portName) const {
  if (!IsComName(portName)) return std::nullopt;
  const std::string entry = m_portDir + "/" + std::string(portName);
  struct stat st {};
  // A small regular file: an address is one short line, and nothing else is read.
  if (stat(entry.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 1024) return std::nullopt;
  std::ifstream in(entry);
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
  if (!LooksLikeNetAddress(line)) return std::nullopt;
  return line;
}

TPortMap::TListing TPortMap::List() const {
  TListing listing;
  int errDir = 0, errSys = 0;
  std::vector<std::string> entries = DirectoryEntries(errDir);
  std::vector<std::string> devices = PresentDevices(errSys);
  if (errDir) {
    listing.error = errDir;
    listing.unreadable = m_portDir;
  } else if (errSys) {
    listing.error = errSys;
    listing.unreadable = m_sysClassTty;
  }
  for (const auto& e : entries) {
    const std::string path = m_portDir + "/" + e;
    if ((!IsStale(path) && CheckTerminal(path) == 0) || NetAddress(e)) listing.names.push_back(e);  // follows the link
  }
  for (const auto& [com, device] : Assign(entries, devices)) listing.names.push_back(com);
  std::sort(listing.names.begin(), listing.names.end(),
            [](const std::string& a, const std::string& b) { return ComNameLess(a, b); });
  return listing;
}

std::vector<std::string> TPortMap::Names() const {
  TListing listing = List();
  if (listing.error) throw PortListError(listing.error, listing.unreadable);
  return listing.names;
}

EComPort PortListError(int err, const std::string& directory) {
  return EComPort(CE_RegError, err, "cannot read " + directory);
}

void PortList(std::vector<std::string>& list) {
  TPortMap::TListing listing = TPortMap::FromEnvironment().List();
  list = std::move(listing.names);
  if (listing.error) throw PortListError(listing.error, listing.unreadable);
}

}  // namespace kavel
