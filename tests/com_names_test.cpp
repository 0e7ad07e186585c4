// COM names: the port directory, the default rule for devices without an entry, PortList.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "link/ComNames.h"
#include "link/EComPort.h"
#include "link/PortClaim.h"
#include "tests/support/PtyFixture.h"

namespace kavel {
namespace {

namespace fs = std::filesystem;
using test::TTempDir;

// A fake /sys/class/tty and /dev: device nodes are symlinks to pseudo-terminals of the test's
// own, so that they are real terminals; /dev/null stands for a device that is no terminal.
class FakeSystem {
 public:
  FakeSystem() {
    fs::create_directories(sys());
    fs::create_directories(dev());
    fs::create_directories(ports());
  }
  ~FakeSystem() {
    for (int fd : m_masters) close(fd);
  }
  FakeSystem(const FakeSystem&) = delete;
  FakeSystem& operator=(const FakeSystem&) = delete;
  std::string sys() const { return root.Path() + "/sys"; }
  std::string dev() const { return root.Path() + "/dev"; }
  std::string ports() const { return root.Path() + "/ports"; }
  // A new pseudo-terminal's slave, /dev/pts/N.
  std::string Terminal() {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(master, 0);
    EXPECT_EQ(grantpt(master), 0);
    EXPECT_EQ(unlockpt(master), 0);
    m_masters.push_back(master);
    char name[64] = "";
    EXPECT_EQ(ptsname_r(master, name, sizeof name), 0);
    return name;
  }
  // A tty known to the kernel; uartType is written for ttyS only; node: whether /dev has it.
  void AddTty(const std::string& name, int uartType = 4, bool node = true) {
    fs::create_directories(sys() + "/" + name);
    if (name.rfind("ttyS", 0) == 0) std::ofstream(sys() + "/" + name + "/type") << uartType << "\n";
    if (node) fs::create_symlink(Terminal(), dev() + "/" + name);
  }
  void AddEntry(const std::string& com, const std::string& target) const {
    fs::create_symlink(target, ports() + "/" + com);
  }
  TPortMap Map() const { return TPortMap(ports(), sys(), dev()); }

 private:
  TTempDir root;
  std::vector<int> m_masters;
};

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(DefaultRule, UsbThenAcmThenRealUartsEachByNumber) {
  FakeSystem s;
  s.AddTty("ttyS0", 4);
  s.AddTty("ttyS1", 0);           // placeholder without a UART: skipped
  s.AddTty("ttyUSB10");
  s.AddTty("ttyUSB2");
  s.AddTty("ttyACM0");
  s.AddTty("ttyUSB3", 0, false);  // known to the kernel but no device node: skipped
  s.AddTty("tty1");               // virtual consoles never count
  s.AddTty("ttyS");               // no number
  EXPECT_EQ(s.Map().DefaultAssignments(),
            (Pairs{{"COM1", s.dev() + "/ttyUSB2"},
                   {"COM2", s.dev() + "/ttyUSB10"},
                   {"COM3", s.dev() + "/ttyACM0"},
                   {"COM4", s.dev() + "/ttyS0"}}));
}

TEST(DefaultRule, SkipsNamesAndDevicesThatThePortDirectoryHolds) {
  FakeSystem s;
  s.AddTty("ttyUSB0");
  s.AddTty("ttyUSB1");
  s.AddTty("ttyS0");
  s.AddEntry("COM1", "/dev/null");           // any entry takes its name, terminal or not
  s.AddEntry("COM7", s.dev() + "/ttyUSB1");  // the operator named this adapter already
  EXPECT_EQ(s.Map().DefaultAssignments(),
            (Pairs{{"COM2", s.dev() + "/ttyUSB0"}, {"COM3", s.dev() + "/ttyS0"}}));
}

TEST(DefaultRule, AStaleEntryKeepsItsNameButIsNeitherListedNorOpenedElsewhere) {
  FakeSystem s;
  s.AddTty("ttyS0");
  const std::string pts = s.Terminal();
  s.AddEntry("COM1", pts);
  // Its claimant is gone (the claim is not locked): the terminal may be a stranger's now.
  std::ofstream(s.ports() + "/COM1" + kClaimSuffix) << "pid=1\ntarget=" << pts << "\noriginal=\n";
  const TPortMap map = s.Map();
  EXPECT_EQ(map.DefaultAssignments(), (Pairs{{"COM2", s.dev() + "/ttyS0"}}));
  EXPECT_EQ(map.List().names, (std::vector<std::string>{"COM2"}));
  EXPECT_EQ(map.DevicePath("COM1"), s.ports() + "/COM1");
}

TEST(DefaultRule, ASingleUsbAdapterIsCom1AndStaysSo) {
  FakeSystem s;
  s.AddTty("ttyUSB0");
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(s.Map().DefaultAssignments(), (Pairs{{"COM1", s.dev() + "/ttyUSB0"}}));
}

// Pinned, a name leads to the socket its device is plugged into (else the adapter, else the
// device), and stays when another adapter comes first.
TEST(DefaultRule, PinnedNamesStayWhenDevicesComeAndGo) {
  FakeSystem s;
  s.AddTty("ttyUSB1");
  s.AddTty("ttyUSB2");
  s.AddTty("ttyUSB3");
  fs::create_directories(s.dev() + "/serial/by-path");
  fs::create_directories(s.dev() + "/serial/by-id");
  fs::create_symlink("../../ttyUSB1", s.dev() + "/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0");
  fs::create_symlink("../../ttyUSB1", s.dev() + "/serial/by-id/usb-FTDI_FT232R-if00-port0");
  fs::create_symlink("../../ttyUSB2", s.dev() + "/serial/by-id/usb-Prolific-if00-port0");
  s.AddEntry("COM2", s.dev() + "/ttyUSB3");  // the user's own: never touched
  const std::vector<TPortMap::TPinned> pinned = s.Map().Pin();
  ASSERT_EQ(pinned.size(), 2u);
  EXPECT_EQ(pinned[0].name, "COM1");
  EXPECT_EQ(pinned[0].target, s.dev() + "/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0");
  EXPECT_EQ(pinned[1].name, "COM3");
  EXPECT_EQ(pinned[1].target, s.dev() + "/serial/by-id/usb-Prolific-if00-port0");
  EXPECT_EQ(pinned[0].error + pinned[1].error, 0);
  EXPECT_EQ(fs::read_symlink(s.ports() + "/COM2"), s.dev() + "/ttyUSB3");
  // Another adapter, first by the rule: it gets a free name, the pinned ones stay.
  s.AddTty("ttyUSB0");
  const TPortMap map = s.Map();
  EXPECT_EQ(map.DefaultAssignments(), (Pairs{{"COM4", s.dev() + "/ttyUSB0"}}));
  EXPECT_EQ(fs::canonical(map.DevicePath("COM1")), fs::canonical(s.dev() + "/ttyUSB1"));
  EXPECT_TRUE(map.Resolve("COM3")->entry);
}

TEST(DevicePath, EntryThenDefaultThenWouldBeEntryAndOnlyForComNames) {
  FakeSystem s;
  s.AddTty("ttyUSB0");
  s.AddEntry("COM3", "/nonexistent/pts/99");  // dangling: still the path to open
  TPortMap map = s.Map();
  EXPECT_EQ(map.DevicePath("COM3"), s.ports() + "/COM3");
  EXPECT_EQ(map.DevicePath("COM1"), s.dev() + "/ttyUSB0");
  EXPECT_EQ(map.DevicePath("COM2"), s.ports() + "/COM2");
  EXPECT_EQ(map.DevicePath("COM0"), s.ports() + "/COM0");
  // Nothing else may lead out of the port directory, or to the directory itself.
  for (const char* name : {"../../../dev/null", "", "COM", "com1", "COM1/../../x", "/dev/ttyACM7",
                           "COM1 ", "COM-1", "LPT1"})
    EXPECT_FALSE(map.Resolve(name).has_value()) << '"' << name << '"';
}

TEST(TerminalCheck, OnlyTerminalsCountAndNothingIsOpened) {
  FakeSystem s;
  const std::string pts = s.Terminal();
  std::ofstream(s.ports() + "/plain") << "x";
  const std::pair<std::string, int> cases[] = {
      {pts, 0},
      {"/dev/null", ENOTTY},            // a character device, but no line
      {"/dev/tty", ENOTTY},             // the opener's own terminal
      {"/dev/ptmx", ENOTTY},            // opening it would make a new pty
      {s.ports() + "/plain", ENOTTY},
      {s.ports(), ENOTTY},
      {s.ports() + "/missing", ENOENT},
  };
  // With the kernel's driver table, and without it (device numbers and sysfs).
  for (const char* drivers : {"/proc/tty/drivers", "/nonexistent/drivers"}) {
    TPortMap map(s.ports(), s.sys(), s.dev(), drivers);
    for (const auto& [path, err] : cases) EXPECT_EQ(map.CheckTerminal(path), err) << path << " " << drivers;
  }
}

TEST(PortNames, UnionOfTerminalEntriesAndDefaultsInNaturalOrder) {
  FakeSystem s;
  s.AddTty("ttyUSB0");
  s.AddEntry("COM10", s.Terminal());
  s.AddEntry("COM2", s.Terminal());
  s.AddEntry("COM4", "/nonexistent");  // leads nowhere: not present
  s.AddEntry("COM5", "/dev/null");     // no terminal: not a port
  std::ofstream(s.ports() + "/README") << "not a port";
  EXPECT_EQ(s.Map().Names(), (std::vector<std::string>{"COM1", "COM2", "COM10"}));
}

TEST(PortNames, NoPortDirectoryYetIsNoError) {
  FakeSystem s;
  TPortMap map(s.ports() + "/missing", s.sys(), s.dev());
  EXPECT_TRUE(map.Names().empty());
}

TEST(PortNames, AnUnreadableListKeepsTheOthersAndNamesItsDirectory) {
  FakeSystem s;
  s.AddTty("ttyUSB0");
  std::ofstream(s.ports() + "/file") << "x";
  const std::string badDir = s.ports() + "/file";
  TPortMap::TListing listing = TPortMap(badDir, s.sys(), s.dev()).List();
  EXPECT_EQ(listing.names, (std::vector<std::string>{"COM1"}));  // the default rule still serves
  EXPECT_EQ(listing.error, ENOTDIR);
  EXPECT_EQ(listing.unreadable, badDir);
  try {
    TPortMap(badDir, s.sys(), s.dev()).Names();
    ADD_FAILURE() << "no error";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 23);
    EXPECT_EQ(std::string(e.what()), "Registry error: cannot read " + badDir + " (win error code: 20)");
  }
  // PortList fills what it has before it says what it lacks.
  test::TPortDirScope scope;
  setenv("KAVEL_ISP_PORT_DIR", badDir.c_str(), 1);
  std::vector<std::string> list{"stale"};
  EXPECT_THROW(PortList(list), EComPort);
  EXPECT_EQ(std::find(list.begin(), list.end(), "stale"), list.end());

  listing = TPortMap(s.ports(), s.sys() + "/missing", s.dev()).List();
  EXPECT_EQ(listing.unreadable, s.sys() + "/missing");
  EXPECT_EQ(listing.error, ENOENT);
  // The default rule itself never throws: opening still works through entries.
  EXPECT_TRUE(TPortMap(s.ports(), s.sys() + "/missing", s.dev()).DefaultAssignments().empty());
}

TEST(ComNameText, RecognisesAndOrdersComNames) {
  EXPECT_TRUE(IsComName("COM1"));
  EXPECT_TRUE(IsComName("COM20"));
  EXPECT_FALSE(IsComName("COM"));
  EXPECT_FALSE(IsComName("com1"));
  EXPECT_FALSE(IsComName("COM1a"));
  EXPECT_FALSE(IsComName("LPT1"));
  EXPECT_TRUE(ComNameLess("COM2", "COM10"));
  EXPECT_FALSE(ComNameLess("COM10", "COM2"));
  EXPECT_TRUE(ComNameLess("COM1", "COM2"));
  EXPECT_FALSE(ComNameLess("COM3", "COM3"));
}

TEST(PortDirectoryFromEnvironment, OverrideThenXdgThenHome) {
  const char* savedXdg = getenv("XDG_CONFIG_HOME");
  const char* savedHome = getenv("HOME");
  std::string xdg = savedXdg ? savedXdg : "", home = savedHome ? savedHome : "";

  setenv("KAVEL_ISP_PORT_DIR", "/tmp/own-ports", 1);
  EXPECT_EQ(PortDirectory(), "/tmp/own-ports");
  unsetenv("KAVEL_ISP_PORT_DIR");
  setenv("XDG_CONFIG_HOME", "/tmp/cfg", 1);
  EXPECT_EQ(PortDirectory(), "/tmp/cfg/KAVEL/ports");
  unsetenv("XDG_CONFIG_HOME");
  setenv("HOME", "/home/op", 1);
  EXPECT_EQ(PortDirectory(), "/home/op/.config/KAVEL/ports");

  if (savedXdg) setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
  if (savedHome) setenv("HOME", home.c_str(), 1);
  else unsetenv("HOME");
}

}  // namespace
}  // namespace kavel
