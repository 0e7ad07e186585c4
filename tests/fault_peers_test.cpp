// The network fault peer that the tests and benchmarks set against the programs
// (kavel-test-netfault: a silent server, a flooding one, a proxy that drops connections), run
// as the process the benchmarks run. The simulator's board taken out and put back (SIGUSR1)
// is the station window's automatic tests' own.
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/ComPort.h"
#include "link/EComPort.h"
#include "tests/support/Processes.h"
#include "tests/support/PtyFixture.h"

namespace kavel {
namespace {

// Opens port at 9600 bit/s, sends "U" and returns what came back within 300 ms; "failed"
// when the port could not be opened or failed meanwhile.
std::string AskU(const std::string& port) {
  try {
    TCustomComPort p;
    p.SetPort(port);
    p.SetBaudRate(br9600);
    p.OpenPort();
    p.SendText("U");
    if (!p.WaitForRxChar(300)) return "";
    usleep(20000);  // the rest of an answer longer than one byte
    char reply[64];
    return std::string(reply, p.ReceiveBytes(reply, std::min(p.BytesWaiting(), sizeof reply)));
  } catch (const EComPort&) {
    return "failed";
  }
}

// A process's CPU time so far, in clock ticks (user and system), from /proc.
long CpuTicks(pid_t pid) {
  const std::string text = test::ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
  if (text.rfind(')') == std::string::npos) return -1;  // no such process
  std::istringstream fields(text.substr(text.rfind(')') + 2));  // after the name, which may hold spaces
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

// A connected loopback socket to port, or -1.
int Connect(int port) {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return s;
  close(s);
  return -1;
}

class FaultPeers : public ::testing::Test {
 protected:
  void TearDown() override {
    for (pid_t p : m_started) kill(p, SIGKILL);
    for (pid_t p : m_started) test::WaitExit(p, 2000);
  }
  std::string File(const std::string& name) const { return m_dir.Path() + "/" + name; }
  pid_t Start(const std::string& exe, std::vector<std::string> args, const std::string& out) {
    const pid_t p = test::StartProcess(exe, std::move(args), File(out));
    m_started.push_back(p);
    return p;
  }
  // Ends p with SIGTERM; its exit status.
  int Stop(pid_t p) {
    kill(p, SIGTERM);
    const int status = test::WaitExit(p, 3000);
    m_started.erase(std::remove(m_started.begin(), m_started.end(), p), m_started.end());
    return status;
  }
  // Starts the fault peer; the port it says it listens on, or 0.
  int StartPeer(const std::vector<std::string>& args, pid_t& pid) {
    pid = Start(KAVEL_NETFAULT_EXE, args, "peer.out");
    if (!test::WaitForText(File("peer.out"), "\n", 5000)) return 0;
    int port = 0;
    return std::sscanf(test::ReadWholeFile(File("peer.out")).c_str(), "listening on 127.0.0.1:%d", &port) == 1 ? port
                                                                                                             : 0;
  }

  test::TPortDirScope m_dir;  // the simulators' COM names, and the processes' files

 private:
  std::vector<pid_t> m_started;
};

// Each mode does what it says, and a client that neither sends nor reads costs the peer no
// CPU (it waits in poll(), whatever it holds); SIGTERM ends it with status 0.
TEST_F(FaultPeers, EachModeOfTheNetworkFaultPeer) {
  const int sim = test::FreeTcpPort();  // the proxy's target: a simulated chip behind RFC 2217
  Start(KAVEL_SIM_EXE, {"--rfc2217", std::to_string(sim)}, "sim.out");
  ASSERT_TRUE(test::WaitForText(File("sim.out"), "rfc2217://", 5000));
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::function<void(int port)> check;
  } cases[] = {
      {"silent: takes what comes, sends nothing, keeps the connection",
       {"silent", "0"},
       [](int port) {
         const int s = Connect(port);
         ASSERT_GE(s, 0);
         const std::string sent(4096, 'U');
         EXPECT_EQ(send(s, sent.data(), sent.size(), 0), static_cast<ssize_t>(sent.size()));
         pollfd p{s, POLLIN, 0};
         EXPECT_EQ(poll(&p, 1, 400), 0);  // neither a byte nor the connection's end
         close(s);
       }},
      {"flood: every byte but U, without end",
       {"flood", "0"},
       [](int port) {
         const int s = Connect(port);
         ASSERT_GE(s, 0);
         std::set<unsigned char> seen;
         std::size_t total = 0;
         char buffer[65536];
         while (total < (std::size_t{1} << 20)) {
           const ssize_t n = recv(s, buffer, sizeof buffer, 0);
           if (n <= 0) break;
           total += static_cast<std::size_t>(n);
           seen.insert(buffer, buffer + n);
         }
         close(s);
         EXPECT_GE(total, std::size_t{1} << 20);
         EXPECT_EQ(seen.size(), 255u);
         EXPECT_EQ(seen.count('U'), 0u);
       }},
      {"drop: every third connection closed unheard, the others passed through both ways",
       {"drop", "0", std::to_string(sim), "3"},
       [](int port) {
         std::vector<std::string> answers;
         for (int i = 0; i < 6; ++i) answers.push_back(AskU("rfc2217://127.0.0.1:" + std::to_string(port)));
         EXPECT_EQ(answers, (std::vector<std::string>{"U", "U", "failed", "U", "U", "failed"}));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pid_t peer = -1;
    const int port = StartPeer(c.args, peer);
    ASSERT_NE(port, 0) << test::ReadWholeFile(File("peer.out"));
    c.check(port);
    const int idle = Connect(port);
    const long before = CpuTicks(peer);
    usleep(500000);
    EXPECT_LE(CpuTicks(peer) - before, 5);  // 50 ms in 500: no busy waiting
    close(idle);
    EXPECT_EQ(Stop(peer), 0);
  }
  EXPECT_NE(test::ReadWholeFile(File("peer.out")).find("connection 3 dropped\n"), std::string::npos);
}

}  // namespace
}  // namespace kavel
