// COM names: the port directory, the default rule for devices without an entry, PortList.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "link/ComNames.h"
#include "link/EComPort.h"
#include "tests/support/PtyFixture.h"

namespace kavel {
namespace {

namespace fs = std::filesystem;
using test::TTempDir;

// A fake /sys/class/tty and /dev: device nodes are symlinks to distinct character devices of
// the real /dev; /dev/null is left for port-directory entries of the tests.
class FakeSystem {
 public:
  FakeSystem() {
    fs::create_directories(sys());
    fs::create_directories(dev());
    fs::create_directories(ports());
  }
  std::string sys() const { return root.Path() + "/sys"; }
  std::string dev() const { return root.Path() + "/dev"; }
  std::string ports() const { return root.Path() + "/ports"; }
  // A tty known to the kernel; uartType is written for ttyS only; node: whether /dev has it.
  void AddTty(const std::string& name, int uartType = 4, bool node = true) const {
    fs::create_directories(sys() + "/" + name);
    if (name.rfind("ttyS", 0) == 0) std::ofstream(sys() + "/" + name + "/type") << uartType << "\n";
    static const char* const kNodes[] = {"/dev/zero", "/dev/full", "/dev/random", "/dev/urandom",
                                         "/dev/tty"};
    if (node) fs::create_symlink(kNodes[m_nodes++ % 5], dev() + "/" + name);
  }
  void AddEntry(const std::string& com, const std::string& target) const {
    fs::create_symlink(target, ports() + "/" + com);
  }
  TPortMap Map() const { return TPortMap(ports(), sys(), dev()); }

 private:
  TTempDir root;
  mutable int m_nodes = 0;
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
  s.AddEntry("COM1", "/dev/null");
  s.AddEntry("COM7", s.dev() + "/ttyUSB1");  // the operator named this adapter already
  EXPECT_EQ(s.Map().DefaultAssignments(),
            (Pairs{{"COM2", s.dev() + "/ttyUSB0"}, {"COM3", s.dev() + "/ttyS0"}}));
}

TEST(DefaultRule, ASingleUsbAdapterIsCom1AndStaysSo) {
  FakeSystem s;
  s.AddTty("ttyUSB0");
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(s.Map().DefaultAssignments(), (Pairs{{"COM1", s.dev() + "/ttyUSB0"}}));
}

TEST(DevicePath, EntryThenDefaultThenWouldBeEntry) {
  FakeSystem s;
  s.AddTty("ttyUSB0");
  s.AddEntry("COM3", "/nonexistent/pts/99");  // dangling: still the path to open
  TPortMap map = s.Map();
  EXPECT_EQ(map.DevicePath("COM3"), s.ports() + "/COM3");
  EXPECT_EQ(map.DevicePath("COM1"), s.dev() + "/ttyUSB0");
  EXPECT_EQ(map.DevicePath("COM2"), s.ports() + "/COM2");
  EXPECT_EQ(map.DevicePath("/dev/ttyACM7"), "/dev/ttyACM7");
  EXPECT_EQ(map.DevicePath("COM0"), s.ports() + "/COM0");
}

TEST(PortNames, UnionOfEntriesAndDefaultsInNaturalOrder) {
  FakeSystem s;
  s.AddTty("ttyUSB0");
  s.AddEntry("COM10", "/dev/null");
  s.AddEntry("COM2", "/dev/null");
  s.AddEntry("COM4", "/nonexistent");  // leads nowhere: not present
  std::ofstream(s.ports() + "/README") << "not a port";
  EXPECT_EQ(s.Map().Names(), (std::vector<std::string>{"COM1", "COM2", "COM10"}));
}

TEST(PortNames, NoPortDirectoryYetIsNoError) {
  FakeSystem s;
  TPortMap map(s.ports() + "/missing", s.sys(), s.dev());
  EXPECT_TRUE(map.Names().empty());
}

TEST(PortNames, UnreadableListsRaiseCode23) {
  FakeSystem s;
  std::ofstream(s.ports() + "/file") << "x";
  auto codeOf = [](const TPortMap& map) {
    try {
      map.Names();
    } catch (const EComPort& e) {
      return e.Code();
    }
    return 0;
  };
  EXPECT_EQ(codeOf(TPortMap(s.ports() + "/file", s.sys(), s.dev())), 23);  // not a directory
  EXPECT_EQ(codeOf(TPortMap(s.ports(), s.sys() + "/missing", s.dev())), 23);
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
