#include "link/ComNames.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <set>

#include "link/EComPort.h"

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

bool IsDeviceNode(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode));
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

TPortMap::TPortMap(std::string portDir, std::string sysClassTty, std::string devDir)
    : m_portDir(std::move(portDir)),
      m_sysClassTty(std::move(sysClassTty)),
      m_devDir(std::move(devDir)) {}

TPortMap TPortMap::FromEnvironment() { return TPortMap(PortDirectory()); }

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
      if (!IsDeviceNode(m_devDir + "/" + name)) continue;
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
  std::set<std::string> takenNames(entries.begin(), entries.end());
  std::set<std::string> takenDevices;
  for (const auto& e : entries) {
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

std::string TPortMap::DevicePath(std::string_view portName) const {
  std::string name(portName);
  if (!name.empty() && name[0] == '/') return name;
  std::string entry = m_portDir + "/" + name;
  struct stat st {};
  if (lstat(entry.c_str(), &st) == 0) return entry;
  for (const auto& [com, device] : DefaultAssignments())
    if (com == name) return device;
  return entry;
}

std::vector<std::string> TPortMap::Names() const {
  int errDir = 0, errSys = 0;
  std::vector<std::string> entries = DirectoryEntries(errDir);
  if (errDir) throw EComPort(CE_RegError, errDir);
  std::vector<std::string> devices = PresentDevices(errSys);
  if (errSys) throw EComPort(CE_RegError, errSys);

  std::vector<std::string> names;
  for (const auto& e : entries)
    if (IsDeviceNode(m_portDir + "/" + e)) names.push_back(e);  // follows the symlink
  for (const auto& [com, device] : Assign(entries, devices)) names.push_back(com);
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return ComNameLess(a, b); });
  return names;
}

void PortList(std::vector<std::string>& list) { list = TPortMap::FromEnvironment().Names(); }

}  // namespace kavel
